#include "detect/binseg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "greedy_fakes.hpp"
#include "search_fakes.hpp"

namespace marbolt::detect {
namespace {

// The shared fakes, constants and brute-force optima of the search tests.
using namespace testing;


// A step-by-step reference, pass by pass: every segment's record comes from a
// memo or a plain scan, and the winner is found by a left-to-right scan that
// replaces it only on a strictly greater gain.
struct ReferenceBinseg {
    const cost::Cost& cost;
    std::size_t jump, min_size;
    std::map<std::pair<std::size_t, std::size_t>, Split> memo;

    Split scan(std::size_t start, std::size_t end) const {
        const double total = cost.error(start, end);
        if (total == -kInf || start >= end) return {};
        Split best;
        for (std::size_t c = start; c < end; c += jump) {
            if (c - start < min_size || end - c < min_size) continue;
            const double left = cost.error(start, c);
            const double gain = total - left - cost.error(c, end);
            if (!best.position || gain > best.gain || gain == best.gain) best = Split{c, gain};
        }
        return best;
    }

    Bkps run(std::size_t n, const StopRule& rule) {
        Bkps bkps{n};
        for (;;) {
            std::vector<Split> pass;
            std::size_t start = 0;
            for (std::size_t end : bkps) {
                if (!memo.contains({start, end})) memo[{start, end}] = scan(start, end);
                pass.push_back(memo[{start, end}]);
                start = end;
            }
            Split winner = pass[0];
            for (const Split& s : pass) {
                if (s.gain > winner.gain) winner = s;
            }
            if (!winner.position) break;
            bool accept = false;
            if (rule.n_bkps) accept = bkps.size() - 1 < *rule.n_bkps;
            else if (rule.pen) accept = winner.gain > *rule.pen;
            else if (rule.epsilon) accept = cost.sum_of_costs(bkps) > *rule.epsilon;
            if (!accept) break;
            bkps.push_back(*winner.position);
            std::sort(bkps.begin(), bkps.end());
        }
        return bkps;
    }
};

class BinsegMatchesStepByStepReference : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BinsegMatchesStepByStepReference, OnEveryStoppingRule) {
    const testing::RandomCase random(GetParam(), 50, 4, 3);
    const auto [n, jump, min_size] = std::tuple(random.n, random.jump, random.min_size);
    const cost::Cost& cost = random.cost();

    std::vector<StopRule> rules{{}};
    for (std::uint64_t k : {0, 1, 2, 4, 7, 1000}) rules.push_back({k, {}, {}});
    for (double pen : {-kInf, -1.0, 0.0, 0.5, 2.0, 30.0, kNan}) rules.push_back({{}, pen, {}});
    for (double eps : {-1.0, 0.0, 1.0, 5.0, 50.0, kInf}) rules.push_back({{}, {}, eps});
    for (const StopRule& rule : rules) {
        ReferenceBinseg reference{cost, jump, min_size, {}};
        EXPECT_EQ(binseg(cost, n, jump, min_size, rule), reference.run(n, rule))
            << "n=" << n << " jump=" << jump << " min_size=" << min_size;
    }
    EXPECT_FALSE(random.out_of_bounds());
}

INSTANTIATE_TEST_SUITE_P(RandomInputs, BinsegMatchesStepByStepReference,
                         ::testing::Range<std::uint64_t>(0, 300));

// x = [0, 0, 0, 6, 6, 6], jump 1, min_size 1. error(0, 6) = 6 * 3^2 = 54 and the
// cut at 3 leaves two constant halves: gain 54, the only positive one. After it
// every candidate of [0, 3) and [3, 6) gains 0: inside a segment the last
// position wins (2 and 5), across segments the left one (2). Then [0, 2) splits
// at 1, and finally the split-less [0, 1) (gain 0.0) is the leftmost winner and
// ends the search, however many breakpoints were asked for.
std::vector<double> step_signal() { return {0, 0, 0, 6, 6, 6}; }

struct RuleCase {
    const char* name;
    StopRule rule;
    Bkps expected;
};

class BinsegStopRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(BinsegStopRule, StopsWhereTheFirstPresentRuleSays) {
    const FakeCost cost(6, naive_l2(step_signal()));
    EXPECT_EQ(binseg(cost, 6, 1, 1, GetParam().rule), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    StepSignal, BinsegStopRule,
    ::testing::Values(
        RuleCase{"NoRule", {}, {6}},
        RuleCase{"ZeroBkps", {0, {}, {}}, {6}},
        RuleCase{"OneBkp", {1, {}, {}}, {3, 6}},
        RuleCase{"TwoBkpsTakeTheLeftSegmentsLastPosition", {2, {}, {}}, {2, 3, 6}},
        RuleCase{"ThreeBkps", {3, {}, {}}, {1, 2, 3, 6}},
        RuleCase{"MoreBkpsThanSplitsEndAtASplitlessWinner", {100, {}, {}}, {1, 2, 3, 6}},
        RuleCase{"HugeBkpsDoNotWrap", {kMax, {}, {}}, {1, 2, 3, 6}},
        RuleCase{"PenBelowGain", {{}, 53.5, {}}, {3, 6}},
        RuleCase{"PenEqualToGainIsNotAccepted", {{}, 54.0, {}}, {6}},
        RuleCase{"NegativePenTakesZeroGains", {{}, -1.0, {}}, {1, 2, 3, 6}},
        RuleCase{"NanPenAcceptsNothing", {{}, kNan, {}}, {6}},
        RuleCase{"EpsilonEqualToTotalEnds", {{}, {}, 54.0}, {6}},
        RuleCase{"EpsilonBelowTotal", {{}, {}, 53.0}, {3, 6}},
        RuleCase{"NBkpsShadowsPen", {1, 1000.0, {}}, {3, 6}},
        RuleCase{"PenShadowsEpsilon", {{}, 53.5, -1.0}, {3, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

// error(s, e) = -(e - s)^2, so a cut into lengths a and b gains -(a+b)^2 + a^2 +
// b^2 = -2ab < 0. [0, 4): gains -6, -8, -6; the tie goes to the last, 3. Next
// pass: [0, 3) offers -4 at 1 and 2, but the split-less [3, 4) offers 0.0 and
// wins, which ends the search with one (negative-gain) breakpoint.
TEST(BinsegGains, AcceptsNegativeGainsUntilASplitlessSegmentBeatsThem) {
    const FakeCost cost(4, [](std::size_t s, std::size_t e) {
        const double len = static_cast<double>(e - s);
        return -len * len;
    });
    EXPECT_EQ(binseg(cost, 4, 1, 1, {5, {}, {}}), (Bkps{3, 4}));
}

// Step signal with error(0, 3) replaced by NaN: the cut at 3 gains NaN and is
// skipped; 2 and 4 both gain 54 - 27 = 27 and the later one wins.
TEST(BinsegGains, SkipsANanGainAndKeepsTheLastOfEqualGains) {
    const auto l2 = naive_l2(step_signal());
    const FakeCost cost(6, [&](std::size_t s, std::size_t e) {
        return s == 0 && e == 3 ? kNan : l2(s, e);
    });
    EXPECT_EQ(binseg(cost, 6, 1, 1, {1, {}, {}}), (Bkps{4, 6}));
}

// A NaN total makes every gain NaN: the first admissible candidate (2, with
// min_size 2) stays the provisional best, and its NaN record, being first,
// wins the pass.
TEST(BinsegGains, NanTotalKeepsTheFirstAdmissibleCandidate) {
    const FakeCost cost(6, [](std::size_t s, std::size_t e) {
        return s == 0 && e == 6 ? kNan : 1.0;
    });
    EXPECT_EQ(binseg(cost, 6, 1, 2, {1, {}, {}}), (Bkps{2, 6}));
}

// error(0, 3) = -inf: the cut at 3 gains 54 + inf and is taken; [0, 3) is then
// never split, and its 0.0 record, being leftmost, beats [3, 6)'s zero gains.
TEST(BinsegGains, NeverSplitsASegmentCostingNegativeInfinity) {
    const auto l2 = naive_l2(step_signal());
    const FakeCost cost(6, [&](std::size_t s, std::size_t e) {
        return s == 0 && e == 3 ? -kInf : l2(s, e);
    });
    EXPECT_EQ(binseg(cost, 6, 1, 1, {5, {}, {}}), (Bkps{3, 6}));
    const FakeCost whole(6, [](std::size_t, std::size_t) { return -kInf; });
    EXPECT_EQ(binseg(whole, 6, 1, 1, {5, {}, {}}), (Bkps{6}));
}

struct GridCase {
    std::size_t jump;
    std::size_t min_size;
    Bkps expected;
};

class BinsegGrid : public ::testing::TestWithParam<GridCase> {};

// Step signal, one breakpoint. jump 2: candidates 2 and 4 both gain 27, 4 wins.
// jump 4: only 4. jump 7 or more: only the start itself, inadmissible.
// min_size 3: only 3; min_size 4: 6 < 2 * 4, no candidate. min_size 0 acts as 1.
TEST_P(BinsegGrid, PlacesBreakpointsOnMultiplesOfJumpWithRoomForMinSize) {
    const FakeCost cost(6, naive_l2(step_signal()));
    const GridCase& c = GetParam();
    EXPECT_EQ(binseg(cost, 6, c.jump, c.min_size, {100, {}, {}}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(StepSignal, BinsegGrid,
                         ::testing::Values(GridCase{2, 1, {2, 4, 6}}, GridCase{4, 1, {4, 6}},
                                           GridCase{7, 1, {6}}, GridCase{kMax, 1, {6}},
                                           GridCase{1, 3, {3, 6}}, GridCase{1, 4, {6}},
                                           GridCase{1, 0, {1, 2, 3, 6}}));

// Positions near 2^64 with huge jumps: stepping must stop instead of wrapping,
// and every evaluated segment must lie inside [0, n].
using Sizes = std::tuple<std::size_t, std::size_t, std::size_t>;
class BinsegBounds : public ::testing::TestWithParam<Sizes> {};

TEST_P(BinsegBounds, EvaluatesOnlySegmentsInsideTheSignal) {
    const auto [n, jump, min_size] = GetParam();
    const FakeCost cost(n, [](std::size_t s, std::size_t e) { return -((e - s) % 7 * 1.0); });
    const Bkps bkps = binseg(cost, n, jump, min_size, {6, {}, {}});
    EXPECT_FALSE(cost.out_of_bounds());
    ASSERT_FALSE(bkps.empty());
    EXPECT_EQ(bkps.back(), n);
    std::size_t prev = 0;
    for (std::size_t i = 0; i + 1 < bkps.size(); ++i) {
        EXPECT_EQ(bkps[i] % std::max<std::size_t>(jump, 1), 0u);
        EXPECT_GE(bkps[i] - prev, std::max<std::size_t>(min_size, 1));
        EXPECT_GE(bkps[i + 1] - bkps[i], std::max<std::size_t>(min_size, 1));
        prev = bkps[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    HugeValues, BinsegBounds,
    ::testing::Values(Sizes{kMax, std::size_t{1} << 62, std::size_t{1}},
                      Sizes{kMax, kMax - 1, std::size_t{0}},
                      Sizes{kMax, std::size_t{3} << 61, std::size_t{1} << 61},
                      Sizes{kMax - 5, std::size_t{1} << 63, kMax / 2},
                      Sizes{std::size_t{37}, std::size_t{0}, kMax},
                      Sizes{std::size_t{37}, std::size_t{4}, std::size_t{0}},
                      Sizes{std::size_t{0}, std::size_t{1}, std::size_t{1}}));

}  // namespace
}  // namespace marbolt::detect
