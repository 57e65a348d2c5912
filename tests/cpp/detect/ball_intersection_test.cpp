// The proofs about a start's reach balls must never be wrong: balls with a
// common point are never proven apart, and the ball said to hold their
// intersection holds every common point, at any offset and scale.
#include "detect/ball_intersection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// A ball that two covers hold together though neither holds it alone: the
// weighted sum of the covers' powers is a ball around the origin of radius
// sqrt(1.19) > 1, which the search finds; one cover proves nothing.
TEST(BallIntersection, CoversProveTogetherWhatNoneHoldsAlone) {
    const std::vector<Ball> balls{{{0.0, 0.0}, 1.0}};
    const std::vector<Ball> covers{{{-0.5, 0.0}, 1.2}, {{0.5, 0.0}, 1.2}};
    std::vector<double> weight{1.0}, cover_weight(2);
    EXPECT_TRUE(seek_covered(balls.data(), weight.data(), 1, covers.data(), cover_weight.data(), 2, 2, 20));
    EXPECT_GT(cover_weight[0], 0.0);
    EXPECT_GT(cover_weight[1], 0.0);
    for (std::size_t c = 0; c < 2; ++c) {
        weight = {1.0};
        EXPECT_FALSE(seek_covered(balls.data(), weight.data(), 1, &covers[c], cover_weight.data(), 1, 2, 20)) << c;
    }
}

// Covers proving a region empty: random reach balls and covers around a
// point p, some through it (radii |c - p| (1 + delta), where rounding
// decides), at any offset and scale. When the weights prove the region
// empty, p, if in every reach ball (judged in long double), is in a cover,
// and so is every common point sampled from the smallest reach ball.
TEST(BallIntersection, CoversProveARegionEmptyOnlyWhenTheyHoldIt) {
    std::mt19937_64 gen(23);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), share(0.0, 1.0);
    const std::array<double, 8> deltas{0.0, 1e-15, -1e-15, 1e-12, -1e-12, 1e-9, -1e-9, 0.3};
    std::size_t empty = 0, open = 0, sampled = 0;
    for (int k = 0; k < 20'000; ++k) {
        const std::size_t d = 2 + gen() % 7, count = 1 + gen() % 5, cover_count = 1 + gen() % 24;
        const double scale = std::array<double, 3>{1.0, 1e-140, 1e120}[gen() % 3];
        const double offset = std::array<double, 3>{0.0, 1e6, 1e12}[gen() % 3] * scale;
        Point p{};
        for (std::size_t j = 0; j < d; ++j) p[j] = offset + scale * unit(gen);
        // Half the time every centre lies near one ray from p: the reach
        // balls then touch the covers through p from inside, a proof with
        // no room at all but rounding's.
        const bool tangent = gen() % 2 == 0, straight = gen() % 2 == 0;
        Point ray{};
        for (std::size_t j = 0; j < d; ++j) ray[j] = unit(gen);
        const auto around = [&](double spread, double grow) {
            Ball b{};
            const double wobble = !tangent ? 1.0 : straight ? 0.0 : 1e-3 * share(gen) * share(gen);
            for (std::size_t j = 0; j < d; ++j) {
                b.centre[j] = p[j] + scale * spread * (tangent ? ray[j] + wobble * unit(gen) : unit(gen));
            }
            b.radius = std::sqrt(static_cast<double>(distance2(p, b.centre, d))) * grow;
            return b;
        };
        std::vector<Ball> balls, covers;
        for (std::size_t i = 0; i < count; ++i) {
            balls.push_back(around(tangent ? 0.5 * share(gen) : 1.0, 1.0 + deltas[gen() % deltas.size()]));
        }
        for (std::size_t i = 0; i < cover_count; ++i) {
            const bool through = tangent || gen() % 4 == 0;
            covers.push_back(around(tangent ? 0.5 + share(gen) : share(gen),
                                    through ? 1.0 + deltas[gen() % deltas.size()] : 1.0 + 2.0 * share(gen)));
        }
        std::vector<double> weight(count, 0.0), cover_weight(cover_count, 0.0);
        const bool proven = seek_covered(balls.data(), weight.data(), count, covers.data(), cover_weight.data(),
                                         cover_count, d, 1 + static_cast<int>(gen() % 40));
        if (!proven) {
            ++open;
            continue;
        }
        ++empty;
        const auto covered = [&](const Point& x) {
            for (const Ball& c : covers) {
                if (inside(x, c, d)) return true;
            }
            return false;
        };
        const auto common = [&](const Point& x) {
            for (const Ball& b : balls) {
                if (!inside(x, b, d)) return false;
            }
            return true;
        };
        if (common(p)) {
            ASSERT_TRUE(covered(p)) << k;
        }
        const Ball& smallest = *std::min_element(balls.begin(), balls.end(),
                                                 [](const Ball& x, const Ball& y) { return x.radius < y.radius; });
        for (int t = 0; t < 200; ++t) {
            Point x{};
            for (std::size_t j = 0; j < d; ++j) x[j] = smallest.centre[j] + smallest.radius * unit(gen) / std::sqrt(static_cast<double>(d));
            if (!common(x)) continue;
            ++sampled;
            ASSERT_TRUE(covered(x)) << k;
        }
    }
    // Both answers occur, and proofs were tested on common points.
    EXPECT_GT(empty, 2'000u);
    EXPECT_GT(open, 2'000u);
    EXPECT_GT(sampled, 10'000u);
}

}  // namespace
}  // namespace marbolt::detect
