// The choice rule of the exact searches, "the first candidate with the
// smallest total, where a NaN total never replaces a choice", computed without
// the loop-carried compare-and-select chain of a plain scan (whose latency,
// not its arithmetic, bounds the scan): the smallest value over independent
// vector lanes first, then its first occurrence.
#pragma once

#include <cstddef>
#include <limits>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/numeric.hpp"

namespace marbolt::detect {

// The smallest non-NaN value of totals, +inf when there is none. The sign of
// a zero result is unspecified (only equality with it is used).
inline double smallest(std::span<const double> totals) noexcept {
    const double* t = totals.data();
    const std::size_t count = totals.size();
    double best = kInf;
    std::size_t k = 0;
#if defined(__SSE2__)
    // min_pd(a, b) is a < b ? a : b per lane, so a NaN never enters.
    __m128d lane0 = _mm_set1_pd(best), lane1 = lane0;
    for (; k + 4 <= count; k += 4) {
        lane0 = _mm_min_pd(_mm_loadu_pd(t + k), lane0);
        lane1 = _mm_min_pd(_mm_loadu_pd(t + k + 2), lane1);
    }
    double lanes[4];
    _mm_storeu_pd(lanes, lane0);
    _mm_storeu_pd(lanes + 2, lane1);
    for (double v : lanes) best = v < best ? v : best;
#endif
    for (; k < count; ++k) best = t[k] < best ? t[k] : best;
    return best;
}

// Index of the first smallest of the (non-empty) totals, as a scan in which
// only a strictly smaller total replaces the choice would find it: 0 when the
// first total is NaN (nothing replaces it), else the first index whose total
// equals best = smallest(totals) (-0.0 and 0.0 compare equal).
inline std::size_t first_minimum(std::span<const double> totals, double best) noexcept {
    if (totals[0] != totals[0]) return 0;
    std::size_t chosen = 0;
    while (!(totals[chosen] == best)) ++chosen;
    return chosen;
}

// Length of the leading run of totals that pass threshold >= total, found a
// block at a time so that the usual case, nothing pruned, is a vector loop.
inline std::size_t leading_kept(std::span<const double> totals, double threshold) noexcept {
    const std::size_t count = totals.size();
    const double* t = totals.data();
    std::size_t k = 0;
#if defined(__SSE2__)
    // cmple(t, threshold) is threshold >= t, false when either is NaN.
    const __m128d limit = _mm_set1_pd(threshold);
    for (; k + 4 <= count; k += 4) {
        const __m128d low = _mm_cmple_pd(_mm_loadu_pd(t + k), limit);
        const __m128d high = _mm_cmple_pd(_mm_loadu_pd(t + k + 2), limit);
        if (_mm_movemask_pd(_mm_and_pd(low, high)) != 3) break;
    }
#endif
    while (k < count && threshold >= t[k]) ++k;
    return k;
}

}  // namespace marbolt::detect
