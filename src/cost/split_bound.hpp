// How much cutting a segment in two can raise its cost: the one property of a
// model that PELT's pruning rests on (Killick, Fearnhead & Eckley 2012). For
// every a < b < c,
//     error(a, b) + error(b, c) <= error(a, c) + base + per_sample * (c - a)
// in exact arithmetic on the model's own definition (its kernel or table
// values as stored; the rounding of one evaluation is not part of the bound).
// Each model's bound, with its proof, is a column of the model table
// (cost/registry.cpp); a model without one has no row value, and the
// penalised optimum then prunes nothing.
#pragma once

#include <cstddef>

namespace marbolt::cost {

struct SplitBound {
    double base = 0.0;
    double per_sample = 0.0;

    // The bound for a segment of `length` samples.
    double slack(std::size_t length) const noexcept { return base + per_sample * static_cast<double>(length); }
    // Cutting never raises the cost: the pruning of plain PELT is sound.
    bool is_zero() const noexcept { return base == 0.0 && per_sample == 0.0; }
};

}  // namespace marbolt::cost
