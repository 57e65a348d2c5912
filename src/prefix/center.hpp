// Column means and centring. The moment-based costs are invariant under a
// constant shift of a column, so they work on the centred signal: prefix sums
// stay small and sum-of-squares minus squared-sum differences keep their digits.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace marbolt::prefix {

// Compensated column sums divided by n; all zeros when n == 0 (no division).
std::vector<double> column_means(std::span<const double> x, std::size_t n, std::size_t d);

// A new n x d array holding x[i][j] - means[j].
std::vector<double> subtract_means(std::span<const double> x, std::size_t n, std::size_t d,
                                   std::span<const double> means);

// subtract_means(x, n, d, column_means(x, n, d)).
std::vector<double> center(std::span<const double> x, std::size_t n, std::size_t d);

}  // namespace marbolt::prefix
