// The trend cost far from the signal's start, where a line fitted on raw
// positions is ill-conditioned: short segments at the end of a long signal
// cost their true residual sum of squares, not the 0 of a refused fit.
#include <gtest/gtest.h>

#include <vector>

#include "cost/cost_trend.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

TEST(TrendCost, ShortSegmentsFarFromTheStartCostTheirResidual) {
    const std::size_t n = 50000;
    const std::vector<double> x = random_signal(n, 1, 11);
    const CostTrend cost = CostTrend::build(x, n, 1);
    for (const std::size_t length : {3, 10, 1000}) {
        const double naive = naive_trend(x, n, 1, n - length, n);
        EXPECT_GT(naive, 0.0);
        // Within a millionth of the samples' scale (about 1): prefix sums of
        // 50 000 terms hold their differences to about that.
        EXPECT_NEAR(cost.error(n - length, n), naive, 1e-6) << length;
    }
}

TEST(TrendCost, ALineCostsNothingWhateverItsLevelAndSlope) {
    std::vector<double> x(200);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1e6 + 37.5 * static_cast<double>(i);
    const CostTrend cost = CostTrend::build(x, x.size(), 1);
    EXPECT_NEAR(cost.error(150, 200), 0.0, 1e-6);
    EXPECT_NEAR(cost.error(0, 200), 0.0, 1e-3);
}

}  // namespace
}  // namespace marbolt::cost::testing
