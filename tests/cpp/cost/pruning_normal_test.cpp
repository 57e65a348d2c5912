// The brackets of the one-column normal family must err on the safe side of
// the exact level sets they stand for (checked in long double): every point
// below a_up lies in the reach box and in what tighten() keeps of it, and
// every point of a cover box or a held box is at most a_down, with and
// without the floor and the small diagonal.
#include "cost/pruning_normal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

namespace marbolt::cost {
namespace {

// The exact excess of [start, end)'s function at (mu, l) over its minimum on
// the domain, from the model's tables.
long double excess(const CostNormal& model, double floor, std::size_t start, std::size_t end, double mu, double l) {
    const auto& s = model.sums().data;
    const auto& q = model.outer().data;
    const long double len = end - start;
    const long double sum = static_cast<long double>(s[end]) - s[start];
    const long double squares = static_cast<long double>(q[end]) - q[start];
    const long double v = (squares - sum * sum / len) / len + (model.small_diag() ? CostNormal::kSmallDiag : 0.0);
    const long double d = mu - sum / len;
    const long double value = (v + d * d) * std::exp(-static_cast<long double>(l)) + l - 1;
    const long double least = v >= floor ? std::log(v) : std::log(static_cast<long double>(floor)) + v / floor - 1;
    return len * (value - least);
}

bool inside(const PlaneBox& box, double mu, double l) {
    return box.lo[0] <= mu && mu <= box.hi[0] && box.lo[1] <= l && l <= box.hi[1];
}

TEST(NormalPlaneBrackets, ReachHoldsAndCoversStayInsideTheExactLevelSets) {
    std::mt19937_64 gen(5);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::size_t covered = 0, held = 0;
    for (int c = 0; c < 600; ++c) {
        const std::size_t n = 50 + gen() % 400;
        const double offset = c % 5 == 0 ? 1e6 : 0.0, scale = c % 7 == 0 ? 1e-3 : 1.0;
        std::vector<double> x(n);
        for (double& v : x) v = offset + scale * (c % 3 == 0 ? std::round(4.0 * noise(gen)) / 4.0 : noise(gen));
        const int kind = c % 3;  // small diagonal, floor, neither
        const double floor = kind == 1 ? 0.25 * 0.25 / (2.0 * 3.141592653589793) * scale * scale : 0.0;
        const CostNormal model =
            CostNormal::build(x, n, 1, kind == 0, floor > 0.0 ? std::vector<double>{floor} : std::vector<double>{});
        const std::optional<NormalColumnFamily> family = NormalColumnFamily::make(model, n);
        if (!family) continue;
        ColumnStarts starts;
        const std::size_t start = gen() % (n - 2), end = start + 2 + gen() % (n - start - 1);
        family->push(starts, start);
        const double a_up = std::ldexp(1.0, static_cast<int>(gen() % 12) - 4), a_down = 0.5 * a_up;
        const PlaneBracket b = family->bracket(starts, 0, end, a_up, a_down);
        for (int p = 0; p < 400; ++p) {
            std::uniform_real_distribution<double> unit(-1.5, 1.5);
            const double mu = 0.5 * (b.reach.lo[0] + b.reach.hi[0]) + unit(gen) * 0.5 * (b.reach.hi[0] - b.reach.lo[0]);
            const double l = 0.5 * (b.reach.lo[1] + b.reach.hi[1]) + unit(gen) * 0.5 * (b.reach.hi[1] - b.reach.lo[1]);
            if (!std::isfinite(mu) || !std::isfinite(l)) continue;
            const bool in_domain = floor == 0.0 || l >= std::log(floor);
            const long double e = excess(model, floor, start, end, mu, l);
            if (in_domain && e < a_up) {
                ASSERT_TRUE(inside(b.reach, mu, l)) << c << " " << p;
                PlaneBox kept = b.reach;
                ASSERT_TRUE(!b.set.usable || (tighten(b.set, kept) && inside(kept, mu, l))) << c << " " << p;
            }
            for (const PlaneCover& cover : b.cover) {
                const PlaneBox point{{mu, l}, {mu, l}};
                const bool boxed = inside(cover.box, mu, l), set = holds(cover.set, point);
                covered += boxed ? 1 : 0;
                held += set ? 1 : 0;
                if (in_domain && (boxed || set)) {
                    ASSERT_LE(e, a_down) << c << " " << p;
                }
            }
        }
    }
    // The covers are not empty promises.
    EXPECT_GT(covered, 10'000u);
    EXPECT_GT(held, 10'000u);
}

}  // namespace
}  // namespace marbolt::cost
