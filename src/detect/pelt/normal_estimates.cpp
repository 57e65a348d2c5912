#include "detect/pelt/normal_estimates.hpp"

#include "cost/pruning_normal.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "detect/pelt/column_lanes.hpp"
#include "detect/pelt/intrinsics.hpp"

namespace marbolt::detect {
namespace {

// The bound: |estimate - exact| <= kPerSample * L + kOther * (C + |pen|) +
// kAbsoluteSlack, where L is the end's longest segment and C its largest |cost| +
// |prefix| (cost: the estimate of log(v) * len). The variance is the exact
// one. The polynomial is within 4e-15 + 2^-51 |log v| of log v (truncation
// under 2e-16 for |t| < 0.2, its roundings and those of t and of the exponent
// term), and the C library's logarithm within an ulp of it; scaled by len and
// rounded, the two costs differ by under len * 4.1e-15 + 2^-49 |cost|, and the
// final additions add four roundings of at most 2^-53 of |cost| + |pen| +
// |prefix|. The constants leave a factor of eight or more beyond that.
constexpr double kPerSample = 0x1p-44;
constexpr double kOther = 0x1p-45;
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

struct NormalLane {
    __m512d pen;
    bool add_small_diag;
    bool mark_clamped;
    __mmask8 declined = 0;
    __m512d longest = __m512d{};  // of the bounded lanes
    LargestBits512 other;         // |cost| + |prefix| of the bounded lanes

    __attribute__((target("avx512f"))) void operator()(const Lanes512& b, __m512d& estimate) noexcept {
        const __m512d zero = _mm512_setzero_pd(), minus_inf = _mm512_set1_pd(-kInf);
        // The model's variance, to the bit: each lane rounds as the scalar
        // operations do. Below zero it is raised to zero.
        __m512d v = _mm512_div_pd(_mm512_sub_pd(b.q, _mm512_div_pd(_mm512_mul_pd(b.s, b.s), b.len)), b.len);
        const __mmask8 raised = _mm512_cmp_pd_mask(v, zero, _CMP_LT_OQ);
        v = _mm512_mask_blend_pd(raised, v, zero);
        if (add_small_diag) v = _mm512_add_pd(v, _mm512_set1_pd(cost::CostNormal::kSmallDiag));
        // A zero variance or a -inf prefix cost makes the total exactly -inf
        // (the penalty is finite, else the end is declined): such lanes are
        // estimated without error. Subnormal, infinite and NaN variances and
        // NaN or +inf prefix costs are declined.
        const __mmask8 zero_variance = _mm512_cmp_pd_mask(v, zero, _CMP_EQ_OQ);
        const __mmask8 collapsed = zero_variance | _mm512_cmp_pd_mask(b.prefix, minus_inf, _CMP_EQ_OQ);
        declined |= _mm512_mask_cmp_pd_mask(b.active & ~zero_variance, v, _mm512_set1_pd(DBL_MIN), _CMP_NGE_UQ) |
                    _mm512_mask_cmp_pd_mask(b.active, v, _mm512_set1_pd(DBL_MAX), _CMP_NLE_UQ) |
                    _mm512_mask_cmp_pd_mask(b.active, b.prefix, _mm512_set1_pd(kInf), _CMP_NLT_UQ);
        const __m512d cost = _mm512_mul_pd(approximate_log(v), b.len);
        const __mmask8 bounded = b.active & ~collapsed;
        longest = _mm512_mask_max_pd(longest, bounded, b.len, longest);
        other.add(bounded, _mm512_add_pd(_mm512_abs_pd(cost), _mm512_abs_pd(b.prefix)));
        estimate = _mm512_mask_blend_pd(collapsed, _mm512_add_pd(b.prefix, _mm512_add_pd(cost, pen)), minus_inf);
        if (mark_clamped) {
            __mmask8 marked = raised | collapsed;
            if (!add_small_diag) marked |= _mm512_cmp_pd_mask(b.len, _mm512_set1_pd(2.0), _CMP_LT_OQ);
            estimate = _mm512_mask_blend_pd(marked, estimate, _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN()));
        }
    }
};

__attribute__((target("avx512f"))) std::optional<Estimate> estimate_avx512(
    const NormalCandidates& c, double* estimate, double* low, double* high) noexcept {
    NormalLane lane{_mm512_set1_pd(c.pen), c.add_small_diag, c.mark_clamped, 0, __m512d{}, {}};
    const double smallest = estimate_chunks_avx512(c, lane, estimate, low, high);
    const double other = lane.other.value() + std::fabs(c.pen);
    if (lane.declined != 0 || !(other < kLargestBounded)) return std::nullopt;
    return Estimate{smallest, kPerSample * _mm512_reduce_max_pd(lane.longest) + kOther * other + kAbsoluteSlack};
}

}  // namespace

std::optional<Estimate> estimate_totals(VectorIsa isa, const NormalCandidates& c, double* estimate,
                                        double* chunk_low, double* chunk_high) noexcept {
    if (isa != VectorIsa::kAvx512) return std::nullopt;
    return estimate_avx512(c, estimate, chunk_low, chunk_high);
}

}  // namespace marbolt::detect

namespace marbolt::cost {

// The plain loop's estimates and bound serve the family as they are: its
// totals are the plain loop's to the bit where there is no floor.
std::optional<double> NormalColumnFamily::estimate_totals(const Starts& starts, std::size_t end, const double* prefix,
                                                          double pen, double* total, double* low,
                                                          double* high) const noexcept {
    if (floor_ > 0.0) return std::nullopt;
    detect::NormalCandidates c{{starts.size(), starts.start.data(), starts.s.data(), starts.q.data(), prefix,
                                static_cast<double>(end), s_[end], q_[end], pen},
                               diag_ > 0.0,
                               true};
    const std::optional<detect::Estimate> e = detect::estimate_totals(best_vector_isa(), c, total, low, high);
    if (!e) return std::nullopt;
    if (widen_ > 0.0) {
        // Rounding the moves costs at most an ulp of each total, within the
        // bound's room; each run's least and largest move with them.
        for (std::size_t base = 0, chunk = 0; base < starts.size(); base += detect::kEstimateChunk, ++chunk) {
            low[chunk] = kInf;
            high[chunk] = -kInf;
            for (std::size_t k = base; k < std::min(base + detect::kEstimateChunk, starts.size()); ++k) {
                total[k] += 0.5 * widen_ * static_cast<double>(static_cast<int>(k % 3) - 1);
                if (std::isnan(total[k])) continue;
                low[chunk] = std::min(low[chunk], total[k]);
                high[chunk] = std::max(high[chunk], total[k]);
            }
        }
    }
    return e->bound + widen_;
}

}  // namespace marbolt::cost
