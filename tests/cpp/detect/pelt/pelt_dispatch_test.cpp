// The searches are compiled per model class (and PELT evaluates one-column l2
// as a vector loop); these tests hold the fast paths to the bits of the plain
// virtual path and of a literal transcription of the PELT recursion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../search_fakes.hpp"
#include "cost/cost_kernel.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_normal.hpp"
#include "detect/dynp/dynp.hpp"
#include "detect/pelt/pelt.hpp"
#include "parallel/worker_pool.hpp"

namespace marbolt::detect {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The recursion step by step, with keyed maps and a subproblem list.
std::vector<std::size_t> reference_pelt(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                        std::size_t min_size, double pen) {
    std::map<std::int64_t, double> f{{0, 0.0}};
    std::map<std::int64_t, std::int64_t> parent;
    std::vector<std::int64_t> alive;
    std::vector<std::int64_t> ends;
    for (std::size_t p = 0; p < n; p += jump) if (p >= min_size) ends.push_back(static_cast<std::int64_t>(p));
    ends.push_back(static_cast<std::int64_t>(n));
    const auto j = static_cast<std::int64_t>(jump), m = static_cast<std::int64_t>(min_size);
    for (std::int64_t b : ends) {
        const std::int64_t diff = b - m;
        alive.push_back(j * (diff >= 0 ? diff / j : -((-diff + j - 1) / j)));
        std::vector<std::pair<double, std::int64_t>> s;
        for (std::int64_t t : alive) {
            if (t < 0 || !f.count(t)) continue;
            s.push_back({f[t] + (cost.error(static_cast<std::size_t>(t), static_cast<std::size_t>(b)) + pen), t});
        }
        if (s.empty()) continue;
        std::size_t chosen = 0;
        for (std::size_t k = 1; k < s.size(); ++k) if (s[chosen].first > s[k].first) chosen = k;
        f[b] = s[chosen].first;
        parent[b] = s[chosen].second;
        std::vector<std::int64_t> kept;
        for (std::size_t k = 0; k < std::min(s.size(), alive.size()); ++k)
            if (s[chosen].first + pen >= s[k].first) kept.push_back(alive[k]);
        alive = kept;
    }
    std::vector<std::size_t> bkps{n};
    for (std::int64_t p = static_cast<std::int64_t>(n); parent.count(p) && parent[p] != 0;) {
        p = parent[p];
        bkps.push_back(static_cast<std::size_t>(p));
    }
    std::sort(bkps.begin(), bkps.end());
    bkps.erase(std::unique(bkps.begin(), bkps.end()), bkps.end());
    return bkps;
}

// Kind 0: Gaussian steps; 1: small integers (many equal costs, so ties);
// 2: Gaussian with NaN samples; 3: Gaussian with infinite samples.
std::vector<double> signal(int kind, std::size_t n, std::size_t d, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> small(0, 2);
    std::vector<double> x(n * d);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = kind == 1 ? small(gen) : noise(gen) + (i / d / 20 % 2 == 0 ? 0.0 : 4.0);
    }
    if (kind >= 2) x[(n / 2) * d] = kind == 2 ? kNan : kInf;
    return x;
}

std::unique_ptr<cost::Cost> build(const std::string& model, const std::vector<double>& x,
                                  std::size_t n, std::size_t d) {
    if (model == "l2") return std::make_unique<cost::CostL2>(cost::CostL2::build(x, n, d));
    if (model == "normal") return std::make_unique<cost::CostNormal>(cost::CostNormal::build(x, n, d, false));
    if (model == "normal_diag") return std::make_unique<cost::CostNormal>(cost::CostNormal::build(x, n, d, true));
    return std::make_unique<cost::CostKernelLinear>(cost::CostKernelLinear::build(x, n, d));
}

using Case = std::tuple<std::string, int, std::size_t>;  // model, signal kind, d

class FastPathsMatchVirtualPath : public ::testing::TestWithParam<Case> {};

TEST_P(FastPathsMatchVirtualPath, PeltGivesTheSameBreakpoints) {
    const auto& [model, kind, d] = GetParam();
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        const std::size_t n = 60 + 37 * seed;
        const std::vector<double> x = signal(kind, n, d, seed);
        const auto fast = build(model, x, n, d);
        const testing::Forwarding slow(*fast);
        for (double pen : {-1.0, 0.0, 0.5, 3.0, 20.0, kInf, kNan}) {
            for (std::size_t jump : {1, 3}) {
                for (std::size_t min_size : {1, 2, 5}) {
                    SCOPED_TRACE(::testing::Message() << "seed " << seed << " pen " << pen << " jump "
                                                    << jump << " min_size " << min_size);
                    const auto expected = reference_pelt(slow, n, jump, min_size, pen);
                    EXPECT_EQ(pelt(*fast, n, jump, min_size, pen), expected);
                    EXPECT_EQ(pelt(slow, n, jump, min_size, pen), expected);
                }
            }
        }
    }
}

TEST_P(FastPathsMatchVirtualPath, DynpGivesTheSameSegmentations) {
    const auto& [model, kind, d] = GetParam();
    const std::size_t n = 90;
    const std::vector<double> x = signal(kind, n, d, 7);
    const auto fast = build(model, x, n, d);
    const testing::Forwarding slow(*fast);
    parallel::WorkerPool pool(2);
    for (std::size_t jump : {1, 4}) {
        const auto a = dynp_tables(*fast, n, 6, jump, 2, pool);
        const auto b = dynp_tables(slow, n, 6, jump, 2, pool);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->parents, b->parents);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, FastPathsMatchVirtualPath,
    ::testing::Combine(::testing::Values("l2", "normal", "normal_diag", "l2_extension"),
                       ::testing::Values(0, 1, 2, 3), ::testing::Values(std::size_t{1}, std::size_t{3})),
    [](const auto& info) {
        return std::get<0>(info.param) + "_kind" + std::to_string(std::get<1>(info.param)) + "_d" +
               std::to_string(std::get<2>(info.param));
    });

}  // namespace
}  // namespace marbolt::detect
