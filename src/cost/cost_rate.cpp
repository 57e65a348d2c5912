// The raw values are summed, not centred: the costs need the sums themselves,
// which are non-negative, so no cancellation loses digits; sums of counts are
// exact up to 2^53.
#include "cost/cost_rate.hpp"

#include <string>

#include "common/format.hpp"

namespace marbolt::cost {
namespace {

// The first sample (in row order) that `accepts` refuses, in the words of the
// signal's own check.
template <class Accepts>
Status check_values(std::span<const double> x, std::size_t n, std::size_t d,
                    std::string_view needs, Accepts accepts) {
    for (std::size_t i = 0; i < n * d; ++i) {
        if (accepts(x[i])) continue;
        return value_error(std::string(needs) + "; sample " + std::to_string(i / d) +
                           " (column " + std::to_string(i % d) + ") is " + python_float(x[i]));
    }
    return Ok{};
}

}  // namespace

CostRate CostRate::build(std::span<const double> x, std::size_t n, std::size_t d, Law law) {
    return CostRate(prefix::Prefix1::build(x, n, d), d, law);
}

// Whole numbers only: the cost is not scale-free (rates divided by 1000 would
// cost a thousandth and hide every change under the default penalty), so
// values that are not counts are refused rather than read as some count.
Status CostRate::check_counts(std::span<const double> x, std::size_t n, std::size_t d) {
    return check_values(x, n, d, "the `poisson` model needs counts (whole numbers, not negative)",
                        [](double v) { return v >= 0.0 && std::isfinite(v) && v == std::floor(v); });
}

Status CostRate::check_waiting_times(std::span<const double> x, std::size_t n, std::size_t d) {
    return check_values(x, n, d,
                        "the `exponential` model needs positive values (waiting times or gaps)",
                        [](double v) { return v > 0.0 && std::isfinite(v); });
}

}  // namespace marbolt::cost
