// The regions of functional pruning on a line of levels (one-parameter
// families: the mean of one column for l2, the median for l1). Every live
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
#include <optional>
#include <span>
#include <vector>

#include "cost/pruning.hpp"

namespace marbolt::detect {

using cost::Interval;
using cost::LineBracket;

// Where a start may still be near the minimum: at most kPieces disjoint
// closed intervals, ascending. Merging two neighbours into their hull only
// makes a region larger, which keeps it on the safe side, so a region never
// needs more room; how many pieces pay for their copies is the family's
// choice.
template <std::size_t kPieces>
class LineRegion {
public:
    using Cover = Interval;

    static LineRegion everything() noexcept {
        LineRegion r;
        r.piece_[0] = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
        r.count_ = 1;
        return r;
    }

    // Every mu outside the covers (whose order it may change): where none of
    // the starts behind them is sure to be better.
    static LineRegion outside(std::span<Interval> covers) noexcept {
        // Usually the covers' union is one interval, found in a few passes
        // without a branch on the data, where a sort of an end's dozen
        // covers mispredicts many of its comparisons.
        if (const std::optional<Interval> hull = connected_hull(covers)) {
            return outside_sorted(std::span<const Interval>(&*hull, 1));
        }
        std::sort(covers.begin(), covers.end(), [](Interval a, Interval b) { return a.lo < b.lo; });
        return outside_sorted(covers);
    }

    // Keeps only what lies within `keep`; false when nothing is left.
    bool clip(Interval keep) noexcept {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < count_; ++k) {
            const Interval p{std::max(piece_[k].lo, keep.lo), std::min(piece_[k].hi, keep.hi)};
            if (p.lo <= p.hi) piece_[kept++] = p;
        }
        count_ = kept;
        return kept != 0;
    }

    bool empty() const noexcept { return count_ == 0; }
    bool contains(double mu) const noexcept {
        for (std::size_t k = 0; k < count_; ++k) {
            if (piece_[k].lo <= mu && mu <= piece_[k].hi) return true;
        }
        return false;
    }

private:
    // outside() of covers ordered by their lower ends.
    static LineRegion outside_sorted(std::span<const Interval> covers) noexcept {
        LineRegion r;
        double from = -std::numeric_limits<double>::infinity();
        for (const Interval& c : covers) {
            if (from < c.lo) r.append({from, c.lo});
            from = std::max(from, c.hi);
        }
        if (from < std::numeric_limits<double>::infinity()) {
            r.append({from, std::numeric_limits<double>::infinity()});
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
    // cover between them, the new piece included.
    void append(Interval p) noexcept {
        if (count_ == kPieces) {
            std::size_t join = count_ - 1;
            double narrowest = p.lo - piece_[count_ - 1].hi;
            for (std::size_t k = 0; k + 1 < count_; ++k) {
                if (piece_[k + 1].lo - piece_[k].hi < narrowest) {
                    narrowest = piece_[k + 1].lo - piece_[k].hi;
                    join = k;
                }
            }
            if (join == count_ - 1) {
                piece_[join].hi = p.hi;
                return;
            }
            piece_[join].hi = piece_[join + 1].hi;
            std::copy(piece_.begin() + join + 2, piece_.begin() + count_, piece_.begin() + join + 1);
            --count_;
        }
        piece_[count_++] = p;
    }

    // Only the first count_ pieces are ever read, so the rest is left
    // uninitialised: a region is made at every end, and zeroing it showed.
    std::array<Interval, kPieces> piece_;
    std::size_t count_ = 0;
};

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

}  // namespace marbolt::detect
