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
// 1. Rounding. T(t, b) is the total the plain search computes (l2_total);
// U(t, b) is formed by the same operations without the clamp of a negative
// residue to zero. Rounding is monotone, so T >= U. With u = 2^-53, Y =
// sum_i (S[i+1] - S[i])^2 >= s*^2 / L (Cauchy-Schwarz over the segment's
// differences), V = 2 max|Q| + Y >= |q*| + s*^2 / L and Fmax >= |F[t]|:
// s*, s*^2 and the quotient carry 4.01u of Y; q* carries 2u max|Q|; the
// residue's subtraction u of 1.02 V; its division and multiplication by L
// 2.01u of it; the penalty's and the prefix cost's additions u of what they
// add. Altogether |U - tau| <= 9.2u V + 2.1u |pen| + u Fmax, and
//     E = 2^-48 (V + |pen| + Fmax) + 2^-1000
// bounds it three times over (the last term covers roundings among subnormal
// numbers). Fmax is the largest |F| recorded so far, so E grows along the
// search and each end uses the E of its time. The threshold thr = fl(F[b] +
// pen) is within 2^-52 |thr| of F[b] + pen: E2 = E + 2^-51 |thr| bounds both.
//
// 2. Regions. Every candidate k keeps a region, a set of mu that contains
// every mu where no witness (below) is sure to beat it by the margin M.
// After end b, for each candidate k that survives the threshold: with
// minDelta = tau(k, b) - pen - F[b] = min over mu of q_k - q_b, which lies in
// [U - thr - E2, U - thr + E2],
//  - {mu : q_k - q_b < M} = {L (mu - s*/L)^2 < M - minDelta} lies inside
//    widened(centre, L, thr - U + M + E2, rounded up): k's region is clipped
//    to it; outside it, the new candidate b beats k by M;
//  - {mu : q_b - q_k >= M} = {L (mu - s*/L)^2 <= -M - minDelta} contains
//    narrowed(centre, L, thr - U - M - E2, rounded down): there, k beats b by
//    M. The region of b is everything outside these covers.
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
// slack(k) = max(0, thr - U(k, b1) + E2) (zero for a clear prune, about 2E
// for a near tie, more only where a clamp hid a negative residue); and
// because b1 is a candidate at every end after b1 (min_size <= jump makes b1
// the candidate appended at the next grid end), except at the last end n
// when n - b1 < min_size (point 4). A walk never returns to a candidate:
// positions only grow along threshold steps, and a loop with a witness step
// would give q(mu) > q(mu) as long as the slacks of all prunes so far,
// Sigma, stay below M. So the walk ends, at a candidate c of the pruned list,
// and q_d(mu) >= q_c(mu) + M - Sigma. Taking the minimum over mu:
//     T(d, b) >= U(d, b) >= tau(d, b) - E
//             >= min_c tau(c, b) + M - Sigma - E
//             >= T(c', b) - (T - U)(c', b) - 2E + M - Sigma,
// c' the candidate with the smallest tau. Each end checks
//     Sigma + 2E + max over the list of (T - U) < M
// (with rounding allowances) before it decides; then every dropped candidate
// totals strictly more than some candidate of the pruned list and the first
// minimum, ties included, is the plain one. When the check fails (a run of
// near ties, or a clamp that hid a large negative residue), the caller runs
// the plain search from the start. M = pen / 2^12 is far below the gaps that
// decide a candidate's fate (of the order of pen and of the noise), and far
// above E unless the penalty is tiny against the signal's energy; margins_for
// refuses penalties that leave fewer than four E.
//
// 4. The last end n, when n - g < min_size for the last grid end g: the
// candidate appended for n repeats g - jump, and the candidates the threshold
// pruned at g have no stand-in at n. The search then checks every dropped
// candidate that would beat the pruned list's choice at n (smaller total, or
// equal total and smaller position): it replays the candidate's totals at
// every end since it was appended against that end's threshold, which is
// exactly what the plain search did with it, and lets it compete only if it
// survived them all.

constexpr double kLargest = 0x1p900;  // beyond it, sums of a few values could overflow

struct Margins {
    double margin;  // M
    double scale;   // V + |pen|

    // E for prefix costs up to `largest_prefix` in magnitude.
    double error(double largest_prefix) const noexcept {
        return 0x1p-48 * (scale + largest_prefix) * (1.0 + 0x1p-50) + kTinySlack;
    }
};

// The search's constants, or nothing when the bounds cannot be given.
std::optional<Margins> margins_for(const double* s, const double* q, std::size_t n, double pen) {
    if (!(pen > 0.0 && pen < kLargest) || n >= (std::size_t{1} << 40)) return std::nullopt;
    double largest_q = 0.0;
    double lane[4] = {0.0, 0.0, 0.0, 0.0};  // four sums, for speed; the bound holds for any order
    for (std::size_t i = 0; i <= n; ++i) {
        if (!(std::fabs(s[i]) < kLargest && std::fabs(q[i]) < kLargest)) return std::nullopt;
        largest_q = std::max(largest_q, std::fabs(q[i]));
        if (i < n) {
            const double step = s[i + 1] - s[i];
            lane[i % 4] = lane[i % 4] + step * step;
        }
    }
    // Each term carries three roundings and the sums n more, relative to the
    // total: (n + 3) u < 2^-12 for n < 2^40, and the factor allows twice that.
    const double y = ((lane[0] + lane[1]) + (lane[2] + lane[3])) * (1.0 + 0x1p-52 * (static_cast<double>(n) + 4.0));
    const double v = (2.0 * largest_q + y) * (1.0 + 0x1p-50);
    if (!(v < kLargest)) return std::nullopt;
    const Margins m{pen * 0x1p-12, v + pen};
    if (!(4.0 * m.error(0.0) < m.margin)) return std::nullopt;
    return m;
}

// A live candidate: its start, the prefix sums there, its prefix cost F, and
// its region.
struct Live {
    std::size_t slot;
    double start;
    double s;
    double q;
    double prefix;
    Region region;
};

class FunctionalSearch {
public:
    FunctionalSearch(const cost::CostL2& model, std::size_t n, std::size_t jump, std::size_t min_size,
                     double pen, const Margins& margins, PeltTables& tables, std::size_t* evaluations)
        : s_(model.sums().data.data()), q_(model.sums_sq().data.data()), n_(n), jump_(jump),
          n_slot_(grid_count(n, jump)), pen_(pen), margins_(margins), tables_(tables),
          evaluations_(evaluations),
          // The candidate the end n appends: the previous grid end, or, when
          // that one is too close to n, the grid end before it again.
          last_candidate_((n - min_size) / jump),
          repeats_(last_candidate_ + 1 < n_slot_) {
        if (repeats_) dropped_.assign(n_slot_, 0);
    }

    bool run() {
        Live pending = candidate(0);
        pending.region = Region::everything();
        for (std::size_t slot = 1; slot < n_slot_; ++slot) {
            live_.push_back(pending);
            if (!settle_grid_end(slot, pending)) return false;
        }
        live_.push_back(repeats_ ? candidate(last_candidate_) : pending);
        return settle_last_end();
    }

private:
    Live candidate(std::size_t slot) const noexcept {
        const std::size_t start = slot * jump_;
        return {slot, static_cast<double>(start), s_[start], q_[start], tables_.best[slot], Region{}};
    }

    // T and U of every live candidate at `end`; returns the index of the
    // first smallest T.
    std::size_t evaluate(std::size_t end) {
        const double e = static_cast<double>(end), s_end = s_[end], q_end = q_[end];
        total_.resize(live_.size());
        unclamped_.resize(live_.size());
        std::size_t chosen = 0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            const Live& c = live_[k];
            const double len = e - c.start, s = s_end - c.s, q = q_end - c.q;
            total_[k] = l2_total(s, q, len, c.prefix, pen_);
            const double residue = q - (s * s) / len;
            unclamped_[k] = residue < 0.0 ? c.prefix + ((0.0 + residue / len) * len + pen_) : total_[k];
            if (total_[k] < total_[chosen]) chosen = k;
        }
        if (evaluations_ != nullptr) *evaluations_ += live_.size();
        return chosen;
    }

    // Records the end's best split; false when the argument of point 3 no
    // longer covers this end's decision. Leaves E and thr for the pruning.
    bool decide(std::size_t end_slot, std::size_t chosen) {
        const double best = total_[chosen];
        record(tables_, end_slot, best, live_[chosen].slot);
        largest_prefix_ = std::max(largest_prefix_, std::fabs(best));
        threshold_ = best + pen_;
        if (!(std::fabs(threshold_) < kLargest)) return false;
        const double e = margins_.error(largest_prefix_);
        error_ = e + 0x1p-51 * std::fabs(threshold_);
        double clamped = 0.0;
        for (std::size_t k = 0; k < live_.size(); ++k) clamped = std::max(clamped, total_[k] - unclamped_[k]);
        return (slack_ + 2.0 * e + clamped) * (1.0 + 0x1p-20) < margins_.margin;
    }

    bool settle_grid_end(std::size_t end_slot, Live& pending) {
        const std::size_t end = end_slot * jump_;
        if (!decide(end_slot, evaluate(end))) return false;
        covers_.clear();
        std::size_t kept = 0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (!(threshold_ >= total_[k])) {
                slack_ += near_tie_slack(unclamped_[k]);
                continue;
            }
            if (clip_region(live_[k], end, unclamped_[k])) live_[kept++] = live_[k];
        }
        live_.resize(kept);
        pending = candidate(end_slot);
        pending.region = Region::outside(covers_);
        return true;
    }

    // What a prune at this end may cost a walk of point 3.
    double near_tie_slack(double unclamped) const noexcept {
        const double spread = 0x1p-50 * (std::fabs(threshold_) + std::fabs(unclamped) + error_);
        const double slack = ((threshold_ - unclamped) + error_) + spread;
        return slack > 0.0 ? slack * (1.0 + 0x1p-50) : 0.0;
    }

    // Clips k's region by where the end's new candidate beats it by the
    // margin, and notes where k beats the new candidate; false when k is
    // dropped.
    bool clip_region(Live& k, std::size_t end, double unclamped) {
        const double len = static_cast<double>(end) - k.start;
        const double centre = (s_[end] - k.s) / len;
        const double w = (margins_.margin + error_) * (1.0 + 0x1p-50);
        const double spread = 0x1p-50 * (std::fabs(threshold_) + std::fabs(unclamped) + w);
        const double gap = threshold_ - unclamped;
        const Interval cover = narrowed(centre, len, (gap - w) - spread);
        if (cover.lo <= cover.hi) covers_.push_back(cover);
        if (k.region.clip(widened(centre, len, (gap + w) + spread))) return true;
        if (repeats_) dropped_[k.slot] = 1;
        return false;
    }

    bool settle_last_end() {
        const std::size_t chosen = evaluate(n_);
        if (!repeats_) {
            if (!decide(n_slot_, chosen)) return false;
            return true;
        }
        std::size_t parent = live_[chosen].slot;
        double best = total_[chosen];
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
    std::size_t last_candidate_;
    bool repeats_;
    std::vector<Live> live_;
    std::vector<double> total_, unclamped_;
    std::vector<Interval> covers_;
    std::vector<char> dropped_;  // only when the last end repeats a candidate
    double largest_prefix_ = 0.0;
    double threshold_ = 0.0;
    double error_ = 0.0;  // E2 of the current end
    double slack_ = 0.0;  // Sigma
};

}  // namespace

bool functional_pelt(const cost::CostL2& model, std::size_t n, std::size_t jump, std::size_t min_size,
                     double pen, PeltTables& tables, std::size_t* evaluations) {
    // One column; every end but n on the grid past the first; a candidate
    // usable from the end after its own on (min_size <= jump).
    if (model.dims() != 1 || min_size == 0 || min_size > jump || n <= jump || n >= kExactPositions) {
        return false;
    }
    const auto margins = margins_for(model.sums().data.data(), model.sums_sq().data.data(), n, pen);
    if (!margins) return false;
    tables = start_tables(grid_count(n, jump));
    return FunctionalSearch(model, n, jump, min_size, pen, *margins, tables, evaluations).run();
}

}  // namespace marbolt::detect
