// Functional pruning must leave every layer of the dynamic programming as the
// plain fill makes it: the same parents at every end of every layer (and so
// the same costs, which follow from them), the same segmentation for every
// count, to the bit.
#include "detect/dynp/pruned.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "../hard_signals.hpp"
#include "cost/cost_l2.hpp"
#include "detect/dynp/dynp.hpp"
#include "detect/grid.hpp"

namespace marbolt::detect {
namespace {

// The largest count that fits, at most `cap`.
std::size_t feasible_counts(std::size_t n, std::size_t jump, std::size_t min_size, std::size_t cap) {
    std::size_t count = 0;
    while (count < cap && sanity_check(n, count + 1, jump, std::max<std::size_t>(min_size, 1))) ++count;
    return count;
}

// The signal read as `d` columns (one sample a row).
class DynpFunctionalPruning : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DynpFunctionalPruning, FillsThePlainLayersOnHardSignals) {
    const std::size_t d = GetParam();
    std::mt19937_64 gen(20261208);
    // The pruned layers run as a pipeline: alone on one worker, side by side on two.
    parallel::WorkerPool one(1), two(2);
    std::size_t engaged = 0, cases = 0;
    for (; cases < 1500; ++cases) {
        const testing::HardSignal s = testing::hard_signal(gen);
        const std::size_t n = s.x.size() / d;
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, d);
        const std::size_t jump = 1 + gen() % 5, min_size = gen() % 6;
        // Every feasible count on short signals; a handful on the longer ones.
        const std::size_t most = feasible_counts(n, jump, min_size, n <= 60 ? n : 12);
        const std::size_t n_bkps = most == 0 ? 1 : 1 + gen() % most;
        SCOPED_TRACE(::testing::Message() << s.story << " jump " << jump << " min_size " << min_size
                                          << " n_bkps " << n_bkps);
        std::size_t evaluations = 0;
        const auto plain = dynp_tables(l2, n, n_bkps, jump, min_size, two, {.functional_pruning = false});
        const auto pruned =
            dynp_tables(l2, n, n_bkps, jump, min_size, cases % 2 == 0 ? one : two, {.evaluations = &evaluations});
        ASSERT_TRUE(plain && pruned);
        EXPECT_EQ(pruned->parents, plain->parents);
        for (std::size_t count = 0; count <= n_bkps; ++count) {
            EXPECT_EQ(pruned->backtrack(count), plain->backtrack(count));
        }
        engaged += evaluations > 0 ? 1 : 0;
        if (HasFailure()) break;
    }
    // The pruned sweep ran to the end of at least one layer in most cases.
    EXPECT_GT(engaged, cases / 2);
}

INSTANTIATE_TEST_SUITE_P(Columns, DynpFunctionalPruning, ::testing::Values(1, 3));

// Several columns with long segments, where the boxes of the regions close
// in: the plain layers, with any jump and min_size, on ties, quantised
// values, offsets and scales; a NaN or an infinity leaves them to the plain
// fill.
TEST(DynpFunctionalPruningColumns, FillsThePlainLayersOnLongSegments) {
    std::mt19937_64 gen(20261210);
    parallel::WorkerPool two(2);
    std::size_t engaged = 0;
    const std::size_t cases = 120;
    for (std::size_t c = 0; c < cases; ++c) {
        const std::size_t d = 2 + gen() % 7, n = 100 + gen() % 500;
        const testing::HardSignal s = testing::hard_columns(gen, d, n);
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, d);
        const std::size_t jump = 1 + gen() % 5, min_size = 1 + gen() % 6;
        const std::size_t most = feasible_counts(n, jump, min_size, 6);
        const std::size_t n_bkps = most == 0 ? 1 : 1 + gen() % most;
        SCOPED_TRACE(::testing::Message() << s.story << " jump " << jump << " min_size " << min_size
                                          << " n_bkps " << n_bkps);
        std::size_t evaluations = 0;
        const auto plain = dynp_tables(l2, n, n_bkps, jump, min_size, two, {.functional_pruning = false});
        const auto pruned = dynp_tables(l2, n, n_bkps, jump, min_size, two, {.evaluations = &evaluations});
        ASSERT_TRUE(plain && pruned);
        EXPECT_EQ(pruned->parents, plain->parents);
        EXPECT_EQ(pruned->backtrack(n_bkps), plain->backtrack(n_bkps));
        engaged += evaluations > 0 ? 1 : 0;
        if (HasFailure()) break;
    }
    EXPECT_GT(engaged, cases / 2);
}

}  // namespace
}  // namespace marbolt::detect
