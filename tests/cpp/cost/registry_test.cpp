// The model table's refusals, in the order its rows run them: which check
// speaks first when several would fail, with the exact message.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cost_factory.hpp"

namespace marbolt::cost::testing {
namespace {

// Every read fails, as a params entry that does not convert would.
class FailingOptions final : public Options {
public:
    Result<std::optional<bool>> flag(std::string_view) override { return failed(); }
    Result<std::optional<double>> real(std::string_view) override { return failed(); }
    Result<std::optional<std::uint64_t>> count(std::string_view) override { return failed(); }
    Result<std::optional<OptionMatrix>> matrix(std::string_view) override { return failed(); }

private:
    static Error failed() { return Error{ErrorKind::reported, "read"}; }
};

constexpr std::uint64_t kMax = UINT64_MAX;
const std::string kCovariance =
    " covariance blocks, which needs 5.4 GiB, over the 4 GiB limit. Reduce the number of "
    "columns, subsample the signal, or use a model whose cost does not depend on a covariance, "
    "such as `l1` or `l2`.";

struct Refusal {
    std::string_view name;
    std::string_view model;
    std::uint64_t n, d;
    bool failing_reads;  // else the options below
    std::optional<std::uint64_t> order;
    std::optional<std::vector<double>> metric;
    std::string message;  // "read" for the source's own failure
};

class ModelTableRefuses : public ::testing::TestWithParam<Refusal> {};

// The signal is never read on these paths: every refusal comes before a
// build, so a large n costs nothing.
TEST_P(ModelTableRefuses, WithTheFirstCheckThatFails) {
    const Refusal& r = GetParam();
    FailingOptions failing;
    FixedOptions fixed({}, r.d);
    if (r.order) fixed = FixedOptions({{"order", *r.order}}, r.d);
    if (r.metric) fixed = FixedOptions({{"metric", *r.metric}}, r.d);
    Options& options = r.failing_reads ? static_cast<Options&>(failing) : fixed;
    const Result<BuiltModel> built = build_model(r.model, {{}, r.n, r.d}, options, false, Catalogue::interface);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().kind, r.message == "read" ? ErrorKind::reported : ErrorKind::value);
    EXPECT_EQ(built.error().message, r.message);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ModelTableRefuses,
    ::testing::Values(
        Refusal{"UnknownName", "L2", 1, 1, false, {}, {},
                "unknown model: L2. Supported: l1, l2, normal, rbf, cosine, rank, mahalanobis, "
                "clinear, linear, ar"},
        Refusal{"NormalBudgetBeforeItsFlag", "normal", 200000, 60, true, {}, {},
                "the `normal` model needs prefix sums of 200000x60x60" + kCovariance},
        Refusal{"NormalFlagReadAfterBudget", "normal", 10, 2, true, {}, {}, "read"},
        Refusal{"RbfGammaBeforeBudget", "rbf", 23170, 1, true, {}, {}, "read"},
        Refusal{"MahalanobisBudgetBeforeMetric", "mahalanobis", 200000, 60, true, {}, {},
                "the `mahalanobis` model needs prefix sums of 200000x60x60" + kCovariance},
        Refusal{"MahalanobisWithoutMetric", "mahalanobis", 10, 2, false, {}, {},
                "the `mahalanobis` model requires a `metric`"},
        Refusal{"ArOrderBeforeBudget", "ar", 300, 1, false, 100000, {},
                "the `ar` model needs more samples than its order (100000); the signal has 300"},
        Refusal{"ArOrderReadFirst", "ar", 0, 1, true, {}, {}, "read"},
        Refusal{"ArHugeOrderOnEmptySignalMeetsBudget", "ar", 0, 1, false, kMax, {},
                "the `ar` model needs prefix sums of 0x18446744073709551615x18446744073709551615 "
                "covariance blocks, which needs 17179869184.0 GiB, over the 4 GiB limit. Reduce "
                "the number of columns, subsample the signal, or use a model whose cost does not "
                "depend on a covariance, such as `l1` or `l2`."},
        Refusal{"LinearWithoutColumns", "linear", 5, 0, true, {}, {},
                "the `linear` model needs at least one column (its target); the signal has "
                "none"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// A metric of the wrong shape: the test options hand over d x d, so the
// model is asked about a signal of a different width.
TEST(ModelTableMetric, OfTheWrongShapeIsRefusedWithBothShapes) {
    FixedOptions options({{"metric", identity_metric(3)}}, 3);
    const std::vector<double> x(10 * 2, 1.0);
    const Result<BuiltModel> built = build_model("mahalanobis", {x, 10, 2}, options, false, Catalogue::full);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().message, "metric must be (2, 2), got (3, 3)");
}

// The full catalogue checks the signal before anything else; the interface
// builds what it always built (a zero sample makes cosine costs NaN there).
TEST(ModelTableSignalCheck, RefusesInTheFullCatalogueOnly) {
    const std::vector<double> x = {1.0, 2.0, 0.0, 0.0, 3.0, 1.0};
    FixedOptions options({}, 2);
    const Result<BuiltModel> full = build_model("cosine", {x, 3, 2}, options, false, Catalogue::full);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().message, "the cosine model needs samples that are not all zeros; sample 1 is");
    EXPECT_TRUE(build_model("cosine", {x, 3, 2}, options, false, Catalogue::interface));
}

// What the engines report as the model's parameters: the given value, or the
// default the model resolved, under the option's own key.
TEST(ModelTableResolvedOptions, ReportDefaultsAsTheModelUsesThem) {
    const std::vector<double> x = random_signal(12, 1, 5);
    const auto params = [&](std::string_view model, const FixedOptions& given) {
        FixedOptions options = given;
        Result<BuiltModel> built = build_model(model, {x, 12, 1}, options, false, Catalogue::full);
        EXPECT_TRUE(built) << model;
        return std::move(built->params);
    };
    const auto ar = params("ar", {{}, 1});
    ASSERT_EQ(ar.size(), 1u);
    EXPECT_EQ(ar[0].key, "order");
    EXPECT_EQ(std::get<std::uint64_t>(ar[0].value), 4u);
    const auto rbf = params("rbf", {{{"gamma", 0.25}}, 1});
    ASSERT_EQ(rbf.size(), 1u);
    EXPECT_EQ(std::get<double>(rbf[0].value), 0.25);
    const auto normal = params("normal", {{}, 1});
    ASSERT_EQ(normal.size(), 1u);
    EXPECT_EQ(normal[0].key, "add_small_diag");
    EXPECT_TRUE(std::get<bool>(normal[0].value));
    EXPECT_TRUE(params("l2", {{}, 1}).empty());
}

}  // namespace
}  // namespace marbolt::cost::testing
