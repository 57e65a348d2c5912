// l2 on degenerate and badly offset signals.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <vector>

#include "cost/cost_l2.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

// A step signal: two constant runs. Inside a run, sum of squares minus squared
// sum over L leaves a rounding residue of either sign (the centred levels are
// not exact); the negative ones must be clamped to 0.
struct Levels {
    double first;
    double second;
};

void PrintTo(const Levels& lv, std::ostream* os) { *os << lv.first << " then " << lv.second; }

class L2ConstantRun : public ::testing::TestWithParam<Levels> {};

TEST_P(L2ConstantRun, CostsZeroUpToRoundingAndNeverNegative) {
    const std::size_t n = 17;
    const std::size_t d = 2;
    const std::size_t half = n / 2;
    const Levels lv = GetParam();
    std::vector<double> x(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        x[i * d] = i < half ? lv.first : lv.second;
        x[i * d + 1] = i < half ? lv.second : lv.first;
    }
    const CostL2 cost = CostL2::build(x, n, d);
    const double scale = 1.0 + lv.first * lv.first + lv.second * lv.second;
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 1; end <= n; ++end) {
            if (start < half && end > half) continue;  // spans the step
            const double e = cost.error(start, end);
            EXPECT_GE(e, 0.0) << "segment [" << start << ", " << end << ")";
            EXPECT_LE(e, 1e-12 * scale * n) << "segment [" << start << ", " << end << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, L2ConstantRun,
                         ::testing::Values(Levels{0.1, 0.7}, Levels{1.0 / 3.0, 2.0 / 3.0},
                                           Levels{1.1, -2.2}, Levels{0.3, 1e3},
                                           Levels{1e8 + 0.3, 1e8 + 0.3}));

class ZeroColumnSignal : public ::testing::TestWithParam<std::string_view> {};

TEST_P(ZeroColumnSignal, CostsNothing) {
    const std::vector<double> x;
    const std::unique_ptr<const Cost> cost = make_cost(GetParam(), x, 5, 0);
    EXPECT_EQ(cost->error(0, 5), 0.0);
    EXPECT_EQ(cost->error(1, 3), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Models, ZeroColumnSignal,
                         ::testing::Values("l2", "normal", "normal_nodiag", "mahalanobis",
                                           "l2_extension"));

// Without centring, Q and S^2 / L would both be about L * 1e16 and their
// difference would lose every digit of the noise.
TEST(L2Centring, ShiftingAColumnByALargeConstantLeavesCostsUnchanged) {
    const std::size_t n = 40;
    const std::size_t d = 2;
    const std::vector<double> x = random_signal(n, d, 11);
    std::vector<double> shifted = x;
    for (std::size_t i = 0; i < n; ++i) shifted[i * d + 1] += 1e8;
    const CostL2 plain = CostL2::build(x, n, d);
    const CostL2 moved = CostL2::build(shifted, n, d);
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 2; end <= n; ++end) {
            const double expected = plain.error(start, end);
            EXPECT_NEAR(moved.error(start, end), expected, 1e-6 * (1.0 + expected))
                << "segment [" << start << ", " << end << ")";
        }
    }
}

}  // namespace
}  // namespace marbolt::cost::testing
