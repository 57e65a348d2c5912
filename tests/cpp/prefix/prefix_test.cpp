// Prefix tables: compensated accumulation, the zero first row, segment sums as
// row differences, and the symmetry of the outer-product blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "prefix/center.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::prefix {
namespace {

std::vector<double> random_rows(std::size_t n, std::size_t d, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-50.0, 50.0);
    std::vector<double> x(n * d);
    for (double& v : x) v = u(gen);
    return x;
}

// A plain running sum would read 0 after the last row.
TEST(CompensatedPrefixSums, KeepTheSmallTermThatALargeOneCancels) {
    const Prefix1 p = Prefix1::build(std::vector<double>{1e16, 1.0, -1e16}, 3, 1);
    EXPECT_EQ(p.data, (std::vector<double>{0.0, 1e16, 1e16, 1.0}));

    // Products 1e16, 1, -1e16 in the off-diagonal pair.
    const std::vector<double> rows = {1e8, 1e8, 1.0, 1.0, 1e8, -1e8};
    const PrefixOuter q = PrefixOuter::build(rows, 3, 2);
    for (std::size_t r = 1; r <= 3; ++r) {
        const double expected[] = {1e16, 1e16, 1.0};
        EXPECT_EQ(q.data[r * 4 + 1], expected[r - 1]) << "row " << r;
    }
}

class PrefixTables : public ::testing::TestWithParam<std::size_t> {
protected:
    std::size_t d = GetParam();
    std::size_t n = 9;
    std::vector<double> x = random_rows(n, d, 3 + static_cast<unsigned>(d));
};

TEST_P(PrefixTables, Prefix1RowDifferencesAreSegmentSumsFromAZeroFirstRow) {
    const Prefix1 p = Prefix1::build(x, n, d);
    ASSERT_EQ(p.data.size(), (n + 1) * d);
    for (std::size_t j = 0; j < d; ++j) EXPECT_EQ(p.data[j], 0.0);
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 1; end <= n; ++end) {
            for (std::size_t j = 0; j < d; ++j) {
                double plain = 0.0;
                for (std::size_t i = start; i < end; ++i) plain += x[i * d + j];
                EXPECT_NEAR(p.segment_sum(start, end, j), plain, 1e-12 * 50.0 * n);
            }
        }
    }
}

TEST_P(PrefixTables, PrefixOuterBlocksAreSymmetricScatterSums) {
    const PrefixOuter q = PrefixOuter::build(x, n, d);
    ASSERT_EQ(q.data.size(), (n + 1) * d * d);
    for (std::size_t m = 0; m < d * d; ++m) EXPECT_EQ(q.data[m], 0.0);
    for (std::size_t r = 1; r <= n; ++r) {
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < d; ++k) {
                EXPECT_EQ(q.data[r * d * d + j * d + k], q.data[r * d * d + k * d + j]);
                double plain = 0.0;
                for (std::size_t i = 0; i < r; ++i) plain += x[i * d + j] * x[i * d + k];
                EXPECT_NEAR(q.data[r * d * d + j * d + k], plain, 1e-12 * 2500.0 * n);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Columns, PrefixTables, ::testing::Values(std::size_t{1}, std::size_t{4}));

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class CentredBuild : public ::testing::TestWithParam<std::size_t> {};

// The models build from the signal and its column means instead of a centred
// copy; the tables must hold the bits the copy would give, NaN and inf included.
TEST_P(CentredBuild, MatchesBuildingFromACentredCopyBitForBit) {
    const std::size_t n = 300, d = GetParam();
    std::vector<double> with_specials = random_rows(n, d, 17);
    with_specials[7 * d] = std::numeric_limits<double>::quiet_NaN();
    with_specials[(n - 4) * d + d - 1] = std::numeric_limits<double>::infinity();
    for (const std::vector<double>& x : {random_rows(n, d, 18), with_specials}) {
        const std::vector<double> means = column_means(x, n, d);
        const std::vector<double> xc = center(x, n, d);
        std::vector<double> sq(xc.size());
        for (std::size_t m = 0; m < xc.size(); ++m) sq[m] = xc[m] * xc[m];
        const auto [sums, squares] = Prefix1::build_centred_with_squares(x, n, d, means);
        EXPECT_TRUE(same_bits(sums.data, Prefix1::build(xc, n, d).data));
        EXPECT_TRUE(same_bits(squares.data, Prefix1::build(sq, n, d).data));
        EXPECT_TRUE(same_bits(Prefix1::build_centred(x, n, d, means).data, Prefix1::build(xc, n, d).data));
        const auto [sums2, outer] = centred_sums_and_outer(x, n, d, means);
        EXPECT_TRUE(same_bits(sums2.data, Prefix1::build(xc, n, d).data));
        EXPECT_TRUE(same_bits(outer.data, PrefixOuter::build(xc, n, d).data));
        EXPECT_EQ(outer.stride, d * d);
    }
}

INSTANTIATE_TEST_SUITE_P(Columns, CentredBuild, ::testing::Values(1, 3));

}  // namespace
}  // namespace marbolt::prefix
