// Sum of squares minus squared sum over length, per column, on the centred
// signal so that the two terms are small and their difference keeps its digits.
#include "cost/cost_l2.hpp"

#include <vector>

#include "prefix/center.hpp"

namespace marbolt::cost {

CostL2 CostL2::build(std::span<const double> x, std::size_t n, std::size_t d) {
    std::vector<double> xc = prefix::center(x, n, d);
    std::vector<double> sq(xc.size());
    for (std::size_t m = 0; m < xc.size(); ++m) sq[m] = xc[m] * xc[m];
    prefix::Prefix1 sum = prefix::Prefix1::build(xc, n, d);
    prefix::Prefix1 sum_sq = prefix::Prefix1::build(sq, n, d);
    return CostL2(std::move(sum), std::move(sum_sq), d);
}

double CostL2::error(std::size_t start, std::size_t end) const noexcept {
    if (d_ == 0) return 0.0;
    const double len = static_cast<double>(end - start);
    double acc = 0.0;
    for (std::size_t j = 0; j < d_; ++j) {
        const double s = sum_.segment_sum(start, end, j);
        const double q = sum_sq_.segment_sum(start, end, j);
        double e = q - (s * s) / len;
        // A (near-)constant column can leave a negative rounding residue; a
        // sum of squares is never negative. NaN fails the test and propagates.
        if (e < 0.0) e = 0.0;
        acc = acc + e / len;
    }
    // Each term is divided by L and the total scaled back by L: not the
    // shortest route, but results are only bit-reproducible in this order.
    return acc * len;
}

}  // namespace marbolt::cost
