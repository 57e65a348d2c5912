#include "detect/dynp/dynp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <tuple>
#include <vector>

#include "detect/grid.hpp"
#include "../search_fakes.hpp"

namespace marbolt::detect {
namespace {

// The shared fakes, constants and brute-force optima of the search tests.
using namespace testing;

DynpTables fill(const cost::Cost& cost, std::size_t n, std::size_t n_bkps, std::size_t jump,
                std::size_t min_size, parallel::WorkerPool& pool = parallel::WorkerPool::global()) {
    Result<DynpTables> tables = dynp_tables(cost, n, n_bkps, jump, min_size, pool);
    EXPECT_TRUE(tables);
    return std::move(*tables);
}

TEST(DynpTables, ZeroBreakpointsIsTheWholeSignalWithoutAnyErrorCall) {
    FakeCost cost(7, [](std::size_t, std::size_t) { return 1.0; });
    const DynpTables tables = fill(cost, 7, 0, 1, 1);
    EXPECT_EQ(tables.backtrack(0), Bkps{7});
    EXPECT_FALSE(tables.backtrack(1));
    EXPECT_TRUE(cost.calls().empty());
}

TEST(DynpTables, HandCheckedGridAndTie) {
    // n = 10, jump 3, min_size 2, one breakpoint: layer 0 covers the ends 3, 6,
    // 9, 10; the previous breakpoint may be 3, 6 or 9 (0 is too short), and 9
    // leaves only 1 sample before 10. Equal costs tie: the smaller, 3, wins.
    FakeCost flat(10, [](std::size_t, std::size_t) { return 0.0; });
    EXPECT_EQ(fill(flat, 10, 1, 3, 2).backtrack(1), (Bkps{3, 10}));
    // Items run on the pool in any order, so compare the evaluated segments as a set.
    std::vector<Segment> calls = flat.calls();
    std::sort(calls.begin(), calls.end());
    const std::vector<Segment> expected{{0, 3}, {0, 6}, {0, 9}, {0, 10}, {3, 6},
                                        {3, 9}, {3, 10}, {6, 9}, {6, 10}};
    EXPECT_EQ(calls, expected);
    // A cheaper [6, 10) moves the breakpoint.
    FakeCost late(10, [](std::size_t s, std::size_t) { return s == 6 ? -1.0 : 0.0; });
    EXPECT_EQ(fill(late, 10, 1, 3, 2).backtrack(1), (Bkps{6, 10}));
}

TEST(DynpTables, NanFirstTotalStaysTheBest) {
    // n = 3, jump 1: the ends 3 sees start 1 (NaN) before start 2 (total 0).
    FakeCost cost(3, [](std::size_t s, std::size_t e) { return s == 1 && e == 3 ? std::nan("") : 0.0; });
    EXPECT_EQ(fill(cost, 3, 1, 1, 1).backtrack(1), (Bkps{1, 3}));
}

TEST(DynpTables, RejectsSignalsBeyondThirtyTwoBitPositions) {
    FakeCost cost(1, [](std::size_t, std::size_t) { return 0.0; });
    const Result<DynpTables> tables = dynp_tables(cost, 4294967296u, 1, 1, 1);
    ASSERT_FALSE(tables);
    EXPECT_EQ(tables.error().kind, ErrorKind::value);
    EXPECT_EQ(tables.error().message, "dynp supports signals of at most 4294967295 samples, got 4294967296");
}

TEST(DynpTables, HugeBreakpointCountStopsAtTheFirstEmptyLayer) {
    // At most 10 breakpoints fit in 20 samples with min_size 2; the fill must
    // neither allocate nor visit the 2^64 - 1 requested layers.
    FakeCost cost(20, testing::naive_l2(testing::gaussian_signal(20, 4)));
    const DynpTables huge = fill(cost, 20, kMax, 1, 2);
    const DynpTables bounded = fill(cost, 20, 12, 1, 2);
    EXPECT_LE(huge.parents.size(), 10u);
    for (std::size_t c = 0; c <= 12; ++c) EXPECT_EQ(huge.backtrack(c), bounded.backtrack(c)) << c;
    EXPECT_FALSE(huge.backtrack(kMax));
}

TEST(DynpTables, ItemFailurePropagatesAsTheSameException) {
    FakeCost cost(30, [](std::size_t s, std::size_t e) -> double {
        if (s == 10 && e == 25) throw std::bad_alloc();
        return 0.0;
    });
    EXPECT_THROW((void)dynp_tables(cost, 30, 3, 1, 1), std::bad_alloc);
}

using GridParam = std::tuple<std::size_t, std::size_t, std::size_t>;
class DynpFeasibility : public ::testing::TestWithParam<GridParam> {};

// min_size 0 is served as 1, so its feasible counts are those of min_size 1.
// Count 0 is the whole signal whatever the tables hold, even below min_size.
TEST_P(DynpFeasibility, AbsentExactlyWhenSanityCheckFails) {
    const auto [n, jump, min_size] = GetParam();
    FakeCost cost(n, [](std::size_t, std::size_t) { return 1.0; });
    const DynpTables tables = fill(cost, n, 7, jump, min_size);
    EXPECT_EQ(tables.backtrack(0), Bkps{n});
    for (std::size_t c = 1; c <= 7; ++c) {
        EXPECT_EQ(tables.backtrack(c).has_value(), sanity_check(n, c, jump, std::max<std::size_t>(min_size, 1)))
            << "count " << c;
    }
    EXPECT_FALSE(cost.out_of_bounds());
}

INSTANTIATE_TEST_SUITE_P(SmallGrids, DynpFeasibility,
                         ::testing::Combine(::testing::Range<std::size_t>(1, 13), ::testing::Values(1, 2, 3, 5, kMax),
                                            ::testing::Values(0, 1, 2, 4)));

class DynpExactness : public ::testing::TestWithParam<GridParam> {};

TEST_P(DynpExactness, ReachesTheBruteForceOptimumForEveryCount) {
    const auto [n, jump, min_size] = GetParam();
    const testing::SegmentCost l2 = testing::naive_l2(testing::gaussian_signal(n, static_cast<unsigned>(n * 7 + jump)));
    FakeCost cost(n, l2);
    const DynpTables tables = fill(cost, n, 5, jump, min_size);
    const auto best = testing::brute_force_by_count(l2, n, jump, min_size, 5);
    for (std::size_t c = 0; c <= 5; ++c) {
        const auto bkps = tables.backtrack(c);
        ASSERT_EQ(bkps.has_value(), best[c].has_value()) << "count " << c;
        if (!bkps) continue;
        EXPECT_EQ(bkps->size(), c + 1);
        EXPECT_NEAR(cost.sum_of_costs(*bkps), *best[c], 1e-9) << "count " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(SmallSignals, DynpExactness,
                         ::testing::Combine(::testing::Values(5, 9, 12), ::testing::Values(1, 2, 3),
                                            ::testing::Values(1, 2, 3)));

class DynpDeterminism : public ::testing::TestWithParam<GridParam> {};

TEST_P(DynpDeterminism, SameTablesForAnyPoolSizeAndAnyRequestedCount) {
    const auto [n, jump, min_size] = GetParam();
    FakeCost cost(n, testing::naive_l2(testing::gaussian_signal(n, 9)));
    parallel::WorkerPool one(1), two(2);
    const DynpTables serial = fill(cost, n, 8, jump, min_size, one);
    const DynpTables parallel = fill(cost, n, 8, jump, min_size, two);
    EXPECT_EQ(serial.parents, parallel.parents);
    for (std::size_t c = 0; c <= 8; ++c) {
        EXPECT_EQ(serial.backtrack(c), fill(cost, n, c, jump, min_size, two).backtrack(c)) << c;
    }
}

INSTANTIATE_TEST_SUITE_P(MediumSignals, DynpDeterminism,
                         ::testing::Combine(::testing::Values(61, 120), ::testing::Values(1, 3),
                                            ::testing::Values(1, 4)));

}  // namespace
}  // namespace marbolt::detect
