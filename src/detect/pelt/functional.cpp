#include "detect/pelt/functional.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "detect/envelope.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/l2_estimates.hpp"
#include "detect/pelt/tables.hpp"

namespace marbolt::detect {
namespace {

// Why the pruned search fills the plain search's tables, to the bit.
//
// Notation. S and Q are the model's prefix tables (sums and sums of squares of
// the centred signal) and F the recorded best costs: doubles, read from here
// on as exact reals; only what the code computes is rounded. For a candidate
// t and an end b > t, with L = b - t, s* = S[b] - S[t] and q* = Q[b] - Q[t],
//     q_t(mu) = F[t] + pen + q* - 2 mu s* + L mu^2
// is the total as a function of the last segment's mean mu, minimal at s*/L
// with tau(t, b) = F[t] + pen + q* - s*^2 / L. For t < u, q_t - q_u =
// F[t] - F[u] + (Q[u] - Q[t]) - 2 mu (S[u] - S[t]) + (u - t) mu^2 does not
// depend on the end: a dominance shown once holds at every later end.
//
// 1. Rounding (envelope.hpp): with P = pen + F[t], the global E = 2^-48 (V +
// |pen| + Fmax) + 2^-1000 bounds |U - tau| and tau - T for every pair, where
// Fmax is the largest |F| recorded so far (E grows along the search, and each
// end uses the E of its time); for a pair the search has evaluated, the local
// bound from its own q and quotient is far smaller. The threshold thr =
// fl(F[b] + pen) is within 2^-52 |thr| of F[b] + pen; adding 2^-51 |thr| to
// either bound gives E2, which covers both.
//
// 2. Regions. Every candidate k keeps a region, a set of mu that contains
// every mu where no witness (below) is sure to beat it by the margin M.
// After end b, for each candidate k that survives the threshold: with
// minDelta = tau(k, b) - pen - F[b] = min over mu of q_k - q_b, which lies in
// [U - thr - E2, U - thr + E2],
//  - {mu : q_k - q_b < M} = {L (mu - s*/L)^2 < M - minDelta} lies inside the
//    interval of outer_half_width(centre, 1/L, thr - U + M + E2, rounded up)
//    around the centre: k's region is clipped to it; outside it, the new
//    candidate b beats k by M;
//  - {mu : q_b - q_k >= M} = {L (mu - s*/L)^2 <= -M - minDelta} contains the
//    interval of inner_half_width(centre, 1/L, thr - U - M - E2, rounded
//    down): there, k beats b by M. The region of b is everything outside
//    these covers.
// The interval ends carry their own rounding allowance (envelope.hpp), and
// merging pieces of a region only enlarges it. So when a region is empty,
// every mu has a witness w, an earlier candidate or the end that cleared it,
// with q_k(mu) >= q_w(mu) + M in exact arithmetic, and k is dropped.
//
// 3. Dropped candidates never win. The recursion's own pruning is applied to
// the pruned list exactly as to the plain one: a candidate's verdict depends
// only on its own total and the threshold (with pen > 0 and finite tables
// every candidate is known and pairs with its own total). So, end by end, the
// pruned list is the plain list minus the dropped candidates, as long as the
// first minimum of the plain list is never a dropped candidate. Take an end
// b, a dropped d that the plain list still holds, and any mu. Walk from d:
// from a dropped candidate to its witness at mu (q falls by at least M); from
// a candidate that the threshold pruned at an earlier end b1 to b1 itself;
// stop at a candidate of the pruned list at b. The second step is sound
// because the threshold pruned k at b1: q_k - q_b1 = F[k] - F[b1] +
// sum over [k, b1) of (...) >= tau(k, b1) - pen - F[b1] >= -slack(k), with
// slack(k) = max(0, thr - U(k, b1) + E2) and the local E2 (zero for a clear
// prune, a few ulps of F for a near tie, more only where a clamp hid a
// negative residue); and because b1 is a candidate at every end after b1
// (min_size <= jump makes b1 the candidate appended at the next grid end),
// except at the last end n when n - b1 < min_size (point 4). Consecutive
// threshold steps form a chain k -> b1 -> b2 -> ...; rho(b), the largest
// total slack of a chain that ends at b, is the largest rho(k) + slack(k)
// over the candidates k pruned at b, and R is the largest rho so far. A walk
// starts with a witness step (d was dropped, not pruned) and between two
// witness steps takes at most one chain, so over w >= 1 witness steps q
// falls by at least w (M - R). Hence a walk never returns to a candidate
// while R < M (positions only grow along chains), it ends at a candidate c
// of the pruned list, and q_d(mu) >= q_c(mu) + M - R. Over all mu:
//     T(d, b) >= tau(d, b) - E
//             >= min_c tau(c, b) + M - R - E
//             >= T(c', b) - (T - U)(c', b) - 2E + M - R,
// c' the candidate with the smallest tau and E the global bound. Each end
// checks
//     R + 2E + max over the list of (T - U) < M
// (with rounding allowances) before it decides; then every dropped candidate
// totals strictly more than some candidate of the pruned list and the first
// minimum, ties included, is the plain one. When the check fails (a chain of
// near ties, or a clamp that hid a large negative residue), the caller runs
// the plain search from the start. M = 2^-40 (V + |pen|) is 128 global E as
// long as Fmax stays below V + |pen| (the optimum is below the cost of one
// segment, at most V, plus pen), so chains have room for a hundred near ties
// of the worst kind; and it is far below the gaps that decide a candidate's
// fate (of the order of pen and of the noise) as long as the penalty is not
// tiny against 2^-40 of the signal's energy.
//
// 4. The last end n, when n - g < min_size for the last grid end g: the
// candidate appended for n repeats g - jump, and the candidates the threshold
// pruned at g have no stand-in at n. The search then checks every dropped
// candidate that would beat the pruned list's choice at n (smaller total, or
// equal total and smaller position): it replays the candidate's totals at
// every end since it was appended against that end's threshold, which is
// exactly what the plain search did with it, and lets it compete only if it
// survived them all.

struct Margins {
    double margin;  // M
    double scale;   // V + |pen|

    // The global E for prefix costs up to `largest_prefix` in magnitude.
    double error(double largest_prefix) const noexcept { return error_bound(scale, largest_prefix); }
};

// The search's constants, or nothing when the bounds cannot be given.
std::optional<Margins> margins_for(const double* s, const double* q, std::size_t n, double pen) {
    if (!(pen > 0.0 && pen < kEnvelopeLargest)) return std::nullopt;
    const std::optional<double> v = l2_energy(s, q, n);
    if (!v) return std::nullopt;
    return Margins{0x1p-40 * (*v + pen), *v + pen};
}

// An end's arithmetic on the live list, one array per quantity.
struct EndScratch {
    std::vector<double> total, unclamped, centre, reach, cover;

    void resize(std::size_t size) {
        total.resize(size);
        unclamped.resize(size);
        centre.resize(size);
        reach.resize(size);
        cover.resize(size);
    }
};

class FunctionalSearch {
public:
    FunctionalSearch(const cost::CostL2& model, std::size_t n, std::size_t jump, std::size_t min_size,
                     double pen, const Margins& margins, PeltTables& tables, std::size_t* evaluations,
                     Control* control)
        : s_(model.sums().data.data()), q_(model.sums_sq().data.data()), n_(n), jump_(jump),
          n_slot_(grid_count(n, jump)), pen_(pen), margins_(margins), tables_(tables),
          evaluations_(evaluations), ticker_(control),
          // The candidate the end n appends: the previous grid end, or, when
          // that one is too close to n, the grid end before it again.
          last_candidate_((n - min_size) / jump),
          repeats_(last_candidate_ + 1 < n_slot_) {
        if (repeats_) dropped_.assign(n_slot_, 0);
    }

    bool run() {
        append(0, 0.0, Region::everything());
        for (std::size_t slot = 1; slot < n_slot_; ++slot) {
            if (!settle_grid_end(slot)) return false;
            ticker_.tick(live_.size(), 1);
        }
        // Each grid end appended itself; the end n appends an older candidate
        // when the last grid end is too close to it. Regions are no longer
        // used: the last end prunes nothing.
        if (repeats_) {
            live_.resize(live_.size() - 1);
            chain_.pop_back();
            append(last_candidate_, 0.0, Region::everything());
        }
        ticker_.tick(live_.size(), 1);
        return settle_last_end();
    }

private:
    void append(std::size_t slot, double chain, const Region& region) {
        const std::size_t start = slot * jump_;
        live_.push_back(slot, static_cast<double>(start), s_[start], q_[start], tables_.best[slot], region);
        chain_.push_back(chain);
    }

    // T and U of every live candidate at `end`; returns the index of the
    // first smallest T.
    std::size_t evaluate(std::size_t end) {
        const double e = static_cast<double>(end), s_end = s_[end], q_end = q_[end];
        const std::size_t count = live_.size();
        scratch_.resize(count);
        const double* __restrict start = live_.start.data();
        const double* __restrict s_start = live_.s.data();
        const double* __restrict q_start = live_.q.data();
        const double* __restrict prefix = live_.prefix.data();
        double* __restrict total = scratch_.total.data();
        double* __restrict unclamped = scratch_.unclamped.data();
        for (std::size_t k = 0; k < count; ++k) {
            const double len = e - start[k], s = s_end - s_start[k], q = q_end - q_start[k];
            total[k] = l2_total(s, q, len, prefix[k], pen_);
            const double residue = q - (s * s) / len;  // the division is shared with l2_total's
            unclamped[k] = prefix[k] + (residue + pen_);
        }
        std::size_t chosen = 0;
        for (std::size_t k = 1; k < count; ++k) chosen = total[k] < total[chosen] ? k : chosen;
        if (evaluations_ != nullptr) *evaluations_ += count;
        return chosen;
    }

    // Records the end's best split; false when the argument of point 3 no
    // longer covers this end's decision. Leaves E and thr for the pruning.
    bool decide(std::size_t end_slot, std::size_t chosen) {
        const double best = scratch_.total[chosen];
        record(tables_, end_slot, best, live_.parent[chosen]);
        largest_prefix_ = std::max(largest_prefix_, std::fabs(best));
        threshold_ = best + pen_;
        if (!(std::fabs(threshold_) < kEnvelopeLargest)) return false;
        const double e = margins_.error(largest_prefix_);
        error_ = e + 0x1p-51 * std::fabs(threshold_);
        double clamped = 0.0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            clamped = std::max(clamped, scratch_.total[k] - scratch_.unclamped[k]);
        }
        return (longest_chain_ + 2.0 * e + clamped) * (1.0 + 0x1p-40) < margins_.margin;
    }

    // For every candidate, the centre of its segment and the half-widths of
    // where the end's new candidate may not beat it by the margin (reach) and
    // where it surely beats the new candidate (cover).
    void measure(std::size_t end) {
        const double e = static_cast<double>(end), s_end = s_[end], thr = threshold_;
        const double w = (margins_.margin + error_) * (1.0 + 0x1p-50);
        const std::size_t count = live_.size();
        const double* __restrict start = live_.start.data();
        const double* __restrict s_start = live_.s.data();
        const double* __restrict unclamped = scratch_.unclamped.data();
        double* __restrict centre = scratch_.centre.data();
        double* __restrict reach = scratch_.reach.data();
        double* __restrict cover = scratch_.cover.data();
        for (std::size_t k = 0; k < count; ++k) {
            const double inv_len = 1.0 / (e - start[k]);
            const double c = (s_end - s_start[k]) * inv_len;
            const double spread = 0x1p-50 * (std::fabs(thr) + std::fabs(unclamped[k]) + w);
            const double gap = thr - unclamped[k];
            centre[k] = c;
            reach[k] = outer_half_width(c, inv_len, (gap + w) + spread);
            cover[k] = inner_half_width(c, inv_len, (gap - w) - spread);
        }
    }

    bool settle_grid_end(std::size_t end_slot) {
        const std::size_t end = end_slot * jump_;
        if (!decide(end_slot, evaluate(end))) return false;
        measure(end);
        covers_.clear();
        double chain = 0.0;  // rho of this end
        std::size_t kept = 0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (!(threshold_ >= scratch_.total[k])) {
                chain = std::max(chain, (chain_[k] + slack(k, end)) * (1.0 + 0x1p-52));
                continue;
            }
            const double c = scratch_.centre[k];
            if (scratch_.cover[k] >= 0.0) covers_.push_back({c - scratch_.cover[k], c + scratch_.cover[k]});
            const double reach = scratch_.reach[k];
            if (!(reach >= 0.0 && live_.region[k].clip({c - reach, c + reach}))) {
                if (repeats_) dropped_[live_.parent[k]] = 1;
                continue;
            }
            if (kept != k) {
                live_.move(k, kept);
                chain_[kept] = chain_[k];
            }
            ++kept;
        }
        live_.resize(kept);
        chain_.resize(kept);
        longest_chain_ = std::max(longest_chain_, chain);
        append(end_slot, chain, Region::outside(covers_));
        return true;
    }

    // What the prune of candidate k at this end may cost a walk of point 3,
    // with the local bound of point 1.
    double slack(std::size_t k, std::size_t end) const noexcept {
        const double len = static_cast<double>(end) - live_.start[k];
        const double s = s_[end] - live_.s[k], q = q_[end] - live_.q[k];
        const double unclamped = scratch_.unclamped[k];
        const double local = error_bound(local_scale(s, q, len) + std::fabs(pen_), std::fabs(live_.prefix[k])) +
                             0x1p-51 * std::fabs(threshold_);
        const double spread = 0x1p-50 * (std::fabs(threshold_) + std::fabs(unclamped) + local);
        const double slack = ((threshold_ - unclamped) + local) + spread;
        return slack > 0.0 ? slack * (1.0 + 0x1p-50) : 0.0;
    }

    bool settle_last_end() {
        const std::size_t chosen = evaluate(n_);
        if (!repeats_) return decide(n_slot_, chosen);
        std::size_t parent = live_.parent[chosen];
        double best = scratch_.total[chosen];
        for (std::size_t d = 0; d < n_slot_; ++d) {
            if (!dropped_[d]) continue;
            const double t = total(d, n_);
            if ((t < best || (t == best && d < parent)) && survived(d)) {
                best = t;
                parent = d;
            }
        }
        record(tables_, n_slot_, best, parent);
        return true;
    }

    double total(std::size_t slot, std::size_t end) const noexcept {
        const std::size_t start = slot * jump_;
        if (evaluations_ != nullptr) ++*evaluations_;
        return l2_total(s_[end] - s_[start], q_[end] - q_[start], static_cast<double>(end - start),
                        tables_.best[slot], pen_);
    }

    // Whether the plain search still holds the candidate at the last end: its
    // total at every grid end since it was appended within that end's
    // threshold.
    bool survived(std::size_t slot) const noexcept {
        for (std::size_t end_slot = slot + 1; end_slot < n_slot_; ++end_slot) {
            if (!(tables_.best[end_slot] + pen_ >= total(slot, end_slot * jump_))) return false;
        }
        return true;
    }

    const double* s_;
    const double* q_;
    std::size_t n_, jump_, n_slot_;
    double pen_;
    Margins margins_;
    PeltTables& tables_;
    std::size_t* evaluations_;
    Ticker ticker_;
    std::size_t last_candidate_;
    bool repeats_;
    LiveStarts live_;
    std::vector<double> chain_;  // rho of each live candidate
    EndScratch scratch_;
    std::vector<Interval> covers_;
    std::vector<char> dropped_;  // only when the last end repeats a candidate
    double largest_prefix_ = 0.0;
    double threshold_ = 0.0;
    double error_ = 0.0;          // the global E2 of the current end
    double longest_chain_ = 0.0;  // R
};

}  // namespace

bool functional_pelt(const cost::CostL2& model, std::size_t n, std::size_t jump, std::size_t min_size,
                     double pen, PeltTables& tables, std::size_t* evaluations, Control* control) {
    // One column; every end but n on the grid past the first; a candidate
    // usable from the end after its own on (min_size <= jump).
    if (model.dims() != 1 || min_size == 0 || min_size > jump || n <= jump || n >= kExactPositions) {
        return false;
    }
    const auto margins = margins_for(model.sums().data.data(), model.sums_sq().data.data(), n, pen);
    if (!margins) return false;
    tables = start_tables(grid_count(n, jump));
    return FunctionalSearch(model, n, jump, min_size, pen, *margins, tables, evaluations, control).run();
}

}  // namespace marbolt::detect
