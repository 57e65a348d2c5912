// "normal": segment length times the log-determinant of the segment covariance
// (Gaussian likelihood cost), from prefix sums and outer-product prefix sums of
// the centred signal; O(d^3) per segment for the Cholesky factorisation. With
// variance floors (rounded data, see variance_floor.hpp) the covariance is
// estimated under the constraint that it is at least the floors.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "cost/pruning.hpp"
#include "cost/variance_floor.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostNormal final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept. add_small_diag adds 1e-6 to
    // the variance (one column) or to each covariance diagonal entry. floors
    // holds one variance floor per column, or nothing: without floors the cost
    // is the published one, bit for bit.
    static CostNormal build(std::span<const double> x, std::size_t n, std::size_t d,
                            bool add_small_diag, std::vector<double> floors = {});

    std::size_t min_size() const noexcept override { return 2; }
    // Allocates its d x d scratch only beyond 8 columns, hence not noexcept.
    // The common one-column case is defined here so that searches compiled for
    // this class inline it.
    double error(std::size_t start, std::size_t end) const override {
        if (d_ == 1) return error_one_column(start, end);
        if (d_ == 0) return 0.0;
        return error_several_columns(start, end);
    }
    std::string_view model() const noexcept override { return "normal"; }

    // The one-column variance of a segment from its sum s, sum of squares q and
    // length len (divisor len), with the small diagonal when asked for.
    static double column_variance(double s, double q, double len, bool add_small_diag) noexcept {
        double v = (q - s * s / len) / len;
        if (v < 0.0) v = 0.0;  // rounding residue of a constant segment; NaN stays
        if (add_small_diag) v = v + kSmallDiag;
        return v;
    }

    // The prefix tables, for searches that evaluate many segments at once.
    const prefix::Prefix1& sums() const noexcept { return sum_; }
    const prefix::PrefixOuter& outer() const noexcept { return outer_; }
    std::size_t dims() const noexcept { return d_; }
    bool small_diag() const noexcept { return add_small_diag_; }
    // The searches' one-column loops form the variance without the floor:
    // they serve only unfloored models (pelt/column_totals.hpp).
    bool floored() const noexcept { return !floors_.empty(); }
    // One variance floor per column, or none.
    std::span<const double> floors() const noexcept { return floors_; }

    // Added to the variances when the small diagonal is asked for.
    static constexpr double kSmallDiag = 1e-6;

private:
    CostNormal(prefix::Prefix1 sum, prefix::PrefixOuter outer, std::size_t d,
               bool add_small_diag, std::vector<double> floors)
        : sum_(std::move(sum)), outer_(std::move(outer)), d_(d), add_small_diag_(add_small_diag),
          floors_(std::move(floors)), first_floor_(floors_.empty() ? 0.0 : floors_[0]) {}

    // A zero variance gives -inf; with floor 0 (no floors), log v exactly.
    double error_one_column(std::size_t start, std::size_t end) const noexcept {
        const double len = static_cast<double>(end - start);
        const double v = column_variance(sum_.segment_sum(start, end, 0),
                                         outer_.segment_sum(start, end, 0), len, add_small_diag_);
        return held_log_variance(v, first_floor_) * len;
    }
    double error_several_columns(std::size_t start, std::size_t end) const;
    // Sample covariance (divisor L - 1) of a segment of at least two rows.
    void sample_covariance(std::size_t start, std::size_t end, std::span<double> c) const;

    prefix::Prefix1 sum_;
    prefix::PrefixOuter outer_;
    std::size_t d_;
    bool add_small_diag_;
    std::vector<double> floors_;  // one per column, or none
    double first_floor_;          // floors_[0], or 0
};

// Functional pruning on the (mean, log-variance) plane (pruning_normal.hpp):
// one column. PELT and the optimum's loop take it once the plain search's
// list grows long (its kPlainUntil); dynp's layers keep their own path.
class NormalColumnFamily;

template <>
struct PruningFamilies<CostNormal> {
    using type = Families<NormalColumnFamily>;
};

}  // namespace marbolt::cost
