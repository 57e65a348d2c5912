#include "cost/registry.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <type_traits>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "cost/budget.hpp"
#include "cost/cost_ar.hpp"
#include "cost/cost_clinear.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_linear.hpp"
#include "cost/cost_mahalanobis.hpp"
#include "cost/cost_normal.hpp"
#include "cost/cost_rank.hpp"
#include "cost/cost_rate.hpp"
#include "cost/cost_trend.hpp"
#include "cost/cost_variance.hpp"
#include "cost/variance_floor.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// A finished model, with the options it resolved.
template <class Model>
Result<BuiltModel> built(Model&& model, std::vector<ResolvedOption> params = {}) {
    return BuiltModel{std::make_unique<std::decay_t<Model>>(std::forward<Model>(model)),
                      std::move(params)};
}

// One value for every column, or one per column, each passing `valid`.
Result<std::vector<double>> per_column(std::vector<double> given, std::uint64_t d,
                                       std::string_view model, std::string_view key,
                                       std::string_view rule, bool (*valid)(double)) {
    const std::string name = "the `" + std::string(model) + "` model's `" + std::string(key) + "`";
    if (given.size() != 1 && given.size() != d) {
        return value_error(name + " needs one value or one per column (" + std::to_string(d) +
                           "), got " + std::to_string(given.size()));
    }
    for (const double v : given) {
        if (!valid(v)) return value_error(name + " must be " + std::string(rule) + ", got " +
                                          python_float(v));
    }
    if (given.size() == 1) given.assign(d, given.front());
    return given;
}

// The step each column was rounded to: given, or read off the signal.
Result<std::vector<double>> read_resolution(Options& options, const SignalView& s,
                                            std::string_view model) {
    Result<std::optional<std::vector<double>>> given = options.reals("resolution");
    if (!given) return given.error();
    if (!*given) return column_resolutions(s.x, s.n, s.d);
    return per_column(std::move(**given), s.d, model, "resolution", "finite and not negative",
                      [](double v) { return v >= 0.0 && std::isfinite(v); });
}

std::vector<double> resolution_floors(const std::vector<double>& resolution) {
    std::vector<double> floors;
    for (const double q : resolution) floors.push_back(resolution_floor(q));
    return floors;
}

// The covariance floor needs every column's: a column of one repeated value
// has no visible resolution and makes every covariance singular anyway. A
// floor at or below the small diagonal can never bind; dropping it keeps the
// searches' fast paths for the unfloored model.
std::vector<double> normal_floors(const std::vector<double>& resolution, bool small_diag) {
    std::vector<double> floors = resolution_floors(resolution);
    const bool unseen = std::any_of(floors.begin(), floors.end(), [](double f) { return f == 0.0; });
    const bool below_diag = small_diag && std::all_of(floors.begin(), floors.end(), [](double f) {
        return f <= CostNormal::kSmallDiag;
    });
    if (unseen || below_diag) floors.clear();
    return floors;
}

Result<BuiltModel> build_l1(const SignalView& s, Options&, bool, const ForEachIndex&) {
    return built(CostL1::build(s.x, s.n, s.d));
}

// The variant "extension" serves l2 as the linear kernel, which offers kernel
// PELT its block sums; both forms report the model "l2".
Result<BuiltModel> build_l2(const SignalView& s, Options&, bool extension, const ForEachIndex&) {
    if (extension) return built(CostKernelLinear::build(s.x, s.n, s.d));
    return built(CostL2::build(s.x, s.n, s.d));
}

Result<BuiltModel> build_normal(const SignalView& s, Options& options, bool, const ForEachIndex&) {
    if (Status budget = check_outer_memory(s.n, s.d, "normal"); !budget) return budget.error();
    const Result<std::optional<bool>> add_small_diag = options.flag("add_small_diag");
    if (!add_small_diag) return add_small_diag.error();
    const bool small_diag = add_small_diag->value_or(true);
    Result<std::vector<double>> resolution = read_resolution(options, s, "normal");
    if (!resolution) return resolution.error();
    std::vector<double> floors = normal_floors(*resolution, small_diag);
    return built(CostNormal::build(s.x, s.n, s.d, small_diag, std::move(floors)),
                 {{"add_small_diag", small_diag}, {"resolution", std::move(*resolution)}});
}

Result<BuiltModel> build_rank(const SignalView& s, Options&, bool, const ForEachIndex&) {
    return built(CostRank::build(s.x, s.n, s.d));
}

// "gamma" is read before the budget: a value that does not convert fails
// with its own error whatever the signal's size.
Result<BuiltModel> build_rbf(const SignalView& s, Options& options, bool extension,
                             const ForEachIndex& for_each) {
    const Result<std::optional<double>> gamma = options.real("gamma");
    if (!gamma) return gamma.error();
    if (Status budget = check_kernel_memory(s.n, "rbf"); !budget) return budget.error();
    RbfFit fit = CostKernel::rbf(s.x, s.n, s.d, *gamma, extension, for_each);
    return built(std::move(fit.model), {{"gamma", fit.gamma}});
}

Result<BuiltModel> build_cosine(const SignalView& s, Options&, bool extension,
                                const ForEachIndex& for_each) {
    if (Status budget = check_kernel_memory(s.n, "cosine"); !budget) return budget.error();
    return built(CostKernel::cosine(s.x, s.n, s.d, extension, for_each));
}

Result<BuiltModel> build_mahalanobis(const SignalView& s, Options& options, bool,
                                     const ForEachIndex&) {
    if (Status budget = check_outer_memory(s.n, s.d, "mahalanobis"); !budget) {
        return budget.error();
    }
    Result<std::optional<OptionMatrix>> metric = options.matrix("metric");
    if (!metric) return metric.error();
    std::optional<std::pair<std::uint64_t, std::uint64_t>> shape;
    if (*metric) shape.emplace((*metric)->rows, (*metric)->cols);
    if (Status ok = CostMahalanobis::check_metric(shape, s.d); !ok) return ok.error();
    OptionMatrix used = **metric;
    return built(CostMahalanobis::build(s.x, s.n, s.d, std::move((*metric)->data)),
                 {{"metric", std::move(used)}});
}

Result<BuiltModel> build_clinear(const SignalView& s, Options&, bool, const ForEachIndex&) {
    return built(CostCLinear::build(s.x, s.n, s.d));
}

Result<BuiltModel> build_linear(const SignalView& s, Options&, bool, const ForEachIndex&) {
    if (Status budget = check_outer_memory(s.n, s.d == 0 ? 0 : s.d - 1, "linear"); !budget) {
        return budget.error();
    }
    if (Status ok = CostLinear::check_columns(s.n, s.d); !ok) return ok.error();
    return built(CostLinear::build(s.x, s.n, s.d));
}

Result<BuiltModel> build_ar(const SignalView& s, Options& options, bool, const ForEachIndex&) {
    const Result<std::optional<std::uint64_t>> read = options.count("order");
    if (!read) return read.error();
    const std::uint64_t order = read->value_or(4);
    if (Status ok = CostAr::check_order(order, s.n); !ok) return ok.error();
    // order + 1 saturates: an order of 2**64 - 1 on an empty signal (the
    // length test only applies with samples) must be refused by the budget,
    // not wrap to zero regressors.
    if (Status budget = check_outer_memory(s.n, saturating_inc(order), "ar"); !budget) {
        return budget.error();
    }
    // The budget bounds (n + 1) (order + 1)^2, so order + 1 is exact from here.
    return built(CostAr::build(s.x, s.n, s.d, order), {{"order", order}});
}

Result<BuiltModel> build_trend(const SignalView& s, Options&, bool, const ForEachIndex&) {
    // Two regressors: the prefix sums hold 2 x 2 blocks.
    if (Status budget = check_outer_memory(s.n, 2, "trend"); !budget) return budget.error();
    return built(CostTrend::build(s.x, s.n, s.d));
}

Result<BuiltModel> build_poisson(const SignalView& s, Options&, bool, const ForEachIndex&) {
    return built(CostRate::build(s.x, s.n, s.d, CostRate::Law::poisson));
}

Result<BuiltModel> build_exponential(const SignalView& s, Options&, bool, const ForEachIndex&) {
    return built(CostRate::build(s.x, s.n, s.d, CostRate::Law::exponential));
}

// The mean defaults to the signal's own, column by column.
Result<BuiltModel> build_variance(const SignalView& s, Options& options, bool,
                                  const ForEachIndex&) {
    Result<std::optional<std::vector<double>>> given = options.reals("mean");
    if (!given) return given.error();
    Result<std::vector<double>> mean =
        *given ? per_column(std::move(**given), s.d, "variance", "mean", "finite",
                            [](double v) { return std::isfinite(v); })
               : Result<std::vector<double>>(prefix::column_means(s.x, s.n, s.d));
    if (!mean) return mean.error();
    Result<std::vector<double>> resolution = read_resolution(options, s, "variance");
    if (!resolution) return resolution.error();
    CostVariance model = CostVariance::build(s.x, s.n, s.d, *mean, resolution_floors(*resolution));
    return built(std::move(model),
                 {{"mean", std::move(*mean)}, {"resolution", std::move(*resolution)}});
}

Status check_counts(const SignalView& s) { return CostRate::check_counts(s.x, s.n, s.d); }
Status check_waiting_times(const SignalView& s) {
    return CostRate::check_waiting_times(s.x, s.n, s.d);
}

constexpr OptionSpec kNormalOptions[] = {{"add_small_diag", OptionKind::flag},
                                         {"resolution", OptionKind::reals, true}};
constexpr OptionSpec kVarianceOptions[] = {{"mean", OptionKind::reals},
                                           {"resolution", OptionKind::reals}};
constexpr OptionSpec kRbfOptions[] = {{"gamma", OptionKind::real}};
constexpr OptionSpec kMahalanobisOptions[] = {{"metric", OptionKind::matrix}};
constexpr OptionSpec kArOptions[] = {{"order", OptionKind::count}};

Status check_cosine(const SignalView& s) { return CostKernel::check_directions(s.x, s.n, s.d); }

constexpr std::array kModels{
    ModelRow{"l1", {}, false, true, nullptr, build_l1},
    ModelRow{"l2", {}, true, true, nullptr, build_l2},
    ModelRow{"normal", kNormalOptions, false, true, nullptr, build_normal},
    ModelRow{"rbf", kRbfOptions, true, true, nullptr, build_rbf},
    ModelRow{"cosine", {}, true, true, check_cosine, build_cosine},
    ModelRow{"rank", {}, false, true, nullptr, build_rank},
    ModelRow{"mahalanobis", kMahalanobisOptions, false, true, nullptr, build_mahalanobis},
    ModelRow{"clinear", {}, false, true, nullptr, build_clinear},
    ModelRow{"linear", {}, false, true, nullptr, build_linear},
    ModelRow{"ar", kArOptions, false, true, nullptr, build_ar},
    ModelRow{"poisson", {}, false, false, check_counts, build_poisson},
    ModelRow{"exponential", {}, false, false, check_waiting_times, build_exponential},
    ModelRow{"variance", kVarianceOptions, false, false, nullptr, build_variance},
    ModelRow{"trend", {}, false, false, nullptr, build_trend},
};

// The options a row's builder reads, as its catalogue sees them: the
// interface reads the options it was published without as zero.
class CatalogueOptions final : public Options {
public:
    CatalogueOptions(Options& source, const ModelRow& row, Catalogue catalogue)
        : source_(source), row_(row), catalogue_(catalogue) {}

    Result<std::optional<bool>> flag(std::string_view key) override {
        if (hidden(key)) return std::optional<bool>{false};
        return source_.flag(key);
    }
    Result<std::optional<double>> real(std::string_view key) override {
        if (hidden(key)) return std::optional<double>{0.0};
        return source_.real(key);
    }
    Result<std::optional<std::uint64_t>> count(std::string_view key) override {
        if (hidden(key)) return std::optional<std::uint64_t>{0};
        return source_.count(key);
    }
    Result<std::optional<OptionMatrix>> matrix(std::string_view key) override {
        if (hidden(key)) return std::optional<OptionMatrix>{};
        return source_.matrix(key);
    }
    Result<std::optional<std::vector<double>>> reals(std::string_view key) override {
        if (hidden(key)) return std::optional<std::vector<double>>{{0.0}};
        return source_.reals(key);
    }

private:
    bool hidden(std::string_view key) const noexcept {
        if (catalogue_ == Catalogue::full) return false;
        return std::any_of(row_.options.begin(), row_.options.end(),
                           [&](const OptionSpec& o) { return o.key == key && o.full_only; });
    }

    Options& source_;
    const ModelRow& row_;
    Catalogue catalogue_;
};

// Names the catalogue's own models, so that the interface's message stays the
// one it was published with.
Error unknown_model(std::string_view name, Catalogue catalogue) {
    std::string message = "unknown model: " + std::string(name) + ". Supported: ";
    bool first = true;
    for (const ModelRow& row : kModels) {
        if (!serves(catalogue, row)) continue;
        if (!first) message += ", ";
        message += row.name;
        first = false;
    }
    return value_error(std::move(message));
}

}  // namespace

std::span<const ModelRow> model_rows() { return kModels; }

bool serves(Catalogue catalogue, const ModelRow& row) noexcept {
    return catalogue == Catalogue::full || row.in_interface;
}

// The signal check runs before the options are read and any budget is
// computed: a signal the model cannot mean anything on is the first thing to
// hear about.
Result<BuiltModel> build_model(std::string_view name, const SignalView& signal, Options& options,
                               bool extension, Catalogue catalogue, const ForEachIndex& for_each) {
    for (const ModelRow& row : kModels) {
        if (row.name != name || !serves(catalogue, row)) continue;
        if (catalogue == Catalogue::full && row.check != nullptr) {
            if (Status ok = row.check(signal); !ok) return ok.error();
        }
        CatalogueOptions seen(options, row, catalogue);
        return row.build(signal, seen, extension, for_each);
    }
    return unknown_model(name, catalogue);
}

}  // namespace marbolt::cost
