// The one-column l2 estimates must lead to the decisions of the exact totals,
// bit for bit, on every vector width the processor runs: the first smallest
// total, and every pruning verdict, including thresholds placed exactly on a
// total and one ulp either side of it.
#include "detect/l2_filter.hpp"

#include <gtest/gtest.h>

#include <bit>
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
    L2Candidates c{};

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
        c = {start.size(), start.data(), s_start.data(), q_start.data(), prefix.data(),
             static_cast<double>(n), s[n], q[n], pen};
        if (mode == 1) {
            // prefix = C - (segment cost + pen), so every total is C give or take a rounding.
            for (std::size_t k = 0; k < c.count; ++k) prefix[k] = 0.0;
            for (std::size_t k = 0; k < c.count; ++k) prefix[k] = 1e3 * scale * scale - c.exact_total(k);
        }
    }
};

std::vector<VectorIsa> runnable_isas() {
    std::vector<VectorIsa> isas;
    if (best_vector_isa() != VectorIsa::kNone) isas.push_back(VectorIsa::kAvx2);
    if (best_vector_isa() == VectorIsa::kAvx512) isas.push_back(VectorIsa::kAvx512);
    return isas;
}

using Case = std::tuple<int, std::size_t, double, double>;  // mode, count, scale, offset

class L2FilterDecisions : public ::testing::TestWithParam<Case> {};

TEST_P(L2FilterDecisions, AreThoseOfTheExactTotals) {
    const auto& [mode, count, scale, offset] = GetParam();
    if (runnable_isas().empty()) GTEST_SKIP() << "no AVX2 on this processor";
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        const Fixture f(mode, count, scale, offset, seed);
        std::vector<double> exact(f.c.count);
        std::size_t first = 0;
        for (std::size_t k = 0; k < f.c.count; ++k) {
            exact[k] = f.c.exact_total(k);
            if (exact[k] < exact[first]) first = k;
        }
        std::vector<double> thresholds{exact[first] + f.c.pen};
        for (std::size_t k = 0; k < f.c.count; k += 1 + f.c.count / 7) {
            thresholds.insert(thresholds.end(), {exact[k], std::nextafter(exact[k], kInf),
                                                 std::nextafter(exact[k], -kInf)});
        }
        for (VectorIsa isa : runnable_isas()) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " isa " << static_cast<int>(isa));
            L2Filter filter(isa);
            ASSERT_TRUE(filter.estimate(f.c));
            const auto [chosen, best] = filter.first_minimum(f.c);
            EXPECT_EQ(chosen, first);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(best), std::bit_cast<std::uint64_t>(exact[first]));
            for (double threshold : thresholds) {
                std::size_t leading = 0;
                while (leading < f.c.count && threshold >= exact[leading]) ++leading;
                EXPECT_EQ(filter.leading_within(f.c, threshold), leading);
                for (std::size_t k = 0; k < f.c.count; ++k) {
                    ASSERT_EQ(filter.within(f.c, k, threshold), threshold >= exact[k]) << "k " << k;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, L2FilterDecisions,
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
TEST(L2Filter, DeclinesValuesItCannotBound) {
    if (runnable_isas().empty()) GTEST_SKIP() << "no AVX2 on this processor";
    for (VectorIsa isa : runnable_isas()) {
        for (int poison = 0; poison < 4; ++poison) {
            Fixture f(0, 70, 1.0, 0.0, 1);
            if (poison == 0) f.q_start[66] = std::nan("");
            if (poison == 1) f.prefix[3] = kInf;
            if (poison == 2) f.s_start[69] = 1e200;  // its square overflows
            if (poison == 3) f.c.pen = -kInf;
            L2Filter filter(isa);
            EXPECT_FALSE(filter.estimate(f.c)) << "poison " << poison;
        }
    }
    L2Filter none(VectorIsa::kNone);
    EXPECT_FALSE(none.estimate(Fixture(0, 8, 1.0, 0.0, 1).c));
}

}  // namespace
}  // namespace marbolt::detect
