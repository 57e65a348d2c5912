#include "cost/pruning_l2.hpp"

namespace marbolt::cost {

std::optional<double> l2_energy(const double* s, const double* q, std::size_t n, std::size_t stride) noexcept {
    if (n >= (std::size_t{1} << 40)) return std::nullopt;
    double largest_q = 0.0;
    double lane[4] = {0.0, 0.0, 0.0, 0.0};  // four sums, for speed; the bound holds for any order
    for (std::size_t i = 0; i <= n; ++i) {
        const double s_i = s[i * stride], q_i = q[i * stride];
        if (!(std::fabs(s_i) < kEnvelopeLargest && std::fabs(q_i) < kEnvelopeLargest)) return std::nullopt;
        largest_q = std::max(largest_q, std::fabs(q_i));
        if (i < n) {
            const double step = s[(i + 1) * stride] - s_i;
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

std::optional<L2ColumnsFamily> L2ColumnsFamily::make(const CostL2& model, std::size_t n) noexcept {
    const std::size_t d = model.dims();
    if (d < 2 || d > kMaxBallDims) return std::nullopt;
    const double* s = model.sums().data.data();
    const double* q = model.sums_sq().data.data();
    double energy = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const std::optional<double> v = l2_energy(s + j, q + j, n, d);
        if (!v) return std::nullopt;
        energy = energy + *v;
    }
    energy = energy * (1.0 + 0x1p-50 * static_cast<double>(d));
    if (!(energy < kEnvelopeLargest)) return std::nullopt;
    return L2ColumnsFamily(s, q, d, energy);
}

// The exact level sets of L |mu - c*|^2 are balls around the exact centre
// c*_j = s*_j / L; the computed c_j = fl(fl(S[at] - S[t]) fl(1 / L)) takes
// three roundings, so |c_j - c*_j| <= 3.02 u |c_j| (u = 2^-53) and, in
// norm, |c - c*| <= 3.02 u sqrt(d) max |c_j|. `off` is 2^-51 (d / 2 + 1)
// max |c_j| (sqrt(d) <= d / 2 + 1; 4u against 3.02u leaves a quarter for its
// own rounding), plus kTinySlack for the subnormal range. The radius
// sqrt(a / L) is computed from fl(a fl(1 / L)) and a root, within 2.01 u of
// the exact one; the factor 1 -+ 2^-49 (16u) covers that and the final
// addition or subtraction of off with room. So the reach ball around c, of
// radius sqrt(a_up / L) + |c - c*| or more, holds every mu with
// L |mu - c*|^2 < a for a <= a_up, and the cover ball, of radius at most
// sqrt(a_down / L) - |c - c*|, only mu with L |mu - c*|^2 <= a_down.
BallBracket L2ColumnsFamily::bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up,
                                     double a_down) const noexcept {
    BallBracket b{};
    b.dims = d_;
    const double inv_len = 1.0 / (static_cast<double>(at) - starts.start[k]);
    double largest = 0.0;
    for (std::size_t j = 0; j < d_; ++j) {
        b.centre[j] = (s_[at * d_ + j] - starts.s[k * d_ + j]) * inv_len;
        largest = std::max(largest, std::fabs(b.centre[j]));
    }
    const double off = 0x1p-51 * largest * (0.5 * static_cast<double>(d_) + 1.0) + kTinySlack;
    b.reach = a_up > 0.0 ? root(a_up * inv_len) * (1.0 + kEndSlack) + off : -1.0;
    b.cover = a_down > 0.0 ? root(a_down * inv_len) * (1.0 - kEndSlack) - off : -1.0;
    return b;
}

}  // namespace marbolt::cost
