// The chunk loops shared by the one-column estimates, one per vector width:
// each walks the candidates a block at a time (four for AVX2, eight for
// AVX-512), hands each block's segment length, sums and prefix cost to the
// model's lane function, stores the estimates it returns and keeps each
// chunk's smallest and largest.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
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
class LargestBits512 {
public:
    __attribute__((target("avx512f"))) void add(__mmask8 active, const __m512d& v) noexcept {
        bits_ = _mm512_mask_max_epu64(bits_, active, _mm512_castpd_si512(v), bits_);
    }
    __attribute__((target("avx512f"))) double value() const noexcept {
        return std::bit_cast<double>(_mm512_reduce_max_epu64(bits_));
    }

private:
    __m512i bits_ = __m512i{};
};

// Calls lane(Lanes512, __m512d& estimates) for every block; writes the
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
            __m512d t;
            lane(block, t);
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

// Up to four candidates, as Lanes512 for AVX2: `active` has every bit set in
// the lanes that hold a candidate; the others are past the end, read as
// zeros, and neither stored nor summarised.
struct Lanes256 {
    __m256i active;
    __m256d len;
    __m256d s;
    __m256d q;
    __m256d prefix;
};

// LargestBits512 for AVX2, which compares 64-bit integers only as signed: the
// sign bit is dropped first, so that every NaN counts as a positive one,
// above infinity, and so is kept. The quantities summarised are never below
// zero, so nothing else changes.
class LargestBits256 {
public:
    __attribute__((target("avx2"))) void add(const __m256i& active, const __m256d& v) noexcept {
        const __m256i bits = _mm256_castpd_si256(_mm256_andnot_pd(_mm256_set1_pd(-0.0), v));
        const __m256i larger = _mm256_and_si256(active, _mm256_cmpgt_epi64(bits, bits_));
        bits_ = _mm256_blendv_epi8(bits_, bits, larger);
    }
    __attribute__((target("avx2"))) double value() const noexcept {
        std::int64_t lanes[4];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), bits_);
        return std::bit_cast<double>(std::max({lanes[0], lanes[1], lanes[2], lanes[3]}));
    }

private:
    __m256i bits_ = __m256i{};
};

__attribute__((target("avx2"))) inline double lowest(__m256d v) noexcept {
    const __m128d half = _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
}

__attribute__((target("avx2"))) inline double highest(__m256d v) noexcept {
    const __m128d half = _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_max_sd(half, _mm_unpackhi_pd(half, half)));
}

// Four candidates from p[k]: loaded plainly, or when `partial` (an end's
// last block) only in the lanes of `active`, the others read as zeros.
__attribute__((target("avx2"))) inline __m256d load_avx2(const double* p, std::size_t k, __m256i active,
                                                         bool partial) noexcept {
    return partial ? _mm256_maskload_pd(p + k, active) : _mm256_loadu_pd(p + k);
}

__attribute__((target("avx2"))) inline Lanes256 load_lanes256(const ColumnCandidates& c, std::size_t k,
                                                              __m256i active, bool partial) noexcept {
    return {active, _mm256_sub_pd(_mm256_set1_pd(c.end), load_avx2(c.start, k, active, partial)),
            _mm256_sub_pd(_mm256_set1_pd(c.s_end), load_avx2(c.s_start, k, active, partial)),
            _mm256_sub_pd(_mm256_set1_pd(c.q_end), load_avx2(c.q_start, k, active, partial)),
            load_avx2(c.prefix, k, active, partial)};
}

// estimate_chunks_avx512 for AVX2, with lane(Lanes256, __m256d&). Whole
// blocks load and store plainly; only an end's last block, when partial, is
// masked (a masked store costs several plain ones on some processors). c is
// a copy, which the stores cannot change.
template <class Lane>
__attribute__((target("avx2"))) double estimate_chunks_avx2(const ColumnCandidates c, Lane& lane,
                                                            double* __restrict estimate,
                                                            double* __restrict low,
                                                            double* __restrict high) noexcept {
    double smallest = kInf;
    for (std::size_t base = 0, chunk = 0; base < c.count; base += kEstimateChunk, ++chunk) {
        const std::size_t stop = std::min(base + kEstimateChunk, c.count);
        const std::size_t whole = base + (stop - base) / 4 * 4;
        __m256d lo = _mm256_set1_pd(kInf), hi = _mm256_set1_pd(-kInf);
        for (std::size_t k = base; k < whole; k += 4) {
            __m256d t;
            lane(load_lanes256(c, k, _mm256_set1_epi64x(-1), false), t);
            _mm256_storeu_pd(estimate + k, t);
            lo = _mm256_min_pd(t, lo);
            hi = _mm256_max_pd(t, hi);
        }
        if (whole < stop) {
            const __m256i active = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(stop - whole)),
                                                      _mm256_setr_epi64x(0, 1, 2, 3));
            __m256d t;
            lane(load_lanes256(c, whole, active, true), t);
            _mm256_maskstore_pd(estimate + whole, active, t);
            lo = _mm256_blendv_pd(lo, _mm256_min_pd(t, lo), _mm256_castsi256_pd(active));
            hi = _mm256_blendv_pd(hi, _mm256_max_pd(t, hi), _mm256_castsi256_pd(active));
        }
        low[chunk] = lowest(lo);
        high[chunk] = highest(hi);
        smallest = std::min(smallest, low[chunk]);
    }
    return smallest;
}

}  // namespace marbolt::detect
