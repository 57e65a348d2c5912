// l1 on hand-checkable segments, NaN spreading through the global centring,
// and the per-thread scratch: evaluation order and concurrent threads must not
// change a single bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cost/cost_l1.hpp"
#include "cost_factory.hpp"

namespace marbolt::cost {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Worked {
    std::string name;
    std::vector<double> column;
    double expected;
};

class L1WorkedSegments : public ::testing::TestWithParam<Worked> {};

// Two samples a, b: median (a + b) / 2, two deviations of |a - b| / 2.
// 1, 2, 10: median 2, deviations 1 + 0 + 8. A constant run deviates nowhere.
// The last sample only moves the column mean used for centring.
TEST_P(L1WorkedSegments, SegmentCostsItsAbsoluteDeviationsFromTheMedian) {
    const Worked& w = GetParam();
    const std::size_t n = w.column.size();
    EXPECT_NEAR(CostL1::build(w.column, n, 1).error(0, n - 1), w.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Cases, L1WorkedSegments,
                         ::testing::Values(Worked{"TwoSamples", {1.0, 3.0, 50.0}, 2.0},
                                           Worked{"TwoFractions", {-3.5, 2.25, 0.1}, 5.75},
                                           Worked{"TwoDescending", {7.0, -7.0, 1.0}, 14.0},
                                           Worked{"OneTwoTen", {1.0, 2.0, 10.0, -4.0}, 9.0},
                                           Worked{"Constant", {0.3, 0.3, 0.3, 9.0}, 0.0}),
                         [](const ::testing::TestParamInfo<Worked>& info) { return info.param.name; });

TEST(L1Segments, SeveralColumnsCostTheSumOfTheirOwnCosts) {
    const std::vector<double> x = testing::random_signal(9, 3, 11);
    const CostL1 all = CostL1::build(x, 9, 3);
    for (std::size_t start = 0; start + 2 <= 9; ++start) {
        for (std::size_t end = start + 2; end <= 9; ++end) {
            double sum = 0.0;
            for (std::size_t j = 0; j < 3; ++j) {
                std::vector<double> col;
                for (std::size_t i = 0; i < 9; ++i) col.push_back(x[i * 3 + j]);
                sum += CostL1::build(col, 9, 1).error(start, end);
            }
            EXPECT_NEAR(all.error(start, end), sum, 1e-12 * (1.0 + sum));
        }
    }
}

TEST(L1Segments, NoColumnsCostNothing) {
    EXPECT_EQ(CostL1::build({}, 6, 0).error(0, 6), 0.0);
}

// The column mean used for centring is NaN, so the NaN reaches every sample of
// that column: segments that do not hold it are NaN too.
TEST(L1NaN, ANaNMakesEverySegmentOfItsSignalNaN) {
    const std::vector<double> x = {1.0, 5.0, kNaN, 6.0, 3.0, 7.0, 4.0, 8.0};
    const CostL1 cost = CostL1::build(x, 4, 2);
    for (std::size_t start = 0; start + 2 <= 4; ++start) {
        for (std::size_t end = start + 2; end <= 4; ++end) {
            EXPECT_TRUE(std::isnan(cost.error(start, end))) << start << ", " << end;
        }
    }
}

using Bits = std::map<std::pair<std::size_t, std::size_t>, std::uint64_t>;

// Every segment of at least two samples, visited by decreasing or increasing
// length.
Bits all_costs(const Cost& cost, std::size_t n, bool longest_first) {
    Bits bits;
    for (std::size_t k = 0; k + 2 <= n; ++k) {
        const std::size_t len = longest_first ? n - k : k + 2;
        for (std::size_t start = 0; start + len <= n; ++start) {
            bits[{start, start + len}] = std::bit_cast<std::uint64_t>(cost.error(start, start + len));
        }
    }
    return bits;
}

// The scratch is shared between calls: a short segment after a long one must
// not see the long one's leftovers.
TEST(L1Scratch, LongThenShortGivesTheSameBitsAsShortThenLong) {
    const std::vector<double> x = testing::random_signal(15, 2, 5);
    const CostL1 cost = CostL1::build(x, 15, 2);
    EXPECT_EQ(all_costs(cost, 15, true), all_costs(cost, 15, false));
}

TEST(L1Scratch, ConcurrentThreadsGiveTheSameBits) {
    const std::vector<double> x = testing::random_signal(40, 2, 9);
    const CostL1 cost = CostL1::build(x, 40, 2);
    const Bits expected = all_costs(cost, 40, true);
    std::vector<Bits> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] { results[t] = all_costs(cost, 40, t % 2 == 0); });
    }
    for (std::thread& t : threads) t.join();
    for (const Bits& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace marbolt::cost
