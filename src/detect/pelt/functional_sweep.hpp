// The end's totals in PELT with functional pruning, and the first
// candidate with the smallest plain total: for a family that sweeps (l2),
// estimates for every start and the plain totals only near the minimum.
#pragma once

#include "detect/pelt/functional_search.hpp"

namespace marbolt::detect::functional {
namespace {

// 7. Families with exact totals that sweep (l2). The family's sweep gives
// each start an estimate T' within E/2 of T and a value U' within E of
// tau, where E is the global bound of the recorded F so far; the other half
// of E covers the roundings of the comparisons below. The end's first
// minimum: the candidates whose T' - E reaches below the smallest T' + E
// contend, every other one totals strictly more than the smallest T; the
// contenders' T are formed (the family's total(), the plain bits) and the
// first smallest taken, so the choice and its recorded F are the plain
// ones. A verdict is taken from T' when T' + E <= thr (keep) or T' - E > thr
// (prune), otherwise from T. The check of point 3 reads max (T - U') <=
// max (T' - U') + E, where T' stands for T once formed.

// T and U of every entry at `end` (estimates with their bounds for a
// family that estimates); returns the index of the first candidate with
// the smallest T.
template <class Family>
inline std::size_t FunctionalSearch<Family>::evaluate(std::size_t end) {
    const std::size_t count = live_.size();
    scratch_.resize(count);
    if (evaluations_ != nullptr) *evaluations_ += count;
    if constexpr (kSweep) {
        return sweep(end);
    } else if constexpr (kExact) {
        if constexpr (kEstimated) {
            if (estimated_end(end)) return estimated_choice(end);
        }
        family_.evaluate(live_.state, end, PeltRest{live_.prefix.data(), pen_}, scratch_.total.data(),
                         scratch_.value.data());
        const double* total = scratch_.total.data();
        std::size_t chosen = count;
        for (std::size_t k = 0; k < count; ++k) {
            if (candidate(k, end) && (chosen == count || total[k] < total[chosen])) chosen = k;
        }
        return chosen;
    } else {
        estimate(end);
        return estimated_minimum(end);
    }
}

// Point 7: T' and U' of every entry, the plain T of the contenders for
// the minimum; returns the first candidate with the smallest T.
template <class Family>
[[gnu::always_inline]] inline std::size_t FunctionalSearch<Family>::sweep(std::size_t end) {
    const std::size_t count = live_.size();
    scratch_.resize_sweep(count);
    double* total = scratch_.total.data();
    const double* value = scratch_.value.data();
    // The plain total of the start the last end chose: the minimum usually
    // stays with one start from end to end. The last end formed it already
    // for this end (ahead), so that its two divisions ran while that end
    // settled, not on the way to this end's threshold; where the start is
    // not the one at the index (the list moved up) it is formed here,
    // beside the sweep. Used only where that index contends.
    const std::size_t guess = count == 0 ? 0 : std::min(guess_, count - 1);
    const bool ahead = count != 0 && ahead_.end == end && live_.parent[guess] == ahead_.parent;
    const double guessed = count == 0 ? 0.0 : ahead ? ahead_.total : plain_total(guess, end);
    const auto formed = [&](std::size_t k) { return k == guess ? guessed : plain_total(k, end); };
    const cost::SweepSummary summary =
        family_.sweep(live_.state, end, live_.prefix.data(), pen_, total, scratch_.value.data(),
                      scratch_.inv.data());
    const double beta = family_.error(pen_, largest_prefix_);
    sweep_bound_ = beta;
    // At a grid end with nothing waiting, every entry is a candidate:
    // the newest is min_size <= jump behind it, and the sweep found the
    // smallest estimate (a zero's sign does not change reach: beta > 0).
    const bool every = pending_ == 0 && min_size_ <= jump_ && end != n_;
    double low = summary.lowest;
    if (!every) {
        low = kInf;
        for (std::size_t k = 0; k < count; ++k) {
            if (candidate(k, end)) low = std::min(low, total[k]);
        }
    }
    // decide()'s largest T - U' over the list (point 7): with T' for
    // every entry, then T for those whose T is formed, over the same
    // entries, so at least what the argument needs.
    clamped_ = summary.clamped;
    const double reach = low + beta;
    // Without a branch on the data: which start is near the minimum
    // changes from end to end.
    std::size_t first = count, contenders = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const bool near = (every || candidate(k, end)) && total[k] - beta <= reach;
        first = near && contenders == 0 ? k : first;
        contenders += near ? 1 : 0;
    }
    if (contenders == 1) {
        chosen_total_ = formed(first);
        total[first] = chosen_total_;
        clamped_ = std::max(clamped_, chosen_total_ - value[first]);
        guess_ = first;
        look_ahead(end);
        return first;
    }
    std::size_t chosen = count;
    for (std::size_t k = first; k < count; ++k) {
        if (!((every || candidate(k, end)) && total[k] - beta <= reach)) continue;
        total[k] = formed(k);
        clamped_ = std::max(clamped_, total[k] - value[k]);
        if (chosen == count || total[k] < total[chosen]) chosen = k;
    }
    guess_ = chosen == count ? 0 : chosen;
    chosen_total_ = chosen == count ? kInf : total[chosen];
    look_ahead(end);
    return chosen;
}

// The plain total of the start at guess_ at the grid end after `end` (the
// same bits the next end would form: the same start, end and operations).
template <class Family>
inline void FunctionalSearch<Family>::look_ahead(std::size_t end) {
    const std::size_t next = end + jump_;
    if (guess_ >= live_.size() || next >= n_) {
        ahead_.end = 0;
        return;
    }
    ahead_ = {plain_total(guess_, next), live_.parent[guess_], next};
}

// 9. Families with exact totals that estimate them (normal). Where the
// family estimates an end, every estimate T' is within b of T, and is NaN
// where the value U may differ from T: those entries' T and U are formed
// first, and every other U is its T, so the largest T - U over the list
// (and over the candidates) is the exact path's. The exact minimum m
// is at most the smallest candidate's T' + b, so a candidate with T = m has
// T' <= smallest + 2b; contenders are those with T' <= smallest + 3b (the
// third b absorbs the rounding of the sum, b being at least 2^-1000 and 2^-45
// of every magnitude), their T formed and the first smallest taken: every
// other candidate totals more than m, so the choice and its F are the exact
// path's. A keep stands from T' where T' <= thr - 2b (T <= thr with the same
// room); otherwise, and wherever a value is read (a region step, a prune's
// slack, a ghost), T is formed first. Only which totals are formed depends
// on the estimates (and so on the processor); every decision is the exact
// path's.

// Estimates the end's totals; false where the family declines.
template <class Family>
inline bool FunctionalSearch<Family>::estimated_end(std::size_t end) {
    const std::size_t count = live_.size(), chunks = estimate_chunks(count);
    if (chunk_low_.size() < chunks) {
        chunk_low_.resize(chunks);
        chunk_high_.resize(chunks);
    }
    const std::optional<double> bound = family_.estimate_totals(
        live_.state, end, live_.prefix.data(), pen_, scratch_.total.data(), chunk_low_.data(), chunk_high_.data());
    estimated_ = bound.has_value();
    if (!estimated_) return false;
    estimate_bound_ = *bound;
    formed_.assign(count, 0);
    return true;
}

// The first candidate with the smallest T, from the estimates. Where no
// entry waits and the end is not n (whose fresh copy may be older than the
// entries before it), the candidates are a leading run of the list, whose
// starts ascend, and runs of kEstimateChunk entries are read through their
// least estimate (a run holding a NaN, formed exactly, is read in full).
template <class Family>
inline std::size_t FunctionalSearch<Family>::estimated_choice(std::size_t end) {
    const std::size_t count = live_.size(), chunks = estimate_chunks(count);
    const double* total = scratch_.total.data();
    const auto chunk_end = [&](std::size_t c) { return std::min(count, (c + 1) * kEstimateChunk); };
    double low = form_unknown_values(end);
    const bool run = end != n_ && (pending_ == 0 || hold_);
    std::size_t tail = count;
    if (run) {
        while (tail > 0 && !candidate(tail - 1, end)) --tail;
        const std::size_t whole = tail / kEstimateChunk;
        for (std::size_t c = 0; c < whole; ++c) low = std::min(low, chunk_low_[c]);
        for (std::size_t k = whole * kEstimateChunk; k < tail; ++k) low = std::min(low, total[k]);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            if (candidate(k, end)) low = std::min(low, total[k]);
        }
    }
    const double limit = low + 3.0 * estimate_bound_;
    std::size_t chosen = count;
    for (std::size_t c = 0; c < chunks; ++c) {
        if (run && !chunk_marked_[c] && !(chunk_low_[c] <= limit)) continue;
        for (std::size_t k = c * kEstimateChunk; k < chunk_end(c); ++k) {
            if (!((run ? k < tail : candidate(k, end)) && total[k] <= limit)) continue;
            form(k, end);
            if (chosen == count || total[k] < total[chosen]) chosen = k;
        }
    }
    return chosen;
}

// Forms T and U of the entries whose estimate is NaN (their U may differ
// from T), marks the runs that hold one, and sets the end's largest T - U
// over the list and over the candidates; returns the smallest formed T of
// a candidate (infinity if none).
template <class Family>
inline double FunctionalSearch<Family>::form_unknown_values(std::size_t end) {
    const std::size_t count = live_.size(), chunks = estimate_chunks(count);
    const double* total = scratch_.total.data();
    clamped_ = clamped_candidates_ = 0.0;
    double low = kInf;
    chunk_marked_.assign(chunks, 0);
    for (std::size_t c = 0; c < chunks; ++c) {
        const std::size_t first = c * kEstimateChunk, last = std::min(count, first + kEstimateChunk);
        if (std::none_of(total + first, total + last, [](double t) { return std::isnan(t); })) [[likely]] {
            continue;
        }
        chunk_marked_[c] = 1;
        for (std::size_t k = first; k < last; ++k) {
            if (!std::isnan(total[k])) continue;
            form_apart(k, end);
            // std::max keeps the first operand against a NaN, as decide's
            // exact loop does.
            const double d = total[k] - scratch_.value[k];
            clamped_ = std::max(clamped_, d);
            if (candidate(k, end)) {
                clamped_candidates_ = std::max(clamped_candidates_, d);
                low = std::min(low, total[k]);
            }
        }
    }
    return low;
}

// Entry k's T and U where they may differ.
template <class Family>
inline void FunctionalSearch<Family>::form_apart(std::size_t k, std::size_t end) noexcept {
    if constexpr (kEstimated) {
        formed_[k] = 1;
        scratch_.total[k] = plain_total(k, end);
        scratch_.value[k] = PeltRest{live_.prefix.data(), pen_}.value(k, family_.residue(live_.state, k, end));
    }
}

// Entry k's T and U, formed exactly once at this end.
template <class Family>
inline void FunctionalSearch<Family>::form(std::size_t k, std::size_t end) noexcept {
    if constexpr (kEstimated) {
        if (!estimated_ || formed_[k]) return;
        formed_[k] = 1;
        scratch_.total[k] = scratch_.value[k] = plain_total(k, end);
    }
}

}  // namespace
}  // namespace marbolt::detect::functional
