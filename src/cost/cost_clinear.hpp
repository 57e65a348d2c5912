// "clinear": the cost of a continuous piecewise-linear fit. A segment's line is
// pinned to the sample just before it and to its own last sample, so that
// consecutive segments join; the cost is the sum of squared deviations from
// that line, per column, read from three prefix sums in O(d) per segment.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostCLinear final : public Cost {
public:
    // x is n x d row-major; only its globally detrended copy is kept.
    static CostCLinear build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 3; }
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "clinear"; }

private:
    CostCLinear(std::vector<double> resid, prefix::Prefix1 sum, prefix::Prefix1 sum_sq,
                prefix::Prefix1 sum_t, std::size_t d)
        : resid_(std::move(resid)), sum_(std::move(sum)), sum_sq_(std::move(sum_sq)),
          sum_t_(std::move(sum_t)), d_(d) {}

    std::vector<double> resid_;  // kept for the two pinned samples of a segment
    prefix::Prefix1 sum_;
    prefix::Prefix1 sum_sq_;
    prefix::Prefix1 sum_t_;  // resid[i][j] * i
    std::size_t d_;
};

}  // namespace marbolt::cost
