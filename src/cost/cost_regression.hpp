// The least-squares cost that "linear" and "ar" share: the residual sum of
// squares of an ordinary least-squares fit made inside each segment, summed
// over the target columns. Prefix sums of the regressors' outer products, of
// regressor-residual cross products and of residual moments give a segment's
// fit in O(p^3 + q p^2) whatever its length. Each model forms its own design
// (cost_linear.hpp, cost_ar.hpp) and is its own class.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

// Regressors x (n x p) and targets y (n x q), both row-major.
struct Design {
    std::vector<double> x;
    std::vector<double> y;
    std::size_t p = 0;
    std::size_t q = 0;
};

// The models derive from it and add their name and shortest segment.
class CostRegression : public Cost {
public:
    // The eigen-decomposition of the fit allocates, hence not noexcept.
    double error(std::size_t start, std::size_t end) const final;

protected:
    // Takes the design's x (n x p) and y (n x q) over; they are released
    // before returning.
    CostRegression(Design m, std::size_t n);

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

    // Fits the design once over the whole signal and builds the prefix tables
    // of the centred regressors and residuals; m's arrays are released.
    static Tables tables(Design& m, std::size_t n);
    void segment_gram(std::size_t start, std::size_t end, double len, std::span<const double> sx,
                      std::span<double> g) const;

    Tables t_;
    std::size_t p_;
    std::size_t q_;
};

}  // namespace marbolt::cost
