#include "crops/crops.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>

#include "detect/optimum/optimum.hpp"
#include "detect/pelt/pelt.hpp"
#include "linalg/order.hpp"

namespace marbolt::crops {
namespace {

// A penalty range still to examine, with the PELT results at both ends.
struct Interval {
    double lo;
    std::size_t n_lo;
    double c_lo;
    double hi;
    std::size_t n_hi;
    double c_hi;
};

// (cost_a - cost_b) / (count_b - count_a): the penalty at which a and b tie.
double tie_penalty(const PenaltyResult& a, const PenaltyResult& b) {
    return (a.cost - b.cost) / (static_cast<double>(b.count) - static_cast<double>(a.count));
}

}  // namespace

CountCost run(const Search& search, RunCache& cache, double pen) {
    const auto key = std::bit_cast<std::uint64_t>(pen);
    if (auto it = cache.find(key); it != cache.end()) return {it->second.result.count, it->second.result.cost};
    PenaltyResult result;
    const PathOptions& options = search.options;
    result.bkps = options.optimum
                      ? detect::penalised_optimum(search.cost, search.n, search.jump, search.min_size, pen,
                                                  options.split_bound, {.control = options.control})
                      : detect::pelt(search.cost, search.n, search.jump, search.min_size, pen,
                                     {.control = options.control});
    result.count = result.bkps.size();
    result.cost = search.cost.sum_of_costs(result.bkps);
    const PenaltyResult& stored = cache.emplace(key, CachedRun{pen, std::move(result)}).first->second.result;
    return {stored.count, stored.cost};
}

// The upper half of a split is examined first; the order does not change which
// penalties are run.
void explore(const Search& search, RunCache& cache, double pen_min, double pen_max) {
    const CountCost low = run(search, cache, pen_min);
    const CountCost high = run(search, cache, pen_max);
    std::vector<Interval> stack{{pen_min, low.count, low.cost, pen_max, high.count, high.cost}};
    while (!stack.empty()) {
        const Interval top = stack.back();
        stack.pop_back();
        // Counts that differ by at most one leave no segmentation in between.
        if (top.n_lo <= top.n_hi + 1) continue;
        // The penalty at which the two ends' segmentations cost the same.
        const double p = (top.c_hi - top.c_lo) / static_cast<double>(top.n_lo - top.n_hi);
        if (!(top.lo < p && p < top.hi && std::isfinite(p))) continue;
        const CountCost mid = run(search, cache, p);
        if (mid.count == top.n_hi) continue;  // nothing new between p and hi
        stack.push_back({top.lo, top.n_lo, top.c_lo, p, mid.count, mid.cost});
        stack.push_back({p, mid.count, mid.cost, top.hi, top.n_hi, top.c_hi});
    }
}

std::vector<PenaltyResult> best_per_count(const RunCache& cache) {
    std::vector<const CachedRun*> runs;
    runs.reserve(cache.size());
    for (const auto& [key, cached] : cache) runs.push_back(&cached);
    std::sort(runs.begin(), runs.end(), [](const CachedRun* a, const CachedRun* b) {
        // IEEE 754 totalOrder: deterministic for every penalty bit pattern,
        // NaNs and signed zeros included.
        return linalg::total_cmp(a->pen, b->pen) < 0;
    });
    std::map<std::size_t, const PenaltyResult*> best;
    for (const CachedRun* cached : runs) {
        const PenaltyResult& result = cached->result;
        auto [it, is_new] = best.try_emplace(result.count, &result);
        // Only a strictly lower cost replaces: a NaN never does, nor is replaced.
        if (!is_new && it->second->cost > result.cost) it->second = &result;
    }
    std::vector<PenaltyResult> ordered;
    ordered.reserve(best.size());
    for (const auto& [count, result] : best) ordered.push_back(*result);
    return ordered;
}

std::vector<Row> hull_rows(const std::vector<PenaltyResult>& best, double pen_min, double pen_max) {
    std::vector<const PenaltyResult*> hull;
    for (const PenaltyResult& c : best) {
        while (hull.size() >= 2) {
            const PenaltyResult& a = *hull[hull.size() - 2];
            const PenaltyResult& b = *hull.back();
            const double cross =
                (c.cost - a.cost) * (static_cast<double>(b.count) - static_cast<double>(a.count)) -
                (b.cost - a.cost) * (static_cast<double>(c.count) - static_cast<double>(a.count));
            // B on or above the chord from A to C is never strictly best; a NaN
            // cross keeps it.
            if (!(cross <= 0)) break;
            hull.pop_back();
        }
        hull.push_back(&c);
    }
    std::vector<Row> rows;
    rows.reserve(hull.size());
    for (std::size_t i = 0; i < hull.size(); ++i) {
        // fmin/fmax return the other operand when one is NaN.
        const double upper = i == 0 ? pen_max : std::fmin(tie_penalty(*hull[i - 1], *hull[i]), pen_max);
        const double lower =
            i + 1 == hull.size() ? pen_min : std::fmax(tie_penalty(*hull[i], *hull[i + 1]), pen_min);
        rows.push_back({lower, upper, hull[i]->bkps});
    }
    return rows;
}

std::vector<Row> crops(const cost::Cost& cost, std::size_t n, double pen_min, double pen_max,
                       std::size_t jump, std::size_t min_size, const PathOptions& options) {
    // min_size is passed to the search untouched: it alone evaluates segments
    // here and serves 0 as 1, so this path follows the same rule.
    const Search search{cost, n, jump, min_size, options};
    RunCache cache;
    explore(search, cache, pen_min, pen_max);
    return hull_rows(best_per_count(cache), pen_min, pen_max);
}

}  // namespace marbolt::crops
