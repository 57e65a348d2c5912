// "trend": the residual sum of squares of a straight line in time fitted to
// every column inside each segment (an intercept and a slope per column), by
// the regression cost of cost_regression.hpp. A change is then a jump of the
// level, of the slope, or of both: the piecewise-linear trend a drifting
// series follows, where a piecewise-constant mean would cut the drift into a
// staircase of changes.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "cost/cost_regression.hpp"

namespace marbolt::cost {

// The regressors are a constant and the sample position; every column is a
// target.
Design trend_design(std::span<const double> x, std::size_t n, std::size_t d);

class CostTrend final : public CostRegression {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostTrend build(std::span<const double> x, std::size_t n, std::size_t d);

    // A line through two samples fits them exactly; three leave one degree
    // of freedom to measure.
    std::size_t min_size() const noexcept override { return 3; }
    std::string_view model() const noexcept override { return "trend"; }

private:
    using CostRegression::CostRegression;
};

}  // namespace marbolt::cost
