#include "cost/cost_ar.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/numeric.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// Flat position `pos` of an array, or 0.0 beyond its end.
double at_or_zero(std::span<const double> a, std::size_t pos) noexcept {
    return pos < a.size() ? a[pos] : 0.0;
}

}  // namespace

Design ar_design(std::span<const double> x, std::size_t n, std::size_t d, std::size_t order) {
    // An n x (order + 1) array whose size does not even fit in a size_t cannot
    // be allocated; say so instead of wrapping to a small buffer.
    const std::optional<std::size_t> p = checked_add(order, std::size_t{1});
    const std::optional<std::size_t> cells = p ? checked_mul(n, *p) : std::nullopt;
    if (!cells) throw std::bad_alloc();
    const std::vector<double> c = prefix::center(x, n, d);
    Design out;
    out.p = order + 1;
    out.q = d;
    out.x.resize(*cells);
    out.y.assign(n * d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        // Rows before `order` have no full history: they repeat row `order`.
        const std::size_t s = i >= order ? i - order : 0;
        const std::size_t row = i >= order ? i : order;
        for (std::size_t j = 0; j < order; ++j) out.x[i * out.p + j] = at_or_zero(c, s + j);
        out.x[i * out.p + order] = 1.0;
        if (row >= n) continue;  // no row `order` to repeat: the targets stay 0.0
        for (std::size_t t = 0; t < d; ++t) out.y[i * d + t] = c[row * d + t];
    }
    return out;
}

Status CostAr::check_order(std::uint64_t order, std::uint64_t n) {
    if (n >= 1 && order >= n) {
        return value_error("the `ar` model needs more samples than its order (" +
                           std::to_string(order) + "); the signal has " + std::to_string(n));
    }
    return Ok{};
}

CostAr CostAr::build(std::span<const double> x, std::size_t n, std::size_t d,
                     std::size_t order) {
    Design m = ar_design(x, n, d, order);
    const std::size_t min_size = std::max(m.p, kShortestSegment);
    return CostAr(std::move(m), n, min_size);
}

}  // namespace marbolt::cost
