// One least-squares line per column is removed over the whole signal before the
// prefix sums are taken. The pinned line of any segment moves with a global
// line, so no cost changes in exact arithmetic, while the sums of squares stay
// small enough for their differences to keep their digits.
#include "cost/cost_clinear.hpp"

#include <algorithm>
#include <limits>

#include "prefix/accumulator.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// x minus its least-squares line per column; a single row (no slope to fit)
// only loses its mean. No rows or no columns give an empty array without a
// pass over the rows (a (2**40, 0) signal is valid input).
std::vector<double> detrend(std::span<const double> x, std::size_t n, std::size_t d) {
    if (n == 0 || d == 0) return {};
    const std::vector<double> mean = prefix::column_means(x, n, d);
    const double rows = static_cast<double>(n);
    const double spread = ((rows * rows - 1.0) * rows) / 12.0;  // sum of (i - centre)^2
    const double centre = (rows - 1.0) * 0.5;
    if (!(spread > 0.0)) return prefix::subtract_means(x, n, d, mean);
    std::vector<prefix::CompensatedSum> acc(d);
    for (std::size_t i = 0; i < n; ++i) {
        const double offset = static_cast<double>(i) - centre;
        for (std::size_t j = 0; j < d; ++j) acc[j].add((x[i * d + j] - mean[j]) * offset);
    }
    std::vector<double> slope(d);
    std::vector<double> icpt(d);
    for (std::size_t j = 0; j < d; ++j) {
        slope[j] = acc[j].value() / spread;
        icpt[j] = mean[j] - centre * slope[j];
    }
    std::vector<double> resid(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        for (std::size_t j = 0; j < d; ++j) {
            resid[i * d + j] = x[i * d + j] - (t * slope[j] + icpt[j]);
        }
    }
    return resid;
}

}  // namespace

CostCLinear CostCLinear::build(std::span<const double> x, std::size_t n, std::size_t d) {
    std::vector<double> resid = detrend(x, n, d);
    std::vector<double> work(resid.size());
    prefix::Prefix1 sum = prefix::Prefix1::build(resid, n, d);
    for (std::size_t m = 0; m < resid.size(); ++m) work[m] = resid[m] * resid[m];
    prefix::Prefix1 sum_sq = prefix::Prefix1::build(work, n, d);
    for (std::size_t i = 0; i < n && d > 0; ++i) {
        const double t = static_cast<double>(i);
        for (std::size_t j = 0; j < d; ++j) work[i * d + j] = resid[i * d + j] * t;
    }
    prefix::Prefix1 sum_t = prefix::Prefix1::build(work, n, d);
    return CostCLinear(std::move(resid), std::move(sum), std::move(sum_sq), std::move(sum_t), d);
}

// Sum over t = u .. end-1 of (resid[t] - y0 - F (t - u + 1))^2, expanded
// through S1 = sum resid, S2 = sum resid^2, S3 = sum t resid (S3 - U S1 is the
// sum of (t - (u - 1)) resid), with w = 1 + .. + D and v = 1^2 + .. + D^2.
double CostCLinear::error(std::size_t start, std::size_t end) const noexcept {
    if (d_ == 0) return 0.0;
    // A segment starting at 0 is anchored at its own first sample.
    const std::size_t u = std::max<std::size_t>(start, 1);
    // Only the empty segment [0, 0) (a search over an empty signal asks for
    // it) gets here: its anchor row 0 and end row -1 lie outside the signal.
    // It costs NaN, as a segment with nothing measured (D = 0) does through
    // the formula, without reading either row.
    if (end < u) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t d = d_;
    const double dd = static_cast<double>(end - u);
    const double w = 0.5 * ((dd + 1.0) * dd);
    const double v = ((2.0 * dd + 1.0) * ((dd + 1.0) * dd)) / 6.0;
    const double uu = static_cast<double>(u) - 1.0;
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double y0 = resid_[(u - 1) * d + j];
        const double f = (resid_[(end - 1) * d + j] - y0) / dd;  // 0/0 = NaN for D = 0
        const double s1 = sum_.segment_sum(u, end, j);
        const double s2 = sum_sq_.segment_sum(u, end, j);
        const double s3 = sum_t_.segment_sum(u, end, j);
        const double from_sums = s2 - 2.0 * ((s1 * y0) + ((s3 - uu * s1) * f));
        double e = ((y0 * dd) * y0) + ((((2.0 * f) * y0) * w) + (((f * f) * v) + from_sums));
        if (e < 0.0) e = 0.0;  // rounding below a perfect fit; NaN stays
        total = total + e;
    }
    return total;
}

}  // namespace marbolt::cost
