// A guarded inverse of a least-squares Gram matrix through its eigen-
// decomposition. The regression costs fit one small system per segment;
// refusing a rank-deficient or ill-conditioned one (rather than solving it
// to noise) lets the caller give that segment a defined cost instead.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace marbolt::linalg {

struct LstsqFactor {
    std::vector<double> values;   // p eigenvalues of the Gram matrix
    std::vector<double> vectors;  // p x p, eigenvectors as columns
    std::size_t p = 0;

    // out[0 .. p-1] = g^-1 rhs, as the sum over eigenpairs of
    // (v_i . rhs / lambda_i) v_i. rhs has p entries, out at least p.
    void solve_into(std::span<const double> rhs, std::span<double> out) const noexcept;
};

// g is the p x p Gram matrix of m regressor rows. Nothing when there are no
// more rows than unknowns, when the largest eigenvalue is 0 or infinite, or
// when any eigenvalue is NaN or at most m * 2^-52 times the largest.
std::optional<LstsqFactor> lstsq_factor(std::span<const double> g, std::size_t p, std::size_t m);

}  // namespace marbolt::linalg
