#include "cost/pruning_normal.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <cmath>
#include <limits>

namespace marbolt::cost {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One-sided bounds of a value rounded once, or of a real within 2^-52 of x
// relative (the C library's log): far over both.
double up(double x) noexcept { return x + (0x1p-50 * std::fabs(x) + kTinySlack); }
double down(double x) noexcept { return x - (0x1p-50 * std::fabs(x) + kTinySlack); }
double log_up(double x) noexcept { return up(std::log(x)); }
double log_down(double x) noexcept { return down(std::log(x)); }
double root_up(double x) noexcept { return up(std::sqrt(std::max(x, 0.0))); }
double root_down(double x) noexcept { return down(std::sqrt(std::max(x, 0.0))); }

// Above e^a - 1 for a >= 0: a + a^2 up to 1 (the series' tail from a^2 on
// is at most (e - 2) a^2 there), e^a beyond.
double expm1_up(double a) noexcept { return a <= 1.0 ? up(a + up(a * a)) : up(std::exp(a)); }

// With g(w) = e^-w + w - 1 (the excess of a unit variance's function at
// log-variance offset w): g(w) >= w^2 / 2 for w <= 0 and g(w) >= w^2 /
// (2 + w) for w >= 0, so g(w) <= a holds w in [-sqrt(2a), (a + sqrt(a^2 +
// 8a)) / 2]; g(w) <= w^2 / 2 for w >= 0 and g(w) <= 1.5 w^2 on [-1, 0]
// (e^x - 1 - x <= e^x x^2 / 2), so g <= a on [-min(1, sqrt(2a / 3)),
// sqrt(2a)].
double offset_below(double a) noexcept { return -root_up(up(2.0 * a)); }
double offset_above(double a) noexcept { return up(up(a + root_up(up(up(a * a) + up(8.0 * a)))) * 0.5); }
// For x = -w in [0, 1/2], g = x^2 / 2 + x^3 / 6 (1 + x / 4 + ...) <= 0.6 x^2:
// g(w) <= a from w = -min(1/2, sqrt(a / 0.6)) on; sqrt(1.6 a) is below.
double offset_inner_below(double a) noexcept { return std::min(0.5, root_down(down(1.6 * a))); }

// The shares of the level that the covers' widths take (cover_box).
constexpr double kCoverShares[kPlaneCovers] = {0.125, 0.5, 0.875};

constexpr PlaneBox kEverywhere{{-kInf, -kInf}, {kInf, kInf}};
constexpr PlaneBox kNoBox{{1.0, 1.0}, {-1.0, -1.0}};

}  // namespace

// Lower bounds of the exact residue q* - s*^2 / L of every segment of the
// given length (2 or 1) from position i: the computed one less its rounding
// bound 8u (|q| + s^2 / L) (see the header), rounded down.
template <std::size_t kLength>
double residue_below(const double* s, const double* q, std::size_t i) noexcept {
    const double sum = s[i + kLength] - s[i], squares = q[i + kLength] - q[i];
    const double quotient = sum * sum / static_cast<double>(kLength);
    return down(down(squares - quotient) - up(0x1p-49 * (std::fabs(squares) + quotient)));
}

// The bound of a segment's variance from below, for every length at once.
// The exact residue r of a segment is the sum of its pieces' residues plus
// non-negative terms (Huygens), over any split into pieces; split into
// floor(L / 2) disjoint pairs (and a single sample for odd L), so r is at
// least the sum of the floor(L / 2) smallest pair residues plus the
// smallest single one (if negative). The pairs are counted by binade, each
// taken at its binade's lower end, which only lowers the sum.
class PairResidues {
public:
    PairResidues(const double* s, const double* q, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; ++i) single_ = std::min(single_, residue_below<1>(s, q, i));
        for (std::size_t i = 0; i + 2 <= n; ++i) {
            const double r = residue_below<2>(s, q, i);
            if (r > 0.0) {
                ++count_[static_cast<std::size_t>(std::ilogb(r) + kBias)];
            } else {
                negative_ = down(negative_ + r);
                ++n_negative_;
            }
        }
    }

    // The lower bound of the residue of any L = 2 pairs + 1 samples, for
    // pairs = 0, 1, 2, ... in turn.
    double next() noexcept {
        if (taken_ < n_negative_) {
            ++taken_;
        } else {
            while (bin_ < count_.size() && used_ == count_[bin_]) {
                ++bin_;
                used_ = 0;
            }
            if (bin_ < count_.size()) {
                ++used_;
                positive_ = down(positive_ + std::ldexp(1.0, static_cast<int>(bin_) - kBias));
            }
        }
        return down(down(negative_ + positive_) + single_);
    }
    double first() const noexcept { return single_; }

private:
    static constexpr int kBias = 1074;
    std::array<std::size_t, 2100> count_{};
    double single_ = 0.0, negative_ = 0.0, positive_ = 0.0;
    std::size_t n_negative_ = 0, taken_ = 0, bin_ = 0, used_ = 0;
};

// The largest of L K / d(L) over the lengths L of 1 to n, with d(L) the
// least variance a segment of L samples can have, less K, and at least the
// floor; nothing when some d(L) is not positive. Also the least d(L).
struct SegmentBound {
    double error, least;
};

std::optional<SegmentBound> segment_bound(const double* s, const double* q, std::size_t n, double k, double floor,
                                          double diag) {
    auto pairs = std::make_unique<PairResidues>(s, q, n);
    SegmentBound b{0.0, kInf};
    double residue = pairs->first();
    // Without floor and diagonal a single sample has no variance to bound;
    // no dropped start's segment is that short (see the header).
    const std::size_t shortest = floor > 0.0 || diag > 0.0 ? 1 : 2;
    for (std::size_t len = 1; len <= n; ++len) {
        if (len % 2 == 0) residue = pairs->next();
        if (len < shortest) continue;
        const double length = static_cast<double>(len);
        const double least = std::max(floor, down(down(diag + down(residue / length)) - k));
        if (!(least > 0.0)) return std::nullopt;
        b.least = std::min(b.least, least);
        b.error = std::max(b.error, up(length * up(k / least)));
    }
    return b;
}

std::optional<NormalColumnFamily> NormalColumnFamily::make(const CostNormal& model, std::size_t n) noexcept {
    if (model.dims() != 1 || n >= (std::size_t{1} << 40)) return std::nullopt;
    const double floor = model.floored() ? model.floors()[0] : 0.0;
    const double diag = model.small_diag() ? CostNormal::kSmallDiag : 0.0;
    if (!(floor < kEnvelopeLargest)) return std::nullopt;
    const double* s = model.sums().data.data();
    const double* q = model.outer().data.data();
    double gq = 0.0, gs = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(std::fabs(s[i + 1]) < kEnvelopeLargest && std::fabs(q[i + 1]) < kEnvelopeLargest)) return std::nullopt;
        gq = std::max(gq, std::fabs(q[i + 1] - q[i]));
        gs = std::max(gs, std::fabs(s[i + 1] - s[i]));
    }
    if (!(std::fabs(s[0]) < kEnvelopeLargest && std::fabs(q[0]) < kEnvelopeLargest)) return std::nullopt;
    // The bound's constants (see the header), rounded up generously.
    const double g = up(up(gq) + up(up(gs) * up(gs)));
    const double v_hi = up(up(g + diag) * (1.0 + 0x1p-40));
    const double k = up(0x1p-49 * g + 0x1p-52 * v_hi);
    std::optional<SegmentBound> bound;
    try {
        bound = segment_bound(s, q, n, k, floor, diag);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (!bound) return std::nullopt;
    double lam = std::max({std::fabs(std::log(bound->least)), std::fabs(std::log(v_hi)), 1.0}) + 2.0;
    if (floor > 0.0) lam = lam + std::fabs(std::log(floor)) + 2.0 * v_hi / floor;
    const double count = static_cast<double>(n);
    const double scale = up(count * up(lam));
    const double base = up(bound->error + 0x1p-50 * scale) * (1.0 + 0x1p-30);
    if (!(base < kEnvelopeLargest && scale < kEnvelopeLargest)) return std::nullopt;
    return NormalColumnFamily(s, q, floor, diag, base, scale);
}

// The exact level sets, with w = l - log V, z = (mu - m)^2 / V, are
// (1 + z) e^-w + w - 1 <= a / L; minimising over w gives log(1 + z), so
// |mu - m| <= sqrt(V (e^(a/L) - 1)), and z >= 0 gives g(w) <= a / L. A box
// with z <= a / 2L and w - a / 2L in g's inner range for a / 2L lies inside
// ((1 + z) e^(-a / 2L) <= 1). Below the floor (V < f, l >= log f) the
// function is at least the one of variance f, centred at log f, so its set
// lies within that one's; with y = l - log f in [0, a / 2L] and (mu - m)^2
// <= f a / 2L it is at most z f / f + y <= a / L, and the cover may take in
// every l < log f, outside the domain. Every end is rounded to the safe side
// for each V in [lo, hi] and each centre within `off` of the computed one.
PlaneBracket NormalColumnFamily::bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up,
                                         double a_down) const noexcept {
    const double len = static_cast<double>(at) - starts.start[k];
    const double s = s_[at] - starts.s[k], q = q_[at] - starts.q[k];
    const double quotient = s * s / len;
    const double v = (q - quotient) / len + diag_;
    const double spread = up(0x1p-49 * (std::fabs(q) + quotient) / len + 0x1p-52 * std::fabs(v));
    Fit fit{s / len, 0x1p-51 * std::fabs(s / len) + kTinySlack, down(v - spread), up(v + spread), 0.0, 0.0};
    const bool below = floor_ > 0.0 && fit.hi < floor_, above = floor_ == 0.0 || fit.lo >= floor_;
    if (floor_ > 0.0) {
        fit.lo = std::max(fit.lo, floor_);
        fit.hi = std::max(fit.hi, floor_);
    }
    PlaneBracket b{kEverywhere, {}, {}};
    for (PlaneCover& c : b.cover) c.box = kNoBox;
    if (!(fit.lo > 0.0 && fit.hi < kEnvelopeLargest && std::fabs(fit.mean) < kEnvelopeLargest)) return b;
    fit.log_lo = log_down(fit.lo);
    fit.log_hi = log_up(fit.hi);
    const double reach = up(a_up / len);
    if (!(a_up > 0.0)) {
        b.reach = a_up <= 0.0 ? kNoBox : kEverywhere;
    } else if (reach < kEnvelopeLargest) {
        b.set = level_set(fit, reach, true);
        b.reach = b.set.outer;
    }
    const double level = down(a_down / len);
    if (!(a_down > 0.0 && level > 0.0 && level < kEnvelopeLargest) || !(above || below)) return b;
    for (std::size_t c = 0; c < kPlaneCovers; ++c) b.cover[c].box = cover_box(fit, level, kCoverShares[c], below);
    // The set itself serves as a cover where it is convex (see holds()).
    if (above && level < 0.5) b.cover[1].set = level_set(fit, level, true);
    return b;
}

// The set of a level with its outer box: |mu - m| <= sqrt(V (e^a - 1)) and
// the offsets of g's outer range, within the domain.
PlaneLevelSet NormalColumnFamily::level_set(const Fit& fit, double a, bool usable) const noexcept {
    PlaneLevelSet set{fit.mean, fit.off, fit.lo, fit.hi, fit.log_lo, fit.log_hi, a, domain_, usable, kEverywhere};
    const double width = up(root_up(up(fit.hi * expm1_up(a))) + fit.off);
    set.outer.lo = {down(fit.mean - width), std::max(domain_, down(fit.log_lo + offset_below(a)))};
    set.outer.hi = {up(fit.mean + width), up(fit.log_hi + offset_above(a))};
    return set;
}

// A box held by the set at level a = a_down / L (see bracket()): with z0 =
// share a, the points with z <= z0 and w - z0 in g's inner range for
// a - z0 ((1 + z0) e^-z0 <= 1). Three shares give a wide, a square and a
// tall box, whose union holds more of the set than any one box.
PlaneBox NormalColumnFamily::cover_box(const Fit& fit, double a, double share, bool below) const noexcept {
    PlaneBox box = kNoBox;
    const double z0 = down(share * a), rest = down(a - up(share * a));
    const double spread = fit.lo;  // the smallest V, or f below the floor
    const double width = down(root_down(down(spread * z0)) - fit.off);
    if (!(width >= 0.0 && rest > 0.0)) return box;
    box.lo[0] = up(fit.mean - width);
    box.hi[0] = down(fit.mean + width);
    if (below) {
        // Below the floor z f / f + y <= a for y = l - log f in [0, rest].
        box.lo[1] = -kInf;
        box.hi[1] = down(domain_ + std::min(rest, down(a - z0)));
        return box;
    }
    box.lo[1] = up(up(fit.log_hi + up(z0)) - offset_inner_below(rest));
    box.hi[1] = down(down(fit.log_lo + z0) + root_down(down(2.0 * rest)));
    if (box.lo[1] <= domain_) box.lo[1] = -kInf;
    return box;
}

// The box of a set's meeting with a box. A point of the box has its mean at
// least `dist` from every centre, so z >= dist^2 / v_hi =: c - 1, and
// c e^-w + w - 1 <= a, that is g(w - log c) <= a - log c, bounds w as g's
// outer range does, shifted by log c. At log-variance offset w the set has
// z <= h(w) - 1 with h(w) = (a + 1 - w) e^w, which rises up to w = a and
// falls after: over the box's offsets [wa, wb] (for every V in [v_lo,
// v_hi]) its largest value is at the point of [wa, wb] nearest a, and
// (mu - m)^2 <= V (h - 1) <= v_hi (h - 1). Rounded up, a larger a only
// widens both.
bool tighten(const PlaneLevelSet& set, PlaneBox& box) noexcept {
    const double a = set.level;
    const double dist = std::max({0.0, down(box.lo[0] - up(set.mean + set.off)),
                                  down(down(set.mean - set.off) - box.hi[0])});
    if (dist > 0.0) {
        const double c = down(1.0 + down(down(dist * dist) / set.v_hi));
        const double log_c = std::max(0.0, log_down(c));
        const double rest = up(a - log_c);
        if (rest < 0.0) return false;
        box.lo[1] = std::max(box.lo[1], down(set.log_lo + down(log_c + offset_below(rest))));
        box.hi[1] = std::min(box.hi[1], up(set.log_hi + up(up(log_up(c)) + offset_above(rest))));
        if (!(box.lo[1] <= box.hi[1])) return false;
    }
    const double wa = down(box.lo[1] - set.log_hi), wb = up(box.hi[1] - set.log_lo);
    const double w = std::clamp(a, wa, wb);
    const double factor = up(up(a + 1.0) - w);
    if (!(factor > 0.0)) return false;
    const double z = up(up(factor * up(std::exp(w))) - 1.0);
    if (!(z >= 0.0)) return false;
    const double width = up(set.off + root_up(up(set.v_hi * z)));
    box.lo[0] = std::max(box.lo[0], down(set.mean - width));
    box.hi[0] = std::min(box.hi[0], up(set.mean + width));
    return box.lo[0] <= box.hi[0];
}

// Whether every point of the box in the domain lies in the set. With d^2 =
// (mu - m)^2, the set is {E <= a}, E = (V + d^2) e^-l + l - log V - 1 (for
// V at least the floor, its minimum is the unconstrained one). E is convex
// where d^2 < V (its Hessian in (mu, l) has determinant 2 e^-2l (V - d^2)),
// and for a < 1/2 every point of the set has d^2 <= V (e^a - 1) < V: the set
// is convex, and holds a box when it holds its corners. At a corner E is
// largest at the farthest centre and, convex in V, at v_lo or v_hi; each is
// bounded above, and must be at most a (a lower bound). The part of the box
// below the domain needs no holding: its corners move up to the domain's
// lower bound.
bool holds(const PlaneLevelSet& set, const PlaneBox& box) noexcept {
    if (!set.usable) return false;
    const double bottom = std::max(box.lo[1], set.domain);
    if (bottom > box.hi[1]) return true;
    // Not held unless within the set's outer box.
    if (!(set.outer.lo[0] <= box.lo[0] && box.hi[0] <= set.outer.hi[0] && set.outer.lo[1] <= bottom &&
          box.hi[1] <= set.outer.hi[1])) {
        return false;
    }
    for (const double mu : {box.lo[0], box.hi[0]}) {
        const double d = up(std::max(std::fabs(mu - down(set.mean - set.off)), std::fabs(mu - up(set.mean + set.off))));
        const double d2 = up(up(d) * up(d));
        for (const double l : {bottom, box.hi[1]}) {
            const double shrink = up(std::exp(-l));
            for (const double v : {set.v_lo, set.v_hi}) {
                // log_lo is below log V for both (a larger E only errs on the safe side).
                const double e = up(up(up(up(up(v + d2) * shrink) + l) - set.log_lo) - 1.0);
                if (!(e <= set.level)) return false;
            }
        }
    }
    return true;
}

}  // namespace marbolt::cost
