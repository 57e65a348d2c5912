#include "cost/registry.hpp"

#include <array>
#include <string>
#include <type_traits>
#include <utility>

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

namespace marbolt::cost {
namespace {

// A finished model, with the options it resolved.
template <class Model>
Result<BuiltModel> built(Model&& model, std::vector<ResolvedOption> params = {}) {
    return BuiltModel{std::make_unique<std::decay_t<Model>>(std::forward<Model>(model)),
                      std::move(params)};
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
    return built(CostNormal::build(s.x, s.n, s.d, small_diag), {{"add_small_diag", small_diag}});
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

constexpr OptionSpec kNormalOptions[] = {{"add_small_diag", OptionKind::flag}};
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
        return row.build(signal, options, extension, for_each);
    }
    return unknown_model(name, catalogue);
}

}  // namespace marbolt::cost
