// The regions of functional pruning on a line of levels (one-parameter
// families: the mean of one column for l2, the median for l1), in a space of
// means (l2 on several columns) and on a plane (normal's mean and
// log-variance). Every live
// start of an exact search keeps a region, the levels where it may still be
// within a margin of the lower envelope of the starts' totals; a start whose
// region empties can never win an end again and leaves the search (the
// argument is in detect/pruning.hpp). Regions err on the safe side: never
// smaller where a start may still be near the minimum, so merging pieces is
// always allowed.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "cost/pruning.hpp"
#include "detect/ball_intersection.hpp"

namespace marbolt::detect {

using cost::Interval;
using cost::LineBracket;

// Where a start may still be near the minimum: kPieces closed intervals,
// disjoint and ascending, some of them possibly empty. Merging two
// neighbours into their hull only makes a region larger, which keeps it on
// the safe side, so a region never needs more room; how many pieces pay for
// their copies is the family's choice. A clip keeps an empty piece empty, so
// it treats every piece alike, without a branch on how many are left: a
// sweep clips a dozen regions at every end, and the branches showed.
template <std::size_t kPieces>
class LineRegion {
public:
    using Cover = Interval;

    static LineRegion everything() noexcept {
        LineRegion r;
        r.piece_[0] = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
        return r;
    }

    // Every mu outside the covers (whose order it may change): where none of
    // the starts behind them is sure to be better.
    static LineRegion outside(std::span<Interval> covers) noexcept {
        // Usually the covers' union is one interval, and nearly always each
        // cover in the searches' order (oldest start first) meets those before
        // it: one pass then finds it. Otherwise a few passes without a branch
        // on the data, where a sort of an end's dozen covers mispredicts many
        // of its comparisons.
        CoverChain chain;
        for (const Interval& c : covers) chain.add(c);
        if (const std::optional<Interval> hull = chain.hull()) return outside(*hull);
        // Empty covers hide nothing, and a NaN end would break the sort.
        covers = covers.first(static_cast<std::size_t>(
            std::remove_if(covers.begin(), covers.end(), [](Interval c) { return c.empty(); }) - covers.begin()));
        if (const std::optional<Interval> hull = connected_hull(covers)) return outside(*hull);
        std::sort(covers.begin(), covers.end(), [](Interval a, Interval b) { return a.lo < b.lo; });
        return outside_sorted(covers);
    }

    // The union of covers added one by one, while each meets the union of
    // those before it (an empty one, NaN included, covers nothing and is
    // passed over): one pass whose tests only accumulate, so that it does
    // not branch on the data.
    class CoverChain {
    public:
        void add(Interval c) noexcept {
            const bool filled = c.lo <= c.hi;
            linked_ &= !filled | first_ | ((c.lo <= hi_) & (lo_ <= c.hi));
            first_ &= !filled;
            lo_ = std::min(lo_, filled ? c.lo : lo_);
            hi_ = std::max(hi_, filled ? c.hi : hi_);
        }
        // The union, when the covers came as a chain.
        std::optional<Interval> hull() const noexcept {
            if (!linked_ || first_) return std::nullopt;
            return Interval{lo_, hi_};
        }

    private:
        double lo_ = std::numeric_limits<double>::infinity(), hi_ = -std::numeric_limits<double>::infinity();
        bool linked_ = true, first_ = true;
    };

    // outside() of covers whose union is `hull`.
    static LineRegion outside(Interval hull) noexcept { return outside_sorted(std::span<const Interval>(&hull, 1)); }

    // Keeps only what lies within `keep`; false when nothing is left.
    bool clip(Interval keep) noexcept {
        bool any = false;
        for (Interval& p : piece_) {
            p = {std::max(p.lo, keep.lo), std::min(p.hi, keep.hi)};
            any |= p.lo <= p.hi;
        }
        return any;
    }

    bool empty() const noexcept {
        bool any = false;
        for (const Interval& p : piece_) any |= p.lo <= p.hi;
        return !any;
    }
    bool contains(double mu) const noexcept {
        bool in = false;
        for (const Interval& p : piece_) in |= p.lo <= mu && mu <= p.hi;
        return in;
    }

private:
    // outside() of covers ordered by their lower ends.
    static LineRegion outside_sorted(std::span<const Interval> covers) noexcept {
        LineRegion r;
        std::size_t count = 0;
        double from = -std::numeric_limits<double>::infinity();
        for (const Interval& c : covers) {
            if (from < c.lo) r.append({from, c.lo}, count);
            from = std::max(from, c.hi);
        }
        if (from < std::numeric_limits<double>::infinity()) {
            r.append({from, std::numeric_limits<double>::infinity()}, count);
        }
        return r;
    }

    // The union of the covers when it is one interval, which it usually is:
    // from a cover with the lowest lower end, each pass reaches as far as
    // the covers that start within reach go, until it reaches the highest
    // upper end (one interval) or stops short (a gap, or a cover that holds
    // no level: the caller sorts). The passes choose by selection, not by
    // branches, with two accumulators, so that the covers are independent
    // steps.
    static std::optional<Interval> connected_hull(std::span<const Interval> covers) noexcept {
        constexpr double kLow = -std::numeric_limits<double>::infinity();
        const std::size_t count = covers.size();
        // Per accumulator: the lowest lower end, the upper end of a cover
        // that has it, and the highest upper end.
        struct Ends {
            double lo = -kLow, lo_hi = kLow, hi = kLow;
            void add(const Interval& c) noexcept {
                lo_hi = c.lo < lo ? c.hi : lo_hi;
                lo = std::min(lo, c.lo);
                hi = std::max(hi, c.hi);
            }
        } one, other;
        unsigned filled = 0;
        std::size_t k = 0;
        for (; k + 2 <= count; k += 2) {
            one.add(covers[k]);
            other.add(covers[k + 1]);
            filled += static_cast<unsigned>(covers[k].lo <= covers[k].hi) +
                      static_cast<unsigned>(covers[k + 1].lo <= covers[k + 1].hi);
        }
        if (k < count) {
            one.add(covers[k]);
            filled += static_cast<unsigned>(covers[k].lo <= covers[k].hi);
        }
        if (count == 0 || filled != count) return std::nullopt;
        const double lo = std::min(one.lo, other.lo), hi = std::max(one.hi, other.hi);
        double reach = other.lo < one.lo ? other.lo_hi : one.lo_hi;  // [lo, reach] is one cover
        while (reach < hi) {
            double next = reach, next_other = reach;
            for (k = 0; k + 2 <= count; k += 2) {
                next = std::max(next, covers[k].lo <= reach ? covers[k].hi : kLow);
                next_other = std::max(next_other, covers[k + 1].lo <= reach ? covers[k + 1].hi : kLow);
            }
            if (k < count) next = std::max(next, covers[k].lo <= reach ? covers[k].hi : kLow);
            next = std::max(next, next_other);
            if (!(next > reach)) return std::nullopt;
            reach = next;
        }
        return Interval{lo, hi};
    }

    // Past kPieces, two neighbours become one piece: those with the narrowest
    // cover between them, the new piece included. `count` pieces are made.
    void append(Interval p, std::size_t& count) noexcept {
        if (count == kPieces) {
            std::size_t join = count - 1;
            double narrowest = p.lo - piece_[count - 1].hi;
            for (std::size_t k = 0; k + 1 < count; ++k) {
                if (piece_[k + 1].lo - piece_[k].hi < narrowest) {
                    narrowest = piece_[k + 1].lo - piece_[k].hi;
                    join = k;
                }
            }
            if (join == count - 1) {
                piece_[join].hi = p.hi;
                return;
            }
            piece_[join].hi = piece_[join + 1].hi;
            std::copy(piece_.begin() + join + 2, piece_.begin() + count, piece_.begin() + join + 1);
            --count;
        }
        piece_[count++] = p;
    }

    // The pieces not made are empty.
    std::array<Interval, kPieces> piece_ = filled(cost::kNowhere);

    static constexpr std::array<Interval, kPieces> filled(Interval p) noexcept {
        std::array<Interval, kPieces> a;
        a.fill(p);
        return a;
    }
};

// One-sided bounds of a real y from x = fl(y), its value rounded once to
// nearest (no overflow: every quantity here stays below 2^910). Then |x - y|
// <= 2^-53 |x| + 2^-1075, while fl(2^-50 |x| + kTinySlack) is at least
// 2^-50 |x| (1 - 2^-53) and at least 2^-1000, and the last addition rounds
// by at most 2^-53 (|x| + that): above(x) >= y and below(x) <= y with more
// than two further roundings to spare. A monotone operation (+, - with its
// sign, products and squares of non-negatives, sqrt, max, min) applied to
// bounds gives a bound of the operation on the reals they bound; rounding it
// and applying above or below keeps it one. Infinities stay infinite, and a
// NaN fails every test it meets.
inline double above(double x) noexcept { return x + (0x1p-50 * std::fabs(x) + cost::kTinySlack); }
inline double below(double x) noexcept { return x - (0x1p-50 * std::fabs(x) + cost::kTinySlack); }

// Where a start of a family with ball-shaped level sets may still be near the
// minimum (geometric pruning, Pishchagina, Rigaill & Runge 2024): a box that
// holds the intersection of its reach balls, the smallest of those balls,
// and a few cover balls, given at its creation, where older starts are sure
// to beat it. It is empty once the box or the ball lies inside a cover.
//
// Why it never loses a level where the start may still be near the minimum
// (every level outside every reach ball and inside no cover, the set R):
//  - reach balls (centre c, radius r, rounded by the family so that the
//    ball holds the exact reach set) are kept whole (the smallest) or as the
//    bounding box of their intersection with the box: a point x of box and
//    ball has (x_j - c_j)^2 <= r^2 - sum over i != j of dist_i^2, dist_i the
//    distance from c_i to [lo_i, hi_i]; each bound is formed with above and
//    below on the safe side, from a box at least as large as the current
//    one, so the new box holds box and ball. A clip may be skipped: the box
//    then holds more.
//  - a few reach balls are also kept together (ball_intersection.hpp): the
//    region is empty once they are proven to have no common point, and a
//    ball proven to hold their intersection stands in for the smallest
//    reach ball when it is smaller: both hold every point in all of them,
//    so all of R.
//  - covers (radius rounded down by the family, a closed ball held by the
//    set where an older start beats this one by M) remove only what they
//    hold: the ball |b - cc| + r <= R, the box its farthest corner within R,
//    and a face of the box moves in past a slab {lo_j <= x_j < to} only when
//    every point of the box in the slab is within R of cc: |x_j - cc_j| <=
//    band with band^2 <= R^2 - sum over i != j of far_i^2, far_i the farthest
//    of coordinate i, all bounded on the safe side. Any subset of the covers
//    given is a superset of R.
//  - a region is buried (emptied) only once the covers of older starts are
//    proven to hold the common part of its balls together (cover_union.hpp).
// Until its first clip a region has no dimension and holds everything.
template <std::size_t kCovers, std::size_t kBalls>
class BoxRegion {
public:
    using Cover = Ball;

    static BoxRegion everything() noexcept { return BoxRegion{}; }

    // Frank-Wolfe steps per clip toward a proof that the reach balls held
    // are disjoint (warm-started: the weights follow the balls).
    static constexpr int kSteps = 5;

    // Everything but the covers, of which kCovers are kept: those reaching
    // farthest past the centre of the narrowest, the most precise estimate
    // of where the new start's region will close in (any choice is safe).
    static BoxRegion outside(std::span<Cover> covers) noexcept {
        BoxRegion r;
        if (covers.empty()) return r;
        const Cover& narrowest = *std::min_element(covers.begin(), covers.end(),
                                                   [](const Cover& a, const Cover& b) { return a.radius < b.radius; });
        const auto centre = narrowest.centre;
        const auto reach = [&](const Cover& c) {
            double d2 = 0.0;
            for (std::size_t j = 0; j < cost::kMaxBallDims; ++j) d2 += (c.centre[j] - centre[j]) * (c.centre[j] - centre[j]);
            return c.radius - std::sqrt(d2);
        };
        // The farthest few in one pass, each reach formed once and only
        // where it may count: a sort that formed them at every comparison
        // spent a seventh of a search on its roots.
        std::array<std::pair<double, std::size_t>, kCovers> best;
        best.fill({-std::numeric_limits<double>::infinity(), covers.size()});
        for (std::size_t c = 0; c < covers.size(); ++c) {
            // The reach is at most the radius: most covers need no root.
            if (!(covers[c].radius > best[kCovers - 1].first)) continue;
            const double score = reach(covers[c]);
            if (!(score > best[kCovers - 1].first)) continue;
            std::size_t at = kCovers - 1;
            for (; at > 0 && score > best[at - 1].first; --at) best[at] = best[at - 1];
            best[at] = {score, c};
        }
        std::size_t kept = 0;
        for (const auto& [score, c] : best) {
            if (c < covers.size()) r.covers_[kept++] = covers[c];
        }
        r.n_covers_ = kept;
        return r;
    }

    // Keeps the bounding box of what lies within the ball of `radius`
    // around `centre` in `dims` dimensions; false when nothing is left or the
    // region lies inside a cover.
    bool clip(const std::array<double, cost::kMaxBallDims>& centre, double radius, std::size_t dims) noexcept;

    // Whether the region holds `level` (for tests: the box outside the covers).
    bool contains(const double* level) const noexcept;

    static constexpr std::size_t kMostHeld = kBalls + 1;

    // The balls known to hold the region, into `out` (kMostHeld entries at
    // most) with their weights from the tests of the reach balls together
    // (zero for the smallest ball); returns how many.
    std::size_t held_balls(Ball* out, double* weight) const noexcept {
        if (dims_ == 0) return 0;
        const std::size_t count = balls_.count();
        std::copy_n(balls_.balls(), count, out);
        std::copy_n(balls_.weights(), count, weight);
        out[count] = ball_;
        weight[count] = 0.0;
        return count + 1;
    }
    std::size_t dims() const noexcept { return dims_; }

    // Empties the region: older starts' covers were proven to hold it
    // together (cover_union.hpp). The next clip reports it empty.
    void bury() noexcept { buried_ = true; }

private:
    bool covered() noexcept;
    bool clip_box(const std::array<double, cost::kMaxBallDims>& centre, double radius) noexcept;

    std::array<double, cost::kMaxBallDims> lo_, hi_;
    Cover ball_;     // the smallest ball known to hold the region
    double boxed_;   // the reach when the box and covers were last brought up to date
    std::size_t dims_ = 0;
    std::array<Cover, kCovers> covers_;
    std::size_t n_covers_ = 0;
    BallIntersection<kBalls> balls_;
    bool buried_ = false;
};

// The box, the balls held together and the covers cost d square roots and a
// few hundred operations a clip: they are brought up to date only once the
// reach has shrunk by a tenth since they last were (reach radii mostly
// shrink as a segment grows), a few dozen times in a start's life.
template <std::size_t kCovers, std::size_t kBalls>
bool BoxRegion<kCovers, kBalls>::clip(const std::array<double, cost::kMaxBallDims>& centre, double radius,
                              std::size_t dims) noexcept {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (!(radius >= 0.0) || buried_) return false;
    if (dims_ == 0) {
        dims_ = dims;
        lo_.fill(-kInf);
        hi_.fill(kInf);
        ball_.radius = kInf;
        boxed_ = kInf;
    }
    if (radius < ball_.radius) ball_ = {centre, radius};
    if (!(radius < 0.9 * boxed_)) return true;
    boxed_ = radius;
    if (!balls_.add({centre, radius}, dims_, kSteps)) return false;
    const Ball& enclosing = balls_.enclosing();
    if (enclosing.radius < ball_.radius) ball_ = enclosing;
    if (!clip_box(centre, radius)) return false;
    return !covered();
}

// Keeps the bounding box of what lies within the ball of `radius` around
// `centre`; false when nothing is left.
template <std::size_t kCovers, std::size_t kBalls>
bool BoxRegion<kCovers, kBalls>::clip_box(const std::array<double, cost::kMaxBallDims>& centre,
                                          double radius) noexcept {
    // Below each dist_j^2 and below their sum, never below zero: a bound
    // of -kTinySlack would make the next below() round among subnormal
    // numbers, which costs the processor a hundred cycles each time.
    std::array<double, cost::kMaxBallDims> near;
    double total = 0.0;
    for (std::size_t j = 0; j < dims_; ++j) {
        const double dist = std::max({0.0, below(lo_[j] - centre[j]), below(centre[j] - hi_[j])});
        near[j] = std::max(0.0, below(dist * dist));
        total = std::max(0.0, below(total + near[j]));
    }
    const double squared = above(radius * radius);
    for (std::size_t j = 0; j < dims_; ++j) {
        const double others = std::max(0.0, below(total - near[j]));
        const double room = above(squared - others);
        if (!(room >= 0.0)) return false;
        const double w = above(std::sqrt(room));
        lo_[j] = std::max(lo_[j], below(centre[j] - w));
        hi_[j] = std::min(hi_[j], above(centre[j] + w));
        if (!(lo_[j] <= hi_[j])) return false;
    }
    return true;
}

template <std::size_t kCovers, std::size_t kBalls>
bool BoxRegion<kCovers, kBalls>::covered() noexcept {
    for (std::size_t c = 0; c < n_covers_; ++c) {
        const Cover& cover = covers_[c];
        // The smallest reach ball inside the cover.
        double apart = 0.0;
        for (std::size_t j = 0; j < dims_; ++j) {
            const double a = above(std::fabs(ball_.centre[j] - cover.centre[j]));
            apart = above(apart + above(a * a));
        }
        if (above(above(std::sqrt(apart)) + ball_.radius) <= cover.radius) return true;
        // The box inside it: its farthest corner, above, within R^2, below.
        const double squared = below(cover.radius * cover.radius);
        std::array<double, cost::kMaxBallDims> far_sq;
        double far = 0.0;
        for (std::size_t j = 0; j < dims_; ++j) {
            const double f = std::max(above(std::fabs(lo_[j] - cover.centre[j])),
                                      above(std::fabs(hi_[j] - cover.centre[j])));
            far_sq[j] = above(f * f);
            far = above(far + far_sq[j]);
        }
        if (far <= squared) return true;
        // A face whose slab lies inside the cover moves past it, and the box
        // goes when the slab spans it.
        for (std::size_t j = 0; j < dims_; ++j) {
            const double band_sq = below(squared - above(far - far_sq[j]));
            if (!(band_sq > 0.0)) continue;
            const double band = below(std::sqrt(band_sq));
            const double from = above(cover.centre[j] - band), to = below(cover.centre[j] + band);
            if (!(from <= to)) continue;
            const bool low = from <= lo_[j] && lo_[j] <= to, high = from <= hi_[j] && hi_[j] <= to;
            if (low && high) return true;
            if (low) lo_[j] = to;
            if (high) hi_[j] = from;
        }
    }
    return false;
}

template <std::size_t kCovers, std::size_t kBalls>
bool BoxRegion<kCovers, kBalls>::contains(const double* level) const noexcept {
    if (buried_) return false;
    for (std::size_t j = 0; j < dims_; ++j) {
        if (!(lo_[j] <= level[j] && level[j] <= hi_[j])) return false;
    }
    for (std::size_t c = 0; c < n_covers_; ++c) {
        double d2 = 0.0;
        for (std::size_t j = 0; j < dims_; ++j) d2 += (level[j] - covers_[c].centre[j]) * (level[j] - covers_[c].centre[j]);
        if (d2 < covers_[c].radius * covers_[c].radius) return false;
    }
    return true;
}

// The regions of a family, by the shape of its brackets.
template <class Family, class Bracket = typename Family::Bracket>
struct RegionKind;

template <class Family>
struct RegionKind<Family, LineBracket> {
    using type = LineRegion<Family::kRegionPieces>;
};

// Notes start k's cover for the newer start's region and clips k's region to
// its reach (the family's bracket, detect/pruning.hpp); false when nothing of
// it is left, and k leaves the search.
template <std::size_t kPieces>
bool take_step(const LineBracket& step, LineRegion<kPieces>& region, std::vector<Interval>& covers) {
    if (!step.cover.empty()) covers.push_back(step.cover);
    return region.clip(step.reach);
}

// A region held through a pointer: the engines move their entries up at
// every end where an earlier one leaves, and a box region is over a
// kilobyte, whose copies showed (a tenth of a long search). Copies are deep;
// a region moved from is left empty-handed and only ever overwritten or cut.
template <class Region>
class Held {
public:
    using Cover = typename Region::Cover;

    Held() = default;
    explicit Held(const Region& r) : held_(std::make_unique<Region>(r)) {}
    Held(const Held& other) : held_(other.held_ ? std::make_unique<Region>(*other.held_) : nullptr) {}
    Held& operator=(const Held& other) {
        if (this != &other) held_ = other.held_ ? std::make_unique<Region>(*other.held_) : nullptr;
        return *this;
    }
    Held(Held&&) noexcept = default;
    Held& operator=(Held&&) noexcept = default;

    static Held everything() { return Held(Region::everything()); }
    static Held outside(std::span<Cover> covers) { return Held(Region::outside(covers)); }

    Region& operator*() const noexcept { return *held_; }
    Region* operator->() const noexcept { return held_.get(); }

private:
    std::unique_ptr<Region> held_;
};

template <class Family>
struct RegionKind<Family, cost::BallBracket> {
    using type = Held<BoxRegion<Family::kRegionCovers, Family::kRegionBalls>>;
};

template <std::size_t kCovers, std::size_t kBalls>
bool take_step(const cost::BallBracket& step, BoxRegion<kCovers, kBalls>& region,
               std::vector<Ball>& covers) {
    if (step.cover >= 0.0) covers.push_back({step.centre, step.cover});
    return region.clip(step.centre, step.reach, step.dims);
}

// Where a start of a family on a plane (normal's mean and log-variance) may
// still be near the minimum: a box, clipped by each reach to the bounding
// box of its meeting with the reach set (cost::tighten), less a few covers
// given at its creation. A cover is a box, closed, held by the set where an
// older start beats this one by M, and possibly that set itself: a face of
// the region moves in to a cover box's far side only where the box spans
// the region across the other axis, and the region goes once a cover box or
// cover set holds it (cost::holds). So the region stays a superset of the
// points no cover holds within every reach.
template <std::size_t kCovers>
class PlaneRegion {
public:
    using Cover = cost::PlaneCover;

    static PlaneRegion everything() noexcept {
        PlaneRegion r;
        constexpr double kInf = std::numeric_limits<double>::infinity();
        r.box_ = {{-kInf, -kInf}, {kInf, kInf}};
        return r;
    }

    // Everything but the covers, of which kCovers are kept: those reaching
    // farthest past the centre of the first, which comes from the oldest
    // start and so the longest segment, near where the new start's region
    // will close in (any choice is safe).
    static PlaneRegion outside(std::span<Cover> covers) noexcept {
        PlaneRegion r = everything();
        if (covers.empty()) return r;
        const cost::PlaneBox first = covers[0].box;
        double centre[2], unit[2];
        for (std::size_t j = 0; j < 2; ++j) {
            centre[j] = 0.5 * first.lo[j] + 0.5 * first.hi[j];
            unit[j] = std::max(first.hi[j] - first.lo[j], 1e-300);
        }
        const auto depth = [&](const Cover& c) {
            double d = std::numeric_limits<double>::infinity();
            for (std::size_t j = 0; j < 2; ++j) {
                d = std::min({d, (centre[j] - c.box.lo[j]) / unit[j], (c.box.hi[j] - centre[j]) / unit[j]});
            }
            return d;
        };
        const std::size_t kept = std::min(kCovers, covers.size());
        std::partial_sort(covers.begin(), covers.begin() + static_cast<std::ptrdiff_t>(kept), covers.end(),
                          [&](const Cover& a, const Cover& b) { return depth(a) > depth(b); });
        r.covers_ = std::make_unique<Covers>();
        std::copy_n(covers.begin(), kept, r.covers_->begin());
        r.n_covers_ = kept;
        return r;
    }

    // The covers live apart, so that the list's compactions move a pointer
    // rather than a kilobyte per region.
    PlaneRegion() = default;
    PlaneRegion(PlaneRegion&&) noexcept = default;
    PlaneRegion& operator=(PlaneRegion&&) noexcept = default;
    PlaneRegion(const PlaneRegion& other)
        : box_(other.box_),
          covers_(other.covers_ ? std::make_unique<Covers>(*other.covers_) : nullptr),
          n_covers_(other.n_covers_) {}
    PlaneRegion& operator=(const PlaneRegion& other) {
        if (this != &other) *this = PlaneRegion(other);
        return *this;
    }

    // Keeps only what lies within `keep`, then within the bounding box of
    // its meeting with the reach set; false when nothing is left or a cover
    // holds the rest.
    bool clip(const cost::PlaneBox& keep, const cost::PlaneLevelSet& set) noexcept {
        for (std::size_t j = 0; j < 2; ++j) {
            box_.lo[j] = std::max(box_.lo[j], keep.lo[j]);
            box_.hi[j] = std::min(box_.hi[j], keep.hi[j]);
        }
        if (box_.empty()) return false;
        if (set.usable && !cost::tighten(set, box_)) return false;
        for (std::size_t c = 0; c < n_covers_; ++c) {
            if (!cut((*covers_)[c].box) || cost::holds((*covers_)[c].set, box_)) return false;
        }
        return true;
    }

    // Whether the region's box holds a point (for tests).
    bool contains(const double* level) const noexcept {
        for (std::size_t j = 0; j < 2; ++j) {
            if (!(box_.lo[j] <= level[j] && level[j] <= box_.hi[j])) return false;
        }
        return true;
    }

private:
    // False when the cover holds the box.
    bool cut(const cost::PlaneBox& cover) noexcept {
        for (std::size_t j = 0; j < 2; ++j) {
            const std::size_t other = 1 - j;
            if (!(cover.lo[other] <= box_.lo[other] && box_.hi[other] <= cover.hi[other])) continue;
            const bool low = cover.lo[j] <= box_.lo[j] && box_.lo[j] <= cover.hi[j];
            const bool high = cover.lo[j] <= box_.hi[j] && box_.hi[j] <= cover.hi[j];
            if (low && high) return false;
            if (low) box_.lo[j] = cover.hi[j];
            if (high) box_.hi[j] = cover.lo[j];
        }
        return true;
    }

    using Covers = std::array<Cover, kCovers>;

    cost::PlaneBox box_;
    std::unique_ptr<Covers> covers_;  // null without covers
    std::size_t n_covers_ = 0;
};

template <class Family>
struct RegionKind<Family, cost::PlaneBracket> {
    using type = PlaneRegion<Family::kRegionCovers>;
};

template <std::size_t kCovers>
bool take_step(const cost::PlaneBracket& step, PlaneRegion<kCovers>& region, std::vector<cost::PlaneCover>& covers) {
    for (const cost::PlaneCover& cover : step.cover) {
        if (!cover.box.empty()) covers.push_back(cover);
    }
    return region.clip(step.reach, step.set);
}

template <class Region>
bool take_step(const cost::BallBracket& step, Held<Region>& region, std::vector<Ball>& covers) {
    return take_step(step, *region, covers);
}

}  // namespace marbolt::detect
