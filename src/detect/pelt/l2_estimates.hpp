// PELT's one-column l2 totals estimated with a reciprocal instead of the two
// divisions of the exact formula, so that the divider serves a handful of
// candidates per end instead of all of them.
#pragma once

#include <cstddef>
#include <optional>

#include "cost/cost_l2.hpp"
#include "detect/pelt/totals_filter.hpp"

namespace marbolt::detect {

// A candidate's total exactly as the model and the recursion form it, from
// the segment's sum s and sum of squares q: segment cost and penalty first,
// then the prefix cost.
inline double l2_total(double s, double q, double len, double prefix, double pen) noexcept {
    return prefix + (cost::CostL2::column_cost(s, q, len) + pen);
}

struct L2Candidates : ColumnCandidates {
    double exact_total(std::size_t k) const noexcept {
        return l2_total(s_end - s_start[k], q_end - q_start[k], end - start[k], prefix[k], pen);
    }
};

// Writes one estimate per candidate and each run's smallest and largest.
std::optional<Estimate> estimate_totals(VectorIsa isa, const L2Candidates& c, double* estimate,
                                        double* chunk_low, double* chunk_high) noexcept;

using L2Filter = TotalsFilter<L2Candidates>;

}  // namespace marbolt::detect
