// The model table's refusals, in the order its rows run them: which check
// speaks first when several would fail, with the exact message.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    Result<std::optional<std::vector<double>>> reals(std::string_view) override { return failed(); }

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

struct FullRefusal {
    std::string_view name;
    std::string_view model;
    std::vector<double> x;  // 3 x 2
    std::optional<std::vector<double>> mean, resolution;
    std::string message;
};

class FullCatalogueRefuses : public ::testing::TestWithParam<FullRefusal> {};

// The signal check runs before anything else, the options' checks after it;
// each names the first offending sample or value.
TEST_P(FullCatalogueRefuses, WithTheFirstCheckThatFails) {
    const FullRefusal& r = GetParam();
    FixedOptions options({}, 2);
    if (r.mean) options = FixedOptions({{"mean", *r.mean}}, 2);
    if (r.resolution) options = FixedOptions({{"resolution", *r.resolution}}, 2);
    const Result<BuiltModel> built = build_model(r.model, {r.x, 3, 2}, options, false, Catalogue::full);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().kind, ErrorKind::value);
    EXPECT_EQ(built.error().message, r.message);
}

const std::vector<double> kCounts = {1.0, 2.0, 0.0, 0.0, 3.0, 1.0};
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Rows, FullCatalogueRefuses,
    ::testing::Values(
        FullRefusal{"CosineZeroSample", "cosine", kCounts, {}, {},
                    "the cosine model needs samples that are not all zeros; sample 1 is"},
        FullRefusal{"NegativeCount", "poisson", {1.0, 2.0, 0.0, -1.0, 0.5, 1.0}, {}, {},
                    "the `poisson` model needs counts (whole numbers, not negative); sample 1 "
                    "(column 1) is -1.0"},
        FullRefusal{"FractionalCount", "poisson", {1.0, 2.0, 0.0, 1.0, 2.5, 1.0}, {}, {},
                    "the `poisson` model needs counts (whole numbers, not negative); sample 2 "
                    "(column 0) is 2.5"},
        FullRefusal{"NanCount", "poisson", {kNan, 2.0, 0.0, 1.0, 2.0, 1.0}, {}, {},
                    "the `poisson` model needs counts (whole numbers, not negative); sample 0 "
                    "(column 0) is nan"},
        FullRefusal{"ZeroWaitingTime", "exponential", kCounts, {}, {},
                    "the `exponential` model needs positive values (waiting times or gaps); "
                    "sample 1 (column 0) is 0.0"},
        FullRefusal{"MeanOfTheWrongLength", "variance", kCounts, std::vector<double>{1, 2, 3}, {},
                    "the `variance` model's `mean` needs one value or one per column (2), got 3"},
        FullRefusal{"MeanNotFinite", "variance", kCounts, std::vector<double>{0.0, kNan}, {},
                    "the `variance` model's `mean` must be finite, got nan"},
        FullRefusal{"NegativeResolution", "normal", kCounts, {}, std::vector<double>{-0.5},
                    "the `normal` model's `resolution` must be finite and not negative, got "
                    "-0.5"},
        FullRefusal{"UnknownName", "L2", kCounts, {}, {},
                    "unknown model: L2. Supported: l1, l2, normal, rbf, cosine, rank, "
                    "mahalanobis, clinear, linear, ar, poisson, exponential, variance, trend"}),
    [](const ::testing::TestParamInfo<FullRefusal>& info) { return std::string(info.param.name); });

// The interface builds what it always built: no signal check (a zero sample
// makes cosine costs NaN there), no model it was published without, and the
// normal model without the variance floor whatever `params` holds.
TEST(ModelTableInterface, KeepsThePublishedModelsAsTheyWere) {
    FixedOptions options({{"resolution", std::vector<double>{4.0}}}, 2);
    EXPECT_TRUE(build_model("cosine", {kCounts, 3, 2}, options, false, Catalogue::interface));
    const Result<BuiltModel> poisson =
        build_model("poisson", {kCounts, 3, 2}, options, false, Catalogue::interface);
    ASSERT_FALSE(poisson);
    EXPECT_EQ(poisson.error().message,
              "unknown model: poisson. Supported: l1, l2, normal, rbf, cosine, rank, mahalanobis, "
              "clinear, linear, ar");
    const std::vector<double> x = tied_signal(12, 1, 3, false);
    const auto cost = [&](Catalogue catalogue) {
        Result<BuiltModel> built = build_model("normal", {x, 12, 1}, options, false, catalogue);
        EXPECT_TRUE(built);
        return std::move(built->model);
    };
    const auto interface = cost(Catalogue::interface);
    const auto published = make_cost("normal", x, 12, 1);
    const auto floored = cost(Catalogue::full);
    for (std::size_t end = 2; end <= 12; ++end) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(interface->error(end - 2, end)),
                  std::bit_cast<std::uint64_t>(published->error(end - 2, end)));
        EXPECT_GE(floored->error(end - 2, end), published->error(end - 2, end));
    }
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
    ASSERT_EQ(normal.size(), 2u);
    EXPECT_EQ(normal[0].key, "add_small_diag");
    EXPECT_TRUE(std::get<bool>(normal[0].value));
    EXPECT_TRUE(params("l2", {{}, 1}).empty());
}

}  // namespace
}  // namespace marbolt::cost::testing
