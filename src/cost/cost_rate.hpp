// "poisson" and "exponential": -2 x the maximised log-likelihood of a segment
// whose samples share one rate (counts) or one mean (waiting times, gaps),
// column by column, from per-column prefix sums in O(d) per segment. With S
// a column's segment sum and L the length, the estimate is S / L and
//   poisson:      -2 S log(S / L), 0 for a segment of zeros;
//   exponential:   2 L log(S / L).
// The dropped terms add up, over any segmentation, to the same total: 2 S and
// 2 sum log(y!) for Poisson, 2 L for the exponential. Each cost is a minimum
// over the rate of a sum over samples, so splitting a segment never raises
// its cost and PELT's pruning holds. The costs of the Poisson and exponential
// test statistics of Killick & Eckley, "changepoint: an R package for
// changepoint analysis", Journal of Statistical Software 58(3), 2014.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "common/result.hpp"
#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

class CostRate final : public Cost {
public:
    enum class Law { poisson, exponential };

    // x is n x d row-major; nothing of it is kept. Its values are those the
    // law's check accepts.
    static CostRate build(std::span<const double> x, std::size_t n, std::size_t d, Law law);

    // Counts: whole numbers from 0 up. Refuses the first sample that is not.
    static Status check_counts(std::span<const double> x, std::size_t n, std::size_t d);
    // Waiting times: positive and finite.
    static Status check_waiting_times(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 1; }
    double error(std::size_t start, std::size_t end) const noexcept override {
        const double len = static_cast<double>(end - start);
        double acc = 0.0;
        for (std::size_t j = 0; j < d_; ++j) {
            const double s = sum_.segment_sum(start, end, j);
            acc = acc + (law_ == Law::poisson ? poisson_term(s, len) : exponential_term(s, len));
        }
        return acc;
    }
    std::string_view model() const noexcept override {
        return law_ == Law::poisson ? "poisson" : "exponential";
    }

    // S log S is 0 at S = 0 by continuity: a segment of zeros fits its rate 0
    // exactly.
    static double poisson_term(double s, double len) noexcept {
        if (s == 0.0) return 0.0;
        return -2.0 * s * std::log(s / len);
    }
    static double exponential_term(double s, double len) noexcept {
        return 2.0 * len * std::log(s / len);
    }

private:
    CostRate(prefix::Prefix1 sum, std::size_t d, Law law) : sum_(std::move(sum)), d_(d), law_(law) {}

    prefix::Prefix1 sum_;
    std::size_t d_;
    Law law_;
};

}  // namespace marbolt::cost
