#include "detect/normal_filter.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

#include "detect/intrinsics.hpp"

namespace marbolt::detect {
namespace {

// The bound: |estimate - exact| <= kPerSample * L + kOther * (C + |pen|) +
// kAbsolute, where L is the end's longest segment and C its largest |cost| +
// |prefix| (cost: the estimate of log(v) * len). The variance is the exact
// one. The polynomial is within 4e-15 + 2^-51 |log v| of log v (truncation
// under 2e-16 for |t| < 0.2, its roundings and those of t and of the exponent
// term), and the C library's logarithm within an ulp of it; scaled by len and
// rounded, the two costs differ by under len * 4.1e-15 + 2^-49 |cost|, and the
// final additions add four roundings of at most 2^-53 of |cost| + |pen| +
// |prefix|. The constants leave a factor of eight or more beyond that.
constexpr double kPerSample = 0x1p-44;
constexpr double kOther = 0x1p-45;
constexpr double kAbsolute = 0x1p-1000;
constexpr double kLargest = 0x1p1000;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLn2 = 0.6931471805599453;

// log(v) for positive normal v: v = m * 2^e with m in [0.75, 1.5), and
// log(m) = 2 atanh(t) with t = (m - 1) / (m + 1) in (-0.143, 0.2), summed to
// t^19 (the next term is under 2e-16). The reciprocal is AVX-512's 14-bit
// estimate refined by two Newton steps.
__attribute__((target("avx512f"))) __m512d approximate_log(__m512d v) noexcept {
    const __m512d one = _mm512_set1_pd(1.0), two = _mm512_set1_pd(2.0);
    __m512d m = _mm512_getmant_pd(v, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_zero);
    __m512d e = _mm512_getexp_pd(v);
    const __mmask8 upper = _mm512_cmp_pd_mask(m, _mm512_set1_pd(1.5), _CMP_GE_OQ);
    m = _mm512_mask_mul_pd(m, upper, m, _mm512_set1_pd(0.5));
    e = _mm512_mask_add_pd(e, upper, e, one);
    const __m512d f = _mm512_sub_pd(m, one);
    const __m512d denominator = _mm512_add_pd(two, f);
    __m512d r = _mm512_rcp14_pd(denominator);
    r = _mm512_mul_pd(r, _mm512_sub_pd(two, _mm512_mul_pd(denominator, r)));
    r = _mm512_mul_pd(r, _mm512_sub_pd(two, _mm512_mul_pd(denominator, r)));
    const __m512d t = _mm512_mul_pd(f, r);
    const __m512d t2 = _mm512_mul_pd(t, t);
    __m512d p = _mm512_set1_pd(1.0 / 19.0);
    for (const double c : {1.0 / 17.0, 1.0 / 15.0, 1.0 / 13.0, 1.0 / 11.0, 1.0 / 9.0, 1.0 / 7.0,
                           1.0 / 5.0, 1.0 / 3.0, 1.0}) {
        p = _mm512_add_pd(_mm512_mul_pd(p, t2), _mm512_set1_pd(c));
    }
    return _mm512_add_pd(_mm512_mul_pd(e, _mm512_set1_pd(kLn2)), _mm512_mul_pd(_mm512_add_pd(t, t), p));
}

__attribute__((target("avx512f"))) std::optional<Estimate> estimate_avx512(
    const NormalCandidates& c, double* __restrict estimate, double* __restrict low,
    double* __restrict high) noexcept {
    const double* __restrict start = c.start;
    const double* __restrict s_start = c.s_start;
    const double* __restrict q_start = c.q_start;
    const double* __restrict prefix = c.prefix;
    const __m512d end = _mm512_set1_pd(c.end), s_end = _mm512_set1_pd(c.s_end);
    const __m512d q_end = _mm512_set1_pd(c.q_end), pen = _mm512_set1_pd(c.pen);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d diagonal = _mm512_set1_pd(c.add_small_diag ? cost::CostNormal::kSmallDiag : 0.0);
    const __m512d normal = _mm512_set1_pd(DBL_MIN), finite = _mm512_set1_pd(DBL_MAX);
    const __m512d plus_inf = _mm512_set1_pd(kInf), minus_inf = _mm512_set1_pd(-kInf);
    __m512d longest = zero;
    __m512i others = _mm512_setzero_si512();
    __mmask8 declined = 0;
    double smallest = kInf;
    for (std::size_t base = 0, chunk = 0; base < c.count; base += kEstimateChunk, ++chunk) {
        const std::size_t stop = std::min(base + kEstimateChunk, c.count);
        __m512d lo = _mm512_set1_pd(kInf), hi = _mm512_set1_pd(-kInf);
        for (std::size_t k = base; k < stop; k += 8) {
            // Lanes past the end are neither read nor written nor summarised.
            const __mmask8 lanes = stop - k >= 8 ? 0xff : static_cast<__mmask8>((1u << (stop - k)) - 1);
            const __m512d len = _mm512_sub_pd(end, _mm512_maskz_loadu_pd(lanes, start + k));
            const __m512d s = _mm512_sub_pd(s_end, _mm512_maskz_loadu_pd(lanes, s_start + k));
            const __m512d q = _mm512_sub_pd(q_end, _mm512_maskz_loadu_pd(lanes, q_start + k));
            // The model's variance, to the bit: each lane rounds as the
            // scalar operations do. Below zero it is raised to zero.
            __m512d v = _mm512_div_pd(_mm512_sub_pd(q, _mm512_div_pd(_mm512_mul_pd(s, s), len)), len);
            v = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(v, zero, _CMP_LT_OQ), v, zero);
            if (c.add_small_diag) v = _mm512_add_pd(v, diagonal);
            const __m512d p = _mm512_maskz_loadu_pd(lanes, prefix + k);
            // A zero variance or a -inf prefix cost makes the total exactly
            // -inf (the penalty is finite, else the end is declined): such
            // lanes are estimated without error. Subnormal, infinite and NaN
            // variances and NaN or +inf prefix costs are declined.
            const __mmask8 zero_variance = _mm512_cmp_pd_mask(v, zero, _CMP_EQ_OQ);
            const __mmask8 collapsed = zero_variance | _mm512_cmp_pd_mask(p, minus_inf, _CMP_EQ_OQ);
            declined |= _mm512_mask_cmp_pd_mask(lanes & ~zero_variance, v, normal, _CMP_NGE_UQ) |
                        _mm512_mask_cmp_pd_mask(lanes, v, finite, _CMP_NLE_UQ) |
                        _mm512_mask_cmp_pd_mask(lanes, p, plus_inf, _CMP_NLT_UQ);
            const __m512d cost = _mm512_mul_pd(approximate_log(v), len);
            const __m512d t = _mm512_mask_blend_pd(collapsed, _mm512_add_pd(p, _mm512_add_pd(cost, pen)), minus_inf);
            _mm512_mask_storeu_pd(estimate + k, lanes, t);
            lo = _mm512_mask_min_pd(lo, lanes, t, lo);
            hi = _mm512_mask_max_pd(hi, lanes, t, hi);
            const __mmask8 bounded = lanes & ~collapsed;
            longest = _mm512_mask_max_pd(longest, bounded, len, longest);
            // +0.0, positive or NaN: as unsigned integers the bits order the
            // same way, with every NaN above infinity, so the largest keeps a
            // NaN where a floating-point maximum would drop it.
            const __m512d other = _mm512_add_pd(_mm512_abs_pd(cost), _mm512_abs_pd(p));
            others = _mm512_mask_max_epu64(others, bounded, _mm512_castpd_si512(other), others);
        }
        low[chunk] = _mm512_reduce_min_pd(lo);
        high[chunk] = _mm512_reduce_max_pd(hi);
        smallest = std::min(smallest, low[chunk]);
    }
    const double other = std::bit_cast<double>(_mm512_reduce_max_epu64(others)) + std::fabs(c.pen);
    if (declined != 0 || !(other < kLargest)) return std::nullopt;
    return Estimate{smallest, kPerSample * _mm512_reduce_max_pd(longest) + kOther * other + kAbsolute};
}

}  // namespace

std::optional<Estimate> estimate_totals(VectorIsa isa, const NormalCandidates& c, double* estimate,
                                        double* chunk_low, double* chunk_high) noexcept {
    if (isa != VectorIsa::kAvx512) return std::nullopt;
    return estimate_avx512(c, estimate, chunk_low, chunk_high);
}

}  // namespace marbolt::detect
