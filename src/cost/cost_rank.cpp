// Ranks are taken once over the whole signal, so segments only read prefix
// sums of them. The covariance of ranks is singular whenever two columns order
// the samples alike (or a column is constant); a pseudo-inverse drops those
// directions instead of dividing by a zero eigenvalue.
#include "cost/cost_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "linalg/eigen.hpp"
#include "linalg/order.hpp"
#include "prefix/accumulator.hpp"

namespace marbolt::cost {
namespace {

// The table the ranks are written into: (n + 1) rows of d, row 0 zero and
// row i + 1 holding sample i, the shape of the Prefix1 that it becomes.
using Table = std::vector<double>;

// Sorting column j stably, from the order the previous column left (the
// identity before the first), orders the rows by (x_j, x_{j-1}, .., x_0, row)
// under the total order. That order is strict, so an in-place sort by it
// gives the same permutation without a stable sort's n / 2 entry buffer.
template <class Index>
bool ranks_before(std::span<const double> x, std::size_t d, std::size_t j, Index p, Index q) {
    for (std::size_t k = j + 1; k-- > 0;) {
        const auto order = linalg::total_cmp(x[p * d + k], x[q * d + k]);
        if (order != 0) return order < 0;
    }
    return p < q;
}

// Gives every member of each run of equal values (under ==) in the sorted
// order the mean of its 1-based positions a+1 .. b, minus the centre. A NaN
// equals nothing and ranks alone; -0.0 and +0.0 are adjacent in the total
// order and share a rank.
template <class Index>
void rank_sorted_column(std::span<const double> x, std::size_t n, std::size_t d, std::size_t j,
                        std::span<const Index> perm, double centre, Table& table) {
    for (std::size_t a = 0; a < n;) {
        const double value = x[perm[a] * d + j];
        std::size_t b = a + 1;
        while (b < n && x[perm[b] * d + j] == value) ++b;
        // The integer sum is exact; only the halving happens in floating point.
        const double centred = static_cast<double>((a + 1) + b) * 0.5 - centre;
        for (std::size_t k = a; k < b; ++k) table[(std::size_t{perm[k]} + 1) * d + j] = centred;
        a = b;
    }
}

// Average ranks minus their centre (1 + n) / 2, into rows 1 .. n of the table.
// Index is 32 bits wide whenever n allows: the permutation is the largest
// buffer beside the table.
template <class Index>
void centred_ranks(std::span<const double> x, std::size_t n, std::size_t d, Table& table) {
    std::vector<Index> perm(n);
    std::iota(perm.begin(), perm.end(), Index{0});
    const double centre = (1.0 + static_cast<double>(n)) * 0.5;
    for (std::size_t j = 0; j < d; ++j) {
        // Only identical NaNs, which rank alone at consecutive positions, get
        // ranks that depend on the order among equal values, so that order
        // (the earlier columns, then the row) is part of the result.
        std::sort(perm.begin(), perm.end(),
                  [&](Index p, Index q) { return ranks_before(x, d, j, p, q); });
        rank_sorted_column<Index>(x, n, d, j, perm, centre, table);
    }
}

// Turns rows 1 .. n into their running column sums in place, as Prefix1::build
// would from a separate copy: each entry is added before it is overwritten by
// the read-out that includes it.
void prefix_in_place(Table& table, std::size_t n, std::size_t d) {
    std::vector<prefix::CompensatedSum> acc(d);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            double& entry = table[(i + 1) * d + j];
            acc[j].add(entry);
            entry = acc[j].value();
        }
    }
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

}  // namespace

// An eigenvalue at or below d * eps times the largest magnitude is a null
// direction and is dropped; if all are, the result is zero and so is every
// segment cost.
std::vector<double> rank_pseudo_inverse(std::span<const double> cov, std::size_t d) {
    const linalg::Eigen eig = linalg::jacobi_eigh(cov, d);
    double wmax = 0.0;
    for (double v : eig.values) {
        if (std::fabs(v) > wmax) wmax = std::fabs(v);  // false for NaN: ignored
    }
    const double floor = (static_cast<double>(d) * std::numeric_limits<double>::epsilon()) * wmax;
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

// The ranks go straight into the storage the prefix table keeps, and become
// its sums in place once the covariance has read them: the build's peak is the
// table plus the permutation, not also an n x d array of ranks.
CostRank CostRank::build(std::span<const double> x, std::size_t n, std::size_t d) {
    Table table((n + 1) * d, 0.0);
    // Without columns there is nothing to rank, and no n-entry permutation is
    // needed however many rows the signal has.
    if (d == 0) return CostRank(prefix::Prefix1{std::move(table), d}, {}, d);
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
        centred_ranks<std::uint32_t>(x, n, d, table);
    } else {
        centred_ranks<std::size_t>(x, n, d, table);
    }
    const std::vector<double> cov = rank_covariance(std::span(table).subspan(d), n, d);
    // The prefix sums are of the centred ranks themselves, not of their
    // deviations from the column means.
    prefix_in_place(table, n, d);
    return CostRank(prefix::Prefix1{std::move(table), d}, rank_pseudo_inverse(cov, d), d);
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
