// The end's decision in PELT with functional pruning: its best split,
// whether the argument still covers it, the threshold's verdict on each
// start, and the slack that a prune adds to the chains (point 2).
#pragma once

#include "detect/pelt/functional_search.hpp"

namespace marbolt::detect::functional {
namespace {

// Records the end's best split; false when the argument no longer covers
// this end's decision. Leaves thr and its bounds for the pruning.
template <class Family>
inline bool FunctionalSearch<Family>::decide(std::size_t end_slot, std::size_t chosen) {
    // A sweep hands over the chosen total itself: read at the chosen index,
    // it would wait on the search for the minimum even where the total was
    // formed long before (see sweep).
    double best = 0.0;
    if constexpr (kSweep) {
        best = chosen_total_;
    } else {
        best = scratch_.total[chosen];
    }
    record(tables_, end_slot, best, live_.parent[chosen]);
    largest_prefix_ = std::max(largest_prefix_, std::fabs(best));
    threshold_ = best + pen_;
    if (!(std::fabs(threshold_) < cost::kEnvelopeLargest)) return false;
    const double e = family_.error(pen_, largest_prefix_);
    error_ = e + 0x1p-51 * std::fabs(threshold_);
    if constexpr (kEstimated) {
        for (std::size_t k = 0; k < live_.size() && pending_ > 0 && !hold_; ++k) {
            if (status_[k] == Status::ghost) form(k, position(end_slot));
        }
    }
    if (!ghosts_clear(best, e)) return false;
    if constexpr (kSweep) {
        // Point 7: estimates stand for T within sweep_bound_.
        return decision_holds(chains(), e, clamped_ + sweep_bound_, margin_);
    } else if constexpr (kExact) {
        if (estimated_) {  // point 9
            return decision_holds(chains(), e, clamped_ < kInf ? clamped_ : clamped_candidates_, margin_);
        }
        // Two accumulators: a chain of dependent maxima showed.
        const double* total = scratch_.total.data();
        const double* value = scratch_.value.data();
        const std::size_t count = live_.size();
        double clamped = 0.0, other = 0.0;
        std::size_t k = 0;
        for (; k + 2 <= count; k += 2) {
            clamped = std::max(clamped, total[k] - value[k]);
            other = std::max(other, total[k + 1] - value[k + 1]);
        }
        if (k < count) clamped = std::max(clamped, total[k] - value[k]);
        clamped = std::max(clamped, other);
        // Only candidates can end a walk (point 1), so only their T - U
        // counts; a family may leave U unknown (-inf) for a segment
        // shorter than any candidate's (normal on one sample).
        if (!(clamped < kInf)) clamped = candidates_clamp(position(end_slot));
        return decision_holds(chains(), e, clamped, margin_);
    } else {
        const double bound = estimates_.bound[chosen];
        tables_.estimated[end_slot] = bound > 0.0 ? 1 : 0;
        estimates_.slot_bound[end_slot] = bound;
        // thr computed from an exact F is the plain search's own.
        estimates_.threshold_bound = bound > 0.0 ? up(bound + 0x1p-50 * (std::fabs(threshold_) + bound)) : 0.0;
        double largest = 0.0;
        for (std::size_t k = 0; k < live_.size(); ++k) largest = std::max(largest, estimates_.bound[k]);
        // Point 4: T(c') - tau(c') and tau(c') - U(c') are each at most its bound.
        return (chains() + e + 2.0 * largest) * (1.0 + 0x1p-40) < margin_;
    }
}

// The largest T - U over the candidates at `end`.
template <class Family>
inline double FunctionalSearch<Family>::candidates_clamp(std::size_t end) const noexcept {
    double clamped = 0.0;
    for (std::size_t k = 0; k < live_.size(); ++k) {
        if (candidate(k, end)) clamped = std::max(clamped, scratch_.total[k] - scratch_.value[k]);
    }
    return clamped;
}

// Point 1: a walk that ends at a ghost g had a witness step, so a start
// it leaves from totals at least tau(g) + M - R - E; each ghost must keep
// that above the choice.
template <class Family>
inline bool FunctionalSearch<Family>::ghosts_clear(double best, double e) const noexcept {
    if (pending_ == 0 || hold_) return true;  // point 8: every ghost is a candidate
    for (std::size_t k = 0; k < live_.size(); ++k) {
        if (status_[k] != Status::ghost) continue;
        double low = 0.0;  // tau(g) is at least this
        if constexpr (kExact) {
            low = scratch_.value[k] - e;
        } else {
            low = scratch_.total[k] - estimates_.bound[k];
        }
        if (!((low - e) + (margin_ - chains()) > up(best) + 0x1p-50 * std::fabs(low))) return false;
    }
    return true;
}

// Whether the plain search keeps candidate k at this end (thr >= T), or,
// for a family that estimates, whether the estimates cannot tell (point 5).
template <class Family>
inline typename FunctionalSearch<Family>::Verdict FunctionalSearch<Family>::verdict(std::size_t k, std::size_t end_slot) {
    if constexpr (kSweep) {
        // Point 7: from T' where it is clear.
        double& total = scratch_.total[k];
        if (total + sweep_bound_ <= threshold_) return Verdict::keep;
        if (total - sweep_bound_ > threshold_) return Verdict::prune;
        total = plain_total(k, position(end_slot));
        return threshold_ >= total ? Verdict::keep : Verdict::prune;
    } else if constexpr (kExact) {
        if constexpr (kEstimated) {
            // Point 9: from T' where it is clear; a prune's slack reads U.
            if (estimated_ && !formed_[k]) {
                if (scratch_.total[k] <= threshold_ - 2.0 * estimate_bound_) return Verdict::keep;
                form(k, position(end_slot));
            }
        }
        return threshold_ >= scratch_.total[k] ? Verdict::keep : Verdict::prune;
    } else {
        if (estimates_.gone[k]) return Verdict::prune;
        const double total = scratch_.total[k], bound = estimates_.bound[k];
        const double thr_bound = estimates_.threshold_bound;
        if (total + bound <= threshold_ - thr_bound) return Verdict::keep;
        if (total - bound > threshold_ + thr_bound) return Verdict::prune;
        estimates_.doubts[k].push_back(end_slot);
        return Verdict::doubt;
    }
}

// What the prune of start k at this end may cost a walk of point 2, with
// the family's local bound.
template <class Family>
inline double FunctionalSearch<Family>::slack(std::size_t k, std::size_t end) const noexcept {
    double local = 0.0;
    if constexpr (kExact) {
        local = family_.local_error(live_.state, k, end, std::fabs(pen_), std::fabs(live_.prefix[k])) +
                0x1p-51 * std::fabs(threshold_);
    } else {
        local = step_error(k);
    }
    const double slack = step_levels(threshold_, scratch_.value[k], local).up;
    return slack > 0.0 ? slack * (1.0 + 0x1p-50) : 0.0;
}

}  // namespace
}  // namespace marbolt::detect::functional
