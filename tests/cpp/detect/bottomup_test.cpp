#include "detect/bottomup.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "detect/ordf64.hpp"
#include "greedy_fakes.hpp"
#include "search_fakes.hpp"

namespace marbolt::detect {
namespace {

// The shared fakes, constants and brute-force optima of the search tests.
using namespace testing;

const double kNegNan = std::bit_cast<double>(std::uint64_t{0xfff8000000000000});

// Every integer p of [s, e), as the rule is stated.
std::optional<std::size_t> scan_every_integer(std::size_t s, std::size_t e, std::size_t jump,
                                              std::size_t min_size) {
    const double mid = static_cast<double>(s + e) * 0.5;
    std::optional<std::size_t> best;
    double best_distance = 0.0;
    for (std::size_t p = s; p < e; ++p) {
        if (p % jump != 0 || p - s < min_size || e - p < min_size) continue;
        const double distance = std::fabs(static_cast<double>(p) - mid);
        if (!best || distance < best_distance) {
            best = p;
            best_distance = distance;
        }
    }
    return best;
}

// A step-by-step reference of the merge search: a sorted work list scanned
// integer by integer, a candidate list stably re-sorted after every merge, a
// node vector searched by binary search, lengths negated into signed keys.
struct ReferenceBottomUp {
    const cost::Cost& cost;
    std::size_t n, jump, min_size;
    std::map<std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>, double> memo;

    std::vector<MergeNode> grow_tree() {
        using Item = std::tuple<std::int64_t, std::size_t, std::size_t>;
        std::vector<Item> work{{-static_cast<std::int64_t>(n), 0, n}};
        for (;;) {
            if (work.size() >= 2) std::sort(work.begin(), work.end());
            const auto [neg, s, e] = work.front();
            if (s >= e) break;
            const auto p = scan_every_integer(s, e, jump, min_size);
            if (!p) break;
            work.erase(work.begin());
            work.emplace_back(-static_cast<std::int64_t>(*p - s), s, *p);
            work.emplace_back(-static_cast<std::int64_t>(e - *p), *p, e);
        }
        std::sort(work.begin(), work.end(), [](const Item& a, const Item& b) {
            return std::tie(std::get<1>(a), std::get<2>(a)) <
                   std::tie(std::get<1>(b), std::get<2>(b));
        });
        std::vector<MergeNode> leaves;
        for (const auto& [neg, s, e] : work)
            leaves.push_back(MergeNode{std::nullopt, s, e, cost.error(s, e)});
        return leaves;
    }

    MergeNode merge(const MergeNode& l, const MergeNode& r) {
        const auto key = std::tuple(l.start, l.end, r.start, r.end);
        if (!memo.contains(key)) memo[key] = cost.error(l.start, r.end);
        return MergeNode{MergeChildren{l.start, l.end, r.start, r.end, l.cost, r.cost}, l.start,
                         r.end, memo[key]};
    }

    static double gain(const MergeNode& m) {
        if (m.cost == -kInf) return 0.0;
        return m.cost - (m.children->left_cost + m.children->right_cost);
    }

    // n_bkps must stay small here: the plain test nodes > n_bkps + 1 wraps.
    bool should_merge(const StopRule& rule, const std::vector<MergeNode>& nodes, double g) {
        if (rule.n_bkps) return nodes.size() > *rule.n_bkps + 1;
        if (rule.pen) return g < *rule.pen;
        if (rule.epsilon) {
            double total = -0.0;
            for (const MergeNode& node : nodes) total = total + node.cost;
            return total < *rule.epsilon;
        }
        return false;
    }

    Bkps run(std::vector<MergeNode> nodes, const StopRule& rule) {
        using Cand = std::tuple<Ordf64, std::size_t, MergeNode>;
        std::vector<Cand> cands;
        const auto append = [&](const MergeNode& l, const MergeNode& r) {
            const MergeNode m = merge(l, r);
            cands.emplace_back(Ordf64{gain(m)}, m.start, m);
        };
        for (std::size_t i = 0; i + 1 < nodes.size(); ++i) append(nodes[i], nodes[i + 1]);
        std::set<std::pair<std::size_t, std::size_t>> dead;
        bool resort = true;
        for (;;) {
            if (resort && cands.size() >= 2) {
                std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) {
                    return std::tie(std::get<0>(a), std::get<1>(a)) <
                           std::tie(std::get<0>(b), std::get<1>(b));
                });
            }
            if (cands.empty()) break;
            const MergeNode c = std::get<2>(cands.front());
            cands.erase(cands.begin());
            const MergeChildren& k = *c.children;
            if (!dead.empty() && (dead.contains({k.left_start, k.left_end}) ||
                                  dead.contains({k.right_start, k.right_end}))) {
                resort = false;
                continue;
            }
            if (!should_merge(rule, nodes, gain(c))) break;
            const auto it = std::lower_bound(
                nodes.begin(), nodes.end(), k.left_start,
                [](const MergeNode& node, std::size_t s) { return node.start < s; });
            const std::size_t i = static_cast<std::size_t>(it - nodes.begin());
            nodes[i] = c;
            nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            dead.insert({k.left_start, k.left_end});
            dead.insert({k.right_start, k.right_end});
            if (i > 0) append(nodes[i - 1], nodes[i]);
            if (i + 1 < nodes.size()) append(nodes[i], nodes[i + 1]);
            resort = true;
        }
        Bkps ends;
        for (const MergeNode& node : nodes) ends.push_back(node.end);
        std::sort(ends.begin(), ends.end());
        return ends;
    }
};

std::vector<StopRule> all_rules() {
    std::vector<StopRule> rules{{}};
    for (std::uint64_t k : {0, 1, 2, 3, 5, 8, 1000}) rules.push_back({k, {}, {}});
    for (double pen : {-kInf, -1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 25.0, kNan, kInf})
        rules.push_back({{}, pen, {}});
    for (double eps : {-1.0, 0.0, 1.0, 3.0, 10.0, 100.0, kNan, kInf})
        rules.push_back({{}, {}, eps});
    return rules;
}

class BottomUpMatchesStepByStepReference : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BottomUpMatchesStepByStepReference, OnEveryStoppingRule) {
    const testing::RandomCase random(GetParam(), 70, 5, 4);
    const auto [n, jump, min_size] = std::tuple(random.n, random.jump, random.min_size);
    const cost::Cost& cost = random.cost();

    BottomUp fast{cost, {}, n, jump, min_size};
    ReferenceBottomUp reference{cost, n, jump, min_size, {}};
    const std::vector<MergeNode> leaves = fast.grow_tree();
    const std::vector<MergeNode> reference_leaves = reference.grow_tree();
    ASSERT_EQ(leaves.size(), reference_leaves.size());
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        EXPECT_EQ(std::tie(leaves[i].start, leaves[i].end),
                  std::tie(reference_leaves[i].start, reference_leaves[i].end));
    }
    for (const StopRule& rule : all_rules()) {
        EXPECT_EQ(fast.run(leaves, rule), reference.run(reference_leaves, rule))
            << "n=" << n << " jump=" << jump << " min_size=" << min_size
            << " n_bkps=" << rule.n_bkps.value_or(kMax) << " pen=" << rule.pen.value_or(-7)
            << " eps=" << rule.epsilon.value_or(-7);
    }
    EXPECT_FALSE(random.out_of_bounds());
}

INSTANTIATE_TEST_SUITE_P(RandomInputs, BottomUpMatchesStepByStepReference,
                         ::testing::Range<std::uint64_t>(0, 300));

class FineSplitMatchesIntegerScan : public ::testing::TestWithParam<std::size_t> {};

// Every s < e <= 40 for one jump, min_size 0 to 6.
TEST_P(FineSplitMatchesIntegerScan, OnEverySmallSegment) {
    const std::size_t jump = GetParam();
    for (std::size_t s = 0; s < 40; ++s) {
        for (std::size_t e = s + 1; e <= 40; ++e) {
            for (std::size_t m = 0; m <= 6; ++m) {
                ASSERT_EQ(fine_split(s, e, jump, m), scan_every_integer(s, e, jump, m))
                    << s << " " << e << " " << m;
            }
        }
    }
}

// Above 2^53 neighbouring integers round to one double, so several multiples
// share the smallest distance; the scan keeps the smallest of them.
TEST_P(FineSplitMatchesIntegerScan, WherePositionsExceedDoublePrecision) {
    const std::size_t jump = GetParam();
    for (std::size_t base :
         {std::size_t{1} << 53, (std::size_t{1} << 60) + 5, (std::size_t{1} << 62) + 123457}) {
        for (std::size_t len : {std::size_t{1000}, std::size_t{4097}}) {
            for (std::size_t m : {1, 3, 300}) {
                ASSERT_EQ(fine_split(base, base + len, jump, m),
                          scan_every_integer(base, base + len, jump, m))
                    << base << " " << len << " " << m;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Jumps, FineSplitMatchesIntegerScan,
                         ::testing::Values(1, 2, 3, 5, 7, 64, 1000));

struct SplitCase {
    std::size_t s, e, jump, min_size;
    std::optional<std::size_t> expected;
};

class FineSplitChoice : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FineSplitChoice, TakesTheGridPointNearestTheMidpoint) {
    const SplitCase& c = GetParam();
    EXPECT_EQ(fine_split(c.s, c.e, c.jump, c.min_size), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FineSplitChoice,
    ::testing::Values(
        // 5 and 10 admissible, mid 6.0: |5 - 6| < |10 - 6|.
        SplitCase{0, 12, 5, 2, 5},
        // 4 and 6 are both 1.0 from mid 5.0: the smaller wins.
        SplitCase{0, 10, 2, 1, 4},
        // Grid points are absolute: in [7, 19) with jump 5 only 10 and 15 exist.
        SplitCase{7, 19, 5, 1, 15},
        // Zone [7, 7] holds no multiple of 5.
        SplitCase{5, 9, 5, 2, std::nullopt},
        // 3 < 2 * 2: no zone at all.
        SplitCase{0, 3, 1, 2, std::nullopt},
        // Multiples of 2^62 below 2^64 - 1 are 2^62, 2^63, 3 * 2^62; mid ~ 2^63.
        SplitCase{0, kMax, std::size_t{1} << 62, 1, std::size_t{1} << 63},
        SplitCase{0, kMax, kMax, kMax, std::nullopt}));

// n = 4, jump 1, min_size 1 grows the leaves [0,1) [1,2) [2,3) [3,4), each
// costing 0. The three candidate merges gain exactly error(0,2), error(1,3)
// and error(2,4) (a -inf cost gains +0.0); every wider merge costs 10.
struct MergeCase {
    const char* name;
    double e02, e13, e24;
    StopRule rule;
    Bkps expected;
};

class BottomUpMergeOrder : public ::testing::TestWithParam<MergeCase> {};

TEST_P(BottomUpMergeOrder, MergesTheSmallestGainFirst) {
    const MergeCase& c = GetParam();
    const FakeCost cost(4, [&c](std::size_t s, std::size_t e) {
        if (e - s == 1) return 0.0;
        if (e - s > 2) return 10.0;
        return s == 0 ? c.e02 : s == 1 ? c.e13 : c.e24;
    });
    EXPECT_EQ(bottomup(cost, 4, 1, 1, c.rule), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    UnitLeaves, BottomUpMergeOrder,
    ::testing::Values(
        MergeCase{"NoRuleKeepsTheFinePartition", 1, 2, 3, {}, {1, 2, 3, 4}},
        MergeCase{"ZeroBkpsMergesEverything", 1, 2, 3, {0, {}, {}}, {4}},
        MergeCase{"BkpsAtLeafCountKeepAll", 1, 2, 3, {3, {}, {}}, {1, 2, 3, 4}},
        MergeCase{"HugeBkpsDoNotWrap", 1, 2, 3, {kMax, {}, {}}, {1, 2, 3, 4}},
        MergeCase{"EqualGainsSmallerStartFirst", 1, 5, 1, {2, {}, {}}, {2, 3, 4}},
        MergeCase{"MinusZeroBeforePlusZero", 0.0, 1, -0.0, {2, {}, {}}, {1, 2, 4}},
        MergeCase{"NegativeNanBeforeEverything", -1e300, 5, kNegNan, {2, {}, {}}, {1, 2, 4}},
        MergeCase{"PositiveNanAfterInfinity", kNan, kInf, kNan, {2, {}, {}}, {1, 3, 4}},
        MergeCase{"NegativeInfinityCostGainsPlusZero", -kInf, 5, -1, {2, {}, {}}, {1, 2, 4}},
        MergeCase{"PenEqualToGainIsNotMerged", 1, 2, 3, {{}, 1.0, {}}, {1, 2, 3, 4}},
        // After [0,2) merges, (1,3) is stale and [0,3) gains 10 - 1 = 9; (2,4)
        // at gain 3 fails the pen.
        MergeCase{"PenAboveFrontGainMergesOnce", 1, 2, 3, {{}, 1.5, {}}, {2, 3, 4}},
        MergeCase{"NanGainAtTheFrontFinishesPen", kNegNan, 2, 3, {{}, 100.0, {}}, {1, 2, 3, 4}},
        // Leaf costs sum to 0.0; after merging [0,2) the nodes sum to 1.
        MergeCase{"EpsilonEqualToTotalFinishes", 1, 2, 3, {{}, {}, 0.0}, {1, 2, 3, 4}},
        MergeCase{"EpsilonAboveTotalMergesOnce", 1, 2, 3, {{}, {}, 0.5}, {2, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

// [0, 10) jump 3 min_size 2: 6 is nearer mid 5 than 3; [0, 6) splits at 3;
// [6, 10) has zone [8, 8] without a multiple of 3, which ends the growth.
TEST(BottomUpFinePartition, IsTheResultWithoutAStoppingRule) {
    const FakeCost cost(10, naive_l2({0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(bottomup(cost, 10, 3, 2, {}), (Bkps{3, 6, 10}));
}

TEST(BottomUpFinePartition, IsOneLeafWhenNothingCanSplit) {
    const FakeCost cost(6, naive_l2({0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(bottomup(cost, 6, 1, 4, {0, {}, {}}), (Bkps{6}));
    EXPECT_EQ(bottomup(cost, 6, 7, 1, {}), (Bkps{6}));
}

TEST(BottomUpFinePartition, TreatsMinSizeZeroAsOne) {
    const FakeCost cost(6, naive_l2({0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(bottomup(cost, 6, 1, 0, {}), bottomup(cost, 6, 1, 1, {}));
}

// n = 2^64 - 1 with jump 2^62: leaves end at 2^62, 2^63, 3 * 2^62 and n (the
// longest-first order must not negate 2^64 - 1 into a positive key).
TEST(BottomUpFinePartition, StaysInsideTheSignalForHugePositions) {
    const FakeCost cost(kMax, [](std::size_t s, std::size_t e) { return (e - s) % 5 * 1.0; });
    const std::size_t q = std::size_t{1} << 62;
    EXPECT_EQ(bottomup(cost, kMax, q, 1, {kMax, {}, {}}), (Bkps{q, 2 * q, 3 * q, kMax}));
    EXPECT_FALSE(cost.out_of_bounds());
}

}  // namespace
}  // namespace marbolt::detect
