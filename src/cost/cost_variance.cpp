// Squared deviations are formed from the fixed mean as they are added, so the
// table holds no cancellation: each entry is a sum of non-negative terms.
#include "cost/cost_variance.hpp"

namespace marbolt::cost {

CostVariance CostVariance::build(std::span<const double> x, std::size_t n, std::size_t d,
                                 std::span<const double> means, std::vector<double> floors) {
    prefix::Prefix1 squares = prefix::Prefix1::build_from(n, d, [&](std::size_t i, std::size_t j) {
        const double deviation = x[i * d + j] - means[j];
        return deviation * deviation;
    });
    return CostVariance(std::move(squares), std::move(floors));
}

}  // namespace marbolt::cost
