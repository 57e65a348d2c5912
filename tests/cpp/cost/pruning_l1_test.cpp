// The l1 family's estimates and brackets must hold what they promise against
// the exact cost, whatever the rounding: checked in long double on segments
// that grow end by end over signals with ties, quantised values, huge
// offsets and extreme scales.
#include "cost/pruning_l1.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

namespace marbolt::cost {
namespace {

std::vector<double> signal(std::mt19937_64& gen, std::size_t n) {
    std::normal_distribution<double> noise(0.0, 1.0);
    const int kind = static_cast<int>(gen() % 5);
    std::vector<double> x(n);
    double level = 0.0;
    for (double& v : x) {
        if (gen() % 200 == 0) level = 3.0 * noise(gen);
        v = level + noise(gen);
        if (kind == 1) v = std::round(v);                // ties
        if (kind == 2) v = std::round(4.0 * v) / 4.0;    // quantised
        if (kind == 3) v = v + 1e9;                      // a huge offset
        if (kind == 4) v = v * (gen() % 2 == 0 ? 1e-150 : 1e150);
    }
    return x;
}

// The cost of the segment at level theta, in long double.
long double cost_at(const std::vector<double>& c, std::size_t start, std::size_t end, long double theta) {
    long double total = 0.0L;
    for (std::size_t i = start; i < end; ++i) total += std::fabs(static_cast<long double>(c[i]) - theta);
    return total;
}

// The rise C(theta) - C(med) term by term, each term within |theta - med|,
// so that a tiny rise keeps its digits; and a bound on its own rounding.
struct Rise {
    long double value;
    long double slack;
};
Rise rise_at(const std::vector<double>& c, std::size_t start, std::size_t end, long double med, long double theta) {
    long double total = 0.0L;
    for (std::size_t i = start; i < end; ++i) {
        const long double v = c[i];
        total += std::fabs(v - theta) - std::fabs(v - med);
    }
    const long double size = static_cast<long double>(end - start);
    return {total, 0x1p-58L * size * (std::fabs(theta - med) + 0x1p-60L * (std::fabs(theta) + std::fabs(med))) +
                       0x1p-1000L};
}

long double median_of(const std::vector<double>& c, std::size_t start, std::size_t end) {
    std::vector<double> v(c.begin() + static_cast<std::ptrdiff_t>(start), c.begin() + static_cast<std::ptrdiff_t>(end));
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

TEST(L1ColumnFamily, EstimatesAndBracketsHoldAgainstTheExactCost) {
    std::mt19937_64 gen(2027);
    std::size_t brackets = 0, covers = 0;
    for (int c = 0; c < 60; ++c) {
        const std::size_t n = 50 + gen() % 1500;
        const std::vector<double> x = signal(gen, n);
        const CostL1 model = CostL1::build(x, n, 1);
        const std::vector<double> centred(model.centred().begin(), model.centred().end());
        const std::optional<L1ColumnFamily> family = L1ColumnFamily::make(model, n);
        ASSERT_TRUE(family);
        L1ColumnFamily::Starts starts;
        std::vector<std::size_t> at;
        std::vector<L1ColumnFamily::Estimate> out;
        for (std::size_t end = 1; end <= n; end += 1 + gen() % 7) {
            if (gen() % 4 == 0) {
                family->push(starts, end - 1);
                at.push_back(end - 1);
            }
            out.resize(at.size());
            family->estimate(starts, end, out.data());
            // Every start moves with every end; a couple are checked each time.
            for (std::size_t check = 0; check < 2 && !at.empty(); ++check) {
                const std::size_t k = gen() % at.size();
                if (at[k] >= end) continue;
                const long double med = median_of(centred, at[k], end);
                const long double exact = cost_at(centred, at[k], end, med);
                const long double slack = 0x1p-60L * std::fabs(exact) + 0x1p-1000L;
                ASSERT_LE(std::fabs(out[k].cost - exact), out[k].bound + slack) << c << " " << end;
                ASSERT_LE(std::fabs(model.error(at[k], end) - exact), out[k].rounding + slack) << c << " " << end;
                // Levels from the segment's own scale, down to a few ulps of its cost.
                const double a = std::ldexp(std::fabs(out[k].cost) + 1e-300, -static_cast<int>(gen() % 60));
                const LineBracket b = family->bracket(starts, k, end, a, a * 0.999);
                ++brackets;
                // Past the reach the rise is at least a (the rise only grows
                // away from the median); within the cover at most a.
                for (const double theta : {b.reach.lo, b.reach.hi}) {
                    const Rise r = rise_at(centred, at[k], end, med, theta);
                    ASSERT_GE(r.value, a - r.slack) << c << " " << end;
                }
                if (b.cover.empty()) continue;
                ++covers;
                for (const double theta : {b.cover.lo, b.cover.hi}) {
                    const Rise r = rise_at(centred, at[k], end, med, theta);
                    ASSERT_LE(r.value, a * 0.999 + r.slack) << c << " " << end;
                }
            }
        }
    }
    EXPECT_GT(covers, brackets / 2);
}

TEST(L1ColumnFamily, ServesOneFiniteColumnOnly) {
    const std::vector<double> two = {1.0, 2.0, 3.0, 4.0};
    EXPECT_FALSE(L1ColumnFamily::make(CostL1::build(two, 2, 2), 2));
    const std::vector<double> bad = {1.0, std::nan(""), 3.0};
    EXPECT_FALSE(L1ColumnFamily::make(CostL1::build(bad, 3, 1), 3));
    const std::vector<double> inf = {1.0, INFINITY, 3.0};
    EXPECT_FALSE(L1ColumnFamily::make(CostL1::build(inf, 3, 1), 3));
    EXPECT_TRUE(L1ColumnFamily::make(CostL1::build(two, 4, 1), 4));
}

}  // namespace
}  // namespace marbolt::cost
