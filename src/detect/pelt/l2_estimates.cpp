#include "detect/pelt/l2_estimates.hpp"

#include <cmath>
#include <cstdint>
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

// One Newton step towards 1/len: the relative error e of the reciprocal
// becomes e^2, plus the step's own roundings.
template <class Vector>
[[gnu::always_inline]] inline void refine(const Vector& len, Vector& reciprocal) noexcept {
    reciprocal = reciprocal * (2.0 - len * reciprocal);
}

// What differs between the vector widths: the types, and the reciprocal
// (both within 2^-45 of 1/len, as the bound needs).
struct Avx2 {
    using Lanes = Lanes256;
    using Vector = __m256d;
    using Largest = LargestBits256;

    // 1/len to single precision (within 2^-23), then one Newton step in
    // double (within 2^-46 + 3 * 2^-53).
    __attribute__((target("avx2"))) static void reciprocal(const __m256d& len, __m256d& r) noexcept {
        r = _mm256_cvtps_pd(_mm_div_ps(_mm_set1_ps(1.0f), _mm256_cvtpd_ps(len)));
        refine(len, r);
    }
};

struct Avx512 {
    using Lanes = Lanes512;
    using Vector = __m512d;
    using Largest = LargestBits512;

    // The reciprocal estimate to 14 bits, then two Newton steps in double.
    __attribute__((target("avx512f"))) static void reciprocal(const __m512d& len, __m512d& r) noexcept {
        r = _mm512_rcp14_pd(len);
        refine(len, r);
        refine(len, r);
    }
};

// The estimates of one block, written once for both widths with the vector
// types' own operators (a GCC and Clang extension): each works lane by lane
// and rounds as the matching instruction does, nothing is fused with
// contraction off, and `residue > 0 ? residue : 0` is MAXPD's own
// definition. The lane has no instruction set of its own: it is inlined into
// the width's chunk loop, and the width's functions it calls are inlined
// there in turn. Vectors therefore pass by reference, never by value.
template <class Width>
struct L2Lane {
    using Vector = typename Width::Vector;
    using Bits = decltype(Vector{} < Vector{});  // 64-bit integer lanes

    Vector pen;
    typename Width::Largest quotient;  // s*s/len, estimated
    typename Width::Largest other;     // |q| + |prefix|

    [[gnu::always_inline]] void operator()(const typename Width::Lanes& b, Vector& estimate) noexcept {
        constexpr std::int64_t kMagnitude = std::numeric_limits<std::int64_t>::max();
        Vector r;
        Width::reciprocal(b.len, r);
        const Vector d = (b.s * b.s) * r;
        const Vector residue = b.q - d;
        estimate = b.prefix + ((residue > 0.0 ? residue : Vector{}) + pen);
        quotient.add(b.active, d);
        other.add(b.active, __builtin_bit_cast(Vector, __builtin_bit_cast(Bits, b.q) & kMagnitude) +
                                __builtin_bit_cast(Vector, __builtin_bit_cast(Bits, b.prefix) & kMagnitude));
    }
};

// Each end's smallest estimate, and the largest s*s/len and |q| + |prefix|
// (NaN when any is).
struct Summary {
    double smallest;
    double quotient;
    double other;
};

__attribute__((target("avx2"))) Summary estimate_avx2(const L2Candidates& c, double* estimate, double* low,
                                                      double* high) noexcept {
    L2Lane<Avx2> lane{_mm256_set1_pd(c.pen), {}, {}};
    const double smallest = estimate_chunks_avx2(c, lane, estimate, low, high);
    return {smallest, lane.quotient.value(), lane.other.value()};
}

__attribute__((target("avx512f"))) Summary estimate_avx512(const L2Candidates& c, double* estimate,
                                                           double* low, double* high) noexcept {
    L2Lane<Avx512> lane{_mm512_set1_pd(c.pen), {}, {}};
    const double smallest = estimate_chunks_avx512(c, lane, estimate, low, high);
    return {smallest, lane.quotient.value(), lane.other.value()};
}

}  // namespace

std::optional<Estimate> estimate_totals(VectorIsa isa, const L2Candidates& c, double* estimate,
                                        double* chunk_low, double* chunk_high) noexcept {
    if (isa == VectorIsa::kNone) return std::nullopt;
    const auto kernel = isa == VectorIsa::kAvx512 ? estimate_avx512 : estimate_avx2;
    const Summary summary = kernel(c, estimate, chunk_low, chunk_high);
    // Every lane's s*s/len + |q| + |prefix| is at most the sum of the
    // largest ones, and NaN when any is, so this one test keeps every value
    // below kLargestBounded.
    const double other = summary.other + std::fabs(c.pen);
    if (!(summary.quotient + other < kLargestBounded)) return std::nullopt;
    return Estimate{summary.smallest, kQuotient * summary.quotient + kOther * other + kAbsoluteSlack};
}

}  // namespace marbolt::detect
