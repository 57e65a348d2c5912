// Compensated (Neumaier) summation: a running sum plus the low-order bits that
// each addition rounded away. Prefix tables differ two large partial sums to get
// a segment's sum; the compensation keeps those partial sums exact enough that
// the difference keeps its significant digits over long signals.
#pragma once

#include <cmath>

namespace marbolt::prefix {

struct CompensatedSum {
    double sum = 0.0;
    double compensation = 0.0;

    void add(double x) noexcept {
        const double t = sum + x;
        // The rounding error of t is recovered from the larger-magnitude
        // operand. On a tie both branches recover the same error; take the first.
        if (std::fabs(sum) >= std::fabs(x)) {
            compensation = compensation + ((sum - t) + x);
        } else {
            compensation = compensation + ((x - t) + sum);
        }
        sum = t;
    }

    // Only this read-out is ever stored; the pair itself is build scratch.
    double value() const noexcept { return sum + compensation; }
};

}  // namespace marbolt::prefix
