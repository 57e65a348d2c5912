// "rank": a non-parametric multivariate cost. Each column is replaced by its
// ranks over the whole signal; a segment costs -L * mu^T P mu, with mu its mean
// centred rank vector and P the pseudo-inverse of the rank covariance. O(d^2)
// per segment; O(n log n) per column plus O(n d^2) to build.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostRank final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostRank build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 2; }
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "rank"; }

    // The stored tables, for tests that pin the build down to the bit.
    const prefix::Prefix1& sums() const noexcept { return sum_; }
    std::span<const double> pinv() const noexcept { return pinv_; }

private:
    CostRank(prefix::Prefix1 sum, std::vector<double> pinv, std::size_t d)
        : sum_(std::move(sum)), pinv_(std::move(pinv)), d_(d) {}

    prefix::Prefix1 sum_;       // of the centred ranks
    std::vector<double> pinv_;  // d x d, pseudo-inverse of the rank covariance
    std::size_t d_;
};

// Sum over the kept eigenpairs of v v^T / lambda of a symmetric d x d matrix.
std::vector<double> rank_pseudo_inverse(std::span<const double> cov, std::size_t d);

}  // namespace marbolt::cost
