// "l2": the within-segment sum of squared deviations from the segment mean,
// column by column, read from prefix sums of the centred signal and of its
// squares in O(d) per segment.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostL2 final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostL2 build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 1; }
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "l2"; }

private:
    CostL2(prefix::Prefix1 sum, prefix::Prefix1 sum_sq, std::size_t d)
        : sum_(std::move(sum)), sum_sq_(std::move(sum_sq)), d_(d) {}

    prefix::Prefix1 sum_;
    prefix::Prefix1 sum_sq_;
    std::size_t d_;
};

}  // namespace marbolt::cost
