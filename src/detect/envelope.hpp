// Functional pruning for the one-column l2 searches (FPOP: Maidstone, Eckley,
// Fearnhead & Rigaill 2017; pruned DP: Rigaill 2015). Every candidate start t
// of a last segment carries its total as a function of that segment's mean mu,
//     q_t(mu) = (prefix cost of t) + sum over [t, end) of (x_i - mu)^2,
// a parabola; two candidates' functions differ by a parabola that no longer
// depends on the end. A candidate whose function lies above the others' lower
// envelope everywhere can never win an end again and leaves the search.
//
// The sets of mu where one function beats another are intervals; this file
// builds them so that they err on the safe side of the exact sets (never
// smaller where a candidate may still be near the minimum, never larger where
// it is beaten), and keeps each candidate's region, the mu where it may still
// be within a margin of the minimum, as a few intervals.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marbolt::detect {

// Rounding of a one-column l2 total. With S and Q the prefix tables (sums and
// sums of squares of the centred signal), read as exact reals, a candidate t
// and an end b > t, L = b - t, s* = S[b] - S[t] and q* = Q[b] - Q[t], the
// exact total is tau = P + q* - s*^2 / L, where P, the rest of the total (the
// penalty and the prefix cost for PELT, the previous layer's cost for dynp),
// is added in one or two further roundings. The searches compute T from the
// residue e = fl(q - fl(fl(s * s) / L)), clamped at zero, divided by L,
// multiplied by L, then added to the rest. With u = 2^-53, A a bound on |q*|
// and B one on s*^2 / L: the segment sum, its square and the quotient carry
// 4.01u B; q* carries u A; the residue's subtraction u of 1.01 (A + B); the
// division and multiplication by L 2.01u of it; each addition of the rest u of
// what it adds. Without the clamp, then, T would be within
//     u (6.1 A + 9.2 B + 2.02 |P| + |F|)
// of tau (P split as pen + F for PELT). The clamp only raises the residue and
// rounding is monotone, so T is at least tau minus that. The searches also
// form U = fl(rest + e), the unclamped total without the round trip through
// L, for their bookkeeping: fewer roundings, so within the same bound. Both
// are bounded three times over by error_bound(A + B + |pen|, |F|) =
// 2^-48 (A + B + |pen| + |F|) + 2^-1000 (the last term covers roundings among
// subnormal numbers), with two choices of A and B:
//  - global, for any t and b: A = 2 max|Q| and B = Y = sum_i (S[i+1] -
//    S[i])^2 (s*^2 / L <= Y by Cauchy-Schwarz over the segment's
//    differences); l2_energy gives V >= A + B;
//  - local, for a pair the search has evaluated: A = 1.01 |q| and B = 1.01 d
//    from the computed q and quotient d; local_scale gives 2 (|q| + d).

// Beyond this magnitude, sums of a few values could overflow: the bounds
// assume they do not. Roundings among subnormal numbers are absolute, below
// kTinySlack.
inline constexpr double kEnvelopeLargest = 0x1p900;
inline constexpr double kTinySlack = 0x1p-1000;

inline double error_bound(double scale, double prefix) noexcept {
    return 0x1p-48 * (scale + prefix) * (1.0 + 0x1p-50) + kTinySlack;
}

inline double local_scale(double s, double q, double len) noexcept {
    return 2.0 * (std::fabs(q) + (s * s) / len);
}

// V = 2 max|Q| + Y, rounded up, from the n + 1 rows of the prefix tables;
// nothing when a value is not finite or too large for the bounds, or n is
// too large for the sum's own bound.
std::optional<double> l2_energy(const double* s, const double* q, std::size_t n) noexcept;

struct Interval {
    double lo;
    double hi;
};

// The rounding allowance of the interval ends. A parabola L (mu - c)^2 has
// its centre c = s / L computed as s times the rounded reciprocal of L, with
// s one subtraction: three roundings, within 2^-51 |c| of the exact centre
// with room to spare. Its half-width sqrt(a / L) is computed as the square
// root of a times that reciprocal: two roundings under the root count half,
// and the root one, so it is within 2^-52 of the exact one; forming c -+ w
// rounds once more, by at most 2^-53 (|c| + w). kEndSlack = 2^-49 of |c| + w
// is over twice all that; kTinySlack covers the subnormal range.
inline constexpr double kEndSlack = 0x1p-49;

// The square root of a non-negative number (or NaN) as the bare instruction:
// std::sqrt keeps a test and a call for errno on negative arguments, a branch
// that stalls a loop of independent roots behind each one's latency.
inline double root(double x) noexcept {
#if defined(__SSE2__)
    const __m128d v = _mm_set_sd(x);
    return _mm_cvtsd_f64(_mm_sqrt_sd(v, v));
#else
    return std::sqrt(x);
#endif
}

// The half-width w of an interval [c - w, c + w] that holds every mu with
// L (mu - c*)^2 < a, for any a at most `a_up`; negative (nothing to hold) when
// a_up is not positive. c is the computed centre, c* the exact one, inv_len
// the rounded reciprocal of L (see kEndSlack). Written without branches so
// that a loop over candidates vectorises.
inline double outer_half_width(double c, double inv_len, double a_up) noexcept {
    const double w = root(std::max(a_up, 0.0) * inv_len) * (1.0 + kEndSlack) + kEndSlack * std::fabs(c) + kTinySlack;
    return a_up > 0.0 ? w : -1.0;
}

// The half-width of an interval around c holding only mu with
// L (mu - c*)^2 <= a, for any a at least `a_down`; negative when there is no
// such interval to be sure of.
inline double inner_half_width(double c, double inv_len, double a_down) noexcept {
    const double w = root(std::max(a_down, 0.0) * inv_len) * (1.0 - kEndSlack) - kEndSlack * std::fabs(c) - kTinySlack;
    return a_down > 0.0 ? w : -1.0;
}

// Where a candidate may still be near the minimum: at most kPieces disjoint
// closed intervals, ascending. Merging two neighbours into their hull only
// makes a region larger, which keeps it on the safe side, so a region never
// needs more room.
class Region {
public:
    static constexpr std::size_t kPieces = 3;

    static Region everything() noexcept {
        Region r;
        r.piece_[0] = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
        r.count_ = 1;
        return r;
    }

    // Every mu outside the covers (whose order it changes): where none of the
    // candidates behind them is sure to be better.
    static Region outside(std::span<Interval> covers) noexcept {
        std::sort(covers.begin(), covers.end(), [](Interval a, Interval b) { return a.lo < b.lo; });
        Region r;
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

// One step of functional pruning between a live candidate k and a newer
// candidate w (PELT: the end just settled, at the level thr = F[end] + pen;
// dynp: the start entering the layer, at the level of its cost). Over the
// segment between them, of length L, sum s and centre c* = s / L, k's
// function minus w's is L (mu - c*)^2 + minDelta, and minDelta lies within
// the error bound E of `value - level`, where `value` is k's bookkeeping
// total there. With w >= M + E (`allowance`):
//  - {mu : q_k - q_w < M} lies within the interval of outer_half_width at
//    (level - value) + w, rounded up: k keeps only that much of its region
//    (its reach); outside it, w beats k by M;
//  - {mu : q_w - q_k >= M} holds the interval of inner_half_width at
//    (level - value) - w, rounded down (k's cover): there k beats w by M,
//    and w's region is what no cover holds.
// `spread` bounds the roundings of forming the gap and adding w.
struct RegionStep {
    double centre;
    double reach;  // negative: k keeps nothing
    double cover;  // negative: nowhere sure
};

inline double step_allowance(double margin, double error) noexcept { return (margin + error) * (1.0 + 0x1p-50); }

inline RegionStep region_step(double s, double inv_len, double level, double value, double allowance) noexcept {
    const double c = s * inv_len;
    const double spread = 0x1p-50 * (std::fabs(level) + std::fabs(value) + allowance);
    const double gap = level - value;
    return {c, outer_half_width(c, inv_len, (gap + allowance) + spread),
            inner_half_width(c, inv_len, (gap - allowance) - spread)};
}

// Notes k's cover for w's region and clips k's region to its reach; false
// when nothing of it is left, and k leaves the search.
inline bool take_step(const RegionStep& step, Region& region, std::vector<Interval>& covers) {
    if (step.cover >= 0.0) covers.push_back({step.centre - step.cover, step.centre + step.cover});
    return step.reach >= 0.0 && region.clip({step.centre - step.reach, step.centre + step.reach});
}

// The live candidates of a sweep in list order, as parallel arrays so that an
// end's arithmetic runs as straight loops: what an end the candidate wins
// records as its parent, its start position, the prefix sums there, the cost
// of the prefix before it, and its region.
struct LiveStarts {
    std::vector<std::size_t> parent;
    std::vector<double> start, s, q, prefix;
    std::vector<Region> region;

    std::size_t size() const noexcept { return parent.size(); }

    void push_back(std::size_t at, double position, double s_at, double q_at, double cost, const Region& r) {
        parent.push_back(at);
        start.push_back(position);
        s.push_back(s_at);
        q.push_back(q_at);
        prefix.push_back(cost);
        region.push_back(r);
    }
    void move(std::size_t from, std::size_t to) noexcept {
        parent[to] = parent[from];
        start[to] = start[from];
        s[to] = s[from];
        q[to] = q[from];
        prefix[to] = prefix[from];
        region[to] = region[from];
    }
    void resize(std::size_t size) {
        parent.resize(size);
        start.resize(size);
        s.resize(size);
        q.resize(size);
        prefix.resize(size);
        region.resize(size);
    }
};

}  // namespace marbolt::detect
