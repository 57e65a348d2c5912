// The metric acts as a quadratic form on the segment's moments; the signal
// itself is never transformed. The result is not clamped: an indefinite metric
// yields negative costs, and they are returned as computed.
#include "cost/cost_mahalanobis.hpp"

#include <cassert>
#include <string>

#include "prefix/center.hpp"

namespace marbolt::cost {

CostMahalanobis CostMahalanobis::build(std::span<const double> x, std::size_t n, std::size_t d,
                     std::vector<double> metric) {
    assert(metric.size() == d * d);
    // Centred on the fly: no centred copy of the signal beside the tables.
    const std::vector<double> means = prefix::column_means(x, n, d);
    auto [sum, outer] = prefix::centred_sums_and_outer(x, n, d, means);
    return CostMahalanobis(std::move(sum), std::move(outer), std::move(metric), d);
}

Status CostMahalanobis::check_metric(std::optional<std::pair<std::uint64_t, std::uint64_t>> shape,
                                     std::uint64_t d) {
    if (!shape) return value_error("the `mahalanobis` model requires a `metric`");
    const auto [rows, cols] = *shape;
    if (rows != d || cols != d) {
        const std::string side = std::to_string(d);
        return value_error("metric must be (" + side + ", " + side + "), got (" +
                           std::to_string(rows) + ", " + std::to_string(cols) + ")");
    }
    return Ok{};
}

// Reads the prefix tables in place: recomputing a segment sum gives the same
// bits as storing it, and the call then allocates nothing.
double CostMahalanobis::error(std::size_t start, std::size_t end) const noexcept {
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
