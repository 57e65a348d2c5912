// A double ordered by the IEEE 754 totalOrder, for use inside sort keys and
// priority queues: signed zeros and NaNs take fixed places instead of making
// the comparison inconsistent.
#pragma once

#include <compare>

#include "linalg/order.hpp"

namespace marbolt::detect {

struct Ordf64 {
    double value;

    friend std::strong_ordering operator<=>(Ordf64 a, Ordf64 b) noexcept {
        return linalg::total_cmp(a.value, b.value);
    }
    // Bitwise equality under the total order: -0.0 != +0.0, NaN == same NaN.
    friend bool operator==(Ordf64 a, Ordf64 b) noexcept {
        return linalg::total_cmp(a.value, b.value) == 0;
    }
};

}  // namespace marbolt::detect
