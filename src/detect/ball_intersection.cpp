#include "detect/ball_intersection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>


namespace marbolt::detect {

namespace {

// Bounds of a non-negative real from x, its value computed from exact
// non-negative inputs (doubles, magnitudes of differences of doubles) by at
// most k roundings of +, * and sqrt: each within u = 2^-53 relative, so the
// real is within 1.01 k u |x| of x while k u < 0.01, plus absolute errors
// of the subnormal range, 2^-1074 an operation, which the steps here only
// multiply by factors below 2^8 (weights in a proof are at most 2, there
// are at most 16 of them, or 80 with covers, each sum counting its terms
// among its k). upper and lower allow 2^-51 k |x| and k kTinySlack, four times
// the relative error and far above the absolute one, which leaves room for
// their own two roundings; lower never goes below zero, so products of
// lower bounds stay monotone. Bounds are formed only where a stage ends.
double upper(double x, double k) noexcept { return x * (1.0 + k * 0x1p-51) + k * cost::kTinySlack; }
double lower(double x, double k) noexcept { return std::max(0.0, x * (1.0 - k * 0x1p-51) - k * cost::kTinySlack); }

// Weights outside [2^-200, 2] take no part in a proof (as if zero): the
// products of two weights then stay normal numbers, and factors small.
bool usable(double w) noexcept { return w >= 0x1p-200 && w <= 2.0; }

// |a - b|^2 over the first dims coordinates, computed with dims + 1
// roundings on its longest path.
double apart_squared(const double* a, const double* b, std::size_t dims) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j < dims; ++j) sum += (a[j] - b[j]) * (a[j] - b[j]);
    return sum;
}

// Upper bounds of W and P2 = sum w_i r_i^2, and a lower bound of W.
struct WeightSums {
    double total_up = 0.0, total_down = 0.0, powers_up = 0.0;
};

WeightSums weight_sums(const Ball* balls, const double* weight, std::size_t count) noexcept {
    double total = 0.0, powers = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!usable(weight[i])) continue;
        total += weight[i];
        powers += weight[i] * (balls[i].radius * balls[i].radius);
    }
    const double m = static_cast<double>(count);
    return {upper(total, m), lower(total, m), upper(powers, m + 2.0)};
}

// The Frank-Wolfe state over unit total weight, in coordinates relative to
// the first centre (against cancellation at large offsets): cbar and the
// dual's level sum w_i (|c_i|^2 - r_i^2), the dual being level - |cbar|^2.
struct Dual {
    std::array<std::array<double, cost::kMaxBallDims>, 16> rel;
    std::array<double, 16> level_of;
    std::array<double, cost::kMaxBallDims> x{};
    double level = 0.0;

    double value(std::size_t dims) const noexcept {
        double norm = 0.0;
        for (std::size_t j = 0; j < dims; ++j) norm += x[j] * x[j];
        return level - norm;
    }
};

// Normalises the weights (the smallest ball alone when none is usable) and
// sets up the state.
void start_dual(const Ball* balls, double* weight, std::size_t count, std::size_t dims, Dual& dual) noexcept {
    double sum = 0.0;
    std::size_t smallest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double norm = 0.0;
        for (std::size_t j = 0; j < dims; ++j) {
            dual.rel[i][j] = balls[i].centre[j] - balls[0].centre[j];
            norm += dual.rel[i][j] * dual.rel[i][j];
        }
        dual.level_of[i] = norm - balls[i].radius * balls[i].radius;
        sum += weight[i];
        if (balls[i].radius < balls[smallest].radius) smallest = i;
    }
    if (!(sum > 0.0 && std::isfinite(sum))) {
        std::fill(weight, weight + count, 0.0);
        weight[smallest] = sum = 1.0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        weight[i] /= sum;
        for (std::size_t j = 0; j < dims; ++j) dual.x[j] += weight[i] * dual.rel[i][j];
        dual.level += weight[i] * dual.level_of[i];
    }
}

// One Frank-Wolfe step; false when there is nothing to gain (cbar is in
// every ball, or the step is void).
bool step_dual(const Ball* balls, double* weight, std::size_t count, std::size_t dims, Dual& dual) noexcept {
    std::size_t far = 0;
    double power = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < count; ++i) {
        double p = -balls[i].radius * balls[i].radius;
        for (std::size_t j = 0; j < dims; ++j) p += (dual.x[j] - dual.rel[i][j]) * (dual.x[j] - dual.rel[i][j]);
        if (p > power) power = p, far = i;
    }
    if (!(power > 0.0)) return false;
    double span = 0.0;
    for (std::size_t j = 0; j < dims; ++j) span += (dual.rel[far][j] - dual.x[j]) * (dual.rel[far][j] - dual.x[j]);
    // The dual along the segment is concave in t, with its top here.
    const double t = span > 0.0 ? std::clamp((power - dual.value(dims)) / (2.0 * span), 0.0, 1.0) : 1.0;
    if (!(t > 0.0)) return false;
    for (std::size_t i = 0; i < count; ++i) weight[i] *= 1.0 - t;
    weight[far] += t;
    for (std::size_t j = 0; j < dims; ++j) dual.x[j] += t * (dual.rel[far][j] - dual.x[j]);
    dual.level = (1.0 - t) * dual.level + t * dual.level_of[far];
    return true;
}

// One coordinate of v, a sum of m terms, and an upper bound of the exact
// sum's magnitude: 2^-49 (m + 2) of the sum of the terms' magnitudes, not the
// 2^-50 of the note, since the computed size may be below the exact one by
// (m + 2) roundings. (Not an upper bound of size times 2^-50: when size is
// zero, that would round among subnormal numbers, slowly.)
struct CoordinateSum {
    double v = 0.0, size = 0.0;

    void add(double term) noexcept {
        v += term;
        size += std::fabs(term);
    }
    double bound(double m) const noexcept {
        return upper(std::fabs(v) + (0x1p-49 * (m + 2.0) * size + m * cost::kTinySlack), 4.0);
    }
};

// The search of seek_covered: f's coefficients for the current weights in
// coordinates relative to the first ball's centre, balls first, then covers
// (each with its sign in f and |a|^2 - r^2), and the minimiser x = v / A.
struct CoverDual {
    static constexpr std::size_t kMostBalls = 16, kMostCovers = 64;
    static constexpr std::size_t kMost = kMostBalls + kMostCovers;
    std::array<std::array<double, cost::kMaxBallDims>, kMost> rel;
    std::array<double, kMost> level_of, radius, sign;
    std::array<double*, kMost> weight;
    std::size_t count = 0, dims = 0;
    std::array<double, cost::kMaxBallDims> v{}, x{};
    double lead = 0.0, level = 0.0;

    void add(const Ball& ball, const double* origin, double s, double* w) noexcept {
        double norm = 0.0;
        for (std::size_t j = 0; j < dims; ++j) {
            rel[count][j] = ball.centre[j] - origin[j];
            norm += rel[count][j] * rel[count][j];
        }
        level_of[count] = norm - ball.radius * ball.radius;
        radius[count] = ball.radius;
        sign[count] = s;
        weight[count] = w;
        ++count;
    }
    // Moves weight t onto term k (t negative takes it away).
    void move(std::size_t k, double t) noexcept {
        *weight[k] += t;
        const double st = sign[k] * t;
        lead += st;
        level += st * level_of[k];
        for (std::size_t j = 0; j < dims; ++j) v[j] += st * rel[k][j];
        for (std::size_t j = 0; j < dims; ++j) x[j] = v[j] / lead;
    }
    // The least value of f after moving t onto term k.
    double least_after(std::size_t k, double t) const noexcept {
        const double st = sign[k] * t, a = lead + st;
        double norm = 0.0;
        for (std::size_t j = 0; j < dims; ++j) norm += (v[j] + st * rel[k][j]) * (v[j] + st * rel[k][j]);
        return (level + st * level_of[k]) - norm / a;
    }
    // The step along term k's weight that puts the minimiser on its sphere:
    // the top of the concave least value along that weight.
    double best_step(std::size_t k) const noexcept {
        double d2 = 0.0;
        for (std::size_t j = 0; j < dims; ++j) d2 += (x[j] - rel[k][j]) * (x[j] - rel[k][j]);
        const double ratio = std::sqrt(d2) / radius[k];
        const double t = sign[k] > 0.0 ? lead * (ratio - 1.0) : lead * (1.0 - ratio);
        return std::max(t, -*weight[k]);
    }
};

}  // namespace

bool weights_prove_apart(const Ball* balls, const double* weight, std::size_t count, std::size_t dims) noexcept {
    double pairs = 0.0;
    double n_pairs = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!usable(weight[i])) continue;
        for (std::size_t k = i + 1; k < count; ++k) {
            if (!usable(weight[k])) continue;
            pairs += (weight[i] * weight[k]) * apart_squared(balls[i].centre.data(), balls[k].centre.data(), dims);
            n_pairs += 1.0;
        }
    }
    const WeightSums sums = weight_sums(balls, weight, count);
    return lower(pairs, static_cast<double>(dims) + 3.0 + n_pairs) > upper(sums.total_up * sums.powers_up, 1.0);
}

double enclosing_radius(const Ball* balls, const double* weight, std::size_t count, std::size_t dims,
                        const std::array<double, cost::kMaxBallDims>& p) noexcept {
    const WeightSums sums = weight_sums(balls, weight, count);
    const double m = static_cast<double>(count);
    double spread = 0.0;  // G
    for (std::size_t i = 0; i < count; ++i) {
        if (usable(weight[i])) spread += weight[i] * apart_squared(balls[i].centre.data(), p.data(), dims);
    }
    spread = lower(spread, static_cast<double>(dims) + 2.0 + m);
    double pull = 0.0;  // |v|^2
    for (std::size_t j = 0; j < dims; ++j) {
        CoordinateSum v;
        for (std::size_t i = 0; i < count; ++i) {
            if (usable(weight[i])) v.add(weight[i] * (balls[i].centre[j] - p[j]));
        }
        const double bound = v.bound(m);
        pull += bound * bound;
    }
    pull = upper(pull, static_cast<double>(dims) + 1.0);
    const double gap = sums.powers_up - spread;
    const double room = gap > 0.0 ? upper(gap, 1.0) : 0.0;
    const double root = upper(std::sqrt(upper(pull + sums.total_up * room, 2.0)), 1.0);
    const double radius = upper((upper(std::sqrt(pull), 1.0) + root) / sums.total_down, 2.0);
    return sums.total_down > 0.0 ? radius : std::numeric_limits<double>::infinity();
}

bool weights_prove_covered(const Ball* balls, const double* weight, std::size_t count, const Ball* covers,
                           const double* cover_weight, std::size_t cover_count, std::size_t dims) noexcept {
    if (count == 0) return false;
    const double* p = balls[0].centre.data();
    const double m = static_cast<double>(count + cover_count);
    // A from its two sums; K from its two sums of non-negative terms.
    double held = 0.0, taken = 0.0, gains = 0.0, losses = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!usable(weight[i])) continue;
        held += weight[i];
        gains += weight[i] * apart_squared(balls[i].centre.data(), p, dims);
        losses += weight[i] * (balls[i].radius * balls[i].radius);
    }
    for (std::size_t j = 0; j < cover_count; ++j) {
        if (!usable(cover_weight[j])) continue;
        taken += cover_weight[j];
        gains += cover_weight[j] * (covers[j].radius * covers[j].radius);
        losses += cover_weight[j] * apart_squared(covers[j].centre.data(), p, dims);
    }
    const double lead = lower(lower(held, m) - upper(taken, m), 1.0);  // A_low
    const double rounds = static_cast<double>(dims) + 3.0 + m;
    const double level = lower(lower(gains, rounds) - upper(losses, rounds), 1.0);  // K_low
    // V, as in enclosing_radius.
    double pull = 0.0;
    for (std::size_t j = 0; j < dims; ++j) {
        CoordinateSum v;
        for (std::size_t i = 0; i < count; ++i) {
            if (usable(weight[i])) v.add(weight[i] * (balls[i].centre[j] - p[j]));
        }
        for (std::size_t i = 0; i < cover_count; ++i) {
            if (usable(cover_weight[i])) v.add(-(cover_weight[i] * (covers[i].centre[j] - p[j])));
        }
        const double bound = v.bound(m);
        pull += bound * bound;
    }
    pull = upper(pull, static_cast<double>(dims) + 1.0);
    return lead > 0.0 && std::isfinite(level) && std::isfinite(pull) && lower(level * lead, 1.0) > pull;
}

bool seek_apart(const Ball* balls, double* weight, std::size_t count, std::size_t dims, int steps,
                Ball& enclosing) noexcept {
    if (count < 2) {
        if (count == 1) enclosing = balls[0];
        return false;
    }
    Dual dual;
    start_dual(balls, weight, count, dims, dual);
    for (int step = 0; step < steps && !(dual.value(dims) > 0.0); ++step) {
        if (!step_dual(balls, weight, count, dims, dual)) break;
    }
    if (dual.value(dims) > 0.0 && weights_prove_apart(balls, weight, count, dims)) return true;
    for (std::size_t j = 0; j < dims; ++j) enclosing.centre[j] = balls[0].centre[j] + dual.x[j];
    enclosing.radius = enclosing_radius(balls, weight, count, dims, enclosing.centre);
    return false;
}

bool seek_covered(const Ball* balls, double* weight, std::size_t count, const Ball* covers, double* cover_weight,
                  std::size_t cover_count, std::size_t dims, int steps) noexcept {
    if (count == 0 || count > CoverDual::kMostBalls || cover_count > CoverDual::kMostCovers) return false;
    double sum = 0.0;
    std::size_t smallest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!usable(weight[i]) || !std::isfinite(balls[i].radius)) weight[i] = 0.0;
        sum += weight[i];
        if (balls[i].radius < balls[smallest].radius) smallest = i;
    }
    if (!(sum > 0.0)) {
        weight[smallest] = sum = 1.0;
    }
    CoverDual dual;
    dual.dims = dims;
    const double* origin = balls[0].centre.data();
    for (std::size_t i = 0; i < count; ++i) {
        const double w = weight[i] / sum;
        weight[i] = 0.0;
        dual.add(balls[i], origin, 1.0, weight + i);
        if (w > 0.0) dual.move(dual.count - 1, w);
    }
    std::fill(cover_weight, cover_weight + cover_count, 0.0);
    for (std::size_t j = 0; j < cover_count; ++j) {
        if (covers[j].radius > 0.0) dual.add(covers[j], origin, -1.0, cover_weight + j);
    }
    double least = dual.least_after(0, 0.0);
    for (int step = 0; step < steps && !(least > 0.0); ++step) {
        // The weight whose derivative, the term's power at the minimiser
        // (with its sign in f), is largest in magnitude where it may move.
        std::size_t best = dual.count;
        double steepest = 0.0;
        for (std::size_t k = 0; k < dual.count; ++k) {
            double power = -dual.radius[k] * dual.radius[k];
            for (std::size_t j = 0; j < dims; ++j) power += (dual.x[j] - dual.rel[k][j]) * (dual.x[j] - dual.rel[k][j]);
            const double slope = dual.sign[k] * power;
            const double gain = slope > 0.0 || *dual.weight[k] > 0.0 ? std::fabs(slope) : 0.0;
            if (gain > steepest && dual.radius[k] > 0.0 && dual.radius[k] < cost::kEnvelopeLargest) {
                steepest = gain;
                best = k;
            }
        }
        if (best == dual.count) break;
        const double t = dual.best_step(best);
        if (!(t != 0.0 && std::isfinite(t))) break;
        const double value = dual.least_after(best, t);
        if (!(value > least)) break;
        dual.move(best, t);
        least = value;
    }
    // The unit sum over the balls for the check.
    double held = 0.0;
    for (std::size_t i = 0; i < count; ++i) held += weight[i];
    if (!(least > 0.0 && held > 0.0)) return false;
    for (std::size_t i = 0; i < count; ++i) weight[i] /= held;
    for (std::size_t j = 0; j < cover_count; ++j) cover_weight[j] /= held;
    return weights_prove_covered(balls, weight, count, covers, cover_weight, cover_count, dims);
}

}  // namespace marbolt::detect
