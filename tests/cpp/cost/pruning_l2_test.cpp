// The brackets of the one-column l2 family must err on the safe side of the
// exact level sets they stand for, whatever the rounding: checked against
// long double.
#include "cost/pruning_l2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
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

// The balls of the family for several columns: the reach ball around the
// computed centre holds the exact ball of radius sqrt(a_up / L) around the
// exact centre, and the cover ball lies inside the exact one of a_down.
TEST(EnvelopeBalls, ReachHoldsAndCoverStaysInsideTheExactBall) {
    std::mt19937_64 gen(4);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int checked = 0;
    for (int k = 0; k < 2'000; ++k) {
        const std::size_t d = 2 + gen() % (kMaxBallDims - 1), n = 2 + gen() % 300;
        std::vector<double> x(n * d);
        const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 41));
        const double spread = std::ldexp(1.0, static_cast<int>(gen() % 60) - 30);
        for (double& v : x) v = offset + spread * unit(gen);
        const CostL2 model = CostL2::build(x, n, d);
        const std::optional<L2ColumnsFamily> family = L2ColumnsFamily::make(model, n);
        ASSERT_TRUE(family);
        L2ColumnsFamily::Starts starts;
        const std::size_t start = gen() % n, at = start + 1 + gen() % (n - start);
        family->push(starts, start);
        const double scale = spread * spread * static_cast<double>(at - start);
        const double a_up = scale * std::ldexp(std::fabs(unit(gen)), static_cast<int>(gen() % 60) - 40);
        const double a_down = a_up * std::fabs(unit(gen));
        const BallBracket b = family->bracket(starts, 0, at, a_up, a_down);
        ASSERT_EQ(b.dims, d);
        const long double len = static_cast<long double>(at - start);
        long double off2 = 0.0L;  // |c - c*|^2
        for (std::size_t j = 0; j < d; ++j) {
            const long double exact = (static_cast<long double>(model.sums().data[at * d + j]) -
                                       model.sums().data[start * d + j]) / len;
            off2 += (b.centre[j] - exact) * (b.centre[j] - exact);
        }
        const long double off = std::sqrt(off2);
        ASSERT_GE(static_cast<long double>(b.reach), std::sqrt(a_up / len) + off) << k;
        if (b.cover < 0.0) continue;
        ++checked;
        ASSERT_LE(static_cast<long double>(b.cover) + off, std::sqrt(a_down / len)) << k;
    }
    EXPECT_GT(checked, 1'000);
}

}  // namespace
}  // namespace marbolt::cost
