// The line is fitted in closed form about the segment's own centre, so no fit
// is ever refused as ill-conditioned: with tau the sample position centred on
// the signal's middle and c the signal centred on its column means,
//   RSS = (Q - S^2 / L) - (T - tau_bar S)^2 / (L (L^2 - 1) / 12),
// S, Q, T the segment's sums of c, c^2 and tau c, tau_bar its mean position;
// L (L^2 - 1) / 12 is the exact sum of squared deviations of L consecutive
// positions. Centring both keeps the sums small and their differences
// accurate.
#include "cost/cost_trend.hpp"

#include <vector>

#include "cost/cost_l2.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {

CostTrend CostTrend::build(std::span<const double> x, std::size_t n, std::size_t d) {
    const std::vector<double> means = prefix::column_means(x, n, d);
    auto [sum, sum_sq] = prefix::Prefix1::build_centred_with_squares(x, n, d, means);
    const double middle = (static_cast<double>(n) - 1.0) / 2.0;
    prefix::Prefix1 sum_time = prefix::Prefix1::build_from(n, d, [&](std::size_t i, std::size_t j) {
        return (static_cast<double>(i) - middle) * (x[i * d + j] - means[j]);
    });
    return CostTrend(std::move(sum), std::move(sum_sq), std::move(sum_time), n, d);
}

double CostTrend::error(std::size_t start, std::size_t end) const noexcept {
    if (end - start < 3) return 0.0;  // an exact fit
    const double len = static_cast<double>(end - start);
    const double middle = (static_cast<double>(n_) - 1.0) / 2.0;
    const double centre = (static_cast<double>(start) + static_cast<double>(end) - 1.0) / 2.0 - middle;
    const double spread = len * (len * len - 1.0) / 12.0;
    double total = 0.0;
    for (std::size_t j = 0; j < d_; ++j) {
        const double s = sum_.segment_sum(start, end, j);
        const double cross = sum_time_.segment_sum(start, end, j) - centre * s;
        double rss = CostL2::column_residue(s, sum_sq_.segment_sum(start, end, j), len) -
                     (cross * cross) / spread;
        // Rounding can leave a negative residue below an exact fit; NaN stays.
        if (rss < 0.0) rss = 0.0;
        total = total + rss;
    }
    return total;
}

}  // namespace marbolt::cost
