// Geometric pruning by the union of older starts' covers (Pishchagina,
// Rigaill & Runge, "Geometric-based pruning rules for change point detection
// in multiple independent time series", 2024): a start whose reach balls
// meet only inside the covers of older starts, taken together, can never win
// an end again. A box region drops a start once its box or smallest ball lies
// inside one cover; on long segments most starts die only in the union of
// many, which this test proves (ball_intersection.hpp). A test costs a few
// microseconds, so each end spends a budget in proportion to its live list,
// on the starts whose next test is due soonest, each retested only once its
// age has grown by half: the tests cost a bounded share of the sweep, and
// the live count grows far more slowly with the segment's length. A start
// not tested stays live, which is always sound.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>
#include <queue>
#include <functional>
#include <type_traits>
#include <utility>

#include "cost/pruning.hpp"
#include "detect/ball_intersection.hpp"
#include "detect/pruning.hpp"

namespace marbolt::detect {

// Why a start w buried here never loses a level where it may still be near
// the minimum (the argument of pruning.hpp, point 2, with the witnesses
// chosen later than w's creation):
//  - q_k - q_w does not depend on the end, so any start k older than w
//    that is live now witnesses wherever it beats w by M, as the covers
//    given at w's creation do: it is a candidate at every end where w is
//    (older, and every entry is live at the ends that test).
//  - k's cover against w is the family's bracket of C_kw at a_down =
//    (lambda - U(k, w)) - a, with lambda = thr_w = fl(F[w] + pen), the level
//    at which w entered (recorded in the tables, within 2^-52 |thr_w| of
//    F[w] + pen), U(k, w) the family's value (F[k] + (residue + pen), within
//    the global E of tau(k, w), E grown with the largest F so far, so
//    covering F[k]), and a = step_allowance(M, E + 2^-51 |thr_w|) >= M + E2:
//    the cover holds only levels where k beats w by M, exactly as a region
//    step's cover does.
//  - the balls held by w's region (its reach balls and the smallest one
//    known to hold their intersection) each hold every level where no newer
//    start beats w by M. seek_covered proves, with counted roundings, that
//    every point of all of them lies strictly inside some cover. So every
//    level has a witness, older or newer, and w's region is empty: the next
//    clip reports it so, and the engine drops w as for any empty region.
// Any subset of the covers and of the balls keeps this true, so the choice
// of which (those meeting the smallest ball, the deepest first) and of which
// starts to test is free.
template <class Family>
class CoverUnion {
public:
    // The covers and steps of one test's search (seek_covered).
    static constexpr std::size_t kMostCovers = 48;
    static constexpr int kSteps = 24;
    // The budget, in units of about a start's evaluation at an end: an end
    // earns up to kShare per live entry (up to four ends' worth), a test spends
    // kTestCost for its search and kCoverCost per older entry whose cover it
    // forms; at most kMostTests an end.
    static constexpr double kShare = 0.125;
    static constexpr double kTestCost = 200.0;
    static constexpr double kCoverCost = 0.25;
    static constexpr int kMostTests = 8;
    // A start is first tested kFirst ends after it entered, and after a
    // failed test once its age has grown by half (at least kFirst ends):
    // its reach balls shrink as the root of its age, so a test soon after a
    // failure would mostly fail again.
    static constexpr std::size_t kFirst = 32;
    static constexpr double kBack = 0.5;

    // At an end where every entry is live and has taken its step: tests the
    // entries that are due while the budget lasts, burying those proven
    // covered. `best` holds F by grid slot, `error` the family's global E.
    void run(const Family& family, LiveStarts<Family>& live, const double* best, std::size_t jump, double pen,
             double margin, double error) {
        const std::size_t count = live.size();
        if (count == 0) return;
        const std::size_t* parent = live.parent.data();
        const std::size_t now = parent[count - 1];  // the end just settled appended its own slot
        for (std::size_t k = count; k > 0 && parent[k - 1] > newest_; --k) {
            due_.push({parent[k - 1] + kFirst, parent[k - 1]});
        }
        newest_ = now;
        buried_slots_.clear();
        // Tests that seldom bury earn less: at most kShare per entry, less
        // once fewer than two in five succeed.
        const double rate = (buried_ + 1.0) / (tested_ + 2.0);
        const double earned = kShare * static_cast<double>(count) * std::min(1.0, 2.5 * rate);
        credit_ = std::min(credit_ + earned, 4.0 * earned);
        int tests = 0;
        while (tests < kMostTests && credit_ > 0.0 && !due_.empty() && due_.top().first <= now) {
            const std::size_t slot = due_.top().second;
            due_.pop();
            const auto i = static_cast<std::size_t>(std::lower_bound(parent, parent + count, slot) - parent);
            if (i == count || parent[i] != slot) continue;  // gone
            ++tests;
            credit_ -= kTestCost + kCoverCost * static_cast<double>(i);
            tested_ += 1.0;
            if (i > 0 && test(family, live, i, best, jump, pen, margin, error)) {
                live.region[i]->bury();
                buried_slots_.push_back(slot);
                buried_ += 1.0;
                continue;
            }
            const auto wait = static_cast<std::size_t>(kBack * static_cast<double>(now - slot));
            due_.push({now + std::max(kFirst, wait), slot});
        }
    }

    // The slots of the entries the last run buried.
    const std::vector<std::size_t>& buried() const noexcept { return buried_slots_; }

private:
    bool test(const Family& family, const LiveStarts<Family>& live, std::size_t i, const double* best,
              std::size_t jump, double pen, double margin, double error) {
        const auto& region = *live.region[i];
        using Region = std::remove_cvref_t<decltype(region)>;
        std::array<Ball, Region::kMostHeld> balls;
        std::array<double, Region::kMostHeld> weight{};
        const std::size_t n_balls = region.held_balls(balls.data(), weight.data());
        if (n_balls == 0) return false;
        const std::size_t dims = region.dims();
        const Ball& smallest = balls[n_balls - 1];
        if (!(smallest.radius < cost::kEnvelopeLargest)) return false;
        const std::size_t slot = live.parent[i], at = slot * jump;
        const double thr = best[slot] + pen;
        const double allowance = step_allowance(margin, error + 0x1p-51 * std::fabs(thr));
        const std::size_t stride = live.state.d;
        centre_.resize(i * stride);
        radius_.resize(i);
        family.covers(live.state, 0, i, at, live.prefix.data(), pen, thr, allowance, centre_.data(),
                      radius_.data());
        covers_.clear();
        depth_.clear();
        for (std::size_t k = 0; k < i; ++k) {
            if (!(radius_[k] > 0.0)) continue;
            const double* c = centre_.data() + k * stride;
            double d2 = 0.0;
            for (std::size_t j = 0; j < dims; ++j) d2 += (c[j] - smallest.centre[j]) * (c[j] - smallest.centre[j]);
            const double meet = radius_[k] + smallest.radius;
            if (!(d2 < meet * meet)) continue;  // holds nothing of the smallest ball
            Ball b{};
            std::copy_n(c, dims, b.centre.begin());
            b.radius = radius_[k];
            covers_.push_back(b);
            depth_.push_back(radius_[k] - std::sqrt(d2));
        }
        if (covers_.empty()) return false;
        if (covers_.size() > kMostCovers) {
            // The deepest over the smallest ball's centre.
            order_.resize(covers_.size());
            for (std::size_t c = 0; c < order_.size(); ++c) order_[c] = c;
            std::nth_element(order_.begin(), order_.begin() + kMostCovers, order_.end(),
                             [&](std::size_t a, std::size_t b) { return depth_[a] > depth_[b]; });
            chosen_.resize(kMostCovers);
            for (std::size_t c = 0; c < kMostCovers; ++c) chosen_[c] = covers_[order_[c]];
            covers_.swap(chosen_);
        }
        cover_weight_.assign(covers_.size(), 0.0);
        return seek_covered(balls.data(), weight.data(), n_balls, covers_.data(), cover_weight_.data(),
                            covers_.size(), dims, kSteps);
    }

    double credit_ = 0.0;
    double tested_ = 0.0, buried_ = 0.0;  // tests run and won so far

    std::size_t newest_ = 0;  // the slot of the newest entry scheduled
    // (due end, slot), soonest first.
    std::priority_queue<std::pair<std::size_t, std::size_t>, std::vector<std::pair<std::size_t, std::size_t>>,
                        std::greater<>> due_;
    std::vector<Ball> covers_, chosen_;
    std::vector<double> depth_, cover_weight_, centre_, radius_;
    std::vector<std::size_t> order_, buried_slots_;
};

}  // namespace marbolt::detect
