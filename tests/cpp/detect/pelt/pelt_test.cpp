#include "detect/pelt/pelt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "../../cost/cost_factory.hpp"
#include "../search_fakes.hpp"

namespace marbolt::detect {
namespace {

// The shared fakes, constants and brute-force optima of the search tests.
using namespace testing;

TEST(PeltCandidates, EvaluatesOnlyStartsThatLeaveMinSizeBeforeTheEnd) {
    // n = 10, jump 3, min_size 2: ends 3, 6, 9, 10 append the candidates
    // 0, 3, 6 and again 6 (jump * floor((b - 2) / 3)). pen = +inf makes every
    // total infinite, so nothing is pruned and both copies of 6 are evaluated.
    FakeCost cost(10, [](std::size_t, std::size_t) { return 1.0; });
    EXPECT_EQ(pelt(cost, 10, 3, 2, kInf), std::vector<std::size_t>{10});
    const std::vector<Segment> expected{{0, 3}, {0, 6}, {3, 6}, {0, 9}, {3, 9},
                                        {6, 9}, {0, 10}, {3, 10}, {6, 10}, {6, 10}};
    EXPECT_EQ(cost.calls(), expected);
}

TEST(PeltPruning, DropsStartsWhoseTotalExceedsTheBestAndKeepsTies) {
    // Every segment costs 1, pen 0: F(b) = 1 from start 0, and any later start
    // totals 2 > 1, so it is evaluated once and dropped at once.
    FakeCost cost(4, [](std::size_t, std::size_t) { return 1.0; });
    EXPECT_EQ(pelt(cost, 4, 1, 1, 0.0), std::vector<std::size_t>{4});
    const std::vector<Segment> expected{{0, 1}, {0, 2}, {1, 2}, {0, 3}, {2, 3}, {0, 4}, {3, 4}};
    EXPECT_EQ(cost.calls(), expected);
}

TEST(PeltTies, SmallestPreviousBreakpointWins) {
    // Segments inside [0, 2) or inside [2, 4) are free, others cost 5; pen 0.
    // End 4 ties between starts 2 and 3 (both total 0): 2 wins -> [2, 4].
    FakeCost cost(4, [](std::size_t s, std::size_t e) { return (e <= 2 || s >= 2) ? 0.0 : 5.0; });
    EXPECT_EQ(pelt(cost, 4, 1, 1, 0.0), (std::vector<std::size_t>{2, 4}));
}

TEST(PeltTies, NanTotalNeverReplacesAChoice) {
    // n = 2, jump 1, pen 1: end 2 sees start 0 first with a NaN total; start 1
    // (total F(1) + 1 + 1 = 4) does not replace it, so no breakpoint.
    FakeCost cost(2, [](std::size_t s, std::size_t e) { return s == 0 && e == 2 ? std::nan("") : 1.0; });
    EXPECT_EQ(pelt(cost, 2, 1, 1, 1.0), std::vector<std::size_t>{2});
}

TEST(PeltTotals, AddSegmentCostAndPenaltyBeforeThePrefixCost) {
    // pen = 2^53, n = 2: F(1) = 0 + ((1 - 2^53) + 2^53) = 1. At end 2, start 0
    // totals 0 + (2 + 2^53) = 2^53 + 2, start 1 totals 1 + (1 + 2^53) = 2^53
    // (1 + 2^53 rounds to even), so 1 wins; adding F(1) + 1 first would give
    // 2^53 + 2, a tie that start 0 would win.
    const double big = 9007199254740992.0;
    FakeCost cost(2, [&](std::size_t s, std::size_t e) { return s == 0 ? (e == 1 ? 1.0 - big : 2.0) : 1.0; });
    EXPECT_EQ(pelt(cost, 2, 1, 1, big), (std::vector<std::size_t>{1, 2}));
}

struct DegenerateCase {
    std::size_t n, jump, min_size;
    double pen;
    std::vector<std::size_t> expected;
    std::size_t calls;
};

class PeltDegenerate : public ::testing::TestWithParam<DegenerateCase> {};

TEST_P(PeltDegenerate, GivesTheDefinedResult) {
    const DegenerateCase& c = GetParam();
    FakeCost cost(c.n, testing::naive_l2(testing::gaussian_signal(c.n, 3)));
    EXPECT_EQ(pelt(cost, c.n, c.jump, c.min_size, c.pen), c.expected);
    EXPECT_EQ(cost.calls().size(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    HandChecked, PeltDegenerate,
    ::testing::Values(DegenerateCase{3, 1, 5, 1.0, {3}, 0},     // n < min_size: no end has a start
                      DegenerateCase{0, 1, 1, 1.0, {}, 0},      // empty signal
                      DegenerateCase{8, 1, 1, kInf, {8}, 36},   // nothing pruned, 0 always wins
                      DegenerateCase{5, kMax, 2, 1.0, {5}, 1},  // grid [0]: only [0, 5)
                      DegenerateCase{5, kMax, kMax, 1.0, {5}, 0}));

using BoundsParam = std::tuple<std::size_t, std::size_t, std::size_t, double>;
class PeltBounds : public ::testing::TestWithParam<BoundsParam> {};

TEST_P(PeltBounds, EvaluatesOnlyNonEmptySegmentsInsideTheSignal) {
    const auto [n, jump, min_size, pen] = GetParam();
    FakeCost cost(n, testing::naive_l2(testing::gaussian_signal(n, 11)));
    const std::vector<std::size_t> bkps = pelt(cost, n, jump, min_size, pen);
    EXPECT_FALSE(cost.out_of_bounds());
    ASSERT_FALSE(bkps.empty());
    EXPECT_EQ(bkps.back(), n);
    for (std::size_t i = 0; i + 1 < bkps.size(); ++i) {
        EXPECT_GT(bkps[i], 0u);
        EXPECT_LT(bkps[i], bkps[i + 1]);
        EXPECT_EQ(bkps[i] % jump, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(AnyArguments, PeltBounds,
                         ::testing::Combine(::testing::Values(1, 7, 13), ::testing::Values(1, 2, 5, kMax),
                                            ::testing::Values(0, 1, 3, kMax),
                                            ::testing::Values(-2.0, 0.0, 1.5, std::nan(""))));

TEST(PeltMinSize, ServesZeroAsOne) {
    FakeCost zero(12, testing::naive_l2(testing::gaussian_signal(12, 5)));
    FakeCost one(12, testing::naive_l2(testing::gaussian_signal(12, 5)));
    EXPECT_EQ(pelt(zero, 12, 2, 0, 0.3), pelt(one, 12, 2, 1, 0.3));
    EXPECT_EQ(zero.calls(), one.calls());
}

using ExactParam = std::tuple<std::size_t, std::size_t, double, unsigned>;
class PeltExactness : public ::testing::TestWithParam<ExactParam> {};

// With min_size 1 and a cost that never rises when a segment is split (l2),
// pruning never drops a start that could still win, so PELT reaches the
// penalised optimum over every segmentation.
TEST_P(PeltExactness, ReachesTheBruteForcePenalisedOptimum) {
    const auto [n, jump, pen, seed] = GetParam();
    const testing::SegmentCost l2 = testing::naive_l2(testing::gaussian_signal(n, seed));
    FakeCost cost(n, l2);
    const std::vector<std::size_t> bkps = pelt(cost, n, jump, 1, pen);
    const double found = cost.sum_of_costs(bkps) + pen * static_cast<double>(bkps.size());
    EXPECT_NEAR(found, testing::brute_force_penalised(l2, n, jump, 1, pen), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(SmallSignals, PeltExactness,
                         ::testing::Combine(::testing::Values(6, 12), ::testing::Values(1, 2),
                                            ::testing::Values(0.0, 0.3, 1.0, 4.0),
                                            ::testing::Values(1u, 2u, 3u)));

using TableParam = std::tuple<std::string_view, std::size_t, std::size_t, double>;
class PeltOnTableModels : public ::testing::TestWithParam<TableParam> {};

// The likelihood models' costs are minima over their parameters of sums over
// samples, so splitting a segment never raises one and pruning keeps every
// start that can still win: with min_size 1 PELT reaches the penalised
// optimum on the models as the table builds them. (A longer min_size breaks
// the argument for every model: the split that justifies a pruning may leave
// a segment too short to be used.) The floored normal is among them: the
// searches must not serve it through their unfloored one-column loops.
TEST_P(PeltOnTableModels, ReachesTheBruteForcePenalisedOptimum) {
    const auto [label, jump, min_size, pen] = GetParam();
    constexpr std::size_t n = 12;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const cost::testing::ModelCase& c = cost::testing::model_case(label);
        const std::vector<double> x = c.signal(n, 1, seed);
        const std::unique_ptr<const cost::Cost> model = c.make(x, n, 1);
        const SegmentCost segment = [&](std::size_t s, std::size_t e) { return model->error(s, e); };
        const std::vector<std::size_t> bkps = pelt(*model, n, jump, min_size, pen);
        const double found = model->sum_of_costs(bkps) + pen * static_cast<double>(bkps.size());
        const double best = brute_force_penalised(segment, n, jump, min_size, pen);
        EXPECT_NEAR(found, best, 1e-9 * (1.0 + std::fabs(best))) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    LikelihoodModels, PeltOnTableModels,
    ::testing::Combine(::testing::Values("poisson", "exponential", "variance", "variance_floored",
                                         "normal_floored"),
                       ::testing::Values(1, 2, 3), ::testing::Values(1),
                       ::testing::Values(0.5, 3.0, 10.0)),
    [](const ::testing::TestParamInfo<TableParam>& info) {
        return std::string(std::get<0>(info.param)) + "_jump" +
               std::to_string(std::get<1>(info.param)) + "_min" +
               std::to_string(std::get<2>(info.param)) + "_pen" +
               std::to_string(static_cast<int>(std::get<3>(info.param) * 10));
    });

}  // namespace
}  // namespace marbolt::detect
