// "normal": segment length times the log-determinant of the segment covariance
// (Gaussian likelihood cost), from prefix sums and outer-product prefix sums of
// the centred signal; O(d^3) per segment for the Cholesky factorisation.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostNormal final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept. add_small_diag adds 1e-6 to
    // the variance (one column) or to each covariance diagonal entry.
    static CostNormal build(std::span<const double> x, std::size_t n, std::size_t d,
                            bool add_small_diag);

    std::size_t min_size() const noexcept override { return 2; }
    // Allocates its d x d scratch only beyond 8 columns, hence not noexcept.
    double error(std::size_t start, std::size_t end) const override;
    std::string_view model() const noexcept override { return "normal"; }

private:
    CostNormal(prefix::Prefix1 sum, prefix::PrefixOuter outer, std::size_t d,
               bool add_small_diag)
        : sum_(std::move(sum)), outer_(std::move(outer)), d_(d), add_small_diag_(add_small_diag) {}

    double error_one_column(std::size_t start, std::size_t end) const noexcept;
    double error_several_columns(std::size_t start, std::size_t end) const;
    // Sample covariance (divisor L - 1) of a segment of at least two rows.
    void sample_covariance(std::size_t start, std::size_t end, std::span<double> c) const;

    prefix::Prefix1 sum_;
    prefix::PrefixOuter outer_;
    std::size_t d_;
    bool add_small_diag_;
};

}  // namespace marbolt::cost
