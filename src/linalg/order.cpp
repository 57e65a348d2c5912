#include "linalg/order.hpp"

#include <bit>
#include <cstdint>

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

}  // namespace marbolt::linalg
