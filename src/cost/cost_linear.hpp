// "linear" and "ar": the residual sum of squares of an ordinary least-squares
// fit made inside each segment, summed over the target columns. Prefix sums of
// the regressors' outer products, of regressor-residual cross products and of
// residual moments give a segment's fit in O(p^3 + q p^2) whatever its length.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

// Regressors x (n x p) and targets y (n x q), both row-major, and the model's
// shortest segment.
struct Design {
    std::vector<double> x;
    std::vector<double> y;
    std::size_t p = 0;
    std::size_t q = 0;
    std::size_t min_size = 0;
};

// "linear": column 0 of the signal regressed on columns 1 .. d-1, as given (no
// intercept, no centring). Without columns (d = 0) the target reads 0.0:
// there is no column 0 to read.
Design linear_design(std::span<const double> x, std::size_t n, std::size_t d);

// "ar": every column of the centred signal regressed on the `order` values
// that precede it in the flattened row-major array, plus an intercept (last
// column); shortest segment max(order + 1, 5). The first `order` rows repeat row `order`. Lag positions beyond the
// centred array, and targets of a row `order` that does not exist, read 0.0.
// Throws std::bad_alloc when n x (order + 1) does not fit in a size_t.
Design ar_design(std::span<const double> x, std::size_t n, std::size_t d, std::size_t order);

class CostRegression final : public Cost {
public:
    // Takes the design's x (n x p) and y (n x q) over; they are released
    // before returning.
    static CostRegression build(Design m, std::size_t n, std::string name);

    std::size_t min_size() const noexcept override { return min_size_; }
    // The eigen-decomposition of the fit allocates, hence not noexcept.
    double error(std::size_t start, std::size_t end) const override;
    std::string_view model() const noexcept override { return name_; }

private:
    struct Tables {
        prefix::PrefixOuter outer;
        prefix::Prefix1 sum_x;
        std::vector<prefix::Prefix1> cross;
        prefix::Prefix1 sum_r;
        prefix::Prefix1 sum_rr;
        std::vector<double> mean_x;
        std::vector<double> mean_r;
    };

    CostRegression(Tables t, std::string name, std::size_t p, std::size_t q, std::size_t min_size)
        : t_(std::move(t)), name_(std::move(name)), p_(p), q_(q), min_size_(min_size) {}

    void segment_gram(std::size_t start, std::size_t end, double len, std::span<const double> sx,
                      std::span<double> g) const;

    Tables t_;
    std::string name_;
    std::size_t p_;
    std::size_t q_;
    std::size_t min_size_;
};

}  // namespace marbolt::cost
