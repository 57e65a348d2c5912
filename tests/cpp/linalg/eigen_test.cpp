#include "linalg/eigen.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace marbolt::linalg {
namespace {

TEST(JacobiEigh, DiagonalMatrixIsReturnedAsItStandsWithIdentityVectors) {
    const Eigen e = jacobi_eigh(std::vector<double>{5.0, 0.0, 0.0, 0.0, -2.0, 0.0, 0.0, 0.0, 7.0}, 3);
    EXPECT_EQ(e.values, (std::vector<double>{5.0, -2.0, 7.0}));
    EXPECT_EQ(e.vectors, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(JacobiEigh, TwoByTwoGivesValuesInDiagonalOrderWithTheirVectors) {
    const Eigen e = jacobi_eigh(std::vector<double>{2.0, 1.0, 1.0, 2.0}, 2);
    EXPECT_NEAR(e.values[0], 1.0, 1e-15);
    EXPECT_NEAR(e.values[1], 3.0, 1e-15);
    const double h = std::sqrt(0.5);
    // Columns (1, -1)/sqrt2 and (1, 1)/sqrt2.
    EXPECT_NEAR(e.vectors[0], h, 1e-15);
    EXPECT_NEAR(e.vectors[2], -h, 1e-15);
    EXPECT_NEAR(e.vectors[1], h, 1e-15);
    EXPECT_NEAR(e.vectors[3], h, 1e-15);
}

TEST(JacobiEigh, ValuesAreNeverSorted) {
    const Eigen e = jacobi_eigh(std::vector<double>{4, 1, 0, 1, 3, 1, 0, 1, 2}, 3);
    EXPECT_NEAR(e.values[0], 3.0 + std::sqrt(3.0), 1e-12);
    EXPECT_NEAR(e.values[1], 3.0, 1e-12);
    EXPECT_NEAR(e.values[2], 3.0 - std::sqrt(3.0), 1e-12);
}

TEST(JacobiEigh, ZeroAndEmptyMatricesReturnAtOnce) {
    const Eigen zero = jacobi_eigh(std::vector<double>(4, 0.0), 2);
    EXPECT_EQ(zero.values, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(zero.vectors, (std::vector<double>{1, 0, 0, 1}));
    const Eigen empty = jacobi_eigh(std::vector<double>{}, 0);
    EXPECT_TRUE(empty.values.empty());
    EXPECT_TRUE(empty.vectors.empty());
}

TEST(JacobiEigh, NanInputStopsWithoutLooping) {
    const Eigen e = jacobi_eigh(std::vector<double>{1.0, NAN, NAN, 1.0}, 2);
    EXPECT_EQ(e.vectors, (std::vector<double>{1, 0, 0, 1}));
}

// A V = V diag(values) and V^T V = I on random symmetric matrices.
class JacobiRandom : public ::testing::TestWithParam<std::size_t> {};

TEST_P(JacobiRandom, ReconstructsTheMatrix) {
    const std::size_t k = GetParam();
    std::mt19937_64 gen(k);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    std::vector<double> a(k * k);
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t c = r; c < k; ++c) a[r * k + c] = a[c * k + r] = u(gen);
    }
    const Eigen e = jacobi_eigh(a, k);
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t i = 0; i < k; ++i) {
            double av = 0.0, vv = 0.0;
            for (std::size_t j = 0; j < k; ++j) {
                av += a[r * k + j] * e.vectors[j * k + i];
                vv += e.vectors[j * k + r] * e.vectors[j * k + i];
            }
            EXPECT_NEAR(av, e.values[i] * e.vectors[r * k + i], 1e-12);
            EXPECT_NEAR(vv, r == i ? 1.0 : 0.0, 1e-13);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, JacobiRandom, ::testing::Values(1, 2, 3, 5, 8, 13));

}  // namespace
}  // namespace marbolt::linalg
