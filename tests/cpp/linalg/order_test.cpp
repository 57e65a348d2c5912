#include "linalg/order.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace marbolt::linalg {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
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
