// Sum of squares minus squared sum over length, per column, on the centred
// signal so that the two terms are small and their difference keeps its digits.
#include "cost/cost_l2.hpp"

#include <vector>

#include "prefix/center.hpp"

namespace marbolt::cost {

CostL2 CostL2::build(std::span<const double> x, std::size_t n, std::size_t d) {
    // The centred values and their squares are formed on the fly, so the
    // build holds nothing of the signal's size beyond the two tables.
    const std::vector<double> means = prefix::column_means(x, n, d);
    auto [sum, sum_sq] = prefix::Prefix1::build_centred_with_squares(x, n, d, means);
    return CostL2(std::move(sum), std::move(sum_sq), d);
}

}  // namespace marbolt::cost
