#include "linalg/eigen.hpp"

#include <cmath>
#include <limits>

namespace marbolt::linalg {

namespace {

constexpr int kMaxSweeps = 100;
constexpr double kTwoPowMinus104 = 4.930380657631324e-32;

struct Rotation {
    double c;
    double s;
};

// Rotates the k pairs (x, y) = (m[first_x + i * step], m[first_y + i * step]):
// step k walks two columns, step 1 two rows.
void rotate_pairs(std::vector<double>& m, std::size_t first_x, std::size_t first_y,
                  std::size_t step, std::size_t k, Rotation r) noexcept {
    for (std::size_t i = 0; i < k; ++i) {
        const double x = m[first_x + i * step];
        const double y = m[first_y + i * step];
        m[first_x + i * step] = r.c * x - r.s * y;
        m[first_y + i * step] = r.s * x + r.c * y;
    }
}

// The rotation that zeroes A[p][q]. The sign follows the sign bit of theta,
// so -0.0 picks -1; the smaller root keeps the rotation angle at most pi/4.
Rotation zeroing_rotation(const std::vector<double>& a, std::size_t k, std::size_t p,
                          std::size_t q) noexcept {
    const double apq = a[p * k + q];
    const double theta = (a[q * k + q] - a[p * k + p]) / (2.0 * apq);
    const double sign = std::signbit(theta) ? -1.0 : 1.0;
    const double t = sign / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    return Rotation{c, t * c};
}

double upper_off_diagonal_squares(const std::vector<double>& a, std::size_t k) noexcept {
    double off = 0.0;
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t c = r + 1; c < k; ++c) off = off + a[r * k + c] * a[r * k + c];
    }
    return off;
}

void sweep(std::vector<double>& a, std::vector<double>& v, std::size_t k, double thr) noexcept {
    for (std::size_t p = 0; p < k; ++p) {
        for (std::size_t q = p + 1; q < k; ++q) {
            const double apq = a[p * k + q];
            // A negligible entry (relative to the whole matrix) is left alone,
            // so converged entries are not churned by rounding.
            if (std::isnan(apq) || std::fabs(apq) <= thr) continue;
            const Rotation r = zeroing_rotation(a, k, p, q);
            rotate_pairs(a, p, q, k, k, r);          // columns p and q of A
            rotate_pairs(a, p * k, q * k, 1, k, r);  // then its rows p and q
            rotate_pairs(v, p, q, k, k, r);          // columns of V as those of A
        }
    }
}

}  // namespace

Eigen jacobi_eigh(std::span<const double> a_in, std::size_t k) {
    std::vector<double> a(a_in.begin(), a_in.begin() + static_cast<std::ptrdiff_t>(k * k));
    std::vector<double> v(k * k, 0.0);
    for (std::size_t i = 0; i < k; ++i) v[i * k + i] = 1.0;

    double fro2 = 0.0;
    for (const double x : a) fro2 = fro2 + x * x;
    // Both fixed from the input: the tolerances do not shrink as the matrix
    // diagonalises, which bounds the work on an already-converged matrix.
    const double tol = fro2 * kTwoPowMinus104;
    const double thr = std::sqrt(fro2) * std::numeric_limits<double>::epsilon();

    for (int s = 0; s < kMaxSweeps; ++s) {
        const double off = upper_off_diagonal_squares(a, k);
        if (std::isnan(off) || tol >= off) break;
        sweep(a, v, k, thr);
    }

    Eigen result{std::vector<double>(k), std::move(v)};
    for (std::size_t i = 0; i < k; ++i) result.values[i] = a[i * k + i];
    return result;
}

}  // namespace marbolt::linalg
