#include "cost/registry.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
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
#include "linalg/eigen.hpp"

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

// Split bounds (split_bound.hpp), one per row. Most costs are the minimum over
// a segment's own parameters of a sum over its samples (a level, a mean, a
// rate, a variance, regression coefficients); the two parts of a cut may each
// take their own parameters, so their sum of minima is at most the whole's,
// and the bound is zero. The other rows carry their own argument.
std::optional<SplitBound> never_raised(const BuiltModel&, bool) { return SplitBound{}; }
std::optional<SplitBound> unbounded(const BuiltModel&, bool) { return std::nullopt; }

// trend: zero. Its line is fitted in closed form, never refused, so its cost
// is the minimum over a level and a slope of a sum over the samples.
//
// linear, ar: none. The residual sum of squares is a minimum over the
// coefficients, but a segment whose Gram matrix is (nearly) singular or
// ill-conditioned gets 0, or, when rounding leaves it just regular enough,
// the residue of a fit to noise: with a regressor that is constant over a
// stretch (a dummy variable, a zero column), the whole stretch can cost 0 and
// a part of it its full sum of squares.

// A zero variance costs -inf without a floor (or the small diagonal), or a
// finite amount when rounding leaves it positive, so a constant stretch can
// cost -inf and its parts more: the bounds below need every column held away
// from zero.
bool held_away_from_zero(std::span<const double> floors) {
    return !floors.empty() && std::all_of(floors.begin(), floors.end(), [](double f) { return f > 0.0; });
}

// variance: the variance about the fixed mean, estimated under its floor, is
// a minimum over sigma^2 >= floor (variance_floor.hpp): zero, with floors.
std::optional<SplitBound> variance_split(const BuiltModel& built, bool) {
    if (!held_away_from_zero(static_cast<const CostVariance&>(*built.model).floors())) return std::nullopt;
    return SplitBound{};
}

// normal, with the small diagonal eps or floors on every column. One column:
// L h(v + eps), v the variance with divisor L and h the log-variance held at
// the floor (ln without one), is the minimum over a mean and a variance of
// -2 ln of the Gaussian likelihood of the samples (less a constant per
// sample; variance_floor.hpp): zero. Several columns use the sample
// covariance S / (L - 1) where the likelihood's estimate is S / L; the cost
// with S / L is such a minimum (over a mean and a covariance at least the
// floors), and S / (L - 1) raises it by at most d ln(L / (L - 1)) per sample:
// the whitened eigenvalues grow by the factor r = L / (L - 1), and the held
// logarithm grows by at most ln r under that (by ln r above the floor, by
// (r - 1) lambda <= 1 - 1/r <= ln r below it). So a cut may raise the cost by
// d g(L1) + d g(L2), g(L) = L ln(L / (L - 1)), which falls from g(2) = 2 ln 2
// towards 1 (a one-sample segment's covariance is taken as zero: no excess).
// Hence base 4 d ln 2.
std::optional<SplitBound> normal_split(const BuiltModel& built, bool) {
    const auto& model = static_cast<const CostNormal&>(*built.model);
    if (!model.small_diag() && !held_away_from_zero(model.floors())) return std::nullopt;
    const std::size_t d = model.dims();
    if (d <= 1) return SplitBound{};
    return SplitBound{4.0 * std::numbers::ln2 * static_cast<double>(d), 0.0};
}

// Writing the two parts' means in the metric M, error(a, c) - error(a, b) -
// error(b, c) = (L1 L2 / L) (m1 - m2)^T M (m1 - m2): zero when the symmetric
// part of M is positive semi-definite, and unbounded below otherwise.
std::optional<SplitBound> mahalanobis_split(const BuiltModel& built, bool) {
    const auto& model = static_cast<const CostMahalanobis&>(*built.model);
    const std::size_t d = model.dims();
    const std::span<const double> m = model.metric();
    std::vector<double> symmetric(d * d);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) symmetric[i * d + j] = 0.5 * (m[i * d + j] + m[j * d + i]);
    }
    for (double value : linalg::jacobi_eigh(symmetric, d).values) {
        if (!(value >= 0.0)) return std::nullopt;
    }
    return SplitBound{};
}

// A kernel cost cut in two: error(a, c) - error(a, b) - error(b, c) =
// (L1 L2 / L) u^T K u with u = 1 / L1 on the first part and -1 / L2 on the
// second, so it is at least the smallest eigenvalue of K on [a, c) (|u|^2 =
// L / (L1 L2)). rbf: K differs from the Gaussian kernel matrix exp(-v_ij),
// which is positive semi-definite, only where v is clipped to [0.01, 100]
// (or rounded to 32 bits, or, in "extension", on its diagonal of exp(-0.01)
// instead of 1), by at most 1 - exp(-0.01) < 0.0099502 an entry; the smallest
// eigenvalue then falls at most by a row sum of those, 0.0099502 L. A
// bandwidth of zero or below clips every v to 0.01, and K = c 11^T + (1 - c)
// I is positive semi-definite; one that is not finite makes kernel values
// that are not numbers.
std::optional<SplitBound> rbf_split(const BuiltModel& built, bool) {
    for (const ResolvedOption& option : built.params) {
        if (option.key != "gamma") continue;
        const double* gamma = std::get_if<double>(&option.value);
        if (gamma == nullptr || !std::isfinite(*gamma)) return std::nullopt;
        return SplitBound{0.0, 0.0099502};
    }
    return std::nullopt;
}

// cosine: the cosine matrix C is positive semi-definite; "extension" uses it
// as it is (zero), "python" puts 0 on its diagonal, K = C - I, whose
// eigenvalues are at least -1.
std::optional<SplitBound> cosine_split(const BuiltModel&, bool extension) {
    if (extension) return SplitBound{};
    return SplitBound{1.0, 0.0};
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

// clinear has no split bound: a segment's line is pinned to the sample before
// it, so a cut forces the fit through one more sample, which may lie
// arbitrarily far from the line through the two ends. linear and ar: see
// above.
constexpr std::array kModels{
    ModelRow{"l1", {}, false, true, nullptr, build_l1, never_raised},
    ModelRow{"l2", {}, true, true, nullptr, build_l2, never_raised},
    ModelRow{"normal", kNormalOptions, false, true, nullptr, build_normal, normal_split},
    ModelRow{"rbf", kRbfOptions, true, true, nullptr, build_rbf, rbf_split},
    ModelRow{"cosine", {}, true, true, check_cosine, build_cosine, cosine_split},
    ModelRow{"rank", {}, false, true, nullptr, build_rank, never_raised},
    ModelRow{"mahalanobis", kMahalanobisOptions, false, true, nullptr, build_mahalanobis, mahalanobis_split},
    ModelRow{"clinear", {}, false, true, nullptr, build_clinear, unbounded},
    ModelRow{"linear", {}, false, true, nullptr, build_linear, unbounded},
    ModelRow{"ar", kArOptions, false, true, nullptr, build_ar, unbounded},
    ModelRow{"poisson", {}, false, false, check_counts, build_poisson, never_raised},
    ModelRow{"exponential", {}, false, false, check_waiting_times, build_exponential, never_raised},
    ModelRow{"variance", kVarianceOptions, false, false, nullptr, build_variance, variance_split},
    ModelRow{"trend", {}, false, false, nullptr, build_trend, never_raised},
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
        Result<BuiltModel> built = row.build(signal, seen, extension, for_each);
        if (built) built->split_bound = row.split_bound(*built, extension);
        return built;
    }
    return unknown_model(name, catalogue);
}

}  // namespace marbolt::cost
