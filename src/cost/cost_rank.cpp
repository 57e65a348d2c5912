// Ranks are taken once over the whole signal, so segments only read prefix
// sums of them. The covariance of ranks is singular whenever two columns order
// the samples alike (or a column is constant); a pseudo-inverse drops those
// directions instead of dividing by a zero eigenvalue.
#include "cost/cost_rank.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "linalg/eigen.hpp"
#include "linalg/order.hpp"

namespace marbolt::cost {
namespace {

constexpr double kTwoPowMinus52 = 2.220446049250313e-16;

// Gives every member of each run of equal values (under ==) in the sorted
// order the mean of its 1-based positions a+1 .. b. A NaN equals nothing and
// ranks alone; -0.0 and +0.0 are adjacent in the total order and share a rank.
void rank_sorted_column(std::span<const double> x, std::size_t n, std::size_t d, std::size_t j,
                        std::span<const std::size_t> perm, std::vector<double>& rank) {
    for (std::size_t a = 0; a < n;) {
        const double value = x[perm[a] * d + j];
        std::size_t b = a + 1;
        while (b < n && x[perm[b] * d + j] == value) ++b;
        // The integer sum is exact; only the halving happens in floating point.
        const double mean_position = static_cast<double>((a + 1) + b) * 0.5;
        for (std::size_t k = a; k < b; ++k) rank[perm[k] * d + j] = mean_position;
        a = b;
    }
}

// Average ranks minus their centre (1 + n) / 2, n x d row-major.
std::vector<double> centred_ranks(std::span<const double> x, std::size_t n, std::size_t d) {
    std::vector<double> rank(n * d, 0.0);
    // Without columns there is nothing to rank, and no n-entry permutation is
    // needed however many rows the signal has.
    if (d == 0) return rank;
    std::vector<std::size_t> perm(n);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    for (std::size_t j = 0; j < d; ++j) {
        // The permutation carries over from the previous column (it is not
        // reset): values tied under the total order keep that order. Only
        // identical NaNs, which rank alone at consecutive positions, get ranks
        // that depend on it, so it is part of the result.
        std::stable_sort(perm.begin(), perm.end(), [&](std::size_t p, std::size_t q) {
            return linalg::total_cmp(x[p * d + j], x[q * d + j]) < 0;
        });
        rank_sorted_column(x, n, d, j, perm, rank);
    }
    const double centre = (1.0 + static_cast<double>(n)) * 0.5;
    for (double& r : rank) r = r - centre;
    return rank;
}

// Population covariance (divisor n) of the centred ranks. An empty signal has
// a zero covariance: its means and entries are left at 0 rather than 0 / 0.
std::vector<double> rank_covariance(std::span<const double> r, std::size_t n, std::size_t d) {
    std::vector<double> cov(d * d, 0.0);
    if (n == 0 || d == 0) return cov;
    const double count = static_cast<double>(n);
    std::vector<double> mean(d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) mean[j] = mean[j] + r[i * d + j];
    }
    for (double& m : mean) m = m / count;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t l = 0; l < d; ++l) {
            for (std::size_t m = 0; m < d; ++m) {
                cov[l * d + m] = (r[i * d + m] - mean[m]) * (r[i * d + l] - mean[l]) + cov[l * d + m];
            }
        }
    }
    for (double& c : cov) c = c / count;
    return cov;
}

// Sum over the kept eigenpairs of v v^T / lambda. An eigenvalue at or below
// d * eps times the largest magnitude is a null direction and is dropped; if
// all are, the result is zero and so is every segment cost.
std::vector<double> pseudo_inverse(std::span<const double> cov, std::size_t d) {
    const linalg::Eigen eig = linalg::jacobi_eigh(cov, d);
    double wmax = 0.0;
    for (double v : eig.values) {
        if (std::fabs(v) > wmax) wmax = std::fabs(v);  // false for NaN: ignored
    }
    const double floor = (static_cast<double>(d) * kTwoPowMinus52) * wmax;
    std::vector<double> pinv(d * d, 0.0);
    for (std::size_t k = 0; k < d; ++k) {
        if (floor >= std::fabs(eig.values[k])) continue;
        const double inv = 1.0 / eig.values[k];
        for (std::size_t l = 0; l < d; ++l) {
            const double v = eig.vectors[l * d + k];
            if (v == 0.0) continue;
            const double u = v * inv;
            for (std::size_t m = 0; m < d; ++m) {
                pinv[l * d + m] = eig.vectors[m * d + k] * u + pinv[l * d + m];
            }
        }
    }
    return pinv;
}

}  // namespace

CostRank CostRank::build(std::span<const double> x, std::size_t n, std::size_t d) {
    const std::vector<double> r = centred_ranks(x, n, d);
    const std::vector<double> cov = rank_covariance(r, n, d);
    // The prefix sums are of the centred ranks themselves, not of their
    // deviations from the column means.
    prefix::Prefix1 sum = prefix::Prefix1::build(r, n, d);
    return CostRank(std::move(sum), pseudo_inverse(cov, d), d);
}

// The segment means are recomputed where they are used rather than stored:
// the same division gives the same bits, and the call allocates nothing.
double CostRank::error(std::size_t start, std::size_t end) const noexcept {
    const std::size_t d = d_;
    const double len = static_cast<double>(end - start);
    double q = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double mu_j = sum_.segment_sum(start, end, j) / len;
        for (std::size_t k = 0; k < d; ++k) {
            q = q + (mu_j * pinv_[j * d + k]) * (sum_.segment_sum(start, end, k) / len);
        }
    }
    return q * (-len);
}

}  // namespace marbolt::cost
