#include "crops/crops.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "../detect/search_fakes.hpp"
#include "detect/pelt/pelt.hpp"

namespace marbolt::crops {
namespace {

// The shared fakes, constants and brute-force optima of the search tests.
using namespace testing;

PenaltyResult point(std::size_t count, double cost) {
    return {count, cost, Bkps(count, count)};  // a list of `count` entries tags the row
}

void expect_row(const Row& row, double lower, double upper, std::size_t count) {
    EXPECT_EQ(row.lower, lower);
    EXPECT_EQ(row.upper, upper);
    EXPECT_EQ(row.bkps.size(), count);
}

TEST(CropsHull, DropsCollinearPointsAndClipsTheRowsToTheRange) {
    // (3, 15) lies on the chord from (2, 20) to (4, 10) and is dropped; the rows
    // split at (40 - 20) / (2 - 1) = 20 and (20 - 10) / (4 - 2) = 5.
    const std::vector<Row> rows =
        hull_rows({point(1, 40), point(2, 20), point(3, 15), point(4, 10)}, 1.0, 100.0);
    ASSERT_EQ(rows.size(), 3u);
    expect_row(rows[0], 20.0, 100.0, 1);
    expect_row(rows[1], 5.0, 20.0, 2);
    expect_row(rows[2], 1.0, 5.0, 4);
}

TEST(CropsBestPerCount, KeepsTheLowerCostAndOnEqualCostTheSmallerPenalty) {
    RunCache cache;
    cache.emplace(std::bit_cast<std::uint64_t>(3.0), CachedRun{3.0, {2, 3.0, {7, 9}}});
    cache.emplace(std::bit_cast<std::uint64_t>(1.0), CachedRun{1.0, {2, 5.0, {5, 9}}});
    cache.emplace(std::bit_cast<std::uint64_t>(2.0), CachedRun{2.0, {2, 3.0, {6, 9}}});
    cache.emplace(std::bit_cast<std::uint64_t>(9.0), CachedRun{9.0, {1, 8.0, {9}}});
    const std::vector<PenaltyResult> best = best_per_count(cache);
    ASSERT_EQ(best.size(), 2u);
    EXPECT_EQ(best[0].bkps, Bkps{9});
    EXPECT_EQ(best[1].bkps, (Bkps{6, 9}));
}

// A clean step: l2 costs 0 for the split [4, 8] and 200 for the whole signal
// (8 deviations of 5), so the two segmentations tie at pen = 200.
FakeCost step_cost() {
    return FakeCost(8, testing::naive_l2({0, 0, 0, 0, 10, 10, 10, 10}));
}

TEST(CropsPath, AdjacentCountsNeedNoFurtherRun) {
    FakeCost cost = step_cost();
    RunCache cache;
    explore({cost, 8, 1, 1}, cache, 0.0, 1000.0);
    EXPECT_EQ(cache.size(), 2u);
    const std::vector<Row> rows = crops(cost, 8, 0.0, 1000.0, 1, 1);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].lower, 200.0);
    EXPECT_EQ(rows[0].upper, 1000.0);
    EXPECT_EQ(rows[0].bkps, Bkps{8});
    EXPECT_EQ(rows[1].lower, 0.0);
    EXPECT_EQ(rows[1].upper, 200.0);
    EXPECT_EQ(rows[1].bkps, (Bkps{4, 8}));
}

TEST(CropsPath, EqualPenaltiesRunPeltOnce) {
    FakeCost cost = step_cost();
    RunCache cache;
    explore({cost, 8, 1, 1}, cache, 50.0, 50.0);
    EXPECT_EQ(cache.size(), 1u);
    const std::vector<Row> rows = crops(cost, 8, 50.0, 50.0, 1, 1);
    ASSERT_EQ(rows.size(), 1u);
    expect_row(rows[0], 50.0, 50.0, 2);
}

TEST(CropsRun, CachesByBitPatternSoSignedZerosAreSeparateRuns) {
    FakeCost cost = step_cost();
    RunCache cache;
    const Search search{cost, 8, 1, 1};
    (void)run(search, cache, 0.0);
    const std::size_t calls = cost.calls().size();
    (void)run(search, cache, 0.0);
    EXPECT_EQ(cost.calls().size(), calls);  // served from the cache
    (void)run(search, cache, -0.0);
    EXPECT_EQ(cache.size(), 2u);
}

TEST(CropsPath, EveryRowIsWhatPeltReturnsInsideItsInterval) {
    // Three levels plus noise: the path must tile [pen_min, pen_max] with rows of
    // strictly increasing breakpoint counts.
    std::vector<double> x = testing::gaussian_signal(30, 21);
    for (std::size_t i = 10; i < 30; ++i) x[i] += i < 20 ? 4.0 : -3.0;
    FakeCost cost(30, testing::naive_l2(x));
    const std::vector<Row> rows = crops(cost, 30, 0.05, 400.0, 1, 1);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows.front().upper, 400.0);
    EXPECT_EQ(rows.back().lower, 0.05);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            EXPECT_EQ(rows[i].upper, rows[i - 1].lower);
            EXPECT_GT(rows[i].bkps.size(), rows[i - 1].bkps.size());
        }
        const double mid = 0.5 * (rows[i].lower + rows[i].upper);
        EXPECT_EQ(detect::pelt(cost, 30, 1, 1, mid), rows[i].bkps) << "row " << i;
    }
}

}  // namespace
}  // namespace marbolt::crops
