// The IEEE 754 totalOrder of doubles as a three-way comparison, so sorts and
// selections over floats that may hold NaN or signed zeros see a strict weak
// order and give one reproducible result.
#pragma once

#include <compare>

namespace marbolt::linalg {

// -NaN < -inf < negative numbers < -0.0 < +0.0 < positive numbers < +inf < +NaN;
// NaNs further ordered by payload.
std::strong_ordering total_cmp(double a, double b) noexcept;

}  // namespace marbolt::linalg
