// Functional pruning must leave every PELT decision as the plain search makes
// it: the same breakpoints, and the same F and parent of every end, to the bit.
#include "detect/pelt/functional.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "../hard_signals.hpp"
#include "cost/cost_l2.hpp"
#include "detect/pelt/pelt.hpp"

namespace marbolt::detect {
namespace {

std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> b(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) b[i] = std::bit_cast<std::uint64_t>(v[i]);
    return b;
}

void expect_same_tables(const PeltTables& fast, const PeltTables& plain) {
    EXPECT_EQ(fast.known, plain.known);
    EXPECT_EQ(fast.parent, plain.parent);
    EXPECT_EQ(bits(fast.best), bits(plain.best));
}

TEST(PeltFunctionalPruning, FillsThePlainSearchTablesOnHardSignals) {
    std::mt19937_64 gen(20261207);
    std::size_t engaged = 0, shortened = 0, cases = 0;
    for (; cases < 6000; ++cases) {
        const testing::HardSignal s = testing::hard_signal(gen);
        const std::size_t n = s.x.size();
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, 1);
        const double pen = testing::hard_penalty(gen, s, l2);
        const std::size_t jump = 1 + gen() % 7, min_size = gen() % 6;
        SCOPED_TRACE(::testing::Message() << s.story << " pen " << pen << " jump " << jump
                                        << " min_size " << min_size);
        PeltTables plain, fast, direct;
        std::size_t plain_evaluations = 0, direct_evaluations = 0;
        const auto expected = pelt(l2, n, jump, min_size, pen,
                                   {.functional_pruning = false, .evaluations = &plain_evaluations, .tables = &plain});
        EXPECT_EQ(pelt(l2, n, jump, min_size, pen, {.tables = &fast}), expected);
        expect_same_tables(fast, plain);
        // The pruned search itself, where it accepts the case: its refusals
        // must not hide it from this test.
        if (functional_pelt(l2, n, jump, std::max<std::size_t>(min_size, 1), pen, direct, &direct_evaluations)) {
            ++engaged;
            shortened += direct_evaluations < plain_evaluations ? 1 : 0;
            expect_same_tables(direct, plain);
        }
        if (HasFailure()) break;
    }
    // Enough cases where the pruned search ran to the end, and dropped
    // candidates, for the comparison to mean something.
    EXPECT_GT(engaged, cases / 4);
    EXPECT_GT(shortened, engaged / 4);
}

// When n - (last grid end) < min_size, the last end repeats an older
// candidate, and the candidates the last grid end pruned have no stand-in: a
// dropped candidate can then be the plain search's choice (about one case in a
// thousand of these), and must be found.
TEST(PeltFunctionalPruning, LastEndShorterThanMinSizeKeepsThePlainChoice) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::size_t engaged = 0;
    for (int c = 0; c < 20000; ++c) {
        const std::size_t jump = 2 + gen() % 6, min_size = 2 + gen() % (jump - 1);
        const std::size_t n = (3 + gen() % 30) * jump + 1 + gen() % (min_size - 1);
        std::vector<double> x(n);
        double mean = 0.0;
        for (double& v : x) {
            if (gen() % 8 == 0) mean = 2.0 * noise(gen);
            v = c % 2 == 0 ? mean + noise(gen) : std::round(mean + noise(gen));
        }
        const cost::CostL2 l2 = cost::CostL2::build(x, n, 1);
        const double pen = 0.25 * static_cast<double>(1 + gen() % 16);
        PeltTables plain, fast;
        pelt(l2, n, jump, min_size, pen, {.functional_pruning = false, .tables = &plain});
        if (!functional_pelt(l2, n, jump, min_size, pen, fast, nullptr)) continue;
        ++engaged;
        expect_same_tables(fast, plain);
        if (HasFailure()) break;
    }
    EXPECT_GT(engaged, 19000u);
}

// Long runs between changes are where pruning works: a few hundred candidates
// per end in the plain search, a few dozen with functional pruning.
TEST(PeltFunctionalPruning, KeepsTheCandidateListShortOnLongSegments) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::size_t n = 20000;
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = noise(gen) + (i >= n / 2 ? 2.0 : 0.0);
    const cost::CostL2 l2 = cost::CostL2::build(x, n, 1);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    std::size_t fast = 0, plain = 0;
    EXPECT_EQ(pelt(l2, n, 1, 1, pen, {.evaluations = &fast}),
              pelt(l2, n, 1, 1, pen, {.functional_pruning = false, .evaluations = &plain}));
    EXPECT_LT(fast, 30 * n);
    EXPECT_GT(plain, 1000 * n);
}

}  // namespace
}  // namespace marbolt::detect
