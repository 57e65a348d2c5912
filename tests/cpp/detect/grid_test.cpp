#include "detect/grid.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace marbolt::detect {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct SanityCase {
    std::uint64_t n_samples, n_bkps, jump, min_size;
    bool expected;
};

class SanityCheck : public ::testing::TestWithParam<SanityCase> {};

TEST_P(SanityCheck, AdmitsExactlyTheCountsThatFit) {
    const SanityCase& c = GetParam();
    EXPECT_EQ(sanity_check(c.n_samples, c.n_bkps, c.jump, c.min_size), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    HandChecked, SanityCheck,
    ::testing::Values(
        // need = k * ceil(min_size / jump) * jump + min_size must fit in n.
        SanityCase{10, 0, 1, 5, true},   // need 5
        SanityCase{4, 0, 1, 5, false},   // even one segment needs 5
        SanityCase{10, 1, 1, 5, true},   // need 10
        SanityCase{10, 2, 1, 5, false},  // need 15
        SanityCase{10, 1, 3, 4, true},   // q = 2: need 1*2*3 + 4 = 10
        SanityCase{9, 1, 3, 4, false},   // need 10 > 9
        SanityCase{10, 3, 3, 0, true},   // min_size 0: only k <= floor(10/3) = 3 counts
        SanityCase{10, 4, 3, 0, false},
        SanityCase{10, 0, 0, 1, false},  // jump 0 admits nothing
        SanityCase{0, 0, 0, 0, false},
        // Overflow never wraps into a small need.
        SanityCase{kMax, std::uint64_t{1} << 62, 1, 4, false},          // k * q
        SanityCase{kMax, 2, std::uint64_t{1} << 62, (std::uint64_t{1} << 62) + 1, false},  // * jump
        SanityCase{kMax, 1, std::uint64_t{1} << 63, std::uint64_t{1} << 63, false},  // + min_size
        SanityCase{kMax, 0, kMax, kMax, true},  // need = min_size = n
        SanityCase{10, 0, kMax, 1, true},       // a huge jump still admits one segment
        SanityCase{10, 1, kMax, 1, false}));    // ... but no breakpoint

struct GridCase {
    std::size_t n, jump;
    std::vector<std::size_t> grid;
};

class JumpGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(JumpGrid, ListsMultiplesOfJumpBelowNThenClosesWithN) {
    const GridCase& c = GetParam();
    EXPECT_EQ(grid_count(c.n, c.jump), c.grid.size());
    EXPECT_EQ(jump_grid(c.n, c.jump), c.grid);
    std::vector<std::size_t> closed = c.grid;
    closed.push_back(c.n);
    EXPECT_EQ(closed_grid(c.n, c.jump), closed);
}

INSTANTIATE_TEST_SUITE_P(HandChecked, JumpGrid,
                         ::testing::Values(GridCase{10, 3, {0, 3, 6, 9}},
                                           GridCase{9, 3, {0, 3, 6}},  // 9 itself is not a grid position
                                           GridCase{3, 1, {0, 1, 2}},
                                           GridCase{0, 3, {}},
                                           GridCase{10, 10, {0}},
                                           GridCase{10, kMax, {0}}));

TEST(GridCount, CountsWithoutWrappingAtTheTopOfTheRange) {
    EXPECT_EQ(grid_count(kMax, kMax), 1u);
    EXPECT_EQ(grid_count(kMax, 2), std::size_t{1} << 63);  // quotient 2^63 - 1, remainder 1
    EXPECT_EQ(grid_count(kMax, 1), kMax);
    EXPECT_EQ(grid_count(kMax - 1, kMax), 1u);
}

}  // namespace
}  // namespace marbolt::detect
