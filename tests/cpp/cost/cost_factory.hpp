// Test-side cases of the cost models for the shared contract suite: each
// builds a model through the core's model table with fixed options, beside a
// plain two-pass reference for its segment cost. A new model of the table
// needs one case here, with its reference function.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "cost/cost.hpp"
#include "cost/registry.hpp"
#include "linalg/eigen.hpp"

namespace marbolt::cost::testing {

using Signal = std::span<const double>;

// Few distinct values (ties), both signed zeros and, with nans, NaNs of two
// signs spread over the columns: the inputs on which orderings and storage
// layouts go wrong.
inline std::vector<double> tied_signal(std::size_t n, std::size_t d, unsigned seed, bool nans) {
    std::mt19937_64 gen(seed);
    std::uniform_int_distribution<int> pick(-3, 3);
    std::vector<double> x(n * d);
    for (double& v : x) {
        const int k = pick(gen);
        v = k != 0 ? 0.5 * k : (gen() % 2 ? -0.0 : 0.0);
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; nans && d > 0 && i < n; i += 3) {
        x[i * d + (i / 3) % d] = i % 2 ? -nan : nan;
    }
    return x;
}

// n x d signal with a level shift halfway and a distinct offset per column,
// so that centring has something to remove.
inline std::vector<double> random_signal(std::size_t n, std::size_t d, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const double level = (i < n / 2 ? 0.0 : 3.0) + 10.0 * static_cast<double>(j + 1);
            x[i * d + j] = level + noise(gen);
        }
    }
    return x;
}

// n x d draws from `first` for the first half of the rows, from `second` after.
template <class Distribution>
std::vector<double> two_regimes(std::size_t n, std::size_t d, unsigned seed, Distribution first,
                                Distribution second) {
    std::mt19937_64 gen(seed);
    std::vector<double> x(n * d);
    for (std::size_t i = 0; i < n * d; ++i) x[i] = (i / d < n / 2 ? first : second)(gen);
    return x;
}

// Counts, zeros included, whose rate rises from 0.5 to 3 halfway.
inline std::vector<double> count_signal(std::size_t n, std::size_t d, unsigned seed) {
    return two_regimes(n, d, seed, std::poisson_distribution<int>(0.5),
                       std::poisson_distribution<int>(3.0));
}

// Waiting times whose mean rises from 1 to 4 halfway.
inline std::vector<double> waiting_signal(std::size_t n, std::size_t d, unsigned seed) {
    return two_regimes(n, d, seed, std::exponential_distribution<double>(1.0),
                       std::exponential_distribution<double>(0.25));
}

inline std::vector<double> identity_metric(std::size_t d) {
    std::vector<double> m(d * d, 0.0);
    for (std::size_t k = 0; k < d; ++k) m[k * d + k] = 1.0;
    return m;
}

// A A^T + d I for a fixed random A: symmetric positive definite.
inline std::vector<double> spd_metric(std::size_t d) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> a(d * d);
    for (double& v : a) v = u(gen);
    std::vector<double> m = identity_metric(d);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            m[i * d + j] *= static_cast<double>(d);
            for (std::size_t k = 0; k < d; ++k) m[i * d + j] += a[i * d + k] * a[j * d + k];
        }
    }
    return m;
}

// Segment rows [start, end) minus their own mean, computed in two passes.
inline std::vector<double> deviations(Signal x, std::size_t d, std::size_t start, std::size_t end) {
    const std::size_t len = end - start;
    std::vector<double> dev(len * d);
    for (std::size_t j = 0; j < d; ++j) {
        double mean = 0.0;
        for (std::size_t i = start; i < end; ++i) mean += x[i * d + j];
        mean /= static_cast<double>(len);
        for (std::size_t i = start; i < end; ++i) dev[(i - start) * d + j] = x[i * d + j] - mean;
    }
    return dev;
}

inline double naive_mahalanobis_with(const std::vector<double>& m, Signal x, std::size_t d,
                                     std::size_t start, std::size_t end) {
    const std::vector<double> dev = deviations(x, d, start, end);
    double total = 0.0;
    for (std::size_t r = 0; r < end - start; ++r) {
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < d; ++k) total += dev[r * d + j] * m[j * d + k] * dev[r * d + k];
        }
    }
    return total;
}

inline double naive_l2(Signal x, std::size_t, std::size_t d, std::size_t start, std::size_t end) {
    return naive_mahalanobis_with(identity_metric(d), x, d, start, end);
}

// ln det by Gaussian elimination with partial pivoting; -inf unless positive.
inline double log_det(std::vector<double> a, std::size_t d) {
    double ld = 0.0;
    bool negative = false;
    for (std::size_t c = 0; c < d; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < d; ++r) {
            if (std::fabs(a[r * d + c]) > std::fabs(a[p * d + c])) p = r;
        }
        if (a[p * d + c] == 0.0) return -std::numeric_limits<double>::infinity();
        if (p != c) {
            for (std::size_t k = 0; k < d; ++k) std::swap(a[p * d + k], a[c * d + k]);
            negative = !negative;
        }
        if (a[c * d + c] < 0.0) negative = !negative;
        ld += std::log(std::fabs(a[c * d + c]));
        for (std::size_t r = c + 1; r < d; ++r) {
            const double f = a[r * d + c] / a[c * d + c];
            for (std::size_t k = c; k < d; ++k) a[r * d + k] -= f * a[c * d + k];
        }
    }
    return negative ? -std::numeric_limits<double>::infinity() : ld;
}

// One column: population variance; several: sample covariance (divisor L - 1).
inline double naive_normal_with(bool small_diag, Signal x, std::size_t d, std::size_t start,
                                std::size_t end) {
    const std::vector<double> dev = deviations(x, d, start, end);
    const double len = static_cast<double>(end - start);
    const double divisor = d == 1 ? len : len - 1.0;
    std::vector<double> cov(d * d, 0.0);
    for (std::size_t r = 0; r < end - start; ++r) {
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < d; ++k) cov[j * d + k] += dev[r * d + j] * dev[r * d + k];
        }
    }
    for (double& v : cov) v /= divisor;
    if (small_diag) {
        for (std::size_t k = 0; k < d; ++k) cov[k * d + k] += 1e-6;
    }
    return len * log_det(cov, d);
}

// Per column: sort a copy of the raw segment, take the middle (or the mean of
// the two middle values), add up the absolute deviations.
inline double naive_l1(Signal x, std::size_t, std::size_t d, std::size_t start, std::size_t end) {
    const std::size_t len = end - start;
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        std::vector<double> col;
        for (std::size_t i = start; i < end; ++i) col.push_back(x[i * d + j]);
        std::sort(col.begin(), col.end());
        const double med = len % 2 == 1 ? col[len / 2] : (col[len / 2 - 1] + col[len / 2]) / 2.0;
        for (double v : col) total += std::fabs(v - med);
    }
    return total;
}

// Solves a x = b (k x k) by Gaussian elimination with partial pivoting; false
// when a pivot is negligible next to the largest diagonal entry (singular).
inline bool solve_dense(std::vector<double> a, std::vector<double>& b, std::size_t k) {
    double scale = 0.0;
    for (std::size_t c = 0; c < k; ++c) scale = std::max(scale, std::fabs(a[c * k + c]));
    for (std::size_t c = 0; c < k; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < k; ++r) {
            if (std::fabs(a[r * k + c]) > std::fabs(a[p * k + c])) p = r;
        }
        if (std::fabs(a[p * k + c]) <= 1e-10 * scale) return false;
        for (std::size_t m = 0; m < k; ++m) std::swap(a[p * k + m], a[c * k + m]);
        std::swap(b[p], b[c]);
        for (std::size_t r = c + 1; r < k; ++r) {
            const double f = a[r * k + c] / a[c * k + c];
            for (std::size_t m = c; m < k; ++m) a[r * k + m] -= f * a[c * k + m];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = k; c-- > 0;) {
        for (std::size_t m = c + 1; m < k; ++m) b[c] -= a[c * k + m] * b[m];
        b[c] /= a[c * k + c];
    }
    return true;
}

// Residual sum of squares of the least-squares fit of each target column on
// the segment's regressor rows, from the normal equations; 0 when the segment
// has no more rows than regressors or its Gram matrix is singular.
inline double naive_rss(Signal x, Signal y, std::size_t p, std::size_t q, std::size_t start,
                        std::size_t end) {
    if (end - start <= p) return 0.0;
    std::vector<double> g(p * p, 0.0);
    for (std::size_t i = start; i < end; ++i) {
        for (std::size_t a = 0; a < p; ++a) {
            for (std::size_t b = 0; b < p; ++b) g[a * p + b] += x[i * p + a] * x[i * p + b];
        }
    }
    double total = 0.0;
    for (std::size_t t = 0; t < q; ++t) {
        std::vector<double> beta(p, 0.0);
        for (std::size_t i = start; i < end; ++i) {
            for (std::size_t a = 0; a < p; ++a) beta[a] += x[i * p + a] * y[i * q + t];
        }
        if (!solve_dense(g, beta, p)) return 0.0;
        for (std::size_t i = start; i < end; ++i) {
            double r = y[i * q + t];
            for (std::size_t a = 0; a < p; ++a) r -= x[i * p + a] * beta[a];
            total += r * r;
        }
    }
    return total;
}

// Average rank by counting: the samples below, plus the mean position within
// the run of equal ones; then minus the centre (n + 1) / 2.
inline std::vector<double> naive_centred_ranks(Signal x, std::size_t n, std::size_t d) {
    std::vector<double> r(n * d);
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            double below = 0.0;
            double equal = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                below += x[k * d + j] < x[i * d + j] ? 1.0 : 0.0;
                equal += x[k * d + j] == x[i * d + j] ? 1.0 : 0.0;
            }
            r[i * d + j] = below + (equal + 1.0) / 2.0 - (static_cast<double>(n) + 1.0) / 2.0;
        }
    }
    return r;
}

// Inverse by Gauss-Jordan with partial pivoting; the test data keep the
// matrix well away from singular.
inline std::vector<double> invert(std::vector<double> a, std::size_t d) {
    std::vector<double> inv = identity_metric(d);
    for (std::size_t c = 0; c < d; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < d; ++r) {
            if (std::fabs(a[r * d + c]) > std::fabs(a[p * d + c])) p = r;
        }
        for (std::size_t k = 0; k < d; ++k) {
            std::swap(a[p * d + k], a[c * d + k]);
            std::swap(inv[p * d + k], inv[c * d + k]);
        }
        const double pivot = a[c * d + c];
        for (std::size_t k = 0; k < d; ++k) {
            a[c * d + k] /= pivot;
            inv[c * d + k] /= pivot;
        }
        for (std::size_t r = 0; r < d; ++r) {
            if (r == c) continue;
            const double f = a[r * d + c];
            for (std::size_t k = 0; k < d; ++k) {
                a[r * d + k] -= f * a[c * d + k];
                inv[r * d + k] -= f * inv[c * d + k];
            }
        }
    }
    return inv;
}

// -L mu^T C^-1 mu, with mu the segment mean of the centred ranks and C their
// whole-signal population covariance.
inline double naive_rank(Signal x, std::size_t n, std::size_t d, std::size_t start,
                         std::size_t end) {
    const std::vector<double> r = naive_centred_ranks(x, n, d);
    const std::vector<double> dev = deviations(r, d, 0, n);
    std::vector<double> cov(d * d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < d; ++k) {
                cov[j * d + k] += dev[i * d + j] * dev[i * d + k] / static_cast<double>(n);
            }
        }
    }
    const std::vector<double> inv = invert(cov, d);
    const double len = static_cast<double>(end - start);
    std::vector<double> mu(d, 0.0);
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t i = start; i < end; ++i) mu[j] += r[i * d + j] / len;
    }
    double q = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t k = 0; k < d; ++k) q += mu[j] * inv[j * d + k] * mu[k];
    }
    return -len * q;
}

// Sum of k(x_i, x_i) minus the double sum of k(x_i, x_j) over L, straight
// from the definition; `kernel` gets the two rows and whether i == j.
template <class Kernel>
double naive_kernel_cost(Signal x, std::size_t d, std::size_t start, std::size_t end,
                         Kernel kernel) {
    double diag = 0.0, block = 0.0;
    for (std::size_t i = start; i < end; ++i) {
        diag += kernel(&x[i * d], &x[i * d], true);
        for (std::size_t j = start; j < end; ++j) block += kernel(&x[i * d], &x[j * d], i == j);
    }
    return diag - block / static_cast<double>(end - start);
}

inline constexpr double kTestGamma = 0.1;

// "python" variant: diagonal 1.0, scaled distances clipped to [0.01, 100].
inline double naive_rbf(Signal x, std::size_t, std::size_t d, std::size_t s, std::size_t e) {
    return naive_kernel_cost(x, d, s, e, [d](const double* a, const double* b, bool same) {
        if (same) return 1.0;
        double sq = 0.0;
        for (std::size_t c = 0; c < d; ++c) sq += (a[c] - b[c]) * (a[c] - b[c]);
        return std::exp(-std::clamp(kTestGamma * sq, 0.01, 100.0));
    });
}

// "python" variant: the diagonal contributes nothing.
inline double naive_cosine(Signal x, std::size_t, std::size_t d, std::size_t s, std::size_t e) {
    return naive_kernel_cost(x, d, s, e, [d](const double* a, const double* b, bool same) {
        if (same) return 0.0;
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            ab += a[c] * b[c];
            aa += a[c] * a[c];
            bb += b[c] * b[c];
        }
        return ab / std::sqrt(aa * bb);
    });
}

// The linear kernel on the raw signal: no centring, no clamp.
inline double naive_linear_kernel(Signal x, std::size_t, std::size_t d, std::size_t s,
                                  std::size_t e) {
    return naive_kernel_cost(x, d, s, e, [d](const double* a, const double* b, bool) {
        double ab = 0.0;
        for (std::size_t c = 0; c < d; ++c) ab += a[c] * b[c];
        return ab;
    });
}

inline double naive_linear(Signal x, std::size_t n, std::size_t d, std::size_t start,
                           std::size_t end) {
    const std::size_t p = d - 1;
    std::vector<double> regressors(n * p);
    std::vector<double> target(n);
    for (std::size_t i = 0; i < n; ++i) {
        target[i] = x[i * d];
        for (std::size_t j = 0; j < p; ++j) regressors[i * p + j] = x[i * d + j + 1];
    }
    return naive_rss(regressors, target, p, 1, start, end);
}

// A line in the sample position per column: regressors 1 and i.
inline double naive_trend(Signal x, std::size_t n, std::size_t d, std::size_t start,
                          std::size_t end) {
    std::vector<double> regressors(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        regressors[2 * i] = 1.0;
        regressors[2 * i + 1] = static_cast<double>(i);
    }
    return naive_rss(regressors, x, 2, d, start, end);
}

constexpr std::size_t kArOrder = 2;

// Lags of the centred signal, read from its flattened form; the rows before
// the order repeat the first row with a full history.
inline double naive_ar(Signal x, std::size_t n, std::size_t d, std::size_t start,
                       std::size_t end) {
    const std::vector<double> c = deviations(x, d, 0, n);
    const std::size_t p = kArOrder + 1;
    std::vector<double> lags(n * p);
    std::vector<double> target(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t row = std::max(i, kArOrder);
        for (std::size_t j = 0; j < kArOrder; ++j) lags[i * p + j] = c[(row - kArOrder) + j];
        lags[i * p + kArOrder] = 1.0;
        for (std::size_t t = 0; t < d; ++t) target[i * d + t] = c[row * d + t];
    }
    return naive_rss(lags, target, p, d, start, end);
}

// Squared distance of rows u .. end-1 from the line through row u - 1 and row
// end - 1, u = max(start, 1), taken on the raw signal.
inline double naive_clinear(Signal x, std::size_t, std::size_t d, std::size_t start,
                            std::size_t end) {
    const std::size_t u = std::max<std::size_t>(start, 1);
    const double steps = static_cast<double>(end - u);
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double y0 = x[(u - 1) * d + j];
        const double y1 = x[(end - 1) * d + j];
        for (std::size_t t = u; t < end; ++t) {
            const double line = y0 + (y1 - y0) * static_cast<double>(t - u + 1) / steps;
            total += (x[t * d + j] - line) * (x[t * d + j] - line);
        }
    }
    return total;
}

// The likelihood models below are checked against -2 x their log-likelihood,
// maximised in closed form and summed sample by sample, less the terms the
// costs drop because they add up to the same total over every segmentation.

// Summed over the columns and their samples at each column's segment mean
// (the rate, or the mean waiting time): -2 x the log-likelihood less the
// dropped term, both of which `sample` gives for one sample at the estimate.
template <class Sample>
double naive_at_segment_mean(Signal x, std::size_t d, std::size_t start, std::size_t end,
                             Sample sample) {
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        double sum = 0.0;
        for (std::size_t i = start; i < end; ++i) sum += x[i * d + j];
        const double estimate = sum / static_cast<double>(end - start);
        for (std::size_t i = start; i < end; ++i) {
            const auto [loglik, dropped] = sample(x[i * d + j], estimate);
            total += -2.0 * loglik - dropped;
        }
    }
    return total;
}

// Poisson: drops 2 S and 2 sum log(y!).
inline double naive_poisson(Signal x, std::size_t, std::size_t d, std::size_t start,
                            std::size_t end) {
    return naive_at_segment_mean(x, d, start, end, [](double y, double rate) {
        const double log_factorial = std::lgamma(y + 1.0);
        return std::pair{(y > 0.0 ? y * std::log(rate) : 0.0) - rate - log_factorial,
                         2.0 * y + 2.0 * log_factorial};
    });
}

// Exponential: drops 2 L.
inline double naive_exponential(Signal x, std::size_t, std::size_t d, std::size_t start,
                                std::size_t end) {
    return naive_at_segment_mean(x, d, start, end, [](double y, double mean) {
        return std::pair{-std::log(mean) - y / mean, 2.0};
    });
}

// Gaussian with a fixed mean per column (the signal's) and the variance that
// maximises the likelihood subject to variance >= floor; drops L log 2 pi + L.
inline double naive_variance_with(double floor, Signal x, std::size_t n, std::size_t d,
                                  std::size_t start, std::size_t end) {
    const double len = static_cast<double>(end - start);
    const double pi = std::acos(-1.0);
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        double mean = 0.0;
        for (std::size_t i = 0; i < n; ++i) mean += x[i * d + j] / static_cast<double>(n);
        double scatter = 0.0;
        for (std::size_t i = start; i < end; ++i) scatter += (x[i * d + j] - mean) * (x[i * d + j] - mean);
        const double variance = std::max(scatter / len, floor);
        double loglik = 0.0;
        for (std::size_t i = start; i < end; ++i) {
            const double dev = x[i * d + j] - mean;
            loglik += -0.5 * std::log(2.0 * pi * variance) - dev * dev / (2.0 * variance);
        }
        total += -2.0 * loglik - len * std::log(2.0 * pi) - len;
    }
    return total;
}

// Gaussian with the covariance (as naive_normal_with forms it, small diagonal
// included) that maximises the likelihood subject to covariance >= f I, f the
// floor of kCoarseResolution: with S the estimate and Sigma the
// constrained one, L (ln det Sigma + tr(Sigma^-1 S) - d). Sigma keeps the
// eigenvectors of S and raises its eigenvalues to at least f.
inline double naive_normal_floored(Signal x, std::size_t, std::size_t d, std::size_t start,
                                   std::size_t end);

// Fixed option values for the model table; a key not listed reads as absent.
class FixedOptions final : public Options {
public:
    // A vector is a metric for matrix() and per-column values for reals().
    using Value = std::variant<bool, double, std::uint64_t, std::vector<double>>;

    FixedOptions(std::initializer_list<std::pair<const std::string_view, Value>> values,
                 std::uint64_t d)
        : values_(values), d_(d) {}

    Result<std::optional<bool>> flag(std::string_view key) override { return read<bool>(key); }
    Result<std::optional<double>> real(std::string_view key) override { return read<double>(key); }
    Result<std::optional<std::uint64_t>> count(std::string_view key) override {
        return read<std::uint64_t>(key);
    }
    // Given matrices are d x d, the shape of a metric.
    Result<std::optional<OptionMatrix>> matrix(std::string_view key) override {
        const Result<std::optional<std::vector<double>>> data = read<std::vector<double>>(key);
        if (!*data) return std::optional<OptionMatrix>{};
        return std::optional<OptionMatrix>{OptionMatrix{**data, d_, d_}};
    }
    Result<std::optional<std::vector<double>>> reals(std::string_view key) override {
        return read<std::vector<double>>(key);
    }

private:
    template <class T>
    Result<std::optional<T>> read(std::string_view key) const {
        const auto it = values_.find(key);
        if (it == values_.end()) return std::optional<T>{};
        return std::optional<T>{std::get<T>(it->second)};
    }

    std::map<std::string_view, Value> values_;
    std::uint64_t d_;
};

// A model built through the model table, as an engine builds it: the
// published models as the interface serves them, unless the full catalogue
// is asked for. A refusal is a fault of the test.
inline std::unique_ptr<const Cost> from_table(std::string_view model, Signal x, std::size_t n,
                                              std::size_t d, const FixedOptions& options,
                                              bool extension = false,
                                              Catalogue catalogue = Catalogue::interface) {
    FixedOptions copy = options;
    Result<BuiltModel> built = build_model(model, {x, n, d}, copy, extension, catalogue);
    if (!built) throw std::invalid_argument(built.error().message);
    return std::move(built->model);
}

inline constexpr double kCoarseResolution = 4.0;
inline const double kCoarseFloor = kCoarseResolution * kCoarseResolution / (2.0 * std::acos(-1.0));

inline double naive_normal_floored(Signal x, std::size_t, std::size_t d, std::size_t start,
                                   std::size_t end) {
    const double len = static_cast<double>(end - start);
    const double floor = kCoarseFloor;
    const std::vector<double> dev = deviations(x, d, start, end);
    std::vector<double> cov(d * d, 0.0);
    for (std::size_t r = 0; r < end - start; ++r) {
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < d; ++k) cov[j * d + k] += dev[r * d + j] * dev[r * d + k];
        }
    }
    for (double& v : cov) v /= d == 1 ? len : len - 1.0;
    for (std::size_t k = 0; k < d; ++k) cov[k * d + k] += 1e-6;
    double log_det = 0.0, trace = 0.0;
    for (const double value : linalg::jacobi_eigh(cov, d).values) {
        const double held = std::max(value, floor);
        log_det += std::log(held);
        trace += value / held;
    }
    return len * (log_det + trace - static_cast<double>(d));
}

struct ModelCase {
    std::string_view label;
    std::string_view model;  // the table's name for it
    std::unique_ptr<const Cost> (*make)(Signal x, std::size_t n, std::size_t d);
    double (*naive)(Signal x, std::size_t n, std::size_t d, std::size_t start, std::size_t end);
    // A signal the model accepts.
    std::vector<double> (*signal)(std::size_t n, std::size_t d, unsigned seed) = random_signal;
};

// kCoarseResolution: a resolution whose floor (16 / (2 pi)) lies above the
// unit noise of random_signal, so that the variance floors bind on many
// segments.

// Every model of the table has at least one case here (a test checks it).
inline const ModelCase kModels[] = {
    {"l1", "l1", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("l1", x, n, d, {{}, d});
     }, naive_l1},
    {"l2", "l2", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("l2", x, n, d, {{}, d});
     }, naive_l2},
    {"normal", "normal", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("normal", x, n, d, {{}, d});
     }, [](Signal x, std::size_t, std::size_t d, std::size_t s, std::size_t e) {
         return naive_normal_with(true, x, d, s, e);
     }},
    {"normal_nodiag", "normal", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("normal", x, n, d, {{{"add_small_diag", false}}, d});
     }, [](Signal x, std::size_t, std::size_t d, std::size_t s, std::size_t e) {
         return naive_normal_with(false, x, d, s, e);
     }},
    {"normal_floored", "normal", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("normal", x, n, d,
                           {{{"resolution", std::vector<double>{kCoarseResolution}}}, d}, false,
                           Catalogue::full);
     }, naive_normal_floored},
    {"mahalanobis", "mahalanobis", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("mahalanobis", x, n, d, {{{"metric", spd_metric(d)}}, d});
     }, [](Signal x, std::size_t, std::size_t d, std::size_t s, std::size_t e) {
         return naive_mahalanobis_with(spd_metric(d), x, d, s, e);
     }},
    {"mahalanobis_identity", "mahalanobis", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("mahalanobis", x, n, d, {{{"metric", identity_metric(d)}}, d});
     }, naive_l2},
    {"rank", "rank", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("rank", x, n, d, {{}, d});
     }, naive_rank},
    {"rbf", "rbf", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("rbf", x, n, d, {{{"gamma", kTestGamma}}, d});
     }, naive_rbf},
    {"cosine", "cosine", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("cosine", x, n, d, {{}, d});
     }, naive_cosine},
    {"l2_extension", "l2", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("l2", x, n, d, {{}, d}, true);
     }, naive_linear_kernel},
    {"clinear", "clinear", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("clinear", x, n, d, {{}, d});
     }, naive_clinear},
    {"linear", "linear", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("linear", x, n, d, {{}, d});
     }, naive_linear},
    {"ar", "ar", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("ar", x, n, d, {{{"order", std::uint64_t{kArOrder}}}, d});
     }, naive_ar},
    {"poisson", "poisson", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("poisson", x, n, d, {{}, d}, false, Catalogue::full);
     }, naive_poisson, count_signal},
    {"exponential", "exponential", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("exponential", x, n, d, {{}, d}, false, Catalogue::full);
     }, naive_exponential, waiting_signal},
    {"variance", "variance", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("variance", x, n, d, {{{"resolution", std::vector<double>{0.0}}}, d},
                           false, Catalogue::full);
     }, [](Signal x, std::size_t n, std::size_t d, std::size_t s, std::size_t e) {
         return naive_variance_with(0.0, x, n, d, s, e);
     }},
    {"variance_floored", "variance", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("variance", x, n, d,
                           {{{"resolution", std::vector<double>{kCoarseResolution}}}, d}, false,
                           Catalogue::full);
     }, [](Signal x, std::size_t n, std::size_t d, std::size_t s, std::size_t e) {
         return naive_variance_with(kCoarseFloor, x, n, d, s, e);
     }},
    {"trend", "trend", [](Signal x, std::size_t n, std::size_t d) {
         return from_table("trend", x, n, d, {{}, d}, false, Catalogue::full);
     }, naive_trend},
};

inline const ModelCase& model_case(std::string_view label) {
    for (const ModelCase& c : kModels) {
        if (c.label == label) return c;
    }
    throw std::invalid_argument("no test model named " + std::string(label));
}

inline std::unique_ptr<const Cost> make_cost(std::string_view label, Signal x, std::size_t n,
                                             std::size_t d) {
    return model_case(label).make(x, n, d);
}

}  // namespace marbolt::cost::testing
