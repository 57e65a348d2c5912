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
// are at most 16 of them). upper and lower allow 2^-51 k |x| and k kTinySlack, four times
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
        double v = 0.0, size = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!usable(weight[i])) continue;
            const double term = weight[i] * (balls[i].centre[j] - p[j]);
            v += term;
            size += std::fabs(term);
        }
        // 2^-49 against the 2^-50 of the note: the computed size may be
        // below the sum of the magnitudes by (m + 2) roundings. (Not an
        // upper bound of size times 2^-50: when size is zero, that would
        // round among subnormal numbers, slowly.)
        const double bound = upper(std::fabs(v) + (0x1p-49 * (m + 2.0) * size + m * cost::kTinySlack), 4.0);
        pull += bound * bound;
    }
    pull = upper(pull, static_cast<double>(dims) + 1.0);
    const double gap = sums.powers_up - spread;
    const double room = gap > 0.0 ? upper(gap, 1.0) : 0.0;
    const double root = upper(std::sqrt(upper(pull + sums.total_up * room, 2.0)), 1.0);
    const double radius = upper((upper(std::sqrt(pull), 1.0) + root) / sums.total_down, 2.0);
    return sums.total_down > 0.0 ? radius : std::numeric_limits<double>::infinity();
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

}  // namespace marbolt::detect
