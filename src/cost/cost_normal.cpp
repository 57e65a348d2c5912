// Gaussian likelihood cost: L * ln det(covariance). One column uses the
// population variance (divisor L), several columns the sample covariance
// (divisor L - 1) factorised by Cholesky; a pivot that is not > 0 means the
// covariance is not positive definite and the cost is -inf. With floors, the
// covariance is the likelihood's estimate under covariance >= diag(floors).
#include "cost/cost_normal.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "common/numeric.hpp"
#include "cost/scratch.hpp"
#include "linalg/eigen.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// Lower Cholesky factor in place, row by row; returns sum of ln of the
// diagonal of the factor (half the log-determinant), or nothing at the first
// pivot that is zero, negative or NaN.
std::optional<double> cholesky_half_log_det(std::span<double> c, std::size_t d) {
    for (std::size_t k = 0; k < d; ++k) {
        for (std::size_t m = 0; m <= k; ++m) {
            double b = c[k * d + m];
            for (std::size_t t = 0; t < m; ++t) b = b - c[k * d + t] * c[m * d + t];
            if (m < k) {
                c[k * d + m] = b / c[m * d + m];
            } else if (b > 0.0) {
                c[k * d + k] = std::sqrt(b);
            } else {
                return std::nullopt;
            }
        }
    }
    double ld = 0.0;
    for (std::size_t k = 0; k < d; ++k) ld = ld + std::log(c[k * d + k]);
    return ld;
}

// ln det of the covariance c estimated under the constraint covariance >= D,
// D = diag(floors), in the Loewner order: in the coordinates where D is the
// identity, W = D^-1/2 c D^-1/2, the constrained estimate keeps W's
// eigenvectors and raises each eigenvalue below 1 to 1, and the likelihood
// keeps the slack lambda - 1 of each raised one (held_log_variance, per
// eigenvalue). Where the constraint does not bind (c - D positive definite)
// this is the plain log-determinant, computed as the unfloored cost computes
// it. c is overwritten.
double held_log_det(std::span<double> c, std::size_t d, std::span<const double> floors) {
    SmallScratch shifted_scratch(d * d);
    const std::span<double> shifted = shifted_scratch.span();
    std::copy(c.begin(), c.end(), shifted.begin());
    for (std::size_t k = 0; k < d; ++k) shifted[k * d + k] = shifted[k * d + k] - floors[k];
    if (cholesky_half_log_det(shifted, d)) {
        if (const std::optional<double> ld = cholesky_half_log_det(c, d)) return 2.0 * *ld;
    }
    SmallScratch whitened_scratch(d * d);
    const std::span<double> w = whitened_scratch.span();
    double log_floors = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        log_floors = log_floors + std::log(floors[j]);
        for (std::size_t k = 0; k < d; ++k) {
            w[j * d + k] = c[j * d + k] / std::sqrt(floors[j] * floors[k]);
        }
    }
    double held = 0.0;
    for (const double lambda : linalg::jacobi_eigh(w, d).values) {
        held = held + held_log_variance(lambda, 1.0);
    }
    return log_floors + held;
}

bool all_finite(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

CostNormal CostNormal::build(std::span<const double> x, std::size_t n, std::size_t d,
                             bool add_small_diag, std::vector<double> floors) {
    // Centred on the fly: no centred copy of the signal beside the tables.
    const std::vector<double> means = prefix::column_means(x, n, d);
    auto [sum, outer] = prefix::centred_sums_and_outer(x, n, d, means);
    return CostNormal(std::move(sum), std::move(outer), d, add_small_diag, std::move(floors));
}

// Searches may be asked for segments below min_size(). A one-sample segment
// would divide its zero scatter by L - 1 = 0, and the 0/0 or rounding-residue
// /0 would make the result depend on noise bits (NaN, +inf or -inf). Its
// covariance is taken as the zero matrix instead, as the one-column form's
// clamp does: the cost is d * ln(1e-6) with the small diagonal, -inf without.
double CostNormal::error_several_columns(std::size_t start, std::size_t end) const {
    const std::size_t d = d_;
    const double len = static_cast<double>(end - start);
    SmallScratch scratch(d * d);
    const std::span<double> c = scratch.span();
    if (end - start > 1) sample_covariance(start, end, c);
    if (add_small_diag_) {
        for (std::size_t k = 0; k < d; ++k) c[k * d + k] = c[k * d + k] + kSmallDiag;
    }
    // A covariance that is not finite gets the unfloored cost: its eigenvalues
    // mean nothing.
    if (floored() && all_finite(c)) return held_log_det(c, d, floors_) * len;
    const std::optional<double> ld = cholesky_half_log_det(c, d);
    if (!ld) return -kInf;
    return (2.0 * *ld) * len;
}

void CostNormal::sample_covariance(std::size_t start, std::size_t end,
                                   std::span<double> c) const {
    const std::size_t d = d_;
    const double len = static_cast<double>(end - start);
    SmallScratch mu_scratch(d);
    const std::span<double> mu = mu_scratch.span();
    for (std::size_t j = 0; j < d; ++j) mu[j] = sum_.segment_sum(start, end, j) / len;
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t t = 0; t < d; ++t) {
            const double scatter = outer_.segment_sum(start, end, j * d + t);
            c[j * d + t] = (scatter - (mu[j] * len) * mu[t]) / (len - 1.0);
        }
    }
}

}  // namespace marbolt::cost
