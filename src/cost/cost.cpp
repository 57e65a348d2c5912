#include "cost/cost.hpp"

namespace marbolt::cost {

double Cost::sum_of_costs(std::span<const std::size_t> bkps) const {
    double total = 0.0;
    std::size_t prev = 0;
    for (std::size_t b : bkps) {
        total = total + error(prev, b);
        prev = b;
    }
    return total;
}

}  // namespace marbolt::cost
