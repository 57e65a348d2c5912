// Column means and the centred copy.
#include <gtest/gtest.h>

#include <vector>

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

TEST(Center, SubtractsEachColumnsOwnMean) {
    const std::vector<double> x = {1.0, 10.0, 2.0, 30.0, 6.0, 20.0};
    EXPECT_EQ(center(x, 3, 2), (std::vector<double>{-2.0, -10.0, -1.0, 10.0, 3.0, 0.0}));
    const std::vector<double> means = {1.0, -1.0};
    EXPECT_EQ(subtract_means(x, 3, 2, means),
              (std::vector<double>{0.0, 11.0, 1.0, 31.0, 5.0, 21.0}));
}

}  // namespace
}  // namespace marbolt::prefix
