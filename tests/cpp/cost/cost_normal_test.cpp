// normal on constant columns and on the smallest hand-checkable signals, where
// the divisor (L for one column, L - 1 for several) and the exact pivot test
// decide between a finite cost and -inf.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cost/cost_normal.hpp"

namespace marbolt::cost {
namespace {

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

TEST(NormalConstantSignal, OneColumnCostsMinusInfinityOrLogOfTheSmallDiagonal) {
    const std::vector<double> x(6, 3.0);
    const CostNormal plain = CostNormal::build(x, 6, 1, false);
    const CostNormal padded = CostNormal::build(x, 6, 1, true);
    for (std::size_t start = 0; start < 6; ++start) {
        for (std::size_t end = start + 2; end <= 6; ++end) {
            const double len = static_cast<double>(end - start);
            EXPECT_EQ(plain.error(start, end), kMinusInf);
            EXPECT_EQ(padded.error(start, end), std::log(1e-6) * len);
        }
    }
}

// Inside a constant run of a step signal the variance is 0 up to a rounding
// residue of either sign; a negative one must be clamped, not fed to ln.
TEST(NormalConstantSignal, ConstantRunsOfAStepNeverCostNaN) {
    const std::size_t n = 17;
    const std::size_t half = n / 2;
    for (const double second : {0.7, -2.2, 1e3}) {
        std::vector<double> x(n, 0.1);
        for (std::size_t i = half; i < n; ++i) x[i] = second;
        const CostNormal plain = CostNormal::build(x, n, 1, false);
        const CostNormal padded = CostNormal::build(x, n, 1, true);
        for (std::size_t start = 0; start < n; ++start) {
            for (std::size_t end = start + 2; end <= n; ++end) {
                if (start < half && end > half) continue;  // spans the step
                const double len = static_cast<double>(end - start);
                EXPECT_LT(plain.error(start, end), -20.0 * len) << "level " << second;
                EXPECT_NEAR(padded.error(start, end), std::log(1e-6) * len, 1e-3 * len);
            }
        }
    }
}

// The second column centres to exact zeros, so the covariance has a zero row
// and the second pivot is exactly 0.
TEST(NormalConstantSignal, ConstantSecondColumnIsSingularUnlessTheDiagonalIsPadded) {
    const std::vector<double> x = {0.5, 5.0, -1.0, 5.0, 2.0, 5.0, 0.25, 5.0, 3.0, 5.0};
    const CostNormal plain = CostNormal::build(x, 5, 2, false);
    const CostNormal padded = CostNormal::build(x, 5, 2, true);
    for (std::size_t start = 0; start < 5; ++start) {
        for (std::size_t end = start + 2; end <= 5; ++end) {
            EXPECT_EQ(plain.error(start, end), kMinusInf);
            EXPECT_TRUE(std::isfinite(padded.error(start, end)));
        }
    }
}

TEST(NormalDivisor, OneColumnUsesThePopulationVariance) {
    const std::vector<double> x = {0.0, 2.0};
    EXPECT_EQ(CostNormal::build(x, 2, 1, false).error(0, 2), 0.0);  // ln(1) * 2
}

// Covariance [[2, 2], [2, 2]] (divisor 1): the second pivot rounds to
// 2 - (2 / sqrt 2)^2 = 4.44e-16 rather than 0, so the cost stays finite;
// only a pivot that is exactly <= 0 means -inf.
TEST(NormalDivisor, SeveralColumnsUseTheSampleCovarianceAndOnlyExactPivotsFail) {
    const std::vector<double> x = {0.0, 1.0, 2.0, 3.0};
    const double e = CostNormal::build(x, 2, 2, false).error(0, 2);
    EXPECT_TRUE(std::isfinite(e));
    EXPECT_NEAR(e, -69.31, 0.01);
}

// A search with min_size 1 asks for one-sample segments; their covariance is
// the zero matrix rather than 0/0 whatever rounding left in the scatter.
TEST(NormalDivisor, OneSampleOfSeveralColumnsHasAZeroCovariance) {
    const std::vector<double> x = {0.1, 7.3, -2.9, 1.0 / 3.0, 5.5, 1e8};
    const CostNormal plain = CostNormal::build(x, 3, 2, false);
    const CostNormal padded = CostNormal::build(x, 3, 2, true);
    for (std::size_t start = 0; start < 3; ++start) {
        EXPECT_EQ(plain.error(start, start + 1), kMinusInf);
        EXPECT_EQ(padded.error(start, start + 1), 2.0 * (std::log(std::sqrt(1e-6)) * 2.0));
    }
}

}  // namespace
}  // namespace marbolt::cost
