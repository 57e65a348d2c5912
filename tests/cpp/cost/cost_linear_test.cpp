// The linear cost on hand-made designs: exact fits, no regressors, too-short
// and collinear segments.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cost/cost_linear.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

// Column 0 = 2 column 1 + 3 column 2 on rows [0, 6), noise after.
TEST(LinearCost, ExactRelationCostsNothingOnItsSegment) {
    const std::size_t n = 10;
    std::vector<double> x = random_signal(n, 3, 5);
    for (std::size_t i = 0; i < 6; ++i) x[i * 3] = 2.0 * x[i * 3 + 1] + 3.0 * x[i * 3 + 2];
    const CostLinear cost = CostLinear::build(x, n, 3);
    EXPECT_NEAR(cost.error(0, 6), 0.0, 1e-9);
    EXPECT_NEAR(cost.error(1, 5), 0.0, 1e-9);
    EXPECT_GT(cost.error(0, n), 1.0);
}

TEST(LinearCost, OneColumnCostsTheUncentredSumOfSquares) {
    const std::vector<double> x = {3.0, -1.0, 2.0, 5.0, 0.5};
    const CostLinear cost = CostLinear::build(x, 5, 1);
    for (std::size_t start = 0; start < 5; ++start) {
        double squares = 0.0;
        for (std::size_t end = start + 1; end <= 5; ++end) {
            squares += x[end - 1] * x[end - 1];
            EXPECT_NEAR(cost.error(start, end), squares, 1e-12 * squares);
        }
    }
}

// Too few rows for a unique fit (L <= p = 3), or two identical regressor
// columns (a singular Gram matrix on every segment): the cost of an exact fit.
TEST(LinearCost, SegmentsWithoutAUniqueFitCostExactlyZero) {
    std::vector<double> x = random_signal(9, 4, 9);
    const CostLinear full_rank = CostLinear::build(x, 9, 4);
    for (std::size_t i = 0; i < 9; ++i) x[i * 4 + 3] = x[i * 4 + 2];
    const CostLinear collinear = CostLinear::build(x, 9, 4);
    for (std::size_t start = 0; start < 9; ++start) {
        for (std::size_t end = start + 1; end <= 9; ++end) {
            if (end - start <= 3) {
                EXPECT_EQ(full_rank.error(start, end), 0.0);
            }
            EXPECT_EQ(collinear.error(start, end), 0.0);
        }
    }
}

// Without columns there is no target to read; an empty signal has no rows.
TEST(LinearCost, DegenerateShapesReadNothingOutsideTheSignal) {
    const Design none = linear_design({}, 3, 0);
    EXPECT_EQ(none.p, 0u);
    EXPECT_EQ(none.y, std::vector<double>(3, 0.0));
    const CostLinear empty = CostLinear::build({}, 0, 0);
    EXPECT_EQ(empty.error(0, 0), 0.0);
}

}  // namespace
}  // namespace marbolt::cost::testing
