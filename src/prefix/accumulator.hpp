// Compensated (Neumaier) summation: a running sum plus the low-order bits that
// each addition rounded away. Prefix tables differ two large partial sums to get
// a segment's sum; the compensation keeps those partial sums exact enough that
// the difference keeps its significant digits over long signals.
#pragma once

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Two compensated sums in the lanes of one SSE2 vector. Each lane performs
// CompensatedSum::add: both ways of recovering the rounding error are
// computed and the one the scalar test picks (|sum| >= |x|, false for NaN) is
// selected, so every lane holds the scalar bits. Selection instead of a
// branch lets independent pairs overlap in the pipeline.
struct CompensatedPair {
    __m128d sum = _mm_setzero_pd();
    __m128d compensation = _mm_setzero_pd();

    void add(__m128d x) noexcept {
        const __m128d sign = _mm_set1_pd(-0.0);
        const __m128d t = _mm_add_pd(sum, x);
        const __m128d sum_larger = _mm_cmpge_pd(_mm_andnot_pd(sign, sum), _mm_andnot_pd(sign, x));
        const __m128d from_sum = _mm_add_pd(_mm_sub_pd(sum, t), x);
        const __m128d from_x = _mm_add_pd(_mm_sub_pd(x, t), sum);
        compensation = _mm_add_pd(compensation, _mm_or_pd(_mm_and_pd(sum_larger, from_sum),
                                                          _mm_andnot_pd(sum_larger, from_x)));
        sum = t;
    }

    __m128d value() const noexcept { return _mm_add_pd(sum, compensation); }
};
#endif

}  // namespace marbolt::prefix
