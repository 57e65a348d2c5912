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

// The least-squares line of each column: resid = x - (t * slope + icpt). A
// single row (no slope to fit) only loses its mean; slope is empty then.
struct Lines {
    std::vector<double> mean, slope, icpt;

    double resid(double x, double t, std::size_t j) const noexcept {
        if (slope.empty()) return x - mean[j];
        return x - (t * slope[j] + icpt[j]);
    }
};

Lines fit_lines(std::span<const double> x, std::size_t n, std::size_t d) {
    Lines lines{prefix::column_means(x, n, d), {}, {}};
    const double rows = static_cast<double>(n);
    const double spread = ((rows * rows - 1.0) * rows) / 12.0;  // sum of (i - centre)^2
    const double centre = (rows - 1.0) * 0.5;
    if (!(spread > 0.0)) return lines;
    std::vector<prefix::CompensatedSum> acc(d);
    for (std::size_t i = 0; i < n; ++i) {
        const double offset = static_cast<double>(i) - centre;
        for (std::size_t j = 0; j < d; ++j) acc[j].add((x[i * d + j] - lines.mean[j]) * offset);
    }
    lines.slope.resize(d);
    lines.icpt.resize(d);
    for (std::size_t j = 0; j < d; ++j) {
        lines.slope[j] = acc[j].value() / spread;
        lines.icpt[j] = lines.mean[j] - centre * lines.slope[j];
    }
    return lines;
}

}  // namespace

// Each residual is formed once, stored in the row after its own (where the
// segments ending at it read it) and added to the three sums of that row.
// The table is the only allocation of the signal's size.
CostCLinear CostCLinear::build(std::span<const double> x, std::size_t n, std::size_t d) {
    Table table((n + 1) * d * kEntries, 0.0);
    // No rows or no columns: nothing to fit and no pass over the rows (a
    // (2**40, 0) signal is valid input).
    if (n == 0 || d == 0) return CostCLinear(std::move(table), d);
    const Lines lines = fit_lines(x, n, d);
    std::vector<prefix::CompensatedSum> sum(d), sum_sq(d), sum_t(d);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        double* row = table.data() + (i + 1) * d * kEntries;
        for (std::size_t j = 0; j < d; ++j) {
            const double r = lines.resid(x[i * d + j], t, j);
            sum[j].add(r);
            sum_sq[j].add(r * r);
            sum_t[j].add(r * t);
            double* e = row + j * kEntries;
            e[kResid] = r;
            e[kSum] = sum[j].value();
            e[kSumSq] = sum_sq[j].value();
            e[kSumT] = sum_t[j].value();
        }
    }
    return CostCLinear(std::move(table), d);
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
    const double* first = table_.data() + u * d * kEntries;
    const double* last = table_.data() + end * d * kEntries;
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j, first += kEntries, last += kEntries) {
        const double y0 = first[kResid];            // resid[u - 1]
        const double f = (last[kResid] - y0) / dd;  // 0/0 = NaN for D = 0
        const double s1 = last[kSum] - first[kSum];
        const double s2 = last[kSumSq] - first[kSumSq];
        const double s3 = last[kSumT] - first[kSumT];
        const double from_sums = s2 - 2.0 * ((s1 * y0) + ((s3 - uu * s1) * f));
        double e = ((y0 * dd) * y0) + ((((2.0 * f) * y0) * w) + (((f * f) * v) + from_sums));
        if (e < 0.0) e = 0.0;  // rounding below a perfect fit; NaN stays
        total = total + e;
    }
    return total;
}

}  // namespace marbolt::cost
