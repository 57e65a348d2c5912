#include "cost/pruning_normal.hpp"

#include <algorithm>
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

constexpr PlaneBox kEverywhere{{-kInf, -kInf}, {kInf, kInf}};
constexpr PlaneBox kNoBox{{1.0, 1.0}, {-1.0, -1.0}};

// What is known of one segment: its centre and how far the exact one may
// be, and an interval [lo, hi] holding max(V, f).
struct Fit {
    double mean, off, lo, hi;
};

}  // namespace

std::optional<NormalColumnFamily> NormalColumnFamily::make(const CostNormal& model, std::size_t n) noexcept {
    if (model.dims() != 1 || n >= (std::size_t{1} << 40)) return std::nullopt;
    const double floor = model.floored() ? model.floors()[0] : 0.0;
    const double diag = model.small_diag() ? CostNormal::kSmallDiag : 0.0;
    if (!(floor > 0.0 || diag > 0.0) || !(floor < kEnvelopeLargest)) return std::nullopt;
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
    const double lo = floor > 0.0 ? floor : 0.5 * diag;
    if (floor == 0.0 && !(k <= 0.25 * diag)) return std::nullopt;
    double lam = std::max({std::fabs(std::log(lo)), std::fabs(std::log(v_hi)), 1.0}) + 2.0;
    if (floor > 0.0) lam = lam + std::fabs(std::log(floor)) + 2.0 * v_hi / floor;
    const double count = static_cast<double>(n);
    const double scale = up(count * up(lam));
    const double base = up(up(count * up(k / lo)) + 0x1p-50 * scale) * (1.0 + 0x1p-30);
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
    Fit fit{s / len, 0x1p-51 * std::fabs(s / len) + kTinySlack, down(v - spread), up(v + spread)};
    const bool below = floor_ > 0.0 && fit.hi < floor_, above = floor_ == 0.0 || fit.lo >= floor_;
    if (floor_ > 0.0) {
        fit.lo = std::max(fit.lo, floor_);
        fit.hi = std::max(fit.hi, floor_);
    }
    if (!(fit.lo > 0.0 && fit.hi < kEnvelopeLargest && std::fabs(fit.mean) < kEnvelopeLargest)) {
        return {kEverywhere, kNoBox};
    }
    PlaneBracket b{kEverywhere, kNoBox};
    const double reach = up(a_up / len);
    if (!(a_up > 0.0)) {
        b.reach = a_up <= 0.0 ? kNoBox : kEverywhere;
    } else if (reach < kEnvelopeLargest) {
        const double width = up(root_up(up(fit.hi * expm1_up(reach))) + fit.off);
        b.reach.lo = {down(fit.mean - width), down(log_down(fit.lo) + offset_below(reach))};
        b.reach.hi = {up(fit.mean + width), up(log_up(fit.hi) + offset_above(reach))};
        if (floor_ > 0.0) b.reach.lo[1] = std::max(b.reach.lo[1], log_down(floor_));
    }
    const double cover = down(a_down / len), half = down(0.5 * cover);
    if (!(a_down > 0.0 && cover > 0.0 && cover < kEnvelopeLargest) || !(above || below)) return b;
    const double width = down(root_down(down(fit.lo * half)) - fit.off);
    if (!(width >= 0.0)) return b;
    b.cover.lo[0] = up(fit.mean - width);
    b.cover.hi[0] = down(fit.mean + width);
    if (below) {
        b.cover.lo[1] = -kInf;
        b.cover.hi[1] = down(log_down(floor_) + half);
    } else {
        const double inner = std::min(1.0, root_down(down(cover / 3.0)));
        b.cover.lo[1] = up(up(log_up(fit.hi) + half) - inner);
        b.cover.hi[1] = down(down(log_down(fit.lo) + half) + root_down(cover));
        if (floor_ > 0.0 && b.cover.lo[1] <= log_down(floor_)) b.cover.lo[1] = -kInf;
    }
    return b;
}

}  // namespace marbolt::cost
