#include "detect/binseg.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "common/numeric.hpp"
#include "detect/grid.hpp"

namespace marbolt::detect {

namespace {

// A segment of the current partition, keyed by its start in `Segments`, with
// its split record: this is the split memo, since a segment's record never
// changes while the segment exists.
struct Segment {
    std::size_t end;
    Split split;
};
using Segments = std::map<std::size_t, Segment>;

// Non-NaN records ranked for the pass winner: larger gain first, then the
// leftmost segment. Ordinary float comparison, so -0.0 and +0.0 tie and the
// left one wins, exactly as a left-to-right "replace only when strictly
// greater" scan would decide.
struct Ranked {
    double gain;
    std::size_t start;
};
struct WinnerFirst {
    bool operator()(const Ranked& a, const Ranked& b) const noexcept {
        if (a.gain != b.gain) return a.gain > b.gain;
        return a.start < b.start;
    }
};
using Ranking = std::set<Ranked, WinnerFirst>;

void add_segment(const cost::Cost& cost, std::size_t start, std::size_t end, std::size_t jump,
                 std::size_t min_size, Segments& segments, Ranking& ranking, Ticker& ticker) {
    const Split split = best_split(cost, start, end, jump, min_size, &ticker);
    segments[start] = Segment{end, split};
    if (!std::isnan(split.gain)) ranking.insert(Ranked{split.gain, start});
}

// A left-to-right scan that replaces its winner only on a strictly greater
// gain keeps a NaN first record forever and skips every later NaN; otherwise
// it ends on the leftmost maximum of the non-NaN records.
Segments::iterator pass_winner(Segments& segments, const Ranking& ranking) {
    const auto first = segments.begin();
    if (std::isnan(first->second.split.gain)) return first;
    return segments.find(ranking.begin()->start);
}

std::vector<std::size_t> breakpoints(const Segments& segments) {
    std::vector<std::size_t> bkps;
    bkps.reserve(segments.size());
    for (const auto& entry : segments) bkps.push_back(entry.second.end);
    return bkps;
}

bool accepts_split(const cost::Cost& cost, const Segments& segments, double gain,
                   const StopRule& rule) {
    return rule.decide([&](std::uint64_t n_bkps) { return segments.size() - 1 < n_bkps; },
                       [&](double pen) { return gain > pen; },
                       [&](double epsilon) {
                           return cost.sum_of_costs(breakpoints(segments)) > epsilon;
                       });
}

}  // namespace

Split best_split(const cost::Cost& cost, std::size_t start, std::size_t end, std::size_t jump,
                 std::size_t min_size, Ticker* ticker) {
    jump = std::max<std::size_t>(jump, 1);
    if (start >= end) return {};
    const double total = cost.error(start, end);
    if (total == -kInf) return {};
    if (min_size > end - start) return {};
    // Admissible offsets k * jump lie in [min_size, last_offset]; stepping by
    // index keeps start + k * jump <= end - 1, so it never wraps for any jump.
    const std::size_t last_offset = std::min(end - start - min_size, end - start - 1);
    Split best;
    for (std::size_t k = grid_count(min_size, jump); k <= last_offset / jump; ++k) {
        const std::size_t c = start + k * jump;
        const double left = cost.error(start, c);
        const double right = cost.error(c, end);
        const double gain = total - left - right;
        if (!best.position || gain >= best.gain) best = Split{c, gain};
        if (ticker != nullptr) ticker->tick(2);
    }
    return best;
}

std::vector<std::size_t> binseg(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                std::size_t min_size, const StopRule& rule, Control* control) {
    jump = std::max<std::size_t>(jump, 1);
    min_size = std::max<std::size_t>(min_size, 1);
    Segments segments;
    Ranking ranking;
    Ticker ticker(control);
    add_segment(cost, 0, n, jump, min_size, segments, ranking, ticker);
    for (;;) {
        const auto winner = pass_winner(segments, ranking);
        const Split split = winner->second.split;
        if (!split.position || !accepts_split(cost, segments, split.gain, rule)) break;
        const std::size_t start = winner->first;
        const std::size_t end = winner->second.end;
        // A NaN record is never ranked: it would compare equivalent to any key.
        if (!std::isnan(split.gain)) ranking.erase(Ranked{split.gain, start});
        add_segment(cost, start, *split.position, jump, min_size, segments, ranking, ticker);
        add_segment(cost, *split.position, end, jump, min_size, segments, ranking, ticker);
    }
    return breakpoints(segments);
}

}  // namespace marbolt::detect
