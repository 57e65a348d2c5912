// "ar": the residual sum of squares of an autoregression fitted inside each
// segment: every column of the centred signal on the `order` values that
// precede it in the flattened signal, plus an intercept, by the regression
// cost of cost_regression.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "common/result.hpp"
#include "cost/cost_regression.hpp"

namespace marbolt::cost {

// The regressors: the `order` lags, then the intercept (last column). The
// first `order` rows repeat row `order`. Lag positions beyond the centred
// array, and targets of a row `order` that does not exist, read 0.0.
// Throws std::bad_alloc when n x (order + 1) does not fit in a size_t.
Design ar_design(std::span<const double> x, std::size_t n, std::size_t d, std::size_t order);

class CostAr final : public CostRegression {
public:
    // x is n x d row-major; nothing of it is kept. Throws as ar_design.
    static CostAr build(std::span<const double> x, std::size_t n, std::size_t d,
                        std::size_t order);
    // Each segment's fit needs more samples than the order, so the signal
    // must have them. An empty signal is not refused here: its order meets
    // the memory budget instead.
    static Status check_order(std::uint64_t order, std::uint64_t n);

    // max(order + 1, kShortestSegment).
    std::size_t min_size() const noexcept override { return min_size_; }
    std::string_view model() const noexcept override { return "ar"; }

    // The shortest segment the model reports whatever its order: the minimum
    // it has always had, on which callers' default min_size rests.
    static constexpr std::size_t kShortestSegment = 5;

private:
    CostAr(Design m, std::size_t n, std::size_t min_size)
        : CostRegression(std::move(m), n), min_size_(min_size) {}

    std::size_t min_size_;
};

}  // namespace marbolt::cost
