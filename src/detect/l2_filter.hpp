// PELT's one-column l2 step without two divisions per candidate. Every
// candidate's total is first estimated with a reciprocal instead of the two
// divisions, under one proven bound on the estimate's error; only candidates
// whose estimate lies within that bound of a decision (the smallest total, the
// pruning threshold) have their exact total computed. Decisions and recorded
// totals are therefore those of the exact computation, to the bit, while the
// divider serves a handful of candidates per end instead of all of them.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "cost/cost_l2.hpp"

namespace marbolt::detect {

// One end's candidates as parallel arrays: start position, the prefix sums
// at the start, and the best cost of the prefix before it.
struct L2Candidates {
    std::size_t count;
    const double* start;
    const double* s_start;
    const double* q_start;
    const double* prefix;
    double end;
    double s_end;
    double q_end;
    double pen;

    // Candidate k's total exactly as the model and the recursion form it:
    // segment cost and penalty first, then the prefix cost.
    double exact_total(std::size_t k) const noexcept {
        const double len = end - start[k];
        const double acc = 0.0 + cost::CostL2::column_term(s_end - s_start[k], q_end - q_start[k], len);
        return prefix[k] + (acc * len + pen);
    }
};

// The vector instructions an estimate can use; below AVX2 the estimate would
// cost about what the two divisions do, so there is none.
enum class VectorIsa { kNone, kAvx2, kAvx512 };

// The widest this processor runs.
VectorIsa best_vector_isa() noexcept;

// Estimates of one end's totals, with the smallest and largest estimate of
// each run of kChunk candidates, so that the decisions skip whole runs.
class L2Filter {
public:
    static constexpr std::size_t kChunk = 64;

    explicit L2Filter(VectorIsa isa = best_vector_isa()) noexcept : isa_(isa) {}

    // Estimates every total. False without vector instructions, or when a value is not finite or so large that
    // the bound could not hold: the caller then computes every total exactly.
    bool estimate(const L2Candidates& c);

    // The first candidate with the smallest exact total, and that total.
    std::pair<std::size_t, double> first_minimum(const L2Candidates& c) const noexcept;

    // Whether threshold >= the exact total of candidate k, computed exactly
    // only when the estimate cannot tell.
    bool within(const L2Candidates& c, std::size_t k, double threshold) const noexcept {
        // Both tests are formed before any branch: the verdicts follow the
        // data, while the exact fallback is rare and predictable.
        const bool surely_within = estimate_[k] <= threshold - 2.0 * bound_;
        const bool undecided = !surely_within && !(estimate_[k] > threshold + 2.0 * bound_);
        if (undecided) [[unlikely]] return threshold >= c.exact_total(k);
        return surely_within;
    }

    // Length of the leading run of candidates that are within the threshold.
    std::size_t leading_within(const L2Candidates& c, double threshold) const noexcept;

private:
    VectorIsa isa_;
    std::vector<double> estimate_;
    std::vector<double> chunk_low_;
    std::vector<double> chunk_high_;
    double smallest_ = 0.0;
    double bound_ = 0.0;  // no estimate is further than this from its exact total
};

}  // namespace marbolt::detect
