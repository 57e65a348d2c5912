#include "detect/window.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "search_fakes.hpp"

namespace marbolt::detect {
namespace {

// The shared fakes, constants and brute-force optima of the search tests.
using namespace testing;


struct PeakCase {
    const char* name;
    std::vector<double> score;
    std::size_t reach;
    std::vector<std::size_t> expected;
};

class WindowPeaks : public ::testing::TestWithParam<PeakCase> {};

TEST_P(WindowPeaks, AreStrictCircularLocalMaxima) {
    EXPECT_EQ(find_peaks(GetParam().score, GetParam().reach), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scores, WindowPeaks,
    ::testing::Values(
        PeakCase{"InteriorMaxima", {1, 3, 2, 5, 4}, 1, {1, 3}},
        // 5 at 0 is compared with 4 at the far end; 4 at the end loses to 5.
        PeakCase{"WrapAround", {5, 1, 2, 3, 4}, 1, {0}},
        PeakCase{"SingleScoreFacesItself", {7}, 1, {}},
        PeakCase{"Empty", {}, 1, {}},
        PeakCase{"PlateauHasNoPeak", {1, 2, 2, 1}, 1, {}},
        PeakCase{"NanIsNeverAPeakNorBeaten", {0, 5, 1, kNan, 1}, 1, {1}},
        // At reach 2, 2 at position 3 sees 3 at position 1.
        PeakCase{"ReachTwo", {0, 3, 1, 2, 0, 0}, 2, {1}},
        PeakCase{"ReachBelowLength", {1, 5, 1}, 2, {1}},
        PeakCase{"ReachAtLengthIncludesItself", {1, 5, 1}, 3, {}},
        PeakCase{"HugeReach", {1, 5, 1}, kMax, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReachCase {
    std::size_t width, min_size, jump, expected;
};

class WindowPeakReach : public ::testing::TestWithParam<ReachCase> {};

TEST_P(WindowPeakReach, IsTheWiderHalfWindowInJumpsAtLeastOne) {
    const ReachCase& c = GetParam();
    EXPECT_EQ(peak_reach(c.width, c.min_size, c.jump), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, WindowPeakReach,
    ::testing::Values(ReachCase{10, 2, 20, 1},  // order 0 still compares neighbours
                      ReachCase{100, 0, 1, 50}, ReachCase{100, 60, 1, 60},
                      ReachCase{100, 0, 3, 16}, ReachCase{5, 0, 1, 2},
                      ReachCase{kMax, 0, std::size_t{1} << 63, 1},  // 2 * jump = 2^64
                      ReachCase{10, 0, kMax, 1},
                      ReachCase{0, kMax, 1, kMax},  // 2 * min_size needs 65 bits
                      ReachCase{10, 0, 0, 5}));

// x = [0, 0, 0, 6, 6, 6], width 4 (half 2): centres 2 and 3.
// c = 2: error[0,4) = 27 (mean 1.5), error[0,2) = 0, error[2,4) = 18 -> 9.
// c = 3: error[1,5) = 36 (mean 3), both halves constant -> 36.
TEST(WindowFit, ScoresTheCostDropOfCuttingEachWindow) {
    const FakeCost cost(6, naive_l2({0, 0, 0, 6, 6, 6}));
    const WindowScores fit = window_fit(cost, 6, 4, 1);
    EXPECT_EQ(fit.inds, (Bkps{2, 3}));
    EXPECT_EQ(fit.score, (std::vector<double>{9, 36}));
    // An odd width uses width - 1 samples; jump 2 keeps only centre 2.
    EXPECT_EQ(window_fit(cost, 6, 5, 1).score, fit.score);
    EXPECT_EQ(window_fit(cost, 6, 4, 2).inds, (Bkps{2}));
}

TEST(WindowFit, GivesNoCentresWhenNoWindowFits) {
    const FakeCost cost(6, [](std::size_t, std::size_t) { return 1.0; });
    for (std::size_t width : {7, 10, 1000}) EXPECT_TRUE(window_fit(cost, 6, width, 1).inds.empty());
    // Below 2 the halves would be empty: nothing is evaluated.
    for (std::size_t width : {0, 1}) EXPECT_TRUE(window_fit(cost, 6, width, 1).inds.empty());
    EXPECT_TRUE(cost.calls().empty());
}

TEST(WindowFit, ScoresZeroWhenTheWholeWindowCostsNegativeInfinity) {
    const FakeCost cost(6, [](std::size_t s, std::size_t e) { return e - s == 4 ? -kInf : 1.0; });
    EXPECT_EQ(window_fit(cost, 6, 4, 1).score, (std::vector<double>{0.0, 0.0}));
}

TEST(WindowFit, StepsWithoutWrappingNearTheTopOfTheRange) {
    const FakeCost cost(kMax, [](std::size_t, std::size_t) { return 1.0; });
    EXPECT_EQ(window_fit(cost, kMax, 4, std::size_t{1} << 63).inds, (Bkps{std::size_t{1} << 63}));
    EXPECT_EQ(window_fit(cost, kMax, 4, kMax).inds, (Bkps{}));
    EXPECT_FALSE(cost.out_of_bounds());
}

// Centres 2..10 with scores [1, 3, 2, 5, 4], width 2, jump 1: reach 1, peaks
// at centre 8 (score 5) then centre 4 (score 3). The cost makes [12] cost 10,
// [8, 12] cost 3 + 2 = 5 and [4, 8, 12] cost 1 + 1 + 2 = 4: decreases 5 then 1.
struct SegCase {
    const char* name;
    StopRule rule;
    Bkps expected;
};

class WindowSeg : public ::testing::TestWithParam<SegCase> {};

TEST_P(WindowSeg, AddsPeaksBestFirstUntilTheRuleStops) {
    const FakeCost cost(12, [](std::size_t s, std::size_t e) {
        if (s == 0 && e == 12) return 10.0;
        if (s == 0 && e == 8) return 3.0;
        if (s == 8 && e == 12) return 2.0;
        return 1.0;
    });
    const Bkps inds{2, 4, 6, 8, 10};
    const std::vector<double> score{1, 3, 2, 5, 4};
    EXPECT_EQ(window_seg(cost, 12, inds, score, 2, 1, 0, GetParam().rule), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TwoPeaks, WindowSeg,
    ::testing::Values(SegCase{"NoRule", {}, {12}}, SegCase{"ZeroBkps", {0, {}, {}}, {12}},
                      SegCase{"OneBkpTakesTheHighestScore", {1, {}, {}}, {8, 12}},
                      SegCase{"MoreBkpsThanPeaksTakesAll", {5, {}, {}}, {4, 8, 12}},
                      SegCase{"HugeBkps", {kMax, {}, {}}, {4, 8, 12}},
                      SegCase{"PenEqualToDecreaseStops", {{}, 5.0, {}}, {12}},
                      SegCase{"PenBetweenDecreases", {{}, 4.9, {}}, {8, 12}},
                      SegCase{"PenBelowBothDecreases", {{}, 0.5, {}}, {4, 8, 12}},
                      SegCase{"NanPenAddsNothing", {{}, kNan, {}}, {12}},
                      SegCase{"EpsilonEqualToTotalStops", {{}, {}, 10.0}, {12}},
                      SegCase{"EpsilonBetweenTotals", {{}, {}, 5.0}, {8, 12}},
                      SegCase{"EpsilonBelowTotals", {{}, {}, 4.5}, {4, 8, 12}},
                      SegCase{"NBkpsShadowsPen", {1, 100.0, {}}, {8, 12}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowSegTies, TakesTheLargerCentreAmongEqualScores) {
    const FakeCost cost(12, [](std::size_t, std::size_t) { return 1.0; });
    const Bkps inds{2, 4, 6, 8, 10};
    const std::vector<double> score{0, 5, 0, 5, 0};
    EXPECT_EQ(window_seg(cost, 12, inds, score, 2, 1, 0, {1, {}, {}}), (Bkps{8, 12}));
}

TEST(WindowSegTies, EvaluatesNothingWithoutPeaks) {
    const FakeCost cost(12, [](std::size_t, std::size_t) { return 1.0; });
    EXPECT_EQ(window_seg(cost, 12, {}, {}, 2, 1, 0, {{}, -kInf, {}}), (Bkps{12}));
    EXPECT_TRUE(cost.calls().empty());
}

// One fit serves every prediction: stopping at k breakpoints, or at the total
// cost those k breakpoints reach, gives the same list.
TEST(WindowPredictions, FromOneFitAgreeAcrossStoppingRules) {
    std::vector<double> x;
    for (double level : {0.0, 8.0, 3.0, 11.0}) {
        for (int i = 0; i < 25; ++i) x.push_back(level + (i % 3) * 0.25);
    }
    const FakeCost cost(100, naive_l2(x));
    const WindowScores fit = window_fit(cost, 100, 20, 1);
    Bkps previous{100};
    for (std::uint64_t k = 0; k <= 3; ++k) {
        const Bkps by_count = window_seg(cost, 100, fit.inds, fit.score, 20, 1, 2, {k, {}, {}});
        ASSERT_EQ(by_count.size(), k + 1);
        const double total = cost.sum_of_costs(by_count);
        EXPECT_EQ(window_seg(cost, 100, fit.inds, fit.score, 20, 1, 2, {{}, {}, total}), by_count);
        for (std::size_t b : previous) {
            EXPECT_NE(std::find(by_count.begin(), by_count.end(), b), by_count.end());
        }
        previous = by_count;
    }
    EXPECT_EQ(previous, (Bkps{25, 50, 75, 100}));
}

struct CheckCase {
    const char* name;
    std::size_t n;
    Bkps inds;
    std::vector<double> score;
    std::string message;  // empty: accepted
};

class WindowCentreCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(WindowCentreCheck, NamesTheOffendingValue) {
    const CheckCase& c = GetParam();
    const Status status = check_window_centres(c.n, c.inds, c.score);
    if (c.message.empty()) {
        EXPECT_TRUE(status);
    } else {
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().kind, ErrorKind::value);
        EXPECT_EQ(status.error().message, c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, WindowCentreCheck,
    ::testing::Values(
        CheckCase{"Valid", 100, {1, 50, 99}, {0, 1, 2}, ""},
        CheckCase{"LongerIndsAccepted", 100, {1, 2}, {0}, ""},
        CheckCase{"Empty", 100, {}, {}, ""},
        CheckCase{"ShorterInds", 100, {1, 2, 3}, {0, 0, 0, 0, 0},
                  "inds has 3 entries but score has 5"},
        CheckCase{"CentreZero", 100, {0, 5}, {1, 2},
                  "window centre 0 is not strictly between 0 and n_samples 100"},
        CheckCase{"CentreAtN", 100, {5, 100}, {1, 2},
                  "window centre 100 is not strictly between 0 and n_samples 100"},
        CheckCase{"HugeCentre", 7, {kMax}, {1},
                  "window centre 18446744073709551615 is not strictly between 0 and n_samples 7"},
        // A repeated centre made window_seg evaluate the empty segment [3, 3)
        // and return the breakpoint 3 twice (found by fuzzing).
        CheckCase{"RepeatedCentre", 10, {5, 3, 7, 3}, {4, 1, 4, 1},
                  "window centre 3 is repeated"},
        CheckCase{"RepeatBeyondScoreStillRefused", 10, {5, 6, 6}, {4},
                  "window centre 6 is repeated"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowWidthCheck, RefusesWidthsBelowTwo) {
    for (std::size_t width : {0, 1}) {
        const Status status = check_window_width(width);
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().kind, ErrorKind::value);
        EXPECT_EQ(status.error().message, "width must be at least 2");
    }
    EXPECT_TRUE(check_window_width(2));
}

}  // namespace
}  // namespace marbolt::detect
