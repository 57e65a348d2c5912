// One global least-squares fit first, so that the prefix sums hold small
// residuals instead of raw targets; then regressors and residuals are centred
// and accumulated. A segment's residual is unchanged when a multiple of its
// regressors (here X B) is subtracted from its targets, and the means are
// added back exactly in error(), so both steps only improve conditioning.
#include "cost/cost_regression.hpp"

#include <cmath>
#include <optional>
#include <tuple>

#include "cost/scratch.hpp"
#include "linalg/lstsq.hpp"
#include "prefix/accumulator.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// Frees a temporary as soon as it is no longer needed: the builder holds
// several n x p arrays and the peak is what the memory budget is about.
void release(std::vector<double>& v) { std::vector<double>().swap(v); }

// Sum of x_i x_i^T over all rows, one compensated accumulator per entry.
std::vector<double> global_gram(std::span<const double> x, std::size_t n, std::size_t p) {
    std::vector<prefix::CompensatedSum> acc(p * p);
    for (std::size_t i = 0; i < n && p > 0; ++i) {
        for (std::size_t m = 0; m < p; ++m) {
            for (std::size_t k = 0; k < p; ++k) acc[m * p + k].add(x[i * p + m] * x[i * p + k]);
        }
    }
    std::vector<double> g(p * p);
    for (std::size_t m = 0; m < p * p; ++m) g[m] = acc[m].value();
    return g;
}

// Row t of the result is the global fit of target column t; it stays zero when
// the Gram matrix is refused or the solution is not finite.
std::vector<double> global_coefficients(std::span<const double> x, std::span<const double> y,
                                        std::size_t n, std::size_t p, std::size_t q) {
    std::vector<double> b(q * p, 0.0);
    const std::optional<linalg::LstsqFactor> f = linalg::lstsq_factor(global_gram(x, n, p), p, n);
    if (!f || p == 0) return b;
    std::vector<double> c(p);
    std::vector<double> sol(p);
    for (std::size_t t = 0; t < q; ++t) {
        std::vector<prefix::CompensatedSum> acc(p);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < p; ++k) acc[k].add(x[i * p + k] * y[i * q + t]);
        }
        for (std::size_t k = 0; k < p; ++k) c[k] = acc[k].value();
        f->solve_into(c, sol);
        bool finite = true;
        for (const double v : sol) finite = finite && std::isfinite(v);
        if (finite) {
            for (std::size_t k = 0; k < p; ++k) b[t * p + k] = sol[k];
        }
    }
    return b;
}

// y becomes the residual y - x b, a plain sum per entry (p = 0 leaves y as is).
void subtract_fit(std::span<const double> x, std::span<double> y, std::size_t n, std::size_t p,
                  std::size_t q, std::span<const double> b) noexcept {
    if (q == 0) return;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t t = 0; t < q; ++t) {
            double fit = 0.0;
            for (std::size_t k = 0; k < p; ++k) fit = fit + x[i * p + k] * b[t * p + k];
            y[i * q + t] = y[i * q + t] - fit;
        }
    }
}

// One Prefix1 per target column over the products of the centred regressors
// and the centred residual of that column, formed as centred copies would
// hold them; no product array is kept.
std::vector<prefix::Prefix1> cross_tables(std::span<const double> x, std::span<const double> r,
                                          std::size_t n, std::size_t p, std::size_t q,
                                          std::span<const double> mean_x,
                                          std::span<const double> mean_r) {
    std::vector<prefix::Prefix1> cross;
    cross.reserve(q);
    for (std::size_t t = 0; t < q; ++t) {
        cross.push_back(prefix::Prefix1::build_from(n, p, [&](std::size_t i, std::size_t k) {
            return (x[i * p + k] - mean_x[k]) * (r[i * q + t] - mean_r[t]);
        }));
    }
    return cross;
}

}  // namespace

CostRegression::CostRegression(Design m, std::size_t n) : t_(tables(m, n)), p_(m.p), q_(m.q) {}

CostRegression::Tables CostRegression::tables(Design& m, std::size_t n) {
    const std::size_t p = m.p, q = m.q;
    std::vector<double>& x = m.x;
    std::vector<double>& y = m.y;
    const std::vector<double> b = global_coefficients(x, y, n, p, q);
    subtract_fit(x, y, n, p, q, b);
    Tables t;
    t.mean_x = prefix::column_means(x, n, p);
    t.mean_r = prefix::column_means(y, n, q);
    // Every table is built from the centred values as they come, so no
    // centred copy of the regressors or the residuals is made.
    t.cross = cross_tables(x, y, n, p, q, t.mean_x, t.mean_r);
    std::tie(t.sum_x, t.outer) = prefix::centred_sums_and_outer(x, n, p, t.mean_x);
    release(x);
    std::tie(t.sum_r, t.sum_rr) = prefix::Prefix1::build_centred_with_squares(y, n, q, t.mean_r);
    release(y);
    return t;
}

// The uncentred Gram matrix of the segment's raw regressor rows, from the
// centred outer products: sum (xc + mx)(xc + mx)^T expanded, into g (p x p).
void CostRegression::segment_gram(std::size_t start, std::size_t end, double len,
                                  std::span<const double> sx, std::span<double> g) const {
    const std::size_t p = p_;
    const std::vector<double>& mx = t_.mean_x;
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t h = 0; h < p; ++h) {
            const double centred = t_.outer.segment_sum(start, end, i * p + h);
            g[i * p + h] = ((mx[i] * len) * mx[h] + (sx[h] * mx[i] + sx[i] * mx[h])) + centred;
        }
    }
}

double CostRegression::error(std::size_t start, std::size_t end) const {
    const std::size_t n_rows = end - start;
    if (n_rows <= p_) return 0.0;  // an exact fit
    const std::size_t p = p_;
    const double len = static_cast<double>(n_rows);
    // One scratch for the segment sums, the Gram matrix, the right-hand side
    // and the coefficients.
    SmallScratch scratch(p * p + 3 * p);
    const std::span<double> g = scratch.span().first(p * p);
    const std::span<double> sx = scratch.span().subspan(p * p, p);
    const std::span<double> c = scratch.span().subspan(p * p + p, p);
    const std::span<double> beta = scratch.span().subspan(p * p + 2 * p, p);
    for (std::size_t k = 0; k < p; ++k) sx[k] = t_.sum_x.segment_sum(start, end, k);
    segment_gram(start, end, len, sx, g);
    const std::optional<linalg::LstsqFactor> f = linalg::lstsq_factor(g, p, n_rows);
    // A segment whose regressors are (nearly) collinear has no unique fit;
    // it is given the cost of an exact one rather than a fit to rounding noise.
    if (!f) return 0.0;
    const std::vector<double>& mx = t_.mean_x;
    double total = 0.0;
    for (std::size_t t = 0; t < q_; ++t) {
        const double mr = t_.mean_r[t];
        const double sr = t_.sum_r.segment_sum(start, end, t);
        for (std::size_t k = 0; k < p; ++k) {
            const double cross = t_.cross[t].segment_sum(start, end, k);
            c[k] = ((mx[k] * len) * mr) + ((sr * mx[k]) + (cross + sx[k] * mr));
        }
        const double srr = t_.sum_rr.segment_sum(start, end, t);
        f->solve_into(c, beta);
        double fit = 0.0;
        for (std::size_t k = 0; k < p; ++k) fit = fit + beta[k] * c[k];
        double rss = (((mr * len) * mr) + (srr + sr * (2.0 * mr))) - fit;
        if (rss < 0.0) rss = 0.0;  // rounding below an exact fit; NaN stays
        total = total + rss;
    }
    return total;
}

}  // namespace marbolt::cost
