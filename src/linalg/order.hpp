// The IEEE 754 totalOrder of doubles as a three-way comparison, so sorts and
// selections over floats that may hold NaN or signed zeros see a strict weak
// order and give one reproducible result.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

namespace marbolt::linalg {

// -NaN < -inf < negative numbers < -0.0 < +0.0 < positive numbers < +inf < +NaN;
// NaNs further ordered by payload.
std::strong_ordering total_cmp(double a, double b) noexcept;

// Median of the values, reordering them in place (a selection in expected
// linear time, no allocation). NaN when empty or when any value is NaN; the
// mean of the two middle values for an even count. Ties between -0.0 and +0.0
// follow the total order, so [-0.0, 0.0, 0.0] gives +0.0.
double median_inplace(std::span<double> values) noexcept;

// The positions of the values in ascending total order, equal values by
// position: entry r is the position of the value of rank r. Ranks are
// distinct, so a set of positions is ordered by its ranks without ties.
// Serves at most 2^32 - 1 values.
std::vector<std::uint32_t> rank_order(std::span<const double> values);

}  // namespace marbolt::linalg
