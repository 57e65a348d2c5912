#include "linalg/order.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace marbolt::linalg {

namespace {

// Sign-magnitude bits become a two's-complement key: for negative values every
// bit but the sign is flipped, so a larger magnitude gives a smaller key.
std::int64_t total_order_key(double x) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(x);
    const auto mask = static_cast<std::uint64_t>(bits >> 63) >> 1;
    return bits ^ static_cast<std::int64_t>(mask);
}

}  // namespace

std::strong_ordering total_cmp(double a, double b) noexcept {
    return total_order_key(a) <=> total_order_key(b);
}

namespace {

bool total_less(double a, double b) noexcept { return total_cmp(a, b) < 0; }

}  // namespace

double median_inplace(std::span<double> values) noexcept {
    // NaN is checked for up front: under the total order a NaN would simply
    // sort to one end and yield a plausible-looking number.
    if (values.empty() || std::ranges::any_of(values, [](double v) { return std::isnan(v); })) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const std::size_t mid = values.size() / 2;
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>(mid);
    std::nth_element(values.begin(), nth, values.end(), total_less);
    if (values.size() % 2 == 1) return *nth;
    const double lower = *std::max_element(values.begin(), nth, total_less);
    return (*nth + lower) * 0.5;
}

std::vector<std::uint32_t> rank_order(std::span<const double> values) {
    // Sorted on the keys of the total order, which compare as integers.
    std::vector<std::pair<std::int64_t, std::uint32_t>> keyed(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        keyed[i] = {total_order_key(values[i]), static_cast<std::uint32_t>(i)};
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::uint32_t> order(values.size());
    for (std::size_t r = 0; r < keyed.size(); ++r) order[r] = keyed[r].second;
    return order;
}

}  // namespace marbolt::linalg
