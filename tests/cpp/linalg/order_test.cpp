#include "linalg/order.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/numeric.hpp"

namespace marbolt::linalg {
namespace {

const double kPosNan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});
const double kNegNan = std::bit_cast<double>(std::uint64_t{0xfff8000000000000});

// Strictly ascending under totalOrder.
const std::vector<double> kAscending = {
    kNegNan, -kInf, -1.0, -std::numeric_limits<double>::denorm_min(), -0.0, 0.0,
    std::numeric_limits<double>::denorm_min(), 1.0, kInf, kPosNan};

class TotalCmpOrder : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TotalCmpOrder, RanksEachValueAgainstEveryOther) {
    const std::size_t i = GetParam();
    for (std::size_t j = 0; j < kAscending.size(); ++j) {
        EXPECT_EQ(total_cmp(kAscending[i], kAscending[j]), i <=> j) << i << " vs " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(AscendingChain, TotalCmpOrder,
                         ::testing::Range<std::size_t>(0, kAscending.size()));

TEST(TotalCmpOrder, OrdersNansByPayloadWithinTheirSign) {
    const double big_payload = std::bit_cast<double>(std::uint64_t{0x7fffffffffffffff});
    const double neg_big_payload = std::bit_cast<double>(std::uint64_t{0xffffffffffffffff});
    EXPECT_EQ(total_cmp(kPosNan, big_payload), std::strong_ordering::less);
    EXPECT_EQ(total_cmp(neg_big_payload, kNegNan), std::strong_ordering::less);
}

}  // namespace
}  // namespace marbolt::linalg

namespace marbolt::linalg {
namespace {

struct MedianCase {
    std::vector<double> values;
    double expected;
};

class Median : public ::testing::TestWithParam<MedianCase> {};

TEST_P(Median, SelectsTheMiddleUnderTheTotalOrder) {
    std::vector<double> v = GetParam().values;
    const double got = median_inplace(v);
    const double want = GetParam().expected;
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got));
    } else {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << got;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Median,
    ::testing::Values(MedianCase{{3, 1, 2}, 2.0}, MedianCase{{4, 1, 3, 2}, 2.5},
                      MedianCase{{}, NAN}, MedianCase{{1, NAN}, NAN},
                      MedianCase{{NAN, 1, 2}, NAN}, MedianCase{{-0.0, 0.0, 0.0}, 0.0},
                      MedianCase{{0.0, -0.0, -0.0}, -0.0}, MedianCase{{-kInf, kInf}, NAN},
                      MedianCase{{7}, 7.0}, MedianCase{{1, 1e308, 1e308, 2}, (1e308 + 2.0) * 0.5}));

TEST(Median, AgreesWithSortingOnRandomData) {
    std::mt19937_64 gen(3);
    std::uniform_int_distribution<int> small(-5, 5);
    for (std::size_t len = 1; len < 40; ++len) {
        std::vector<double> v(len);
        for (double& x : v) x = small(gen);
        std::vector<double> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const double want = len % 2 ? sorted[len / 2] : (sorted[len / 2] + sorted[len / 2 - 1]) * 0.5;
        EXPECT_EQ(median_inplace(v), want) << len;
    }
}

// Ranks follow the total order, and equal values their positions, so that
// any set of positions is ordered by rank without ties.
TEST(RankOrder, SortsByTotalOrderThenPosition) {
    const std::vector<double> v = {2.0, -0.0, 0.0, kInf, 2.0, -1.0, 0.0, kNegNan};
    EXPECT_EQ(rank_order(v), (std::vector<std::uint32_t>{7, 5, 1, 2, 6, 0, 4, 3}));
    EXPECT_TRUE(rank_order({}).empty());
}

}  // namespace
}  // namespace marbolt::linalg
