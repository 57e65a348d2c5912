#include "cost/pruning_l2.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <array>
#include <type_traits>
#include <limits>

namespace marbolt::cost {

namespace {

// What a sweep reads: the starts' arrays and the end's table rows.
struct SweepRows {
    std::size_t count;
    const double* start;
    const double* s;
    const double* q;
    double end, s_end, q_end;
};

// The loops of sweep and brackets, inlined into a baseline and an AVX2
// version; the pointers do not alias, which lets both vectorise.
[[gnu::always_inline]] inline void sweep_loop(const SweepRows& rows, const double* __restrict prefix, double pen,
                                              double* __restrict estimate, double* __restrict value,
                                              double* __restrict inv) noexcept {
    for (std::size_t k = 0; k < rows.count; ++k) {
        const double len = rows.end - rows.start[k], s = rows.s_end - rows.s[k], q = rows.q_end - rows.q[k];
        const double r = 1.0 / len;
        const double residue = q - (s * s) * r;
        estimate[k] = prefix[k] + ((residue > 0.0 ? residue : 0.0) + pen);
        value[k] = prefix[k] + (residue + pen);
        inv[k] = r;
    }
}

// The levels of the steps, as step_levels forms them.
struct StepRows {
    const double* value;
    double level;
    double allowance;
};

// bracket() for every start in three loops: the radicands, their roots
// (with vector instructions: std::sqrt's test for errno keeps a loop from
// vectorising), and the intervals. take_roots(x, count) replaces the first
// count radicands (of the reaches) by roots at least their rounded square
// roots and the next count (of the covers) by roots at most theirs: the
// rounded roots themselves, or bounds on them. A reach then only widens and
// a cover only narrows, which keeps both on their safe sides.
template <class Roots>
[[gnu::always_inline]] inline void brackets_loop(const SweepRows& rows, const double* __restrict inv,
                                                 const StepRows& step, double* __restrict roots,
                                                 double* __restrict out, Roots take_roots) noexcept {
    const std::size_t count = rows.count, stride = whole_vectors(count);
    const double* __restrict value = step.value;
    for (std::size_t k = 0; k < count; ++k) {
        const StepLevels levels = step_levels(step.level, value[k], step.allowance);
        roots[k] = half_width_radicand(inv[k], levels.up);
        roots[count + k] = half_width_radicand(inv[k], levels.down);
    }
    take_roots(roots, count);
    for (std::size_t k = 0; k < count; ++k) {
        const StepLevels levels = step_levels(step.level, value[k], step.allowance);
        const double c = (rows.s_end - rows.s[k]) * inv[k];
        const Interval reach = around(c, outer_from_root(c, roots[k], levels.up));
        const Interval cover = around(c, inner_from_root(c, roots[count + k], levels.down));
        out[k] = reach.lo;
        out[stride + k] = reach.hi;
        out[2 * stride + k] = cover.lo;
        out[3 * stride + k] = cover.hi;
    }
}

// The summary of a sweep from its arrays, two accumulators each (a chain
// of dependent minima showed); std::min and std::max keep the accumulator
// when the other operand is NaN. Inlined into each version, so that the
// AVX2 one does not run baseline code with the vector registers' upper
// halves in use, which costs the rest of the search dearly.
[[gnu::always_inline]] inline SweepSummary summarise(std::size_t count, const double* estimate,
                                                     const double* value) noexcept {
    double lowest = std::numeric_limits<double>::infinity(), lowest_odd = lowest;
    double clamped = 0.0, clamped_odd = 0.0;
    std::size_t k = 0;
    for (; k + 2 <= count; k += 2) {
        lowest = std::min(lowest, estimate[k]);
        lowest_odd = std::min(lowest_odd, estimate[k + 1]);
        clamped = std::max(clamped, estimate[k] - value[k]);
        clamped_odd = std::max(clamped_odd, estimate[k + 1] - value[k + 1]);
    }
    if (k < count) {
        lowest = std::min(lowest, estimate[k]);
        clamped = std::max(clamped, estimate[k] - value[k]);
    }
    return {std::min(lowest, lowest_odd), std::max(clamped, clamped_odd)};
}

[[gnu::noinline]] SweepSummary sweep_baseline(const SweepRows& rows, const double* prefix, double pen,
                                              double* estimate, double* value, double* inv) noexcept {
    sweep_loop(rows, prefix, pen, estimate, value, inv);
    return summarise(rows.count, estimate, value);
}

[[gnu::noinline]] __attribute__((target("avx2"))) SweepSummary sweep_avx2(const SweepRows& rows,
                                                                          const double* prefix, double pen,
                                                                          double* estimate, double* value,
                                                                          double* inv) noexcept {
    sweep_loop(rows, prefix, pen, estimate, value, inv);
    return summarise(rows.count, estimate, value);
}

// sweep_loop eight starts at a time, the tail under a mask, with the
// summary in the same pass. MAXPD(residue, 0) is `residue > 0 ? residue :
// 0`, NaN and signed zeros included; MINPD(x, acc) and MAXPD(x, acc) keep
// acc when x is NaN, as std::min(acc, x) and std::max(acc, x) do. Full
// vectors, the last one too, are stored whole so that the loads that follow
// take them from the store buffer.
[[gnu::noinline]] __attribute__((target("avx512f"))) SweepSummary sweep_avx512(const SweepRows& rows,
                                                                              const double* prefix, double pen,
                                                                              double* estimate, double* value,
                                                                              double* inv) noexcept {
    const std::size_t count = rows.count;
    const __m512d end = _mm512_set1_pd(rows.end), s_end = _mm512_set1_pd(rows.s_end);
    const __m512d q_end = _mm512_set1_pd(rows.q_end), penalty = _mm512_set1_pd(pen);
    const __m512d zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0);
    __m512d lowest = _mm512_set1_pd(std::numeric_limits<double>::infinity()), clamped = zero;
    for (std::size_t k = 0; k < count; k += 8) {
        const __mmask8 m = count - k >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1u << (count - k)) - 1u);
        const __m512d len = _mm512_sub_pd(end, _mm512_maskz_loadu_pd(m, rows.start + k));
        const __m512d sum = _mm512_sub_pd(s_end, _mm512_maskz_loadu_pd(m, rows.s + k));
        const __m512d squares = _mm512_sub_pd(q_end, _mm512_maskz_loadu_pd(m, rows.q + k));
        const __m512d r = _mm512_div_pd(one, len);
        const __m512d residue = _mm512_sub_pd(squares, _mm512_mul_pd(_mm512_mul_pd(sum, sum), r));
        const __m512d before = _mm512_maskz_loadu_pd(m, prefix + k);
        const __m512d t = _mm512_add_pd(before, _mm512_add_pd(_mm512_maskz_max_pd(0xFF, residue, zero), penalty));
        const __m512d u = _mm512_add_pd(before, _mm512_add_pd(residue, penalty));
        lowest = _mm512_mask_min_pd(lowest, m, t, lowest);
        clamped = _mm512_mask_max_pd(clamped, m, _mm512_sub_pd(t, u), clamped);
        _mm512_storeu_pd(estimate + k, t);
        _mm512_storeu_pd(value + k, u);
        _mm512_storeu_pd(inv + k, r);
    }
    // The lanes hold no NaN, so any order of reduction gives the same
    // result but for the sign of a zero, which no use of them sees; a tree
    // of MINSD and MAXSD, where min_element's branches mispredict.
    alignas(64) double low[8], high[8];
    _mm512_store_pd(low, lowest);
    _mm512_store_pd(high, clamped);
    const auto min4 = [](const double* x) { return std::min(std::min(x[0], x[1]), std::min(x[2], x[3])); };
    const auto max4 = [](const double* x) { return std::max(std::max(x[0], x[1]), std::max(x[2], x[3])); };
    return {std::min(min4(low), min4(low + 4)), std::max(max4(high), max4(high + 4))};
}

// The rounded roots of 2 * count radicands.
void roots_baseline(double* x, std::size_t count) noexcept {
    for (std::size_t k = 0; k < 2 * count; ++k) x[k] = root(x[k]);
}

__attribute__((target("avx2"))) inline void roots_avx2(double* x, std::size_t count) noexcept {
    std::size_t k = 0;
    for (; k + 4 <= 2 * count; k += 4) _mm256_storeu_pd(x + k, _mm256_sqrt_pd(_mm256_loadu_pd(x + k)));
    for (; k < 2 * count; ++k) x[k] = root(x[k]);
}

// Bounds on the rounded roots without the divider, whose square roots an end
// would otherwise wait on. y0 = rsqrt14(x) is within 2^-14 of 1 / sqrt(x)
// (relative); z = t (1.5 - (0.5 t) y0) with t = x y0 is one Newton step from
// it, whose exact value is sqrt(x) (1 - 1.5 e^2 - 0.5 e^3) for y0 =
// (1 + e) / sqrt(x): within 2^-27.4 of sqrt(x), and its four roundings add
// under 2^-50. So z (1 + 2^-26), rounded, is at least sqrt(x) (1 + u), over
// the rounded root, and z (1 - 2^-26), rounded, at most sqrt(x) (1 - u),
// under it. A zero radicand (whose reciprocal root is infinite) has the
// root zero; the others outside [2^-1000, 2^1000] take the exact root.
__attribute__((target("avx512f"))) inline __m512d bounded_roots(__m512d v, __m512d factor) noexcept {
    const __mmask8 normal = _mm512_cmp_pd_mask(v, _mm512_set1_pd(0x1p-1000), _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(v, _mm512_set1_pd(0x1p1000), _CMP_LE_OQ);
    const __mmask8 zero = _mm512_cmp_pd_mask(v, _mm512_setzero_pd(), _CMP_EQ_OQ);
    const __m512d y0 = _mm512_maskz_rsqrt14_pd(0xFF, v);
    const __m512d t = _mm512_mul_pd(v, y0);
    const __m512d z = _mm512_mul_pd(
        t, _mm512_sub_pd(_mm512_set1_pd(1.5), _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(0.5), t), y0)));
    const __m512d bound = _mm512_maskz_mul_pd(normal, z, factor);  // zero outside the normal lanes
    if ((normal | zero) == 0xFF) return bound;
    return _mm512_mask_blend_pd(normal | zero, _mm512_maskz_sqrt_pd(0xFF, v), bound);
}

[[gnu::noinline]] void brackets_baseline(const SweepRows& rows, const double* inv, const StepRows& step,
                                         double* roots, double* out) noexcept {
    brackets_loop(rows, inv, step, roots, out, roots_baseline);
}

[[gnu::noinline]] __attribute__((target("avx2"))) void brackets_avx2(const SweepRows& rows, const double* inv,
                                                                     const StepRows& step, double* roots,
                                                                     double* out) noexcept {
    brackets_loop(rows, inv, step, roots, out, roots_avx2);
}

// With AVX-512 every step of bracket() in one pass of eight starts, the
// tail under a mask, the roots bounded as above: the same operations in the
// same order as step_levels, outer_from_root, inner_from_root and around,
// lane by lane.
[[gnu::noinline]] __attribute__((target("avx512f"))) void brackets_avx512(const SweepRows& rows, const double* inv,
                                                                         const StepRows& step, double*,
                                                                         double* out) noexcept {
    const std::size_t count = rows.count, stride = whole_vectors(count);
    const __m512d level = _mm512_set1_pd(step.level), level_size = _mm512_set1_pd(std::fabs(step.level));
    const __m512d allowance = _mm512_set1_pd(step.allowance), spread_unit = _mm512_set1_pd(0x1p-50);
    const __m512d zero = _mm512_setzero_pd(), none = _mm512_set1_pd(-1.0);
    const __m512d s_end = _mm512_set1_pd(rows.s_end), slack = _mm512_set1_pd(kEndSlack);
    const __m512d tiny = _mm512_set1_pd(kTinySlack), outer = _mm512_set1_pd(1.0 + kEndSlack),
                  inner = _mm512_set1_pd(1.0 - kEndSlack);
    const __m512d above = _mm512_set1_pd(1.0 + 0x1p-26), below = _mm512_set1_pd(1.0 - 0x1p-26);
    const __m512d nowhere_lo = _mm512_set1_pd(kNowhere.lo), nowhere_hi = _mm512_set1_pd(kNowhere.hi);
    for (std::size_t k = 0; k < count; k += 8) {
        const __mmask8 m = count - k >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1u << (count - k)) - 1u);
        const __m512d r = _mm512_loadu_pd(inv + k);
        const __m512d value = _mm512_loadu_pd(step.value + k);
        const __m512d spread =
            _mm512_mul_pd(spread_unit, _mm512_add_pd(_mm512_add_pd(level_size, _mm512_abs_pd(value)), allowance));
        const __m512d gap = _mm512_sub_pd(level, value);
        const __m512d up = _mm512_add_pd(_mm512_add_pd(gap, allowance), spread);
        const __m512d down = _mm512_sub_pd(_mm512_sub_pd(gap, allowance), spread);
        const __m512d c = _mm512_mul_pd(_mm512_sub_pd(s_end, _mm512_maskz_loadu_pd(m, rows.s + k)), r);
        const __m512d abs_c = _mm512_abs_pd(c);
        // std::max(a, 0.0) is MAXPD(0, a), NaN included.
        const __m512d root_up = bounded_roots(_mm512_mul_pd(_mm512_maskz_max_pd(0xFF, zero, up), r), above);
        const __m512d root_down = bounded_roots(_mm512_mul_pd(_mm512_maskz_max_pd(0xFF, zero, down), r), below);
        __m512d w_out = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(root_up, outer), _mm512_mul_pd(slack, abs_c)), tiny);
        w_out = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(up, zero, _CMP_GT_OQ), none, w_out);
        __m512d w_in = _mm512_sub_pd(_mm512_sub_pd(_mm512_mul_pd(root_down, inner), _mm512_mul_pd(slack, abs_c)), tiny);
        w_in = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(down, zero, _CMP_GT_OQ), none, w_in);
        const __mmask8 reaches = _mm512_cmp_pd_mask(w_out, zero, _CMP_GE_OQ);
        const __mmask8 covers = _mm512_cmp_pd_mask(w_in, zero, _CMP_GE_OQ);
        _mm512_storeu_pd(out + k, _mm512_mask_blend_pd(reaches, nowhere_lo, _mm512_sub_pd(c, w_out)));
        _mm512_storeu_pd(out + stride + k, _mm512_mask_blend_pd(reaches, nowhere_hi, _mm512_add_pd(c, w_out)));
        _mm512_storeu_pd(out + 2 * stride + k, _mm512_mask_blend_pd(covers, nowhere_lo, _mm512_sub_pd(c, w_in)));
        _mm512_storeu_pd(out + 3 * stride + k, _mm512_mask_blend_pd(covers, nowhere_hi, _mm512_add_pd(c, w_in)));
    }
}

}  // namespace

SweepSummary L2ColumnFamily::sweep(const Starts& starts, std::size_t end, const double* prefix, double pen,
                                   double* estimate, double* value, double* inv) const noexcept {
    fetch_ahead(end);
    const SweepRows rows{starts.size(), starts.start.data(), starts.s.data(), starts.q.data(),
                         static_cast<double>(end), s_[end], q_[end]};
    const VectorIsa isa = isa_;
    const auto sweep = isa == VectorIsa::kAvx512 ? sweep_avx512
                       : isa == VectorIsa::kAvx2 ? sweep_avx2
                                                 : sweep_baseline;
    return sweep(rows, prefix, pen, estimate, value, inv);
}

void L2ColumnFamily::brackets(const Starts& starts, std::size_t end, const double* inv, const double* value,
                              double level, double allowance, double* roots, double* out) const noexcept {
    const SweepRows rows{starts.size(), starts.start.data(), starts.s.data(), starts.q.data(),
                         static_cast<double>(end), s_[end], q_[end]};
    const VectorIsa isa = isa_;
    const auto brackets = isa == VectorIsa::kAvx512 ? brackets_avx512
                          : isa == VectorIsa::kAvx2 ? brackets_avx2
                                                    : brackets_baseline;
    brackets(rows, inv, StepRows{value, level, allowance}, roots, out);
}

namespace {

// The rows of one column with adjacent entries (stride 1), two rows of
// each table per SSE2 operation: the sums of lanes 0 and 1, then of 2 and
// 3, as the loop below keeps them (the same bits), and one test for the
// whole pass rather than a return per row, which kept the loop scalar.
// Returns the rows it took (a multiple of four) and leaves their sums in
// `lane`; `ok` false when one of those rows fails the test.
std::size_t energy_rows(const double* s, const double* q, std::size_t n, double* lane, double& largest_q,
                        bool& ok) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d limit = _mm_set1_pd(kEnvelopeLargest);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    __m128d low = _mm_setzero_pd(), high = low, largest = low;
    __m128d within = _mm_castsi128_pd(_mm_set1_epi64x(-1));
    for (; i + 4 <= n; i += 4) {
        const __m128d s0 = _mm_loadu_pd(s + i), s2 = _mm_loadu_pd(s + i + 2);
        const __m128d q0 = _mm_and_pd(_mm_loadu_pd(q + i), magnitude);
        const __m128d q2 = _mm_and_pd(_mm_loadu_pd(q + i + 2), magnitude);
        within = _mm_and_pd(within, _mm_and_pd(_mm_cmplt_pd(_mm_and_pd(s0, magnitude), limit),
                                               _mm_cmplt_pd(_mm_and_pd(s2, magnitude), limit)));
        within = _mm_and_pd(within, _mm_and_pd(_mm_cmplt_pd(q0, limit), _mm_cmplt_pd(q2, limit)));
        largest = _mm_max_pd(largest, _mm_max_pd(q0, q2));
        const __m128d d0 = _mm_sub_pd(_mm_loadu_pd(s + i + 1), s0);
        const __m128d d2 = _mm_sub_pd(_mm_loadu_pd(s + i + 3), s2);
        low = _mm_add_pd(low, _mm_mul_pd(d0, d0));
        high = _mm_add_pd(high, _mm_mul_pd(d2, d2));
    }
    ok = _mm_movemask_pd(within) == 3;
    alignas(16) double out[2];
    _mm_store_pd(out, largest);
    largest_q = std::max(out[0], out[1]);  // no NaN once ok
    _mm_store_pd(lane, low);
    _mm_store_pd(lane + 2, high);
#else
    (void)s, (void)q, (void)n, (void)lane, (void)largest_q;
    ok = true;
#endif
    return i;
}

}  // namespace

std::optional<double> l2_energy(const double* s, const double* q, std::size_t n, std::size_t stride) noexcept {
    if (n >= (std::size_t{1} << 40)) return std::nullopt;
    double largest_q = 0.0;
    alignas(16) double lane[4] = {0.0, 0.0, 0.0, 0.0};  // four sums, for speed; the bound holds for any order
    std::size_t first = 0;
    if (stride == 1) {
        bool ok = true;
        first = energy_rows(s, q, n, lane, largest_q, ok);
        if (!ok) return std::nullopt;
    }
    for (std::size_t i = first; i <= n; ++i) {
        const double s_i = s[i * stride], q_i = q[i * stride];
        if (!(std::fabs(s_i) < kEnvelopeLargest && std::fabs(q_i) < kEnvelopeLargest)) return std::nullopt;
        largest_q = std::max(largest_q, std::fabs(q_i));
        if (i < n) {
            const double step = s[(i + 1) * stride] - s_i;
            lane[i % 4] = lane[i % 4] + step * step;
        }
    }
    // Each term carries three roundings and the sums n more, relative to the
    // total: (n + 3) u < 2^-12 for n < 2^40, and the factor allows twice that.
    const double y = ((lane[0] + lane[1]) + (lane[2] + lane[3])) *
                     (1.0 + 0x1p-52 * (static_cast<double>(n) + 4.0));
    const double v = (2.0 * largest_q + y) * (1.0 + 0x1p-50);
    if (!(v < kEnvelopeLargest)) return std::nullopt;
    return v;
}

std::optional<L2ColumnFamily> L2ColumnFamily::make(const CostL2& model, std::size_t n) noexcept {
    if (model.dims() != 1) return std::nullopt;
    const double* s = model.sums().data.data();
    const double* q = model.sums_sq().data.data();
    const std::optional<double> energy = l2_energy(s, q, n);
    if (!energy) return std::nullopt;
    return L2ColumnFamily(s, q, n, *energy);
}

std::optional<L2ColumnsFamily> L2ColumnsFamily::make(const CostL2& model, std::size_t n) noexcept {
    const std::size_t d = model.dims();
    if (d < 2 || d > kMaxBallDims) return std::nullopt;
    const double* s = model.sums().data.data();
    const double* q = model.sums_sq().data.data();
    double energy = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const std::optional<double> v = l2_energy(s + j, q + j, n, d);
        if (!v) return std::nullopt;
        energy = energy + *v;
    }
    energy = energy * (1.0 + 0x1p-50 * static_cast<double>(d));
    if (!(energy < kEnvelopeLargest)) return std::nullopt;
    return L2ColumnsFamily(s, q, d, energy);
}

// The exact level sets of L |mu - c*|^2 are balls around the exact centre
// c*_j = s*_j / L; the computed c_j = fl(fl(S[at] - S[t]) fl(1 / L)) takes
// three roundings, so |c_j - c*_j| <= 3.02 u |c_j| (u = 2^-53) and, in
// norm, |c - c*| <= 3.02 u sqrt(d) max |c_j|. `off` is 2^-51 (d / 2 + 1)
// max |c_j| (sqrt(d) <= d / 2 + 1; 4u against 3.02u leaves a quarter for its
// own rounding), plus kTinySlack for the subnormal range. The radius
// sqrt(a / L) is computed from fl(a fl(1 / L)) and a root, within 2.01 u of
// the exact one; the factor 1 -+ 2^-49 (16u) covers that and the final
// addition or subtraction of off with room. So the reach ball around c, of
// radius sqrt(a_up / L) + |c - c*| or more, holds every mu with
// L |mu - c*|^2 < a for a <= a_up, and the cover ball, of radius at most
// sqrt(a_down / L) - |c - c*|, only mu with L |mu - c*|^2 <= a_down.
namespace {

// Writes the centre c of the segment from the start with sums `s_start` to
// the end with sums `s_at` (d columns), and returns off for it.
double ball_centre(const double* s_at, const double* s_start, std::size_t d, double inv_len,
                   double* centre) noexcept {
    double largest = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        centre[j] = (s_at[j] - s_start[j]) * inv_len;
        largest = std::max(largest, std::fabs(centre[j]));
    }
    return 0x1p-51 * largest * (0.5 * static_cast<double>(d) + 1.0) + kTinySlack;
}

// The radii at the level a (negative where a is not positive: no ball).
double reach_radius(double a, double inv_len, double off) noexcept {
    return a > 0.0 ? root(a * inv_len) * (1.0 + kEndSlack) + off : -1.0;
}
double cover_radius(double a, double inv_len, double off) noexcept {
    return a > 0.0 ? root(a * inv_len) * (1.0 - kEndSlack) - off : -1.0;
}

// covers() for D columns: the same operations per start as ball_centre,
// the residue and cover_radius, in blocks whose first pass leaves the
// radicands (a negative one where the level is not positive) for a second
// pass of roots, whose latencies then overlap instead of each start waiting
// on its own.
template <std::size_t D>
void columns_covers(const L2ColumnsFamily::Starts& starts, std::size_t first, std::size_t last, const double* s_at,
                    const double* q_at, double at, const double* prefix, double pen, double thr, double allowance,
                    double* __restrict centre, double* __restrict radius) noexcept {
    constexpr std::size_t kBlock = 64;
    std::array<const double*, D> s_col, q_col;
    for (std::size_t j = 0; j < D; ++j) {
        s_col[j] = starts.s[j].data();
        q_col[j] = starts.q[j].data();
    }
    const double* __restrict start = starts.start.data();
    const double spread = 0x1p-51 * (0.5 * static_cast<double>(D) + 1.0);
    std::array<double, kBlock> radicand, off;
    for (std::size_t from = first; from < last; from += kBlock) {
        const std::size_t count = std::min(kBlock, last - from);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t k = from + i;
            const double inv_len = 1.0 / (at - start[k]);
            double residue = 0.0, largest = 0.0;
            for (std::size_t j = 0; j < D; ++j) {
                const double s = s_at[j] - s_col[j][k], q = q_at[j] - q_col[j][k];
                residue = residue + (q - (s * s) * inv_len);
                const double c = s * inv_len;
                centre[(k - first) * D + j] = c;
                largest = std::max(largest, std::fabs(c));
            }
            off[i] = spread * largest + kTinySlack;
            const double down = step_levels(thr, prefix[k] + (residue + pen), allowance).down;
            radicand[i] = down > 0.0 ? down * inv_len : -1.0;
        }
        for (std::size_t i = 0; i < count; ++i) {
            radius[from + i - first] =
                radicand[i] >= 0.0 ? root(radicand[i]) * (1.0 - kEndSlack) - off[i] : -1.0;
        }
    }
}

// sweep() for D columns, in one loop across the starts, which the compiler
// runs in vector lanes.
template <std::size_t D>
SweepSummary columns_sweep(const L2ColumnsFamily::Starts& starts, const double* s_at, const double* q_at, double at,
                           const double* __restrict prefix, double pen, double* __restrict estimate,
                           double* __restrict value, double* __restrict inv) noexcept {
    std::array<const double*, D> s_col, q_col;
    for (std::size_t j = 0; j < D; ++j) {
        s_col[j] = starts.s[j].data();
        q_col[j] = starts.q[j].data();
    }
    const double* __restrict start = starts.start.data();
    const std::size_t count = starts.size();
    for (std::size_t k = 0; k < count; ++k) {
        const double r = 1.0 / (at - start[k]);
        double acc = 0.0, residue = 0.0;
        for (std::size_t j = 0; j < D; ++j) {
            const double s = s_at[j] - s_col[j][k], q = q_at[j] - q_col[j][k];
            const double e = q - (s * s) * r;
            // max(e, 0) as bits: a negative e (sign bit set) becomes +0. A
            // comparison, which may trap, keeps the loop out of vector
            // lanes; the tables are finite (make), so e is never NaN.
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(e);
            acc = acc + std::bit_cast<double>(bits & ~(0 - (bits >> 63)));
            residue = residue + e;
        }
        inv[k] = r;
        estimate[k] = prefix[k] + (acc + pen);
        value[k] = prefix[k] + (residue + pen);
    }
    return summarise(count, estimate, value);
}

}  // namespace

SweepSummary L2ColumnsFamily::sweep(const Starts& starts, std::size_t end, const double* prefix, double pen,
                                    double* estimate, double* value, double* inv) const noexcept {
    const double* s_at = s_ + end * d_;
    const double* q_at = q_ + end * d_;
    const auto run = [&]<std::size_t D>(std::integral_constant<std::size_t, D>) {
        return columns_sweep<D>(starts, s_at, q_at, static_cast<double>(end), prefix, pen, estimate, value, inv);
    };
    return by_columns(d_, run);
}

void L2ColumnsFamily::covers(const Starts& starts, std::size_t first, std::size_t last, std::size_t at, const double* prefix,
                             double pen, double thr, double allowance, double* centre,
                             double* radius) const noexcept {
    const double* s_at = s_ + at * d_;
    const double* q_at = q_ + at * d_;
    const auto run = [&]<std::size_t D>(std::integral_constant<std::size_t, D>) {
        columns_covers<D>(starts, first, last, s_at, q_at, static_cast<double>(at), prefix, pen, thr, allowance,
                          centre, radius);
    };
    return by_columns(d_, run);
}

BallBracket L2ColumnsFamily::bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up,
                                     double a_down) const noexcept {
    BallBracket b{};
    b.dims = d_;
    const double inv_len = 1.0 / (static_cast<double>(at) - starts.start[k]);
    std::array<double, kMaxBallDims> s_k;
    for (std::size_t j = 0; j < d_; ++j) s_k[j] = starts.sum(k, j);
    const double off = ball_centre(s_ + at * d_, s_k.data(), d_, inv_len, b.centre.data());
    b.reach = reach_radius(a_up, inv_len, off);
    b.cover = cover_radius(a_down, inv_len, off);
    return b;
}

}  // namespace marbolt::cost
