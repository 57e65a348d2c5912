// Kernel PELT on hand-checked costs and against the unpruned optimum.
#include "detect/kernel_pelt.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cost/cost_kernel.hpp"
#include "search_fakes.hpp"

namespace marbolt::detect {
namespace {

using namespace testing;

// Block sums that make any cost function: diag_sum is the cost, block_sum 0.
// Records the segments asked for.
class FakeBlocks final : public cost::KernelBlocks {
public:
    explicit FakeBlocks(SegmentCost fn) : fn_(std::move(fn)) {}
    double diag_sum(std::size_t start, std::size_t end) const noexcept override {
        calls_.emplace_back(start, end);
        return fn_(start, end);
    }
    double block_sum(std::size_t, std::size_t) const noexcept override { return 0.0; }
    const std::vector<Segment>& calls() const { return calls_; }

private:
    SegmentCost fn_;
    mutable std::vector<Segment> calls_;
};

struct EdgeCase {
    const char* label;
    std::size_t n, min_size;
    double pen;
    SegmentCost cost;
    Bkps expected;
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.label; }

class KernelPeltEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(KernelPeltEdges, GiveTheDefinedResult) {
    const EdgeCase& c = GetParam();
    FakeBlocks blocks(c.cost);
    EXPECT_EQ(kernel_pelt(blocks, c.n, c.min_size, c.pen), c.expected);
    if (c.n < 2 * c.min_size) {  // only the short prefixes, all from 0
        EXPECT_EQ(blocks.calls().size(), c.n);
        for (const Segment& s : blocks.calls()) EXPECT_EQ(s.first, 0u);
    }
}

SegmentCost constant(double v) {
    return [v](std::size_t, std::size_t) { return v; };
}

// n = 4, m = 2, pen 1: the only split is at 2, totalling
// (cost(0, 2) + 1) + (cost(2, 4) + 1) = 3 against cost(0, 4) + 1.
SegmentCost two_halves(double whole) {
    return [whole](std::size_t s, std::size_t e) { return s == 0 && e == 4 ? whole : s == 0 ? 1.0 : 0.0; };
}

INSTANTIATE_TEST_SUITE_P(
    HandChecked, KernelPeltEdges,
    ::testing::Values(EdgeCase{"empty", 0, 1, 1.0, constant(1.0), {}},
                      EdgeCase{"shorter_than_two_segments", 3, 2, 1.0, constant(-5.0), {3}},
                      EdgeCase{"split_wins", 4, 2, 1.0, two_halves(3.0), {2, 4}},
                      EdgeCase{"tie_keeps_one_segment", 4, 2, 1.0, two_halves(2.0), {4}},
                      EdgeCase{"whole_wins", 4, 2, 1.0, two_halves(1.0), {4}},
                      EdgeCase{"infinite_penalty", 8, 1, kInf, constant(-1.0), {8}},
                      EdgeCase{"nan_first_candidate_is_kept", 4, 1, 1.0,
                               [](std::size_t s, std::size_t e) { return s == 0 && e == 4 ? kNan : 0.0; },
                               {4}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(KernelPeltPruning, DropsStartsFromTheLeftJumpingFromZeroToMinSize) {
    // m = 2, pen 1; segments from 0 ending at 4 or later cost 10, all others 0.
    // t = 4: start 0 totals 11, start 2 totals 2; V[0] = 10 >= D[4] = 2 drops 0
    // and s_low jumps to 2, whose V[2] = 1 < 2 stops the pruning. Later ends
    // never ask for [0, t) again, nor for any start 1.
    FakeBlocks blocks([](std::size_t s, std::size_t e) { return s == 0 && e >= 4 ? 10.0 : 0.0; });
    EXPECT_EQ(kernel_pelt(blocks, 6, 2, 1.0), (Bkps{2, 6}));
    const std::vector<Segment> expected{{0, 1}, {0, 2}, {0, 3}, {0, 4}, {2, 4}, {2, 5},
                                        {3, 5}, {2, 6}, {3, 6}, {4, 6}};
    EXPECT_EQ(blocks.calls(), expected);
}

// O(n^2) recursion over every start, without pruning (min_size 1).
double brute_force(const SegmentCost& cost, std::size_t n, double pen) {
    std::vector<double> best(n + 1, kInf);
    best[0] = 0.0;
    for (std::size_t t = 1; t <= n; ++t) {
        for (std::size_t s = 0; s < t; ++s) best[t] = std::min(best[t], best[s] + cost(s, t) + pen);
    }
    return best[n];
}

double unclamped(const cost::KernelBlocks& blocks, std::size_t s, std::size_t e) {
    return blocks.diag_sum(s, e) - blocks.block_sum(s, e) / static_cast<double>(e - s);
}

using SignalParam = std::tuple<std::size_t, std::size_t, double, unsigned>;
class KernelPeltOnSignals : public ::testing::TestWithParam<SignalParam> {};

// With min_size 1 and the linear kernel (the l2 cost, which never rises when a
// segment is split) left-end pruning only drops starts that cannot win. With a
// larger min_size it can drop a start still needed by an end closer than
// min_size to the one that pruned it, as in PELT, so only validity is checked.
TEST_P(KernelPeltOnSignals, ReturnsValidSegmentsAndWithMinSizeOneTheOptimum) {
    const auto [n, m, pen, seed] = GetParam();
    std::vector<double> x = gaussian_signal(n, seed);
    for (std::size_t i = n / 3; i < n; ++i) x[i] += 3.0;
    const cost::CostKernelLinear linear = cost::CostKernelLinear::build(x, n, 1);
    const SegmentCost cost = [&](std::size_t s, std::size_t e) { return unclamped(linear, s, e); };
    const Bkps bkps = kernel_pelt(linear, n, m, pen);
    ASSERT_EQ(bkps.back(), n);
    double found = 0.0;
    std::size_t prev = 0;
    for (std::size_t b : bkps) {
        EXPECT_GE(b - prev, std::min(m, n));
        found += cost(prev, b) + pen;
        prev = b;
    }
    if (m == 1) {
        EXPECT_NEAR(found, brute_force(cost, n, pen), 1e-9 * (1.0 + std::fabs(found)));
    }
}

INSTANTIATE_TEST_SUITE_P(SmallSignals, KernelPeltOnSignals,
                         ::testing::Combine(::testing::Values(1, 9, 30), ::testing::Values(1, 3, 20),
                                            ::testing::Values(0.0, 0.5, 3.0), ::testing::Values(1u, 2u)));

}  // namespace
}  // namespace marbolt::detect
