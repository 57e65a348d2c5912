// "linear": the residual sum of squares of a least-squares fit of column 0 on
// the other columns inside each segment (no intercept), by the regression cost
// of cost_regression.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "cost/cost_regression.hpp"

namespace marbolt::cost {

// Column 0 of the signal regressed on columns 1 .. d-1, as given (no
// intercept, no centring). Without columns (d = 0) the target reads 0.0:
// there is no column 0 to read.
Design linear_design(std::span<const double> x, std::size_t n, std::size_t d);

class CostLinear final : public CostRegression {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostLinear build(std::span<const double> x, std::size_t n, std::size_t d);
    // Column 0 is the target, so a signal with samples needs one. An empty
    // signal still builds (with no rows there is nothing to regress), so that
    // every search on it works.
    static Status check_columns(std::uint64_t n, std::uint64_t d);

    std::size_t min_size() const noexcept override { return 2; }
    std::string_view model() const noexcept override { return "linear"; }

private:
    using CostRegression::CostRegression;
};

}  // namespace marbolt::cost
