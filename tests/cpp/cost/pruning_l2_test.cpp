// The brackets of the one-column l2 family must err on the safe side of the
// exact level sets they stand for, whatever the rounding: checked against
// long double.
#include "cost/pruning_l2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace marbolt::cost {
namespace {

struct Parabola {
    double s_end, s_start, len, a;
};

// Sums with offsets up to 1e12 (so that their difference rounds), lengths
// from 1 to 1e7, and right-hand sides from 1e-300 to 1e12.
Parabola random_parabola(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 41));
    const double len = static_cast<double>(1 + gen() % 10'000'000);
    return {offset + unit(gen) * len, offset, len, std::ldexp(std::fabs(unit(gen)), static_cast<int>(gen() % 1040) - 1000)};
}

TEST(EnvelopeIntervals, OuterHoldsAndInnerStaysInsideTheExactInterval) {
    std::mt19937_64 gen(3);
    for (int k = 0; k < 200'000; ++k) {
        const Parabola p = random_parabola(gen);
        // As the search forms them: the rounded reciprocal, the centre from it.
        const double inv_len = 1.0 / p.len;
        const double c = (p.s_end - p.s_start) * inv_len;
        const long double exact_c = (static_cast<long double>(p.s_end) - p.s_start) / p.len;
        const long double exact_w = std::sqrt(static_cast<long double>(p.a) / p.len);
        const double outer = outer_half_width(c, inv_len, p.a);
        ASSERT_LE(static_cast<long double>(c - outer), exact_c - exact_w) << k;
        ASSERT_GE(static_cast<long double>(c + outer), exact_c + exact_w) << k;
        const double inner = inner_half_width(c, inv_len, p.a);
        if (inner < 0.0) continue;
        ASSERT_GE(static_cast<long double>(c - inner), exact_c - exact_w) << k;
        ASSERT_LE(static_cast<long double>(c + inner), exact_c + exact_w) << k;
    }
}

TEST(EnvelopeIntervals, NothingToHoldWithoutAPositiveRightHandSide) {
    for (double a : {0.0, -1.0, -0.0, std::nan("")}) {
        EXPECT_LT(outer_half_width(1.0, 0.5, a), 0.0);
        EXPECT_LT(inner_half_width(1.0, 0.5, a), 0.0);
    }
}

}  // namespace
}  // namespace marbolt::cost
