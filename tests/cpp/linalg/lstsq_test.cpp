#include "linalg/lstsq.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/numeric.hpp"

namespace marbolt::linalg {
namespace {

TEST(LstsqFactor, SolvesAWellConditionedSystem) {
    const std::vector<double> g{4.0, 1.0, 1.0, 3.0};
    const std::optional<LstsqFactor> f = lstsq_factor(g, 2, 10);
    ASSERT_TRUE(f);
    std::vector<double> out(3, 99.0);
    f->solve_into(std::vector<double>{1.0, 2.0}, out);
    // [[4, 1], [1, 3]]^-1 (1, 2) = (1, 7) / 11; the spare entry is untouched.
    EXPECT_NEAR(out[0], 1.0 / 11.0, 1e-15);
    EXPECT_NEAR(out[1], 7.0 / 11.0, 1e-15);
    EXPECT_EQ(out[2], 99.0);
}

TEST(LstsqFactor, NoMoreRowsThanUnknownsGivesNoFactor) {
    EXPECT_FALSE(lstsq_factor(std::vector<double>{4.0, 1.0, 1.0, 3.0}, 2, 2));
    EXPECT_TRUE(lstsq_factor(std::vector<double>{4.0, 1.0, 1.0, 3.0}, 2, 3));
}

TEST(LstsqFactor, NoRegressorsGiveAnEmptyFactorThatWritesNothing) {
    const std::optional<LstsqFactor> f = lstsq_factor(std::vector<double>{}, 0, 1);
    ASSERT_TRUE(f);
    std::vector<double> out{5.0};
    f->solve_into(std::vector<double>{}, out);
    EXPECT_EQ(out[0], 5.0);
}

class LstsqRefused : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(LstsqRefused, GivesNoFactor) { EXPECT_FALSE(lstsq_factor(GetParam(), 2, 10)); }

INSTANTIATE_TEST_SUITE_P(
    DegenerateGrams, LstsqRefused,
    ::testing::Values(std::vector<double>{1.0, 1.0, 1.0, 1.0},    // identical regressors
                      std::vector<double>{0.0, 0.0, 0.0, 0.0},    // largest eigenvalue 0
                      std::vector<double>{kInf, 0.0, 0.0, 1.0},   // infinite eigenvalue
                      std::vector<double>{NAN, 0.0, 0.0, 1.0},    // NaN eigenvalue
                      std::vector<double>{1.0, 0.0, 0.0, 1e-16},  // under m ulps of the largest
                      std::vector<double>{1.0, 0.0, 0.0, -1.0}));  // negative eigenvalue

}  // namespace
}  // namespace marbolt::linalg
