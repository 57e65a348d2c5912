#include "detect/pelt/column_totals.hpp"

#include <cmath>

namespace marbolt::detect {
namespace {

// l2_total, CostL2::error's one-column cost plus the search's rest. Two
// divisions per start bound the loop, and some dividers (Zen 3) take four
// lanes in the time of two, so it is compiled for AVX2 as well as for the
// SSE2 baseline. Kept out of line: inlined, `total` would lose its promise of
// not aliasing the inputs and the loop would not be vectorised.
[[gnu::always_inline]] inline void l2_totals(const ColumnCandidates& c,
                                             double* __restrict total) noexcept {
    const double* __restrict start = c.start;
    const double* __restrict s = c.s_start;
    const double* __restrict q = c.q_start;
    const double* __restrict prefix = c.prefix;
    for (std::size_t k = 0; k < c.count; ++k) {
        total[k] = l2_total(c.s_end - s[k], c.q_end - q[k], c.end - start[k], prefix[k], c.pen);
    }
}

[[gnu::noinline]] void l2_totals_baseline(const ColumnCandidates& c,
                                          double* __restrict total) noexcept {
    l2_totals(c, total);
}

[[gnu::noinline]] __attribute__((target("avx2"))) void l2_totals_avx2(const ColumnCandidates& c,
                                                                      double* __restrict total) noexcept {
    l2_totals(c, total);
}

}  // namespace

void l2_column_totals(const ColumnCandidates& c, double* total) noexcept {
    (best_vector_isa() == VectorIsa::kNone ? l2_totals_baseline : l2_totals_avx2)(c, total);
}

// CostNormal::error for one column is ln(column_variance(s, q, L)) * L: the
// variances in a vectorised loop, then the logarithms one by one.
void normal_column_totals(const ColumnCandidates& c, bool small_diag, double* __restrict variance,
                          double* __restrict total) noexcept {
    const double* __restrict start = c.start;
    const double* __restrict s = c.s_start;
    const double* __restrict q = c.q_start;
    for (std::size_t k = 0; k < c.count; ++k) {
        variance[k] = cost::CostNormal::column_variance(c.s_end - s[k], c.q_end - q[k], c.end - start[k], small_diag);
    }
    for (std::size_t k = 0; k < c.count; ++k) {
        total[k] = c.prefix[k] + (std::log(variance[k]) * (c.end - start[k]) + c.pen);
    }
}

}  // namespace marbolt::detect
