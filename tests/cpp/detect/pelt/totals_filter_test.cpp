// The one-column l2 and normal estimates must lead to the decisions of the
// exact totals, bit for bit, on every vector width the processor runs: the
// first smallest total, and every pruning verdict, including thresholds placed
// exactly on a total and one ulp either side of it.
#include <cfloat>

#include "detect/pelt/l2_estimates.hpp"
#include "detect/pelt/normal_estimates.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace marbolt::detect {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A signal's prefix sums and a random subset of its positions as candidates
// for the end n. Mode 0: random prefix costs; 1: prefix costs that make every
// total equal up to rounding; 2: small integers, so totals tie exactly.
struct Fixture {
    std::vector<double> start, s_start, q_start, prefix;
    L2Candidates l2{};
    NormalCandidates normal{};

    Fixture(int mode, std::size_t count, double scale, double offset, std::uint64_t seed) {
        std::mt19937_64 gen(seed);
        std::normal_distribution<double> noise(0.0, 1.0);
        std::uniform_int_distribution<int> small(0, 3);
        const std::size_t n = 3 * count + 5;
        std::vector<double> s(n + 1, 0.0), q(n + 1, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = mode == 2 ? small(gen) : offset + scale * noise(gen);
            s[i + 1] = s[i] + x;
            q[i + 1] = q[i] + x * x;
        }
        std::bernoulli_distribution pick(1.0 / 3.0);
        for (std::size_t p = 0; p < n && start.size() < count; ++p) {
            if (!pick(gen) && n - p > count - start.size()) continue;
            start.push_back(static_cast<double>(p));
            s_start.push_back(s[p]);
            q_start.push_back(q[p]);
            prefix.push_back(mode == 2 ? small(gen) : scale * scale * noise(gen));
        }
        const double pen = mode == 2 ? 2.0 : scale * scale * 3.0;
        const double end = static_cast<double>(n);
        const ColumnCandidates c{start.size(), start.data(), s_start.data(), q_start.data(),
                                 prefix.data(), end, s[n], q[n], pen};
        l2 = {c};
        normal = {c, mode == 2 || seed % 2 == 1};
    }

    // prefix = C - (segment cost + pen), so every total is C give or take a rounding.
    template <class Candidates>
    void tie_totals(const Candidates& c, double level) {
        std::fill(prefix.begin(), prefix.end(), 0.0);
        for (std::size_t k = 0; k < c.count; ++k) prefix[k] = level - c.exact_total(k);
    }
};

std::vector<VectorIsa> runnable_isas() {
    std::vector<VectorIsa> isas;
    if (best_vector_isa() != VectorIsa::kNone) isas.push_back(VectorIsa::kAvx2);
    if (best_vector_isa() == VectorIsa::kAvx512) isas.push_back(VectorIsa::kAvx512);
    return isas;
}

// Every variance a positive normal number: the normal estimate's domain.
bool normal_domain(const NormalCandidates& c) {
    for (std::size_t k = 0; k < c.count; ++k) {
        const double len = c.end - c.start[k];
        const double v = cost::CostNormal::column_variance(c.s_end - c.s_start[k], c.q_end - c.q_start[k],
                                                           len, c.add_small_diag);
        if (!(v >= DBL_MIN)) return false;
    }
    return true;
}

template <class Candidates>
void expect_exact_decisions(const Candidates& c, VectorIsa isa) {
    std::vector<double> exact(c.count);
    std::size_t first = 0;
    for (std::size_t k = 0; k < c.count; ++k) {
        exact[k] = c.exact_total(k);
        if (exact[k] < exact[first]) first = k;
    }
    std::vector<double> thresholds{exact[first] + c.pen};
    for (std::size_t k = 0; k < c.count; k += 1 + c.count / 7) {
        thresholds.insert(thresholds.end(), {exact[k], std::nextafter(exact[k], kInf),
                                             std::nextafter(exact[k], -kInf)});
    }
    TotalsFilter<Candidates> filter(isa);
    ASSERT_TRUE(filter.estimate(c));
    const auto [chosen, best] = filter.first_minimum(c);
    EXPECT_EQ(chosen, first);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(best), std::bit_cast<std::uint64_t>(exact[first]));
    for (double threshold : thresholds) {
        std::size_t leading = 0;
        while (leading < c.count && threshold >= exact[leading]) ++leading;
        EXPECT_EQ(filter.leading_within(c, threshold), leading);
        for (std::size_t k = 0; k < c.count; ++k) {
            ASSERT_EQ(filter.within(c, k, threshold), threshold >= exact[k]) << "k " << k;
        }
    }
}

using Case = std::tuple<int, std::size_t, double, double>;  // mode, count, scale, offset

class FilterDecisions : public ::testing::TestWithParam<Case> {};

TEST_P(FilterDecisions, AreThoseOfTheExactTotals) {
    const auto& [mode, count, scale, offset] = GetParam();
    if (runnable_isas().empty()) GTEST_SKIP() << "no AVX2 on this processor";
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Fixture l2(mode, count, scale, offset, seed);
        if (mode == 1) l2.tie_totals(l2.l2, 1e3 * scale * scale);
        for (VectorIsa isa : runnable_isas()) expect_exact_decisions(l2.l2, isa);
        Fixture normal(mode, count, scale, offset, seed);
        if (mode == 1) normal.tie_totals(normal.normal, 1e3 * scale * scale);
        // Offsets can cancel a variance to zero, which the estimate declines.
        if (best_vector_isa() == VectorIsa::kAvx512 && normal_domain(normal.normal)) {
            expect_exact_decisions(normal.normal, VectorIsa::kAvx512);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, FilterDecisions,
    ::testing::Combine(::testing::Values(0, 1, 2),
                       ::testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{64},
                                         std::size_t{67}, std::size_t{300}),
                       ::testing::Values(1.0, 1e-150, 1e90), ::testing::Values(0.0, 1e6)),
    [](const auto& info) {
        const double scale = std::get<2>(info.param);
        const std::string magnitude = scale == 1.0 ? "unit" : scale < 1.0 ? "tiny" : "huge";
        return "mode" + std::to_string(std::get<0>(info.param)) + "_count" +
               std::to_string(std::get<1>(info.param)) + "_" + magnitude +
               (std::get<3>(info.param) == 0.0 ? "" : "_offset");
    });

// Values the bound cannot cover leave every total to the exact path.
TEST(TotalsFilter, DeclinesValuesItCannotBound) {
    if (runnable_isas().empty()) GTEST_SKIP() << "no AVX2 on this processor";
    for (int poison = 0; poison < 4; ++poison) {
        Fixture f(0, 70, 1.0, 0.0, 0);
        if (poison == 0) f.q_start[66] = std::nan("");
        if (poison == 1) f.prefix[3] = kInf;
        if (poison == 2) f.l2.pen = f.normal.pen = -kInf;
        if (poison == 3) f.s_start[69] = 1e200;  // its square overflows
        for (VectorIsa isa : runnable_isas()) {
            EXPECT_FALSE(L2Filter(isa).estimate(f.l2)) << "poison " << poison;
            if (poison < 3) {
                EXPECT_FALSE(NormalFilter(isa).estimate(f.normal)) << "poison " << poison;
            }
        }
    }
    const Fixture f(0, 8, 1.0, 0.0, 1);
    EXPECT_FALSE(L2Filter(VectorIsa::kNone).estimate(f.l2));
    EXPECT_FALSE(NormalFilter(VectorIsa::kAvx2).estimate(f.normal));
}

// A zero variance (from a constant segment, a rounding residue below zero or
// an overflowing square) or a -inf prefix cost makes a normal total exactly
// -inf, which the estimate gives without error.
TEST(TotalsFilter, NormalEstimatesCollapsedTotalsExactly) {
    if (best_vector_isa() != VectorIsa::kAvx512) GTEST_SKIP() << "no AVX-512 on this processor";
    for (int collapse = 0; collapse < 4; ++collapse) {
        SCOPED_TRACE(testing::Message() << "collapse " << collapse);
        Fixture f(0, 70, 1.0, 0.0, 0);
        if (collapse == 0) f.q_start[69] = f.normal.q_end + 1e9;
        if (collapse == 1) f.s_start[40] = 1e200;
        if (collapse == 2) f.prefix[10] = -kInf;
        if (collapse == 3) std::fill(f.prefix.begin(), f.prefix.end(), -kInf);
        expect_exact_decisions(f.normal, VectorIsa::kAvx512);
    }
}

}  // namespace
}  // namespace marbolt::detect
