#include "detect/ball_intersection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "detect/envelope.hpp"

namespace marbolt::detect {

namespace {

// A lower bound of a non-negative real from a computed value of it: never
// below zero, so that products of such bounds stay monotone.
double floor0(double x) noexcept { return std::max(0.0, below(x)); }

// A lower bound of |a - b|^2 over the first dims coordinates.
double apart_squared_below(const double* a, const double* b, std::size_t dims) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j < dims; ++j) {
        const double gap = floor0(std::fabs(a[j] - b[j]));
        sum = floor0(sum + floor0(gap * gap));
    }
    return sum;
}

// Upper bounds of W and P2 = sum w_i r_i^2, and a lower bound of W.
struct WeightSums {
    double total_up = 0.0, total_down = 0.0, powers_up = 0.0;
};

WeightSums weight_sums(const Ball* balls, const double* weight, std::size_t count) noexcept {
    WeightSums sums;
    for (std::size_t i = 0; i < count; ++i) {
        if (!(weight[i] > 0.0)) continue;
        sums.total_up = above(sums.total_up + weight[i]);
        sums.total_down = floor0(sums.total_down + weight[i]);
        sums.powers_up = above(sums.powers_up + above(weight[i] * above(balls[i].radius * balls[i].radius)));
    }
    return sums;
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
    for (std::size_t i = 0; i < count; ++i) {
        if (!(weight[i] > 0.0)) continue;
        for (std::size_t k = i + 1; k < count; ++k) {
            if (!(weight[k] > 0.0)) continue;
            const double both = floor0(weight[i] * weight[k]);
            pairs = floor0(pairs + floor0(both * apart_squared_below(balls[i].centre.data(), balls[k].centre.data(), dims)));
        }
    }
    const WeightSums sums = weight_sums(balls, weight, count);
    return pairs > above(sums.total_up * sums.powers_up);
}

double enclosing_radius(const Ball* balls, const double* weight, std::size_t count, std::size_t dims,
                        const std::array<double, cost::kMaxBallDims>& p) noexcept {
    const WeightSums sums = weight_sums(balls, weight, count);
    double spread = 0.0;  // G, below
    for (std::size_t i = 0; i < count; ++i) {
        if (weight[i] > 0.0) spread = floor0(spread + floor0(weight[i] * apart_squared_below(balls[i].centre.data(), p.data(), dims)));
    }
    const double m = static_cast<double>(count);
    double pull = 0.0;  // |v|^2, above
    for (std::size_t j = 0; j < dims; ++j) {
        double v = 0.0, size = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!(weight[i] > 0.0)) continue;
            const double term = weight[i] * (balls[i].centre[j] - p[j]);
            v += term;
            size = above(size + std::fabs(term));
        }
        const double bound = above(std::fabs(v) + above(0x1p-50 * (m + 2.0) * size + m * cost::kTinySlack));
        pull = above(pull + above(bound * bound));
    }
    const double room = std::max(0.0, above(sums.powers_up - spread));
    const double root = above(std::sqrt(above(pull + above(sums.total_up * room))));
    const double radius = above(above(above(std::sqrt(pull)) + root) / sums.total_down);
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
