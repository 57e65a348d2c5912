// Symmetric eigen-decomposition by cyclic Jacobi rotations. The matrices met
// here are small (a segment's d x d rank covariance or p x p Gram matrix), so
// the plain O(k^3)-per-sweep method is fast enough and its operation order is
// fixed, which keeps every result reproducible to the last bit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace marbolt::linalg {

struct Eigen {
    // In the order of the diagonal positions they ended on; never sorted.
    std::vector<double> values;
    // k x k row-major; column i is the unit eigenvector of values[i].
    std::vector<double> vectors;
};

// a is a symmetric k x k row-major matrix with at least k * k entries; it is
// only read. At most 100 sweeps; a matrix that has not converged by then is
// returned as it stands, without an error.
Eigen jacobi_eigh(std::span<const double> a, std::size_t k);

}  // namespace marbolt::linalg
