// rank: average ranks for ties (signed zeros together, each NaN alone), the
// worked one-column values, invariance under increasing maps, and the
// pseudo-inverse dropping the null directions of a singular rank covariance;
// and the in-place build against the build with a separate rank array.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cost/cost_rank.hpp"
#include "cost_factory.hpp"
#include "linalg/order.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Costs = std::map<std::pair<std::size_t, std::size_t>, double>;

Costs all_costs(const Cost& cost, std::size_t n) {
    Costs costs;
    for (std::size_t start = 0; start + 2 <= n; ++start) {
        for (std::size_t end = start + 2; end <= n; ++end) costs[{start, end}] = cost.error(start, end);
    }
    return costs;
}

void expect_same_bits(const Costs& a, const Costs& b) {
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [segment, value] : a) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(b.at(segment)))
            << "segment [" << segment.first << ", " << segment.second << ")";
    }
}

void expect_near(const Costs& a, const Costs& b) {
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [segment, value] : a) {
        EXPECT_NEAR(value, b.at(segment), 1e-9 * (1.0 + std::fabs(value)))
            << "segment [" << segment.first << ", " << segment.second << ")";
    }
}

struct RankCase {
    std::string name;
    std::vector<double> column;
    std::vector<double> centred;  // expected centred ranks
};

class RankTies : public ::testing::TestWithParam<RankCase> {};

// One column whose centred ranks r sum to 0: a segment costs -L * mu^2 / var
// with mu its mean of r and var the mean of r^2.
TEST_P(RankTies, CostsFollowTheAverageRanks) {
    const RankCase& c = GetParam();
    const std::size_t n = c.column.size();
    double var = 0.0;
    for (double r : c.centred) var += r * r / static_cast<double>(n);
    const CostRank cost = CostRank::build(c.column, n, 1);
    for (std::size_t start = 0; start + 2 <= n; ++start) {
        for (std::size_t end = start + 2; end <= n; ++end) {
            const double len = static_cast<double>(end - start);
            double mu = 0.0;
            for (std::size_t i = start; i < end; ++i) mu += c.centred[i] / len;
            EXPECT_NEAR(cost.error(start, end), -len * mu * mu / var, 1e-12);
        }
    }
}

// 5, 1, 5, 3: ranks 3.5, 1, 3.5, 2, minus 2.5. The zeros compare equal and
// share positions 1 and 2. Each NaN ranks alone after the numbers, in order.
INSTANTIATE_TEST_SUITE_P(
    Cases, RankTies,
    ::testing::Values(RankCase{"Ties", {5.0, 1.0, 5.0, 3.0}, {1.0, -1.5, 1.0, -0.5}},
                      RankCase{"SignedZeros", {-0.0, 0.0, 2.0, 1.0}, {-1.0, -1.0, 1.5, 0.5}},
                      RankCase{"NaNs", {kNaN, 1.0, kNaN, 0.0}, {0.5, -0.5, 1.5, -1.5}},
                      RankCase{"Distinct", {1.0, 2.0, 3.0, 4.0}, {-1.5, -0.5, 0.5, 1.5}}),
    [](const ::testing::TestParamInfo<RankCase>& info) { return info.param.name; });

// Centred ranks -1.5, -0.5, 0.5, 1.5; covariance 1.25; [0, 2) has mean -1.
TEST(RankWorked, FirstHalfOfOneToFourCostsMinusOnePointSix) {
    const std::vector<double> x = {1.0, 2.0, 3.0, 4.0};
    EXPECT_NEAR(CostRank::build(x, 4, 1).error(0, 2), -1.6, 1e-15);
}

// The sort of a column starts from the order the previous one left. Identical
// NaNs keep that order, and their ranks with it: rows 0 and 1 were sorted as
// 1, 0 by the first column, so row 1 takes the lower NaN rank.
TEST(RankWorked, IdenticalNaNsRankInTheOrderThePreviousColumnLeft) {
    const std::vector<double> with_nans = {2.0, kNaN, 1.0, kNaN, 3.0, 0.0, 4.0, 0.5};
    const std::vector<double> as_ranks = {2.0, 4.0, 1.0, 3.0, 3.0, 1.0, 4.0, 2.0};
    expect_same_bits(all_costs(CostRank::build(with_nans, 4, 2), 4),
                     all_costs(CostRank::build(as_ranks, 4, 2), 4));
}

TEST(RankWorked, WholeSignalCostsZero) {
    const std::vector<double> x = testing::random_signal(20, 3, 3);
    EXPECT_NEAR(CostRank::build(x, 20, 3).error(0, 20), 0.0, 1e-12);
}

class RankInvariance : public ::testing::TestWithParam<double (*)(double)> {};

// Only ranks enter the cost, so any strictly increasing map of the values
// leaves every cost unchanged to the last bit.
TEST_P(RankInvariance, IncreasingMapLeavesEveryCostBitIdentical) {
    const std::vector<double> x = testing::random_signal(12, 3, 17);
    std::vector<double> y(x.size());
    for (std::size_t m = 0; m < x.size(); ++m) y[m] = GetParam()(x[m] - 20.0);
    expect_same_bits(all_costs(CostRank::build(x, 12, 3), 12), all_costs(CostRank::build(y, 12, 3), 12));
}

INSTANTIATE_TEST_SUITE_P(Maps, RankInvariance,
                         ::testing::Values([](double v) { return std::exp(v); },
                                           [](double v) { return v * v * v; },
                                           [](double v) { return std::atan(v); }));

enum class Extra { kCopyOfFirst, kIncreasingMapOfSecond, kConstant };

class RankNullDirections : public ::testing::TestWithParam<Extra> {};

// A third column that orders the samples like another one (or not at all)
// adds a zero eigenvalue to the rank covariance; it must be dropped, not
// divided by, leaving the costs of the first two columns.
TEST_P(RankNullDirections, RedundantColumnCostsLikeTheSignalWithoutIt) {
    const std::size_t n = 14;
    const std::vector<double> x = testing::random_signal(n, 2, 23);
    std::vector<double> wider;
    for (std::size_t i = 0; i < n; ++i) {
        const double extra = GetParam() == Extra::kCopyOfFirst           ? x[i * 2]
                             : GetParam() == Extra::kIncreasingMapOfSecond ? std::exp(x[i * 2 + 1])
                                                                           : 4.0;
        wider.insert(wider.end(), {x[i * 2], x[i * 2 + 1], extra});
    }
    expect_near(all_costs(CostRank::build(wider, n, 3), n), all_costs(CostRank::build(x, n, 2), n));
}

INSTANTIATE_TEST_SUITE_P(Columns, RankNullDirections,
                         ::testing::Values(Extra::kCopyOfFirst, Extra::kIncreasingMapOfSecond,
                                           Extra::kConstant));

TEST(RankDegenerate, ConstantColumnsCostZeroEverywhere) {
    const std::vector<double> x = {3.0, -1.0, 3.0, -1.0, 3.0, -1.0, 3.0, -1.0, 3.0, -1.0};
    for (const auto& [segment, value] : all_costs(CostRank::build(x, 5, 2), 5)) {
        EXPECT_EQ(value, 0.0);
    }
}

// No rows: the means and the covariance stay zero instead of 0 / 0. No
// columns: nothing to rank, every cost is a zero.
TEST(RankDegenerate, EmptySignalsBuildAndCostZero) {
    EXPECT_EQ(CostRank::build({}, 0, 3).min_size(), 2u);
    EXPECT_EQ(CostRank::build({}, 6, 0).error(1, 5), 0.0);
    const std::vector<double> one = {7.0, 8.0};
    EXPECT_EQ(CostRank::build(one, 1, 2).error(0, 1), 0.0);
}

// The build as it was, with a separate rank array: a stable sort of one
// permutation carried from column to column, then the ranks centred.
std::vector<double> reference_ranks(const std::vector<double>& x, std::size_t n, std::size_t d) {
    std::vector<double> rank(n * d, 0.0);
    std::vector<std::size_t> perm(n);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    for (std::size_t j = 0; j < d; ++j) {
        std::stable_sort(perm.begin(), perm.end(), [&](std::size_t p, std::size_t q) {
            return linalg::total_cmp(x[p * d + j], x[q * d + j]) < 0;
        });
        for (std::size_t a = 0, b = 0; a < n; a = b) {
            for (b = a + 1; b < n && x[perm[b] * d + j] == x[perm[a] * d + j];) ++b;
            const double mean_position = static_cast<double>((a + 1) + b) * 0.5;
            for (std::size_t k = a; k < b; ++k) rank[perm[k] * d + j] = mean_position;
        }
    }
    for (double& r : rank) r = r - (1.0 + static_cast<double>(n)) * 0.5;
    return rank;
}

std::vector<double> reference_covariance(const std::vector<double>& r, std::size_t n,
                                         std::size_t d) {
    std::vector<double> cov(d * d, 0.0), mean(d, 0.0);
    if (n == 0) return cov;
    for (std::size_t i = 0; i < n * d; ++i) mean[i % d] = mean[i % d] + r[i];
    for (double& m : mean) m = m / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t m = 0; m < d * d; ++m) {
            const std::size_t l = m / d, k = m % d;
            cov[m] = (r[i * d + k] - mean[k]) * (r[i * d + l] - mean[l]) + cov[m];
        }
    }
    for (double& c : cov) c = c / static_cast<double>(n);
    return cov;
}

using Shape = std::tuple<std::size_t, std::size_t, bool>;  // n, d, with NaNs

class RankBuild : public ::testing::TestWithParam<Shape> {};

// The ranks written into the table and summed in place, sorted without a
// buffer, give the table and pseudo-inverse of the separate-array build.
TEST_P(RankBuild, TablesMatchTheSeparateArrayBuildBitForBit) {
    const auto [n, d, nans] = GetParam();
    const auto seed = static_cast<unsigned>(5 * n + d);
    const std::vector<double> x = testing::tied_signal(n, d, seed, nans);
    const CostRank cost = CostRank::build(x, n, d);
    const std::vector<double> r = reference_ranks(x, n, d);
    const std::vector<double> sums = prefix::Prefix1::build(r, n, d).data;
    const std::vector<double> pinv = rank_pseudo_inverse(reference_covariance(r, n, d), d);
    ASSERT_EQ(cost.sums().data.size(), sums.size());
    ASSERT_EQ(cost.pinv().size(), pinv.size());
    EXPECT_EQ(std::memcmp(cost.sums().data.data(), sums.data(), sums.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(cost.pinv().data(), pinv.data(), pinv.size() * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RankBuild,
                         ::testing::Combine(::testing::Values(0, 1, 2, 17, 300),
                                            ::testing::Values(1, 2, 4), ::testing::Bool()));

}  // namespace
}  // namespace marbolt::cost
