// clinear on hand-checkable signals: pinned lines that join across
// breakpoints, the anchor of a segment starting at 0, invariance under a
// global trend, the degenerate shapes, and the interleaved table against the
// separate tables it replaced.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "cost/cost_clinear.hpp"
#include "cost_factory.hpp"
#include "prefix/center.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost::testing {
namespace {

// A tent: the line of [0, 5) runs from row 0 to row 4 and the line of [5, 9)
// from row 4 to row 8, both exact. Split at 4 instead, [4, 9) is anchored at
// row 3 (value 3) and ends at row 8 (value 0): the line 3 - 0.6 k for k = 1..5
// misses 4, 3, 2, 1, 0 by 1.6, 1.2, 0.8, 0.4, 0, squares summing to 4.8.
TEST(CLinearCost, TentCostsNothingAtItsPeakAndFourPointEightBesideIt) {
    const std::vector<double> x = {0, 1, 2, 3, 4, 3, 2, 1, 0};
    const CostCLinear cost = CostCLinear::build(x, 9, 1);
    EXPECT_NEAR(cost.sum_of_costs(std::vector<std::size_t>{5, 9}), 0.0, 1e-12);
    EXPECT_NEAR(cost.error(4, 9), 4.8, 1e-12);
}

// Anchored at row 0 (value 0), ending at row 2 (value 2): the line predicts 1
// at row 1, which holds 5.
TEST(CLinearCost, SegmentAtTheStartIsAnchoredAtItsFirstSample) {
    const CostCLinear cost = CostCLinear::build(std::vector<double>{0, 5, 2}, 3, 1);
    EXPECT_NEAR(cost.error(0, 3), 16.0, 1e-12);
}

TEST(CLinearCost, GlobalTrendLeavesEveryCostUnchanged) {
    const std::size_t n = 11;
    const std::vector<double> x = random_signal(n, 2, 17);
    std::vector<double> trended = x;
    for (std::size_t i = 0; i < n; ++i) {
        trended[i * 2] += 40.0 + 3.5 * static_cast<double>(i);
        trended[i * 2 + 1] += -7.0 - 12.0 * static_cast<double>(i);
    }
    const CostCLinear a = CostCLinear::build(x, n, 2);
    const CostCLinear b = CostCLinear::build(trended, n, 2);
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 2; end <= n; ++end) {
            const double expected = a.error(start, end);
            EXPECT_NEAR(b.error(start, end), expected, 1e-9 * (1.0 + expected));
        }
    }
}

// One row: only the mean is removed, and [0, 1) measures nothing (D = 0),
// which the formula turns into 0/0. The empty segment [0, 0) of an empty
// signal, which searches over it evaluate, must not read rows 0 and -1.
TEST(CLinearCost, DegenerateShapesBuildAndCostNaNOrZero) {
    EXPECT_TRUE(std::isnan(CostCLinear::build(std::vector<double>{7.0}, 1, 1).error(0, 1)));
    EXPECT_TRUE(std::isnan(CostCLinear::build({}, 0, 2).error(0, 0)));
    EXPECT_EQ(CostCLinear::build({}, 4, 0).error(0, 4), 0.0);
    EXPECT_NEAR(CostCLinear::build(std::vector<double>{1, 9}, 2, 1).error(0, 2), 0.0, 1e-12);
}

// The layout before the rows were interleaved: a detrended copy and three
// separate prefix tables, built and read as they were.
struct SeparateTables {
    std::vector<double> resid;
    prefix::Prefix1 sum, sum_sq, sum_t;
    std::size_t d;

    SeparateTables(std::span<const double> x, std::size_t n, std::size_t d) : d(d) {
        if (n > 0 && d > 0) resid = detrended(x, n, d);
        std::vector<double> sq(resid.size()), tr(resid.size());
        for (std::size_t m = 0; m < resid.size(); ++m) {
            sq[m] = resid[m] * resid[m];
            tr[m] = resid[m] * static_cast<double>(m / d);
        }
        sum = prefix::Prefix1::build(resid, n, d);
        sum_sq = prefix::Prefix1::build(sq, n, d);
        sum_t = prefix::Prefix1::build(tr, n, d);
    }

    static std::vector<double> detrended(std::span<const double> x, std::size_t n, std::size_t d) {
        const std::vector<double> mean = prefix::column_means(x, n, d);
        std::vector<double> slope(d, 0.0), icpt(d), r(n * d);
        const double rows = static_cast<double>(n), centre = (rows - 1.0) * 0.5;
        const double spread = ((rows * rows - 1.0) * rows) / 12.0;
        for (std::size_t j = 0; j < d && n > 1; ++j) {
            prefix::CompensatedSum acc;
            for (std::size_t i = 0; i < n; ++i) {
                acc.add((x[i * d + j] - mean[j]) * (static_cast<double>(i) - centre));
            }
            slope[j] = acc.value() / spread;
            icpt[j] = mean[j] - centre * slope[j];
        }
        for (std::size_t m = 0; m < n * d; ++m) {
            const double t = static_cast<double>(m / d);
            r[m] = n == 1 ? x[m] - mean[m % d] : x[m] - (t * slope[m % d] + icpt[m % d]);
        }
        return r;
    }

    double error(std::size_t start, std::size_t end) const {
        if (d == 0) return 0.0;
        const std::size_t u = std::max<std::size_t>(start, 1);
        if (end < u) return std::numeric_limits<double>::quiet_NaN();
        const double dd = static_cast<double>(end - u), uu = static_cast<double>(u) - 1.0;
        const double w = 0.5 * ((dd + 1.0) * dd), v = ((2.0 * dd + 1.0) * ((dd + 1.0) * dd)) / 6.0;
        double total = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double y0 = resid[(u - 1) * d + j], f = (resid[(end - 1) * d + j] - y0) / dd;
            const double s1 = sum.segment_sum(u, end, j), s2 = sum_sq.segment_sum(u, end, j);
            const double s3 = sum_t.segment_sum(u, end, j);
            const double from_sums = s2 - 2.0 * ((s1 * y0) + ((s3 - uu * s1) * f));
            double e = ((y0 * dd) * y0) + ((((2.0 * f) * y0) * w) + (((f * f) * v) + from_sums));
            if (e < 0.0) e = 0.0;
            total = total + e;
        }
        return total;
    }
};

using Shape = std::tuple<std::size_t, std::size_t, bool>;  // n, d, with NaNs

class CLinearLayout : public ::testing::TestWithParam<Shape> {};

// A NaN's sign is not fixed by the operations (for a + b with two NaNs the
// compiler may pick either operand), so NaNs only need to be NaNs.
void expect_same(double got, double want, std::size_t start, std::size_t end) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << "segment [" << start << ", " << end << ")";
    } else {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want))
            << "segment [" << start << ", " << end << ")";
    }
}

// Every segment, the empty ones and [0, 0) included, costs the same bits as
// it did with separate tables.
TEST_P(CLinearLayout, EverySegmentCostsTheBitsOfSeparateTables) {
    const auto [n, d, nans] = GetParam();
    const std::vector<double> x = tied_signal(n, d, static_cast<unsigned>(7 * n + d), nans);
    const CostCLinear cost = CostCLinear::build(x, n, d);
    const SeparateTables reference(x, n, d);
    for (std::size_t start = 0; start <= n; ++start) {
        for (std::size_t end = start; end <= n; ++end) {
            expect_same(cost.error(start, end), reference.error(start, end), start, end);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CLinearLayout,
                         ::testing::Combine(::testing::Values(0, 1, 2, 9, 40),
                                            ::testing::Values(1, 3), ::testing::Bool()));

}  // namespace
}  // namespace marbolt::cost::testing
