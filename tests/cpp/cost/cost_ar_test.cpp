// The ar cost: the lag layout of its design, its shortest segment, and costs
// that a constant shift of the signal leaves unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "cost/cost_ar.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

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
    EXPECT_EQ(CostAr::build(std::vector<double>(10), 10, 1, order).min_size(), expected);
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
    const CostAr a = CostAr::build(x, n, 2, 2);
    const CostAr b = CostAr::build(shifted, n, 2, 2);
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 5; end <= n; ++end) {
            const double expected = a.error(start, end);
            EXPECT_NEAR(b.error(start, end), expected, 1e-8 * (1.0 + expected));
        }
    }
}

}  // namespace
}  // namespace marbolt::cost::testing
