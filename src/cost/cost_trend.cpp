#include "cost/cost_trend.hpp"

#include <utility>

namespace marbolt::cost {

Design trend_design(std::span<const double> x, std::size_t n, std::size_t d) {
    Design out;
    out.p = 2;
    out.q = d;
    out.x.resize(n * 2);
    out.y.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n * d));
    for (std::size_t i = 0; i < n; ++i) {
        out.x[2 * i] = 1.0;
        out.x[2 * i + 1] = static_cast<double>(i);
    }
    return out;
}

CostTrend CostTrend::build(std::span<const double> x, std::size_t n, std::size_t d) {
    return CostTrend(trend_design(x, n, d), n);
}

}  // namespace marbolt::cost
