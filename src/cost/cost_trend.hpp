// "trend": the residual sum of squares of a straight line in time fitted to
// every column inside each segment (an intercept and a slope per column). A
// change is then a jump of the level, of the slope, or of both: the
// piecewise-linear trend a drifting series follows, where a piecewise-constant
// mean would cut the drift into a staircase of changes. O(d) per segment from
// prefix sums of the centred signal, its squares and its products with time.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostTrend final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostTrend build(std::span<const double> x, std::size_t n, std::size_t d);

    // A line through two samples fits them exactly; three leave one degree
    // of freedom to measure.
    std::size_t min_size() const noexcept override { return 3; }
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "trend"; }

private:
    CostTrend(prefix::Prefix1 sum, prefix::Prefix1 sum_sq, prefix::Prefix1 sum_time,
              std::size_t n, std::size_t d)
        : sum_(std::move(sum)), sum_sq_(std::move(sum_sq)), sum_time_(std::move(sum_time)),
          n_(n), d_(d) {}

    prefix::Prefix1 sum_, sum_sq_, sum_time_;  // of c, c^2 and tau * c
    std::size_t n_, d_;
};

}  // namespace marbolt::cost
