// "variance": a change in spread about a mean that does not change (the
// signal's own mean, or a given one), each column with its own variance. With
// Q a column's sum of squared deviations from the fixed mean over a segment of
// length L, the cost is -2 x the maximised Gaussian log-likelihood less the
// terms that add up to the same total over any segmentation (L log 2 pi + L):
// L log(Q / L) per column, in O(d) per segment from prefix sums of the squared
// deviations. Under a variance floor (rounded data, see variance_floor.hpp)
// the variance is estimated subject to it. Each column's cost is a minimum over
// its variance of a sum over samples, so splitting a segment never raises it
// and PELT's pruning holds. The change-in-variance cost of Killick & Eckley,
// "changepoint: an R package for changepoint analysis", Journal of Statistical
// Software 58(3), 2014 (cpt.var).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "cost/variance_floor.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostVariance final : public Cost {
public:
    // x is n x d row-major; nothing of it is kept. means and floors hold one
    // value per column.
    static CostVariance build(std::span<const double> x, std::size_t n, std::size_t d,
                              std::span<const double> means, std::vector<double> floors);

    std::size_t min_size() const noexcept override { return 1; }
    // A segment whose values all equal the mean has variance 0: -inf without
    // a floor.
    double error(std::size_t start, std::size_t end) const noexcept override {
        const double len = static_cast<double>(end - start);
        double acc = 0.0;
        for (std::size_t j = 0; j < floors_.size(); ++j) {
            double v = squares_.segment_sum(start, end, j) / len;
            if (v < 0.0) v = 0.0;  // rounding residue of the prefix difference; NaN stays
            acc = acc + held_log_variance(v, floors_[j]);
        }
        return acc * len;
    }
    std::string_view model() const noexcept override { return "variance"; }

private:
    CostVariance(prefix::Prefix1 squares, std::vector<double> floors)
        : squares_(std::move(squares)), floors_(std::move(floors)) {}

    prefix::Prefix1 squares_;     // of (x_ij - mean_j)^2
    std::vector<double> floors_;  // one per column, 0 for none
};

}  // namespace marbolt::cost
