// The normal pruning family for one column: each start's total is, as a
// function of the last segment's mean mu and log-variance l = log sigma^2,
// a sum over the segment of (x - mu)^2 e^-l + l - 1 (functional pruning,
// Maidstone, Eckley, Fearnhead & Rigaill 2017, on the (mu, l) plane; regions
// are boxes as in geometric pruning, Pishchagina, Rigaill & Runge 2024).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "cost/cost_normal.hpp"
#include "cost/pruning.hpp"

namespace marbolt::cost {

// The segment function and its minimum. With S and Q the prefix tables read
// as exact reals, a segment [t, b) of L = b - t samples, s* = S[b] - S[t],
// q* = Q[b] - Q[t] and the small diagonal eps (or 0),
//     C(mu, l) = (q* - 2 mu s* + L mu^2 + L eps) e^-l + L (l - 1)
//              = L [(V + (mu - m)^2) e^-l + l - 1],
// m = s* / L, V = (q* - s*^2 / L) / L + eps. It is linear in (L, s*, q*), so
// C_tb = C_tw + C_wb: the engine's q_k - q_w does not depend on the end.
// Over l >= log f (f the floor; the whole line without one) its minimum is
// L h(V), h(v) = log v for v >= f and log f + v / f - 1 below, which is
// what error() rounds: the model's cost to the bit is the family's total.
//
// Rounding of a total (the engine's E). error() forms e = fl(q - fl(fl(s s)
// / L)) and v = max(fl(e / L), 0) (+ eps). |q*| <= L Gq and s*^2 / L <= L Gs^2,
// with Gq and Gs the largest steps of the tables (an average of steps is at
// most the largest), so |e - L (V - eps)| <= 8u (|q*| + s*^2 / L) <= 8u L G,
// G = Gq + Gs^2, and the unclamped fl(e / L) + eps (the family's value) is
// within K = 10u G + u Vhi of V, Vhi = G + eps + K above every V (u =
// 2^-53). The clamp only raises v, so v >= V - K either way. V itself is at
// least eps + R(L) / L, R(L) a lower bound of the exact residue of every
// segment of L samples (PairResidues, in the source); so h, increasing with
// slope 1 / max(f, v), has slope at most 1 / d(L) between v and V, d(L) =
// max(f, eps + R(L) / L - K), and L |h(v) - h(V)| <= L K / d(L). log is
// within one ulp, the floor branch within 2^-51 (|log f| + 2 Vhi / f + 2) of
// h, so h's own rounding and the product by L add 2^-50 n Lam, Lam at least
// every |h| and those terms; the rest's two additions u (|pen| + n Lam +
// |F|) each. E = (max over L of L K / d(L) + 2^-50 n Lam) (1 + 2^-30) +
// 2^-50 (|pen| + |F|) covers |T - tau| from below and |U - tau| both ways,
// for every segment of every length; the family declines where some d(L) is
// not positive (exact ties without floor or diagonal: a constant pair prices
// at -inf).
//
// Without floor and diagonal a single sample has no variance to bound: L
// runs from 2, and the value of a one-sample segment is -inf (unknown), as
// is any value whose v is not positive. That is enough: the engine needs U
// only of candidates (which reach min_size; with min_size 1 the -inf makes
// it hand over), a step with an unknown U reaches everywhere and covers
// nothing, and no dropped start's segment is that short (a start is
// evaluated, live, at the end after it, and dropped there at the earliest).
//
// Budgeted region steps. A step brackets a start and clips its box (logs,
// an exponential, roots: a few hundred nanoseconds, against a few for an
// estimated evaluation), so an end steps only step_budget(live) of its live
// starts (four, or one in kStepShare), each in turn, besides the newest, the
// end's choice and the starts whose age is a power of two. That is exact: a
// start's region is the complement of its older starts' covers at its
// creation, within its reach sets at later ends, and each of these is a
// fact about two starts at one end, true whenever it is used; a start not
// stepped keeps its region (the intersection of fewer reach sets, a
// superset) and gives no cover to the start appended (whose region, outside
// fewer covers, is a superset too). Inequality pruning is untouched: every
// live start is evaluated and tested at every end, and a start leaves only
// when its region empties or its total passes the threshold, as with every
// start stepped.
//
// Evaluations: every live start's total is estimated by the plain loop's
// vector estimates (estimate_totals), and the engine forms the exact total
// only near a decision, where a region step reads a value, and where the
// estimate is NaN (a value that may differ from the total).
//
// Where the searches take it. The steps cost each end about what a plain
// list of a couple of thousand starts costs, so PELT and the optimum's loop
// run their plain loops first and start again with the family once the
// list passes kPlainUntil (a count: the bits and the evaluations never
// depend on timing). Ten changes, pen 3 log n, small diagonal, processor
// time: 10^4 samples stay with the plain loop (15 ms); 10^5 0.86-0.91 s
// against 1.45-1.72 s (about 310 live starts per end against 4550); 10^6
// 62-69 s against 142-157 s (about 5200 against 44000). Faster, but not
// near linear: the live starts still grow with the segments.
// Its brackets' reach holds every (mu, l) of the domain where the segment
// function is below a_up above its minimum; its covers only points where it
// is at most a_down above it, or outside the domain (l < log f).
class NormalColumnFamily : public PlaneFamily<CostNormal, 8> {
public:
    // Its region steps cost about what a plain list of a couple of thousand
    // starts costs per end (see above); dynp's layers sweep line families.
    static constexpr std::size_t kPlainUntil = 2048;
    static constexpr bool kLayers = false;

    // One column, and finite tables whose variances the bounds cover.
    static std::optional<NormalColumnFamily> make(const CostNormal& model, std::size_t n) noexcept;

    using Starts = ColumnStarts;

    void push(Starts& starts, std::size_t at) const { starts.push_back(at, s_[at], q_[at]); }

    // total[k]: the rest with error() of [start_k, end) to the bit; value[k]:
    // the rest with L h of the unclamped variance (see above).
    template <class Rest>
    void evaluate(const Starts& starts, std::size_t end, const Rest& rest, double* __restrict total,
                  double* __restrict value) const noexcept {
        const double e = static_cast<double>(end), s_end = s_[end], q_end = q_[end];
        for (std::size_t k = 0; k < starts.size(); ++k) {
            const double len = e - starts.start[k], s = s_end - starts.s[k], q = q_end - starts.q[k];
            const double v = CostNormal::column_variance(s, q, len, diag_ > 0.0);
            const double cost = held_log_variance(v, floor_) * len;
            total[k] = rest.total(k, cost);
            // Where the variance was not clamped, the value is the total's.
            const double residue = (q - s * s / len) / len;
            value[k] = rest.value(k, residue >= 0.0 && known(v, len) ? cost : unclamped_cost(s, q, len));
        }
    }

    // Start k's total at `end` as the plain search forms it.
    double total(const Starts& starts, std::size_t k, std::size_t end, const double* prefix, double pen) const noexcept {
        const double len = static_cast<double>(end) - starts.start[k];
        return prefix[k] + (segment_cost(s_[end] - starts.s[k], q_[end] - starts.q[k], len) + pen);
    }

    // Every start's total at `end` estimated by the plain search's vector
    // loop, into `total` (with each run of kEstimateChunk starts' least and
    // largest estimate into `low` and `high`), and a bound on how far an
    // estimate may be from the total; nothing where the loop declines or
    // there is a floor. The estimate is NaN where the value may not be the
    // total: a variance raised to zero, a total of -inf, or one sample
    // without the small diagonal (detect/pelt/normal_estimates.cpp).
    std::optional<double> estimate_totals(const Starts& starts, std::size_t end, const double* prefix, double pen,
                                          double* total, double* low, double* high) const noexcept;

    // The family's value of [start_k, at) without its rest.
    double residue(const Starts& starts, std::size_t k, std::size_t at) const noexcept {
        return unclamped_cost(s_[at] - starts.s[k], q_[at] - starts.q[k], static_cast<double>(at) - starts.start[k]);
    }

    // The engine's E is global: every segment's bound is below it.
    double error(double pen, double largest_rest) const noexcept {
        return base_ + 0x1p-50 * (pen + largest_rest) * (1.0 + 0x1p-50) + kTinySlack;
    }
    double local_error(const Starts&, std::size_t, std::size_t, double pen, double rest) const noexcept {
        return error(pen, rest);
    }
    // 256 E at the rests of one segment's cost and a penalty, as l2's.
    double margin(double pen, double units = 1.0) const noexcept { return units * 256.0 * error(pen, scale_ + pen); }

    PlaneBracket bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up, double a_down) const noexcept;

    // About how many live starts take a region step per end (see above); 0
    // for all of them.
    std::size_t step_budget(std::size_t live) const noexcept {
        return step_budget_ == 0 ? 0 : std::max(step_budget_, live / kStepShare);
    }
    // The same family with its estimates moved by up to `by` / 2 either way
    // and their bound widened by `by`
    // (tests make most decisions near, where the exact totals must be formed).
    NormalColumnFamily widened(double by) const noexcept {
        NormalColumnFamily f = *this;
        f.widen_ = by;
        return f;
    }
    // The same family with another budget (tests reach every schedule).
    NormalColumnFamily with_step_budget(std::size_t budget) const noexcept {
        NormalColumnFamily f = *this;
        f.step_budget_ = budget;
        return f;
    }

private:
    NormalColumnFamily(const double* s, const double* q, double floor, double diag, double base, double scale) noexcept
        : s_(s), q_(q), floor_(floor), diag_(diag), base_(base), scale_(scale),
          domain_(floor > 0.0 ? std::log(floor) - (0x1p-50 * std::fabs(std::log(floor)) + kTinySlack)
                              : -std::numeric_limits<double>::infinity()) {}

    // What is known of one segment: its centre and how far the exact one
    // may be, and an interval [lo, hi] holding max(V, f).
    struct Fit {
        double mean, off, lo, hi, log_lo, log_hi;
    };
    PlaneLevelSet level_set(const Fit& fit, double a, bool usable) const noexcept;
    PlaneBox cover_box(const Fit& fit, double a, double share, bool below) const noexcept;

    double segment_cost(double s, double q, double len) const noexcept {
        return held_log_variance(CostNormal::column_variance(s, q, len, diag_ > 0.0), floor_) * len;
    }
    double unclamped_cost(double s, double q, double len) const noexcept {
        const double v = (q - s * s / len) / len + diag_;
        if (!known(v, len)) return -std::numeric_limits<double>::infinity();
        return held_log_variance(v, floor_) * len;
    }
    // Unknown (see the note above) where no bound covers the segment.
    bool known(double v, double len) const noexcept {
        return floor_ > 0.0 || (v > 0.0 && (diag_ > 0.0 || len >= 2.0));
    }

    const double* s_;
    const double* q_;
    double floor_;  // f, or 0
    double diag_;   // eps, or 0
    double base_;   // the E of a zero rest and penalty
    double scale_;  // n Lam, above one segment's |cost|
    double domain_;  // below log f (the floor's), or -inf
    std::size_t step_budget_ = kStepBudget;
    double widen_ = 0.0;

    static constexpr std::size_t kStepBudget = 4;
    static constexpr std::size_t kStepShare = 256;
};

}  // namespace marbolt::cost
