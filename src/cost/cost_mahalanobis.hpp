// "mahalanobis": the within-segment sum of squared deviations from the segment
// mean in a fixed user metric M, evaluated as trace(M C) - S^T M S / L from
// prefix sums of the centred signal in O(d^2) per segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostMahalanobis final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept. metric is d x d row-major
    // (the caller has checked its shape) and is used exactly as given: never
    // symmetrised and never tested for definiteness.
    static CostMahalanobis build(std::span<const double> x, std::size_t n, std::size_t d,
                        std::vector<double> metric);

    // The metric is required, and must be d x d; `shape` is its (rows,
    // columns) when one was given.
    static Status check_metric(std::optional<std::pair<std::uint64_t, std::uint64_t>> shape,
                               std::uint64_t d);

    std::size_t min_size() const noexcept override { return 2; }
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "mahalanobis"; }

    // The metric as given, d x d row-major.
    std::span<const double> metric() const noexcept { return metric_; }
    std::size_t dims() const noexcept { return d_; }

private:
    CostMahalanobis(prefix::Prefix1 sum, prefix::PrefixOuter outer, std::vector<double> metric,
           std::size_t d)
        : sum_(std::move(sum)), outer_(std::move(outer)), metric_(std::move(metric)), d_(d) {}

    prefix::Prefix1 sum_;
    prefix::PrefixOuter outer_;
    std::vector<double> metric_;
    std::size_t d_;
};

}  // namespace marbolt::cost
