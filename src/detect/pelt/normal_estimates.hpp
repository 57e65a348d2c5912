// PELT's one-column normal totals estimated with a reciprocal instead of the
// two divisions and a polynomial instead of the logarithm, so that the C
// library's logarithm serves a handful of candidates per end instead of all
// of them.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>

#include "cost/cost_normal.hpp"
#include "detect/pelt/totals_filter.hpp"

namespace marbolt::detect {

struct NormalCandidates : ColumnCandidates {
    bool add_small_diag;
    // Estimates NaN wherever the model raises a variance to zero, a total is
    // -inf, or (without the small diagonal) a segment has one sample: the
    // normal pruning family's value of a start is its total but there.
    bool mark_clamped = false;

    // Candidate k's total exactly as the model and the recursion form it:
    // segment cost and penalty first, then the prefix cost.
    double exact_total(std::size_t k) const noexcept {
        const double len = end - start[k];
        const double v = cost::CostNormal::column_variance(s_end - s_start[k], q_end - q_start[k], len,
                                                           add_small_diag);
        return prefix[k] + (std::log(v) * len + pen);
    }
};

// Writes one estimate per candidate and each run's smallest and largest.
// Needs AVX-512, whose exponent and mantissa extraction make the logarithm a
// short polynomial. A zero variance or a -inf prefix cost gives an exact -inf
// total; other variances must be positive normal numbers.
std::optional<Estimate> estimate_totals(VectorIsa isa, const NormalCandidates& c, double* estimate,
                                        double* chunk_low, double* chunk_high) noexcept;

using NormalFilter = TotalsFilter<NormalCandidates>;

}  // namespace marbolt::detect
