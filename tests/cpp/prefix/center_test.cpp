// Column means and the centred copy.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "prefix/accumulator.hpp"

#include "prefix/center.hpp"

namespace marbolt::prefix {
namespace {

TEST(ColumnMeans, OfZeroRowsAreZerosNotNaN) {
    EXPECT_EQ(column_means({}, 0, 3), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(ColumnMeans, KeepTheSmallTermThatALargeOneCancels) {
    const std::vector<double> x = {1e16, 2.0, 3.0, 4.0, -1e16, 6.0};
    EXPECT_EQ(column_means(x, 3, 2), (std::vector<double>{1.0, 4.0}));
}

// Columns summed side by side in vector lanes must give each column's own
// scalar compensated sum, bit for bit, whatever the width (whole groups of
// four and the columns left over) and whatever the values: magnitudes that
// alternate which operand is larger, signed zeros, infinities and NaN (whose
// bits are not defined, only that it is NaN).
TEST(ColumnMeans, EqualColumnByColumnSumsForAnyWidth) {
    std::mt19937_64 gen(3);
    std::uniform_int_distribution<int> exponent(-60, 60), special(0, 40);
    std::normal_distribution<double> noise(0.0, 1.0);
    const double hostile[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), std::nan("")};
    for (std::size_t d = 1; d <= 9; ++d) {
        const std::size_t n = 300;
        std::vector<double> x(n * d);
        for (double& v : x) {
            const int s = special(gen);
            v = s < 5 && d % 3 == 0 ? hostile[s] : std::ldexp(noise(gen), exponent(gen));
        }
        const std::vector<double> means = column_means(x, n, d);
        for (std::size_t j = 0; j < d; ++j) {
            CompensatedSum acc;
            for (std::size_t i = 0; i < n; ++i) acc.add(x[i * d + j]);
            const double expected = acc.value() / static_cast<double>(n);
            // A NaN's sign and payload follow the compiler's operand order.
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(means[j])) << "d " << d << " column " << j;
                continue;
            }
            EXPECT_EQ(std::bit_cast<std::uint64_t>(means[j]), std::bit_cast<std::uint64_t>(expected))
                << "d " << d << " column " << j;
        }
    }
}

TEST(Center, SubtractsEachColumnsOwnMean) {
    const std::vector<double> x = {1.0, 10.0, 2.0, 30.0, 6.0, 20.0};
    EXPECT_EQ(center(x, 3, 2), (std::vector<double>{-2.0, -10.0, -1.0, 10.0, 3.0, 0.0}));
    const std::vector<double> means = {1.0, -1.0};
    EXPECT_EQ(subtract_means(x, 3, 2, means),
              (std::vector<double>{0.0, 11.0, 1.0, 31.0, 5.0, 21.0}));
}

}  // namespace
}  // namespace marbolt::prefix
