// Every start's total at one end for the one-column moment models (l2,
// normal), from flat arrays of the starts' prefix sums: the model's own
// error(start, end), operation for operation, in loops the compiler
// vectorises. Each lane rounds as the scalar operation does and nothing is
// contracted into FMA, so the totals are those of error() to the bit; the
// search is the same with or without them, only faster.
#pragma once

#include <cstddef>

#include "cost/cost_l2.hpp"
#include "cost/cost_normal.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/l2_estimates.hpp"
#include "detect/pelt/totals_filter.hpp"

namespace marbolt::detect {

// prefix + (error + pen) for every start of `c` (PELT's candidate arrays), as
// CostL2::error forms error (l2_total).
void l2_column_totals(const ColumnCandidates& c, double* total) noexcept;
// The same for CostNormal's one-column error; `variance` is scratch of count.
void normal_column_totals(const ColumnCandidates& c, bool small_diag, double* variance, double* total) noexcept;

// Which models have flat totals, and their tables. A model without them is
// evaluated through its error().
template <class Model>
struct ColumnModel {
    static bool applies(const Model&, std::size_t) noexcept { return false; }
};

template <>
struct ColumnModel<cost::CostL2> {
    static bool applies(const cost::CostL2& m, std::size_t n) noexcept { return m.dims() == 1 && n < kExactPositions; }
    static const double* sums(const cost::CostL2& m) noexcept { return m.sums().data.data(); }
    static const double* squares(const cost::CostL2& m) noexcept { return m.sums_sq().data.data(); }
    static void totals(const cost::CostL2&, const ColumnCandidates& c, double*, double* total) {
        l2_column_totals(c, total);
    }
};

template <>
struct ColumnModel<cost::CostNormal> {
    static bool applies(const cost::CostNormal& m, std::size_t n) noexcept {
        // Its loops form the variance without a floor.
        return m.dims() == 1 && !m.floored() && n < kExactPositions;
    }
    static const double* sums(const cost::CostNormal& m) noexcept { return m.sums().data.data(); }
    static const double* squares(const cost::CostNormal& m) noexcept { return m.outer().data.data(); }
    static void totals(const cost::CostNormal& m, const ColumnCandidates& c, double* scratch, double* total) {
        normal_column_totals(c, m.small_diag(), scratch, total);
    }
};

}  // namespace marbolt::detect
