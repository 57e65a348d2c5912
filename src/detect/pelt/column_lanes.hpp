// The AVX-512 loop shared by the one-column estimates: it walks the
// candidates eight at a time, hands each block's segment length, sums and
// prefix cost to the model's lane function, stores the estimates it returns
// and keeps each chunk's smallest and largest.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>

#include "common/numeric.hpp"
#include "detect/pelt/intrinsics.hpp"
#include "detect/pelt/totals_filter.hpp"

namespace marbolt::detect {

// Up to eight candidates; lanes outside `active` are past the end, read as
// zeros, and neither stored nor summarised.
struct Lanes512 {
    __mmask8 active;
    __m512d len;     // end - start
    __m512d s;       // segment sum
    __m512d q;       // segment sum of squares
    __m512d prefix;  // best cost of the prefix before the start
};

// The largest of a non-negative quantity over the active lanes, kept as the
// bits of doubles: +0.0, positive values and NaN (of either sign) order the
// same way as unsigned integers, with every NaN above infinity, so a NaN is
// kept where a floating-point maximum would drop it.
class LargestBits {
public:
    __attribute__((target("avx512f"))) void add(__mmask8 active, __m512d v) noexcept {
        bits_ = _mm512_mask_max_epu64(bits_, active, _mm512_castpd_si512(v), bits_);
    }
    __attribute__((target("avx512f"))) double value() const noexcept {
        return std::bit_cast<double>(_mm512_reduce_max_epu64(bits_));
    }

private:
    __m512i bits_ = __m512i{};
};

// Calls lane(Lanes512) -> __m512d estimates for every block; writes the
// estimates and each chunk's smallest and largest, and returns the smallest.
template <class Lane>
__attribute__((target("avx512f"))) double estimate_chunks_avx512(const ColumnCandidates& c, Lane& lane,
                                                                 double* __restrict estimate,
                                                                 double* __restrict low,
                                                                 double* __restrict high) noexcept {
    const double* __restrict start = c.start;
    const double* __restrict s_start = c.s_start;
    const double* __restrict q_start = c.q_start;
    const double* __restrict prefix = c.prefix;
    const __m512d end = _mm512_set1_pd(c.end), s_end = _mm512_set1_pd(c.s_end);
    const __m512d q_end = _mm512_set1_pd(c.q_end);
    double smallest = kInf;
    for (std::size_t base = 0, chunk = 0; base < c.count; base += kEstimateChunk, ++chunk) {
        const std::size_t stop = std::min(base + kEstimateChunk, c.count);
        __m512d lo = _mm512_set1_pd(kInf), hi = _mm512_set1_pd(-kInf);
        for (std::size_t k = base; k < stop; k += 8) {
            const __mmask8 active = stop - k >= 8 ? 0xff : static_cast<__mmask8>((1u << (stop - k)) - 1);
            const Lanes512 block{active, _mm512_sub_pd(end, _mm512_maskz_loadu_pd(active, start + k)),
                                 _mm512_sub_pd(s_end, _mm512_maskz_loadu_pd(active, s_start + k)),
                                 _mm512_sub_pd(q_end, _mm512_maskz_loadu_pd(active, q_start + k)),
                                 _mm512_maskz_loadu_pd(active, prefix + k)};
            const __m512d t = lane(block);
            _mm512_mask_storeu_pd(estimate + k, active, t);
            lo = _mm512_mask_min_pd(lo, active, t, lo);
            hi = _mm512_mask_max_pd(hi, active, t, hi);
        }
        low[chunk] = _mm512_reduce_min_pd(lo);
        high[chunk] = _mm512_reduce_max_pd(hi);
        smallest = std::min(smallest, low[chunk]);
    }
    return smallest;
}

}  // namespace marbolt::detect
