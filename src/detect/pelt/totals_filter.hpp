// PELT's decisions at one end from estimated totals. Every candidate's total
// is first estimated by a vector loop that avoids the slow operations of the
// exact formula (divisions, logarithms), under one proven bound on the
// estimate's error; only candidates whose estimate lies within that bound of
// a decision (the smallest total, the pruning threshold) have their exact
// total computed. Decisions and recorded totals are therefore those of the
// exact computation, to the bit.
//
// A candidates type provides count, exact_total(k), and an overload of
// estimate_totals(isa, candidates, estimate, chunk_low, chunk_high).
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/numeric.hpp"
#include "common/vector_isa.hpp"
#include "detect/minimum.hpp"

namespace marbolt::detect {

// Below AVX2 an estimate would cost about what the exact operations do, so
// there is none (VectorIsa::kNone).

// Estimates come with the smallest and largest estimate of each run of
// kEstimateChunk candidates, so that the decisions skip whole runs.
inline constexpr std::size_t kEstimateChunk = 64;
// The runs of kEstimateChunk entries that `count` entries make, the last
// one perhaps short.
inline constexpr std::size_t estimate_chunks(std::size_t count) noexcept {
    return (count + kEstimateChunk - 1) / kEstimateChunk;
}

// For the estimates' error bounds: roundings among the subnormal numbers are
// absolute, and kAbsoluteSlack covers them; a magnitude at or above
// kLargestBounded (or NaN) voids a bound, whose relative analysis assumes that
// nothing overflows.
inline constexpr double kAbsoluteSlack = 0x1p-1000;
inline constexpr double kLargestBounded = 0x1p1000;

struct Estimate {
    double smallest;  // the smallest estimate
    double bound;     // no estimate is further than this from its exact total
};

// One end's candidates of a one-column moment model as parallel arrays: start
// position, the prefix sums at the start, and the best cost of the prefix
// before it; with the end's own sums and the penalty.
struct ColumnCandidates {
    std::size_t count;
    const double* start;
    const double* s_start;
    const double* q_start;
    const double* prefix;
    double end;
    double s_end;
    double q_end;
    double pen;
};

template <class Candidates>
class TotalsFilter {
public:
    explicit TotalsFilter(VectorIsa isa = best_vector_isa()) noexcept : isa_(isa) {}

    // Estimates every total. False when the kernel declines (no vector
    // instructions for it, or a value that is not finite or too large for the
    // bound to hold): the caller then computes every total exactly.
    bool estimate(const Candidates& c) {
        // Values that void the bound tend to stay (a -inf prefix cost passes
        // to every later end), so after a refusal the next tries are spaced
        // out, doubling up to kLongestRest ends; the exact path serves the
        // ends in between, so only time depends on this.
        if (resting_ > 0) {
            --resting_;
            return false;
        }
        const std::size_t chunks = estimate_chunks(c.count);
        if (estimate_.size() < c.count) estimate_.resize(c.count);
        if (chunk_low_.size() < chunks) {
            chunk_low_.resize(chunks);
            chunk_high_.resize(chunks);
        }
        const std::optional<Estimate> e =
            estimate_totals(isa_, c, estimate_.data(), chunk_low_.data(), chunk_high_.data());
        if (!e) {
            rest_ = std::min(2 * rest_ + 1, kLongestRest);
            resting_ = rest_;
            return false;
        }
        rest_ = 0;
        smallest_ = e->smallest;
        bound_ = e->bound;
        return true;
    }

    // The first candidate with the smallest exact total, and that total.
    std::pair<std::size_t, double> first_minimum(const Candidates& c) const noexcept {
        // The exact minimum is at most smallest + bound, so its estimate at
        // most smallest + 2 * bound; the third bound absorbs the rounding.
        const double limit = smallest_ + 3.0 * bound_;
        std::size_t chosen = c.count;
        double best = kInf;
        for (std::size_t base = 0, chunk = 0; base < c.count; base += kEstimateChunk, ++chunk) {
            if (!(chunk_low_[chunk] <= limit)) continue;
            for (std::size_t k = base; k < std::min(base + kEstimateChunk, c.count); ++k) {
                if (!(estimate_[k] <= limit)) continue;
                const double total = c.exact_total(k);
                // No total is NaN here; an equal later total keeps the first.
                if (chosen == c.count || total < best) {
                    chosen = k;
                    best = total;
                    // Nothing is smaller, so nothing later can replace it.
                    if (best == -kInf) return {chosen, best};
                }
            }
        }
        return {chosen, best};
    }

    // Whether threshold >= the exact total of candidate k, computed exactly
    // only when the estimate cannot tell.
    bool within(const Candidates& c, std::size_t k, double threshold) const noexcept {
        // Both tests are formed before any branch: the verdicts follow the
        // data, while the exact fallback is rare and predictable.
        const bool surely_within = estimate_[k] <= threshold - 2.0 * bound_;
        const bool undecided = !surely_within && !(estimate_[k] > threshold + 2.0 * bound_);
        if (undecided) [[unlikely]] return threshold >= c.exact_total(k);
        return surely_within;
    }

    // Length of the leading run of candidates that are within the threshold.
    std::size_t leading_within(const Candidates& c, double threshold) const noexcept {
        const double surely = threshold - 2.0 * bound_;
        std::size_t k = 0;
        while (k < c.count) {
            const std::size_t stop = std::min((k / kEstimateChunk + 1) * kEstimateChunk, c.count);
            if (k % kEstimateChunk == 0 && chunk_high_[k / kEstimateChunk] <= surely) {
                k = stop;
                continue;
            }
            k += leading_kept(std::span<const double>(estimate_).subspan(k, stop - k), surely);
            if (k == stop) continue;
            // Too close to tell from the estimate: decided exactly.
            if (!within(c, k, threshold)) break;
            ++k;
        }
        return k;
    }

private:
    static constexpr std::size_t kLongestRest = 1024;

    VectorIsa isa_;
    std::size_t rest_ = 0;     // ends to skip after the next refusal
    std::size_t resting_ = 0;  // ends still to skip
    std::vector<double> estimate_;
    std::vector<double> chunk_low_;
    std::vector<double> chunk_high_;
    double smallest_ = 0.0;
    double bound_ = 0.0;
};

}  // namespace marbolt::detect
