#include "linalg/lstsq.hpp"

#include <cmath>
#include <limits>

#include "linalg/eigen.hpp"

namespace marbolt::linalg {

namespace {

// Starts from 0, so the result is never negative; NaN never compares greater.
double largest_eigenvalue(const std::vector<double>& values) noexcept {
    double vmax = 0.0;
    for (const double v : values) {
        if (v > vmax) vmax = v;
    }
    return vmax;
}

}  // namespace

std::optional<LstsqFactor> lstsq_factor(std::span<const double> g, std::size_t p, std::size_t m) {
    if (p >= m) return std::nullopt;
    if (p == 0) return LstsqFactor{};
    Eigen e = jacobi_eigh(g, p);
    const double vmax = largest_eigenvalue(e.values);
    if (vmax == 0.0 || std::isinf(vmax)) return std::nullopt;
    // The floor grows with the row count: rounding in a Gram matrix summed
    // over m rows is about m ulps of its largest eigenvalue.
    const double floor = (static_cast<double>(m) * std::numeric_limits<double>::epsilon()) * vmax;
    for (const double v : e.values) {
        if (std::isnan(v) || v <= floor) return std::nullopt;
    }
    return LstsqFactor{std::move(e.values), std::move(e.vectors), p};
}

void LstsqFactor::solve_into(std::span<const double> rhs, std::span<double> out) const noexcept {
    for (std::size_t k = 0; k < p; ++k) out[k] = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
        double proj = 0.0;
        for (std::size_t j = 0; j < p; ++j) proj = proj + rhs[j] * vectors[j * p + i];
        for (std::size_t k = 0; k < p; ++k) {
            out[k] = (proj / values[i]) * vectors[k * p + i] + out[k];
        }
    }
}

}  // namespace marbolt::linalg
