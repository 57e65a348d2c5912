// The regions of functional pruning must keep every level that no cover
// hides and every clip keeps.
#include "detect/envelope.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace marbolt::detect
