#include "detect/pelt/l2_estimates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "detect/pelt/column_lanes.hpp"
#include "detect/pelt/intrinsics.hpp"

namespace marbolt::detect {
namespace {

// The bound: |estimate - exact| <= kQuotient * D + kOther * (Q + |pen|) +
// kAbsoluteSlack, where D is the end's largest estimate of s*s/len and Q its
// largest |q| + |prefix|. Both paths form len, s, q and s*s identically. The
// reciprocal is within 2^-45 of 1/len, so the two quotients differ by under
// 2^-44.8 of D. Every further rounding (q minus the quotient, the division and
// multiplication by len, which do not cancel exactly, and the two final
// additions) is at most 2^-53 of a value no larger than D + |q| + |prefix| +
// |pen|, and the two paths hold eight of them: at most 2^-50 of those values.
// The constants leave a factor of four or more beyond that.
constexpr double kQuotient = 0x1p-42;
constexpr double kOther = 0x1p-48;


struct Summary {
    double smallest = kInf;
    double quotient = 0.0;  // the largest estimate of s*s/len
    double other = 0.0;     // the largest |q| + |prefix|
    bool bounded = true;
};

// One candidate with the operations of the AVX2 loop's lanes.
void estimate_one(const L2Candidates& c, std::size_t k, double* estimate, Summary& summary) noexcept {
    const double len = c.end - c.start[k];
    const double s = c.s_end - c.s_start[k];
    const double q = c.q_end - c.q_start[k];
    double r = static_cast<double>(1.0f / static_cast<float>(len));
    r = r * (2.0 - len * r);
    const double d = (s * s) * r;
    const double g = q - d > 0.0 ? q - d : 0.0;
    estimate[k] = c.prefix[k] + (g + c.pen);
    const double other = std::fabs(q) + std::fabs(c.prefix[k]);
    summary.bounded = summary.bounded && d + other < kLargestBounded;
    summary.quotient = std::max(summary.quotient, d);
    summary.other = std::max(summary.other, other);
}

__attribute__((target("avx2"))) double lowest(__m256d v) noexcept {
    const __m128d half = _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
}

__attribute__((target("avx2"))) double highest(__m256d v) noexcept {
    const __m128d half = _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_max_sd(half, _mm_unpackhi_pd(half, half)));
}

// 1/len to single precision, then one Newton step in double.
__attribute__((target("avx2"))) Summary estimate_avx2(const L2Candidates& c, double* __restrict estimate,
                                                      double* __restrict low, double* __restrict high) noexcept {
    const double* __restrict start = c.start;
    const double* __restrict s_start = c.s_start;
    const double* __restrict q_start = c.q_start;
    const double* __restrict prefix = c.prefix;
    const __m256d end = _mm256_set1_pd(c.end), s_end = _mm256_set1_pd(c.s_end);
    const __m256d q_end = _mm256_set1_pd(c.q_end), pen = _mm256_set1_pd(c.pen);
    const __m256d zero = _mm256_setzero_pd(), two = _mm256_set1_pd(2.0);
    const __m256d largest = _mm256_set1_pd(kLargestBounded), sign = _mm256_set1_pd(-0.0);
    __m256d quotient = zero, others = zero, unbounded = zero;
    Summary summary;
    for (std::size_t base = 0, chunk = 0; base < c.count; base += kEstimateChunk, ++chunk) {
        const std::size_t stop = std::min(base + kEstimateChunk, c.count);
        __m256d lo = _mm256_set1_pd(kInf), hi = _mm256_set1_pd(-kInf);
        std::size_t k = base;
        for (; k + 4 <= stop; k += 4) {
            const __m256d len = _mm256_sub_pd(end, _mm256_loadu_pd(start + k));
            const __m256d s = _mm256_sub_pd(s_end, _mm256_loadu_pd(s_start + k));
            const __m256d q = _mm256_sub_pd(q_end, _mm256_loadu_pd(q_start + k));
            __m256d r = _mm256_cvtps_pd(_mm_div_ps(_mm_set1_ps(1.0f), _mm256_cvtpd_ps(len)));
            r = _mm256_mul_pd(r, _mm256_sub_pd(two, _mm256_mul_pd(len, r)));
            const __m256d d = _mm256_mul_pd(_mm256_mul_pd(s, s), r);
            const __m256d g = _mm256_max_pd(_mm256_sub_pd(q, d), zero);
            const __m256d p = _mm256_loadu_pd(prefix + k);
            const __m256d t = _mm256_add_pd(p, _mm256_add_pd(g, pen));
            _mm256_storeu_pd(estimate + k, t);
            lo = _mm256_min_pd(t, lo);
            hi = _mm256_max_pd(t, hi);
            const __m256d other = _mm256_add_pd(_mm256_andnot_pd(sign, q), _mm256_andnot_pd(sign, p));
            // Not-less-than, unordered: NaN counts as unbounded.
            unbounded = _mm256_or_pd(unbounded, _mm256_cmp_pd(_mm256_add_pd(d, other), largest, _CMP_NLT_UQ));
            quotient = _mm256_max_pd(d, quotient);
            others = _mm256_max_pd(other, others);
        }
        low[chunk] = lowest(lo);
        high[chunk] = highest(hi);
        for (; k < stop; ++k) {
            estimate_one(c, k, estimate, summary);
            low[chunk] = std::min(low[chunk], estimate[k]);
            high[chunk] = std::max(high[chunk], estimate[k]);
        }
        summary.smallest = std::min(summary.smallest, low[chunk]);
    }
    summary.bounded = summary.bounded && _mm256_movemask_pd(unbounded) == 0;
    summary.quotient = std::max(summary.quotient, highest(quotient));
    summary.other = std::max(summary.other, highest(others));
    return summary;
}

// The reciprocal estimate to 14 bits, then two Newton steps in double.
struct L2Lane {
    __m512d pen;
    LargestBits quotient;  // s*s/len, estimated
    LargestBits other;     // |q| + |prefix|

    __attribute__((target("avx512f"))) __m512d operator()(const Lanes512& b) noexcept {
        const __m512d two = _mm512_set1_pd(2.0);
        __m512d r = _mm512_rcp14_pd(b.len);
        r = _mm512_mul_pd(r, _mm512_sub_pd(two, _mm512_mul_pd(b.len, r)));
        r = _mm512_mul_pd(r, _mm512_sub_pd(two, _mm512_mul_pd(b.len, r)));
        const __m512d d = _mm512_mul_pd(_mm512_mul_pd(b.s, b.s), r);
        const __m512d g = _mm512_max_pd(_mm512_sub_pd(b.q, d), _mm512_setzero_pd());
        quotient.add(b.active, d);
        other.add(b.active, _mm512_add_pd(_mm512_abs_pd(b.q), _mm512_abs_pd(b.prefix)));
        return _mm512_add_pd(b.prefix, _mm512_add_pd(g, pen));
    }
};

__attribute__((target("avx512f"))) Summary estimate_avx512(const L2Candidates& c, double* estimate,
                                                           double* low, double* high) noexcept {
    L2Lane lane{_mm512_set1_pd(c.pen), {}, {}};
    Summary summary;
    summary.smallest = estimate_chunks_avx512(c, lane, estimate, low, high);
    summary.quotient = lane.quotient.value();
    summary.other = lane.other.value();
    summary.bounded = summary.quotient + summary.other < kLargestBounded;
    return summary;
}

}  // namespace

std::optional<Estimate> estimate_totals(VectorIsa isa, const L2Candidates& c, double* estimate,
                                        double* chunk_low, double* chunk_high) noexcept {
    if (isa == VectorIsa::kNone) return std::nullopt;
    const auto kernel = isa == VectorIsa::kAvx512 ? estimate_avx512 : estimate_avx2;
    const Summary summary = kernel(c, estimate, chunk_low, chunk_high);
    const double other = summary.other + std::fabs(c.pen);
    if (!summary.bounded || !(summary.quotient + other < kLargestBounded)) return std::nullopt;
    return Estimate{summary.smallest, kQuotient * summary.quotient + kOther * other + kAbsoluteSlack};
}

}  // namespace marbolt::detect
