#include "detect/dynp/pruned.hpp"

#include <algorithm>
#include <cmath>

#include "detect/envelope.hpp"

namespace marbolt::detect {
namespace {

// Why the pruned layer gives the plain layer's items, to the bit.
//
// Notation as in envelope.hpp: S, Q and the previous layer's costs c are
// doubles read as exact reals. A candidate t enters at the first end f with
// f - t >= min_size (the plain fill skips it before) and is usable at every
// later end. At an end f its total as a function of the last segment's mean mu
// is q_t(mu) = c_t + sum over [t, f) of (x_i - mu)^2, minimal at the exact
// total tau(t, f) = c_t + q* - s*^2 / L; for t < u, q_t - q_u = c_t - c_u +
// (Q[u] - Q[t]) - 2 mu (S[u] - S[t]) + (u - t) mu^2 does not depend on f.
//
// 1. Rounding (envelope.hpp, with the rest of the total P = c_t): the plain
// fill's T is at least tau - E and the bookkeeping U = fl(c_t + e) within E
// of tau, for E = error_bound(V, Cmax), V = l2_energy of the tables and Cmax
// the largest |c| of the candidates entered so far (E grows as they enter,
// and every step uses the E of its time). When u enters, each live t gets
// D = fl(c_t + e(t, u)), within E of tau'(t, u) = c_t + q*(t, u) - s*(t, u)^2
// / (u - t), and minDelta = min over mu of q_t - q_u = tau'(t, u) - c_u lies in
// [D - c_u - E, D - c_u + E].
//
// 2. Regions, as for PELT: every candidate keeps a set of mu containing every
// mu where no witness is sure to beat it by the margin M. When u enters, each
// live t is clipped to the interval of outer_half_width(centre, 1/(u - t),
// c_u - D + M + E, rounded up), outside which u beats t by M; and u's region
// is everything outside the intervals of inner_half_width(centre, 1/(u - t),
// c_u - D - M - E, rounded down), inside which t beats u by M. A candidate
// whose region is empty has, at every mu, an earlier or later candidate w with
// q_t(mu) >= q_w(mu) + M in exact arithmetic, and leaves the layer.
//
// 3. Dropped candidates never win. Every witness had entered when it served,
// so it is usable at every end where the dropped candidate is. Walk from a
// dropped d at any mu to its witness, and on from a dropped witness to its
// own: q falls by M at each step, so the walk never returns to a candidate
// and ends at a live one c, with q_d(mu) >= q_c(mu) + M. Over all mu,
//     T(d, f) >= tau(d, f) - E >= tau(c', f) + M - E
//             >= T(c', f) - (T - U)(c', f) - 2E + M,
// c' the live candidate with the smallest tau. Each end checks 2E + max over
// the live list of (T - U) < M (with a rounding allowance), so every dropped
// candidate totals strictly more than a live one: the first minimum over the
// live list, which keeps the candidates' ascending order, is the plain one,
// ties and all. The layer has no other pruning, so nothing else can remove a
// witness. M = 2^-39 V is at least 256 E as long as the costs stay below V
// (an l2 cost of a prefix is at most its sum of squares, below V/2), and far
// below the gaps that decide a candidate's fate unless the costs are tiny
// against 2^-39 of the signal's energy, which only weakens the pruning.

}  // namespace

PrunedLayer::PrunedLayer(const cost::CostL2& model, double energy)
    : s_(model.sums().data.data()), q_(model.sums_sq().data.data()), energy_(energy), error_(error_bound(energy, 0.0)), margin_(0x1p-39 * energy) {}

bool PrunedLayer::enter(const Candidate& u) {
    if (!(std::fabs(u.cost) < kEnvelopeLargest)) return false;
    largest_cost_ = std::max(largest_cost_, std::fabs(u.cost));
    error_ = error_bound(energy_, largest_cost_);
    const double position = static_cast<double>(u.start), s_u = s_[u.start], q_u = q_[u.start];
    const double w = step_allowance(margin_, error_);
    covers_.clear();
    std::size_t kept = 0;
    for (std::size_t k = 0; k < live_.size(); ++k) {
        const double len = position - live_.start[k];
        const double s = s_u - live_.s[k], q = q_u - live_.q[k];
        const double d = live_.prefix[k] + cost::CostL2::column_residue(s, q, len);
        if (!take_step(region_step(s, 1.0 / len, u.cost, d, w), live_.region[k], covers_)) continue;
        if (kept != k) live_.move(k, kept);
        ++kept;
    }
    evaluations_ += live_.size();
    live_.resize(kept);
    live_.push_back(u.start, position, s_u, q_u, u.cost, Region::outside(covers_));
    return true;
}

bool PrunedLayer::settle(std::size_t end, Item& item) {
    const std::size_t count = live_.size();
    item = {};
    if (count == 0) return true;
    total_.resize(count);
    unclamped_.resize(count);
    const double e = static_cast<double>(end), s_end = s_[end], q_end = q_[end];
    const double* __restrict start = live_.start.data();
    const double* __restrict s_start = live_.s.data();
    const double* __restrict q_start = live_.q.data();
    const double* __restrict cost = live_.prefix.data();
    double* __restrict total = total_.data();
    double* __restrict unclamped = unclamped_.data();
    for (std::size_t k = 0; k < count; ++k) {
        const double len = e - start[k], s = s_end - s_start[k], q = q_end - q_start[k];
        // The plain fill's total: segment cost first, then the previous layer's.
        total[k] = cost::CostL2::column_cost(s, q, len) + cost[k];
        unclamped[k] = cost[k] + cost::CostL2::column_residue(s, q, len);
    }
    evaluations_ += count;
    std::size_t chosen = 0;
    double clamped = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        chosen = total[k] < total[chosen] ? k : chosen;
        clamped = std::max(clamped, total[k] - unclamped[k]);
    }
    item = {total[chosen], live_.parent[chosen], true};
    return (2.0 * error_ + clamped) * (1.0 + 0x1p-40) < margin_;
}

}  // namespace marbolt::detect
