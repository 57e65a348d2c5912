// clinear on hand-checkable signals: pinned lines that join across
// breakpoints, the anchor of a segment starting at 0, invariance under a
// global trend and the degenerate shapes.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cost/cost_clinear.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

// A tent: the line of [0, 5) runs from row 0 to row 4 and the line of [5, 9)
// from row 4 to row 8, both exact. Split at 4 instead, [4, 9) is anchored at
// row 3 (value 3) and ends at row 8 (value 0): the line 3 - 0.6 k for k = 1..5
// misses 4, 3, 2, 1, 0 by 1.6, 1.2, 0.8, 0.4, 0, squares summing to 4.8.
TEST(CLinearCost, TentCostsNothingAtItsPeakAndFourPointEightBesideIt) {
    const std::vector<double> x = {0, 1, 2, 3, 4, 3, 2, 1, 0};
    const CostCLinear cost = CostCLinear::build(x, 9, 1);
    EXPECT_NEAR(cost.sum_of_costs(std::vector<std::size_t>{5, 9}), 0.0, 1e-12);
    EXPECT_NEAR(cost.error(4, 9), 4.8, 1e-12);
}

// Anchored at row 0 (value 0), ending at row 2 (value 2): the line predicts 1
// at row 1, which holds 5.
TEST(CLinearCost, SegmentAtTheStartIsAnchoredAtItsFirstSample) {
    const CostCLinear cost = CostCLinear::build(std::vector<double>{0, 5, 2}, 3, 1);
    EXPECT_NEAR(cost.error(0, 3), 16.0, 1e-12);
}

TEST(CLinearCost, GlobalTrendLeavesEveryCostUnchanged) {
    const std::size_t n = 11;
    const std::vector<double> x = random_signal(n, 2, 17);
    std::vector<double> trended = x;
    for (std::size_t i = 0; i < n; ++i) {
        trended[i * 2] += 40.0 + 3.5 * static_cast<double>(i);
        trended[i * 2 + 1] += -7.0 - 12.0 * static_cast<double>(i);
    }
    const CostCLinear a = CostCLinear::build(x, n, 2);
    const CostCLinear b = CostCLinear::build(trended, n, 2);
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 2; end <= n; ++end) {
            const double expected = a.error(start, end);
            EXPECT_NEAR(b.error(start, end), expected, 1e-9 * (1.0 + expected));
        }
    }
}

// One row: only the mean is removed, and [0, 1) measures nothing (D = 0),
// which the formula turns into 0/0. The empty segment [0, 0) of an empty
// signal, which searches over it evaluate, must not read rows 0 and -1.
TEST(CLinearCost, DegenerateShapesBuildAndCostNaNOrZero) {
    EXPECT_TRUE(std::isnan(CostCLinear::build(std::vector<double>{7.0}, 1, 1).error(0, 1)));
    EXPECT_TRUE(std::isnan(CostCLinear::build({}, 0, 2).error(0, 0)));
    EXPECT_EQ(CostCLinear::build({}, 4, 0).error(0, 4), 0.0);
    EXPECT_NEAR(CostCLinear::build(std::vector<double>{1, 9}, 2, 1).error(0, 2), 0.0, 1e-12);
}

}  // namespace
}  // namespace marbolt::cost::testing
