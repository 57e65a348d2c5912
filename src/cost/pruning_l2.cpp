#include "cost/pruning_l2.hpp"

namespace marbolt::cost {

std::optional<double> l2_energy(const double* s, const double* q, std::size_t n) noexcept {
    if (n >= (std::size_t{1} << 40)) return std::nullopt;
    double largest_q = 0.0;
    double lane[4] = {0.0, 0.0, 0.0, 0.0};  // four sums, for speed; the bound holds for any order
    for (std::size_t i = 0; i <= n; ++i) {
        if (!(std::fabs(s[i]) < kEnvelopeLargest && std::fabs(q[i]) < kEnvelopeLargest)) return std::nullopt;
        largest_q = std::max(largest_q, std::fabs(q[i]));
        if (i < n) {
            const double step = s[i + 1] - s[i];
            lane[i % 4] = lane[i % 4] + step * step;
        }
    }
    // Each term carries three roundings and the sums n more, relative to the
    // total: (n + 3) u < 2^-12 for n < 2^40, and the factor allows twice that.
    const double y = ((lane[0] + lane[1]) + (lane[2] + lane[3])) *
                     (1.0 + 0x1p-52 * (static_cast<double>(n) + 4.0));
    const double v = (2.0 * largest_q + y) * (1.0 + 0x1p-50);
    if (!(v < kEnvelopeLargest)) return std::nullopt;
    return v;
}

std::optional<L2ColumnFamily> L2ColumnFamily::make(const CostL2& model, std::size_t n) noexcept {
    if (model.dims() != 1) return std::nullopt;
    const double* s = model.sums().data.data();
    const double* q = model.sums_sq().data.data();
    const std::optional<double> energy = l2_energy(s, q, n);
    if (!energy) return std::nullopt;
    return L2ColumnFamily(s, q, *energy);
}

}  // namespace marbolt::cost
