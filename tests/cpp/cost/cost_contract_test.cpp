// The contract every cost model keeps, run for each test case of the model
// table and for one and several columns.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

constexpr std::size_t kRows = 12;

class CostContract : public ::testing::TestWithParam<std::tuple<std::string_view, std::size_t>> {
protected:
    std::string_view label() const { return std::get<0>(GetParam()); }
    std::size_t d() const { return std::get<1>(GetParam()); }
    std::vector<double> x = model_case(label()).signal(kRows, d(), 2024 + static_cast<unsigned>(d()));
    std::unique_ptr<const Cost> cost = make_cost(label(), x, kRows, d());
};

// Segments long enough for every model's moments to be well conditioned: at
// least min_size() and more rows than columns (a full-rank covariance).
TEST_P(CostContract, ErrorMatchesNaiveTwoPassRecomputation) {
    const std::size_t shortest = std::max(cost->min_size(), d() + 1);
    const ModelCase& reference = model_case(label());
    for (std::size_t start = 0; start + shortest <= kRows; ++start) {
        for (std::size_t end = start + shortest; end <= kRows; ++end) {
            const double expected = reference.naive(x, kRows, d(), start, end);
            EXPECT_NEAR(cost->error(start, end), expected, 1e-9 * (1.0 + std::fabs(expected)))
                << "segment [" << start << ", " << end << ")";
        }
    }
}

TEST_P(CostContract, SumOfCostsAddsSegmentErrorsLeftToRight) {
    const std::vector<std::vector<std::size_t>> lists = {{}, {kRows}, {5, kRows}, {3, 7, 10, kRows}};
    for (const std::vector<std::size_t>& bkps : lists) {
        double expected = 0.0;
        std::size_t prev = 0;
        for (std::size_t b : bkps) {
            expected = expected + cost->error(prev, b);
            prev = b;
        }
        EXPECT_EQ(std::bit_cast<std::uint64_t>(cost->sum_of_costs(bkps)),
                  std::bit_cast<std::uint64_t>(expected))
            << bkps.size() << " breakpoints";
    }
}

// Short segments are not NaN-free for every model (one row, several columns,
// divides by zero), but each call must still return, and return the same bits.
TEST_P(CostContract, ErrorIsDefinedAndRepeatableOnEverySegment) {
    for (std::size_t start = 0; start < kRows; ++start) {
        for (std::size_t end = start + 1; end <= kRows; ++end) {
            double first = 0.0;
            ASSERT_NO_THROW(first = cost->error(start, end));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(first),
                      std::bit_cast<std::uint64_t>(cost->error(start, end)));
            if (end - start >= cost->min_size()) {
                EXPECT_FALSE(std::isnan(first)) << "segment [" << start << ", " << end << ")";
            }
        }
    }
}

std::string case_name(const ::testing::TestParamInfo<CostContract::ParamType>& info) {
    return std::string(std::get<0>(info.param)) + "_d" + std::to_string(std::get<1>(info.param));
}

std::vector<std::string_view> case_labels() {
    std::vector<std::string_view> labels;
    for (const ModelCase& c : kModels) labels.push_back(c.label);
    return labels;
}

INSTANTIATE_TEST_SUITE_P(Models, CostContract,
                         ::testing::Combine(::testing::ValuesIn(case_labels()),
                                            ::testing::Values(std::size_t{1}, std::size_t{3})),
                         case_name);

// A model added to the table is held to the contract as soon as it is added.
TEST(CostContractCases, CoverEveryModelOfTheTable) {
    for (const ModelRow& row : model_rows()) {
        const auto covers = [&](const ModelCase& c) { return c.model == row.name; };
        EXPECT_TRUE(std::any_of(std::begin(kModels), std::end(kModels), covers)) << row.name;
    }
}

}  // namespace
}  // namespace marbolt::cost::testing
