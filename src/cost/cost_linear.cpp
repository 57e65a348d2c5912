#include "cost/cost_linear.hpp"

#include <utility>

namespace marbolt::cost {

Design linear_design(std::span<const double> x, std::size_t n, std::size_t d) {
    Design out;
    out.p = d == 0 ? 0 : d - 1;
    out.q = 1;
    out.x.resize(n * out.p);
    out.y.assign(n, 0.0);
    if (d == 0) return out;
    for (std::size_t i = 0; i < n; ++i) {
        out.y[i] = x[i * d];
        for (std::size_t j = 0; j < out.p; ++j) out.x[i * out.p + j] = x[i * d + j + 1];
    }
    return out;
}

Status CostLinear::check_columns(std::uint64_t n, std::uint64_t d) {
    if (n > 0 && d == 0) {
        return value_error(
            "the `linear` model needs at least one column (its target); the signal has none");
    }
    return Ok{};
}

CostLinear CostLinear::build(std::span<const double> x, std::size_t n, std::size_t d) {
    return CostLinear(linear_design(x, n, d), n);
}

}  // namespace marbolt::cost
