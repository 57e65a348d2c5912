// The regression costs on hand-made designs: exact fits, no regressors,
// too-short and collinear segments, and the "ar" lag layout.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <utility>
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
    const CostRegression cost = CostRegression::build(linear_design(x, n, 3), n, "linear");
    EXPECT_NEAR(cost.error(0, 6), 0.0, 1e-9);
    EXPECT_NEAR(cost.error(1, 5), 0.0, 1e-9);
    EXPECT_GT(cost.error(0, n), 1.0);
}

TEST(LinearCost, OneColumnCostsTheUncentredSumOfSquares) {
    const std::vector<double> x = {3.0, -1.0, 2.0, 5.0, 0.5};
    const CostRegression cost = CostRegression::build(linear_design(x, 5, 1), 5, "linear");
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
    const CostRegression full_rank = CostRegression::build(linear_design(x, 9, 4), 9, "linear");
    for (std::size_t i = 0; i < 9; ++i) x[i * 4 + 3] = x[i * 4 + 2];
    const CostRegression collinear = CostRegression::build(linear_design(x, 9, 4), 9, "linear");
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
    const CostRegression empty = CostRegression::build(linear_design({}, 0, 0), 0, "linear");
    EXPECT_EQ(empty.error(0, 0), 0.0);
}

// x = 1, 4, 2, 7, 6 has mean 4: centred -3, 0, -2, 3, 2.
TEST(ArDesign, OrderOneRepeatsTheFirstFullRow) {
    const Design m = ar_design(std::vector<double>{1, 4, 2, 7, 6}, 5, 1, 1);
    EXPECT_EQ(m.x, (std::vector<double>{-3, 1, -3, 1, 0, 1, -2, 1, 3, 1}));
    EXPECT_EQ(m.y, (std::vector<double>{0, 0, -2, 3, 2}));
    EXPECT_EQ(m.p, 2u);
    EXPECT_EQ(m.q, 1u);
}

// Columns (1, 10), (3, 20), (5, 60), (7, 30) centre to (-3, -20), (-1, -10),
// (1, 30), (3, 0); flattened -3, -20, -1, -10, 1, 30, 3, 0. Order 2: row i >= 2
// lags flat positions i - 2 and i - 1, so the lags cross column boundaries.
TEST(ArDesign, SeveralColumnsLagTheFlattenedSignal) {
    const std::vector<double> x = {1, 10, 3, 20, 5, 60, 7, 30};
    const Design m = ar_design(x, 4, 2, 2);
    EXPECT_EQ(m.x, (std::vector<double>{-3, -20, 1, -3, -20, 1, -3, -20, 1, -20, -1, 1}));
    EXPECT_EQ(m.y, (std::vector<double>{1, 30, 1, 30, 1, 30, 3, 0}));
    EXPECT_EQ(m.q, 2u);
}

// An order at or past the length (the engine refuses it when there are
// samples) reads 0.0 beyond the centred array, and absurd sizes are refused.
TEST(ArDesign, OrderPastTheSignalReadsZerosAndAbsurdSizesAreRefused) {
    const Design m = ar_design(std::vector<double>{1, 3}, 2, 1, 3);
    EXPECT_EQ(m.x, (std::vector<double>{-1, 1, 0, 1, -1, 1, 0, 1}));
    EXPECT_EQ(m.y, (std::vector<double>{0, 0}));
    EXPECT_EQ(ar_design({}, 0, 0, 3).x.size(), 0u);
    EXPECT_THROW(ar_design({}, 0, 1, SIZE_MAX), std::bad_alloc);
    EXPECT_THROW(ar_design(std::vector<double>(4), 4, 1, SIZE_MAX / 2), std::bad_alloc);
}

class ArMinSize : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(ArMinSize, IsOrderPlusOneButAtLeastFive) {
    const auto [order, expected] = GetParam();
    EXPECT_EQ(ar_design(std::vector<double>(10), 10, 1, order).min_size, expected);
}

INSTANTIATE_TEST_SUITE_P(Orders, ArMinSize,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 5},
                                           std::pair<std::size_t, std::size_t>{4, 5},
                                           std::pair<std::size_t, std::size_t>{6, 7}));

TEST(ArCost, ConstantShiftLeavesEveryCostUnchanged) {
    const std::size_t n = 14;
    const std::vector<double> x = random_signal(n, 2, 3);
    std::vector<double> shifted = x;
    for (double& v : shifted) v += 1e4;
    const CostRegression a = CostRegression::build(ar_design(x, n, 2, 2), n, "ar");
    const CostRegression b = CostRegression::build(ar_design(shifted, n, 2, 2), n, "ar");
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 5; end <= n; ++end) {
            const double expected = a.error(start, end);
            EXPECT_NEAR(b.error(start, end), expected, 1e-8 * (1.0 + expected));
        }
    }
}

}  // namespace
}  // namespace marbolt::cost::testing
