// The regions of functional pruning must keep every level that no cover
// hides and every clip keeps.
#include "detect/envelope.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace marbolt::detect {
namespace {

// A region holds every mu outside its covers and inside every clip, also once
// more gaps appear than it has pieces for.
TEST(EnvelopeRegion, KeepsEveryPointThatNoCoverHidesAndEveryClipKeeps) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> at(-10.0, 10.0), width(0.0, 1.5);
    for (int k = 0; k < 20'000; ++k) {
        std::vector<Interval> covers(gen() % 9);
        for (Interval& c : covers) {
            const double centre = at(gen), w = width(gen);
            c = {centre - w, centre + w};
        }
        const std::vector<Interval> original = covers;
        LineRegion<3> region = LineRegion<3>::outside(covers);
        std::vector<Interval> clips(gen() % 3);
        bool alive = true;
        for (Interval& c : clips) {
            const double centre = at(gen), w = 4.0 * width(gen);
            c = {centre - w, centre + w};
            alive = region.clip(c) && alive;
        }
        for (int t = 0; t < 50; ++t) {
            const double mu = at(gen);
            bool hidden = false;
            for (const Interval& c : original) hidden = hidden || (c.lo <= mu && mu <= c.hi);
            for (const Interval& c : clips) hidden = hidden || !(c.lo <= mu && mu <= c.hi);
            if (hidden) continue;
            ASSERT_TRUE(alive) << k;
            ASSERT_TRUE(region.contains(mu)) << k << " mu " << mu;
        }
    }
}

// The same in 2 to 8 dimensions: a box region holds every level inside
// every clip ball and outside every cover ball, at any offset and scale the
// families pass. Levels are drawn near the clips' boundaries (where rounding
// decides) and judged in long double.
TEST(EnvelopeBoxRegion, KeepsEveryPointThatNoCoverHidesAndEveryClipKeeps) {
    using Region = BoxRegion<4, 6>;
    std::mt19937_64 gen(6);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), share(0.0, 1.0);
    std::size_t checked = 0;
    for (int k = 0; k < 20'000; ++k) {
        const std::size_t d = 2 + gen() % 7;
        const double scale = std::vector<double>{1.0, 1e-140, 1e120}[gen() % 3];
        const double offset = std::vector<double>{0.0, 1e6, 1e12}[gen() % 3] * scale;
        const auto ball = [&](double spread, double radius) {
            Region::Cover b{};
            for (std::size_t j = 0; j < d; ++j) b.centre[j] = offset + spread * scale * unit(gen);
            b.radius = radius * scale * share(gen);
            return b;
        };
        std::vector<Region::Cover> covers(gen() % 9);
        for (auto& c : covers) c = ball(3.0, 1.5);
        const std::vector<Region::Cover> original = covers;
        Region region = Region::outside(covers);
        std::vector<Region::Cover> clips(1 + gen() % 6);
        bool alive = true;
        for (auto& c : clips) {
            c = ball(1.0, 4.0);
            alive = region.clip(c.centre, c.radius, d) && alive;
        }
        const auto distance2 = [&](const double* level, const Region::Cover& b) {
            long double sum = 0.0L;
            for (std::size_t j = 0; j < d; ++j) {
                const long double gap = static_cast<long double>(level[j]) - b.centre[j];
                sum += gap * gap;
            }
            return sum;
        };
        for (int t = 0; t < 30; ++t) {
            // A level on the segment from a clip's centre to its boundary in a random direction.
            const Region::Cover& c = clips[gen() % clips.size()];
            std::array<double, cost::kMaxBallDims> dir{};
            double norm = 0.0;
            for (std::size_t j = 0; j < d; ++j) norm += (dir[j] = unit(gen)) * dir[j];
            const double reach = c.radius * (t % 2 == 0 ? 1.0 - 1e-15 * share(gen) : share(gen)) / std::sqrt(norm);
            std::array<double, cost::kMaxBallDims> level{};
            for (std::size_t j = 0; j < d; ++j) level[j] = c.centre[j] + reach * dir[j];
            bool hidden = false;
            for (const auto& o : original) {
                hidden = hidden || distance2(level.data(), o) <= static_cast<long double>(o.radius) * o.radius;
            }
            for (const auto& o : clips) {
                hidden = hidden || distance2(level.data(), o) > static_cast<long double>(o.radius) * o.radius;
            }
            if (hidden) continue;
            ++checked;
            ASSERT_TRUE(alive) << k;
            ASSERT_TRUE(region.contains(level.data())) << k << " point " << t;
        }
    }
    EXPECT_GT(checked, 20'000u);
}

// `count` covers of random centres and widths on [-4, 4].
std::vector<Interval> random_covers(std::mt19937_64& gen, std::size_t count) {
    std::uniform_real_distribution<double> at(-4.0, 4.0), width(0.0, 1.5);
    std::vector<Interval> covers(count);
    for (Interval& c : covers) {
        const double centre = at(gen), w = width(gen);
        c = {centre - w, centre + w};
    }
    return covers;
}

// The gaps of the covers' union: a region outside them needs one piece more.
int gaps_of(std::vector<Interval> covers) {
    std::sort(covers.begin(), covers.end(), [](Interval a, Interval b) { return a.lo < b.lo; });
    int gaps = 0;
    double reach = covers[0].hi;
    for (const Interval& c : covers) {
        gaps += c.lo > reach ? 1 : 0;
        reach = std::max(reach, c.hi);
    }
    return gaps;
}

// Regions are no larger than their pieces force: with at most three pieces
// outside the covers, a region holds no level inside a cover, whether the
// covers' union is one interval (the quick path) or not.
TEST(EnvelopeRegion, HoldsNoCoveredLevelWhenThePiecesSuffice) {
    std::mt19937_64 gen(9);
    int checked = 0;
    for (int k = 0; k < 20'000; ++k) {
        std::vector<Interval> covers = random_covers(gen, 1 + gen() % 12);
        const std::vector<Interval> original = covers;
        if (gaps_of(original) > 1) continue;
        ++checked;
        const LineRegion<3> region = LineRegion<3>::outside(covers);
        for (int t = 0; t < 50; ++t) {
            const Interval& c = original[gen() % original.size()];
            const double mu = c.lo + (c.hi - c.lo) * std::uniform_real_distribution<double>(0.0, 1.0)(gen);
            if (!(c.lo < mu && mu < c.hi)) continue;  // the union's ends belong to the region too
            ASSERT_FALSE(region.contains(mu)) << k << " mu " << mu;
        }
    }
    EXPECT_GT(checked, 5'000);
}

// Two reach balls with no common point whose boxes still meet: the box of
// the first, [-1, 1]^2, has its corner (1, 1) within 0.57 of the second's
// centre (1.4, 1.4), radius 0.85, while the centres are 1.98 apart, more
// than 1 + 0.85. Only the test of the balls together empties the region.
TEST(EnvelopeBoxRegion, EmptiesWhenReachBallsAreApartThoughTheirBoxesMeet) {
    BoxRegion<4, 8> region = BoxRegion<4, 8>::everything();
    ASSERT_TRUE(region.clip({0.0, 0.0}, 1.0, 2));
    EXPECT_FALSE(region.clip({1.4, 1.4}, 0.85, 2));
    BoxRegion<4, 8> meeting = BoxRegion<4, 8>::everything();
    ASSERT_TRUE(meeting.clip({0.0, 0.0}, 1.0, 2));
    EXPECT_TRUE(meeting.clip({1.3, 1.3}, 0.85, 2));  // 1.84 apart: they meet
}

// Empty covers (the empty interval, an inverted one, NaN ends) hide
// nothing, wherever they come in the order: a region of two pieces made
// outside covers whose union is one interval holds exactly the levels
// outside the others, through the one-pass chain and through the passes
// alike.
TEST(EnvelopeRegion, EmptyCoversHideNothing) {
    std::mt19937_64 gen(12);
    std::uniform_real_distribution<double> at(-4.0, 4.0);
    const Interval empties[] = {cost::kNowhere, {2.0, 1.0}, {std::nan(""), std::nan("")}, {0.0, std::nan("")}};
    int checked = 0;
    for (int k = 0; k < 20'000; ++k) {
        std::vector<Interval> filled = random_covers(gen, 1 + gen() % 6);
        if (gaps_of(filled) > 0) continue;
        ++checked;
        // In order of their lower ends (the one-pass chain links) or the
        // reverse (it may not, and the passes take over).
        std::sort(filled.begin(), filled.end(), [](Interval a, Interval b) { return a.lo < b.lo; });
        std::vector<Interval> covers = filled;
        if (gen() % 2 == 0) std::reverse(covers.begin(), covers.end());
        for (int e = 1 + static_cast<int>(gen() % 3); e > 0; --e) {
            covers.insert(covers.begin() + static_cast<std::ptrdiff_t>(gen() % (covers.size() + 1)), empties[gen() % 4]);
        }
        const LineRegion<2> region = LineRegion<2>::outside(covers);
        for (int t = 0; t < 50; ++t) {
            const double mu = at(gen);
            bool inside = false, within = false;  // the open covers; the closed ones
            for (const Interval& c : filled) {
                inside = inside || (c.lo < mu && mu < c.hi);
                within = within || (c.lo <= mu && mu <= c.hi);
            }
            if (!within) {
                ASSERT_TRUE(region.contains(mu)) << k << " mu " << mu;
            }
            if (inside) {
                ASSERT_FALSE(region.contains(mu)) << k << " mu " << mu;
            }
        }
    }
    EXPECT_GT(checked, 5'000);
}

}  // namespace
}  // namespace marbolt::detect
