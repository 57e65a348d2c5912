// The proofs about a start's reach balls must never be wrong: balls with a
// common point are never proven apart, and the ball said to hold their
// intersection holds every common point, at any offset and scale.
#include "detect/ball_intersection.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace marbolt::detect {
namespace {

using Point = std::array<double, cost::kMaxBallDims>;

long double distance2(const Point& a, const Point& b, std::size_t d) {
    long double sum = 0.0L;
    for (std::size_t j = 0; j < d; ++j) {
        const long double gap = static_cast<long double>(a[j]) - b[j];
        sum += gap * gap;
    }
    return sum;
}

bool inside(const Point& x, const Ball& b, std::size_t d) {
    return distance2(x, b.centre, d) <= static_cast<long double>(b.radius) * b.radius;
}

// Balls through or near a point p: each radius is |c_i - p| scaled by 1 +
// delta, delta one ulp-ish either way, a little or a lot; p is then an
// extreme point of the intersection (or just outside it), where rounding
// decides. Judged in long double.
TEST(BallIntersection, NeverProvesApartBallsWithACommonPointAndEnclosesIt) {
    std::mt19937_64 gen(21);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const std::array<double, 6> deltas{0.0, 1e-15, -1e-15, 1e-9, -1e-9, -0.2};
    std::size_t apart = 0, held = 0;
    for (int k = 0; k < 40'000; ++k) {
        const std::size_t d = 2 + gen() % 7, count = 2 + gen() % 7;
        const double scale = std::array<double, 3>{1.0, 1e-140, 1e120}[gen() % 3];
        const double offset = std::array<double, 3>{0.0, 1e6, 1e12}[gen() % 3] * scale;
        Point p{};
        for (std::size_t j = 0; j < d; ++j) p[j] = offset + scale * unit(gen);
        std::vector<Ball> balls(count);
        for (Ball& b : balls) {
            const double spread = scale * std::array<double, 3>{1e-6, 1.0, 3.0}[gen() % 3];
            for (std::size_t j = 0; j < d; ++j) b.centre[j] = p[j] + spread * unit(gen);
            b.radius = std::sqrt(static_cast<double>(distance2(p, b.centre, d))) * (1.0 + deltas[gen() % deltas.size()]);
        }
        std::vector<double> weight(count, 0.0);
        Ball enclosing{{}, -1.0};
        // Several rounds, warm-started, as a region adds balls.
        bool proven = false;
        for (int round = 0; round < 3 && !proven; ++round) {
            proven = seek_apart(balls.data(), weight.data(), count, d, 1 + round * 20, enclosing);
        }
        bool common = true;
        for (const Ball& b : balls) common = common && inside(p, b, d);
        apart += proven ? 1 : 0;
        if (!common) continue;
        ++held;
        ASSERT_FALSE(proven) << k;
        ASSERT_TRUE(inside(p, enclosing, d)) << k;
        ASSERT_TRUE(weights_prove_apart(balls.data(), weight.data(), count, d) == false) << k;
    }
    // Both sides occur: a check that never proves anything would pass too.
    EXPECT_GT(apart, 5'000u);
    EXPECT_GT(held, 2'000u);
}

// Random balls, and common points found by sampling the smallest ball and
// pushing toward the boundary of the intersection: none when the balls are
// proven apart, and each inside the enclosing ball otherwise; a region's
// intersection of kept balls answers the same way as balls are added.
TEST(BallIntersection, KeepsEveryCommonPointAsBallsAreAdded) {
    std::mt19937_64 gen(22);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), share(0.0, 1.0);
    std::size_t proven_apart = 0, points = 0;
    for (int k = 0; k < 4'000; ++k) {
        const std::size_t d = 2 + gen() % 7;
        const double scale = std::array<double, 3>{1.0, 1e-140, 1e120}[gen() % 3];
        const double offset = std::array<double, 3>{0.0, 1e6, 1e12}[gen() % 3] * scale;
        BallIntersection<6> kept;
        std::vector<Ball> added;
        for (int step = 0; step < 12; ++step) {
            Ball b{};
            for (std::size_t j = 0; j < d; ++j) b.centre[j] = offset + scale * unit(gen);
            b.radius = scale * (0.5 + 1.5 * share(gen));
            added.push_back(b);
            const bool open = kept.add(b, d, 3);
            const Ball& smallest = *std::min_element(added.begin(), added.end(),
                                                     [](const Ball& x, const Ball& y) { return x.radius < y.radius; });
            for (int t = 0; t < 40; ++t) {
                Point x = smallest.centre, dir{};
                for (std::size_t j = 0; j < d; ++j) dir[j] = unit(gen);
                // From the centre outward, the last sampled point in every ball.
                double found = -1.0;
                for (double s = 0.0; s <= 1.0; s += 1.0 / 64.0) {
                    Point y{};
                    for (std::size_t j = 0; j < d; ++j) y[j] = smallest.centre[j] + s * smallest.radius * dir[j] / std::sqrt(static_cast<double>(d));
                    bool all = true;
                    for (const Ball& o : added) all = all && inside(y, o, d);
                    if (all) found = s, x = y;
                }
                if (found < 0.0) continue;
                ++points;
                ASSERT_TRUE(open) << k << " step " << step;
                ASSERT_TRUE(inside(x, kept.enclosing(), d)) << k << " step " << step;
            }
            if (!open) {
                ++proven_apart;
                break;
            }
        }
    }
    EXPECT_GT(proven_apart, 1'000u);
    EXPECT_GT(points, 10'000u);
}

}  // namespace
}  // namespace marbolt::detect
