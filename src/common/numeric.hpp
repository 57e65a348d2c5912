// Constants and checked integer arithmetic that several layers share, written
// once. Size and position arithmetic is checked because an overflow would wrap
// into a small value that passes every test after it.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace marbolt {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Holds any sum or product of two 64-bit counts exactly.
__extension__ typedef unsigned __int128 u128;

// a * b, or nothing when the product does not fit in T.
template <class T>
constexpr std::optional<T> checked_mul(T a, T b) noexcept {
    T product{};
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

// a + b, or nothing when the sum does not fit in T.
template <class T>
constexpr std::optional<T> checked_add(T a, T b) noexcept {
    T sum{};
    if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
    return sum;
}

// Counts that stop at 2^64 - 1 instead of wrapping, so that an absurd request
// is refused rather than mistaken for a small one.
constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    return checked_mul(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}
constexpr std::uint64_t saturating_inc(std::uint64_t a) noexcept {
    return checked_add(a, std::uint64_t{1}).value_or(a);
}

}  // namespace marbolt
