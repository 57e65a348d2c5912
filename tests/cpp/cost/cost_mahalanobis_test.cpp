// mahalanobis against l2, and with a metric that is not positive definite.
#include <gtest/gtest.h>

#include <vector>

#include "cost/cost_l2.hpp"
#include "cost/cost_mahalanobis.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

class MahalanobisScaledIdentity : public ::testing::TestWithParam<double> {};

// With metric s * I the cost is s times l2 (l2 clamps negative residues, the
// metric cost does not, so the two agree only up to rounding).
TEST_P(MahalanobisScaledIdentity, EqualsScaledL2AndKeepsItsSign) {
    const double scale = GetParam();
    const std::size_t n = 15;
    const std::size_t d = 3;
    const std::vector<double> x = random_signal(n, d, 5);
    std::vector<double> metric = identity_metric(d);
    for (double& v : metric) v *= scale;
    const CostMahalanobis cost = CostMahalanobis::build(x, n, d, metric);
    const CostL2 l2 = CostL2::build(x, n, d);
    for (std::size_t start = 0; start < n; ++start) {
        for (std::size_t end = start + 2; end <= n; ++end) {
            const double expected = scale * l2.error(start, end);
            const double e = cost.error(start, end);
            EXPECT_NEAR(e, expected, 1e-9 * (1.0 + std::fabs(expected)));
            EXPECT_EQ(e < 0.0, scale < 0.0) << "segment [" << start << ", " << end << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, MahalanobisScaledIdentity, ::testing::Values(1.0, 2.5, -1.0));

}  // namespace
}  // namespace marbolt::cost::testing
