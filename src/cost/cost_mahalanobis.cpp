// The metric acts as a quadratic form on the segment's moments; the signal
// itself is never transformed. The result is not clamped: an indefinite metric
// yields negative costs, and they are returned as computed.
#include "cost/cost_mahalanobis.hpp"

#include <cassert>

#include "prefix/center.hpp"

namespace marbolt::cost {

CostMl CostMl::build(std::span<const double> x, std::size_t n, std::size_t d,
                     std::vector<double> metric) {
    assert(metric.size() == d * d);
    std::vector<double> xc = prefix::center(x, n, d);
    prefix::Prefix1 sum = prefix::Prefix1::build(xc, n, d);
    prefix::PrefixOuter outer = prefix::PrefixOuter::build(xc, n, d);
    return CostMl(std::move(sum), std::move(outer), std::move(metric), d);
}

// Reads the prefix tables in place: recomputing a segment sum gives the same
// bits as storing it, and the call then allocates nothing.
double CostMl::error(std::size_t start, std::size_t end) const noexcept {
    const std::size_t d = d_;
    const double len = static_cast<double>(end - start);
    // trace(M C): i outer, j inner, one running sum.
    double t1 = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            t1 = t1 + metric_[i * d + j] * outer_.segment_sum(start, end, j * d + i);
        }
    }
    // S^T M S: j outer, k inner, one running sum.
    double t2 = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double sj = sum_.segment_sum(start, end, j);
        for (std::size_t k = 0; k < d; ++k) {
            t2 = t2 + (sj * metric_[j * d + k]) * sum_.segment_sum(start, end, k);
        }
    }
    return t1 - t2 / len;
}

}  // namespace marbolt::cost
