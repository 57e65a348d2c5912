// The regions of functional pruning must keep every level that no cover
// hides and every clip keeps.
#include "detect/envelope.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// Regions are no larger than their pieces force: with at most three pieces
// outside the covers, a region holds no level inside a cover, whether the
// covers' union is one interval (the quick path) or not.
TEST(EnvelopeRegion, HoldsNoCoveredLevelWhenThePiecesSuffice) {
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> at(-4.0, 4.0), width(0.0, 1.5);
    int checked = 0;
    for (int k = 0; k < 20'000; ++k) {
        std::vector<Interval> covers(1 + gen() % 12);
        for (Interval& c : covers) {
            const double centre = at(gen), w = width(gen);
            c = {centre - w, centre + w};
        }
        const std::vector<Interval> original = covers;
        // The gaps of the union: the region needs one piece more than that.
        std::vector<Interval> sorted = original;
        std::sort(sorted.begin(), sorted.end(), [](Interval a, Interval b) { return a.lo < b.lo; });
        int gaps = 0;
        double reach = sorted[0].hi;
        for (const Interval& c : sorted) {
            gaps += c.lo > reach ? 1 : 0;
            reach = std::max(reach, c.hi);
        }
        if (gaps > 1) continue;
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

}  // namespace
}  // namespace marbolt::detect
