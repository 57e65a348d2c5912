// "l2": the within-segment sum of squared deviations from the segment mean,
// column by column, read from prefix sums of the centred signal and of its
// squares in O(d) per segment.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "cost/cost.hpp"
#include "cost/pruning.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostL2 final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostL2 build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 1; }
    // Defined here so that searches compiled for this class inline it.
    double error(std::size_t start, std::size_t end) const noexcept override {
        if (d_ == 0) return 0.0;
        const double len = static_cast<double>(end - start);
        double acc = 0.0;
        for (std::size_t j = 0; j < d_; ++j) {
            acc = acc + column_term(sum_.segment_sum(start, end, j),
                                    sum_sq_.segment_sum(start, end, j), len);
        }
        // Each term is divided by L and the total scaled back by L: not the
        // shortest route, but results are only bit-reproducible in this order.
        return acc * len;
    }
    std::string_view model() const noexcept override { return "l2"; }

    // The arithmetic of one column, from its segment sum s, sum of squares q
    // and length len, written once: the searches that evaluate many segments
    // at once call these, so that their totals are error()'s to the bit.
    //
    // The sum of squared deviations before the clamp: q - s^2 / len.
    static double column_residue(double s, double q, double len) noexcept { return q - (s * s) / len; }

    // Column j's share of error before the final scaling by len. A
    // (near-)constant column can leave a negative rounding residue; a sum of
    // squares is never negative. NaN fails the test and propagates.
    static double column_term(double s, double q, double len) noexcept {
        double e = column_residue(s, q, len);
        if (e < 0.0) e = 0.0;
        return e / len;
    }

    // error() of a one-column segment.
    static double column_cost(double s, double q, double len) noexcept {
        return (0.0 + column_term(s, q, len)) * len;
    }

    // The prefix tables, for searches that evaluate many segments at once.
    const prefix::Prefix1& sums() const noexcept { return sum_; }
    const prefix::Prefix1& sums_sq() const noexcept { return sum_sq_; }
    std::size_t dims() const noexcept { return d_; }

private:
    CostL2(prefix::Prefix1 sum, prefix::Prefix1 sum_sq, std::size_t d)
        : sum_(std::move(sum)), sum_sq_(std::move(sum_sq)), d_(d) {}

    prefix::Prefix1 sum_;
    prefix::Prefix1 sum_sq_;
    std::size_t d_;
};

// Functional pruning (cost/pruning_l2.hpp): one column, whose totals are
// parabolas in the last segment's mean, and several, paraboloids in the
// vector of means.
class L2ColumnFamily;
class L2ColumnsFamily;

template <>
struct PruningFamilies<CostL2> {
    using type = Families<L2ColumnFamily, L2ColumnsFamily>;
};

}  // namespace marbolt::cost
