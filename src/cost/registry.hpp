// The model table: the one place where a model name is bound to the options
// it reads, the signals it accepts, its memory budget, its own parameter
// checks and its builder, run in that row's order. The engines, the C++ tests
// and the fuzz harness all build models through it, so a new model is one row
// here.
//
// Two catalogues read the table. The fixed interface (the module
// `_marbolt_rs`) serves the models it was published with, exactly as they
// were: it runs no signal check, since each would refuse some signal it
// accepts. The full catalogue (the package's own module) serves every row and
// runs each row's signal check first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "cost/cost.hpp"
#include "cost/cost_kernel.hpp"

namespace marbolt::cost {

// A row-major matrix option (the mahalanobis metric) as its source read it.
struct OptionMatrix {
    std::vector<double> data;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
};

// reals: one value for every column, or one per column.
enum class OptionKind { flag, real, count, matrix, reals };

struct OptionSpec {
    std::string_view key;
    OptionKind kind;
    // Read by the full catalogue only. The interface reads it as zero (off),
    // so its models stay what they were when it was published.
    bool full_only = false;
};

// Where a model's options come from. A builder reads only the keys it needs,
// one at a time and in its row's order, so that a source whose reads can fail
// (the engine's params dict) fails where the model would look. Each read gives
// the value, nothing for an absent key, or the source's own error.
class Options {
public:
    virtual ~Options() = default;
    virtual Result<std::optional<bool>> flag(std::string_view key) = 0;
    virtual Result<std::optional<double>> real(std::string_view key) = 0;
    virtual Result<std::optional<std::uint64_t>> count(std::string_view key) = 0;
    virtual Result<std::optional<OptionMatrix>> matrix(std::string_view key) = 0;
    virtual Result<std::optional<std::vector<double>>> reals(std::string_view key) = 0;
};

// The signal as the engine took it in: n x d, row-major. Models copy what
// they need; nothing of it is kept.
struct SignalView {
    std::span<const double> x;
    std::uint64_t n = 0;
    std::uint64_t d = 0;
};

using OptionValue = std::variant<bool, double, std::uint64_t, OptionMatrix, std::vector<double>>;

// One option as the model uses it: given, or the default it resolved to (the
// rbf bandwidth computed from the signal, the ar order 4). This is the one
// place a model's parameters are known; the engine reports them as they are.
struct ResolvedOption {
    std::string_view key;
    OptionValue value;
};

struct BuiltModel {
    std::unique_ptr<const Cost> model;
    std::vector<ResolvedOption> params;  // in the row's option order
};

using ModelBuilder = Result<BuiltModel> (*)(const SignalView& signal, Options& options,
                                            bool extension, const ForEachIndex& for_each);

// Refuses the signals on which the model means nothing, with the first
// offending sample; nullptr accepts every signal.
using SignalCheck = Status (*)(const SignalView& signal);

enum class Catalogue {
    interface,  // the published models, as published: no signal checks
    full,       // every row, each signal checked first
};

struct ModelRow {
    std::string_view name;
    std::span<const OptionSpec> options;  // in the order the builder reads them
    bool has_extension;                   // whether the variant "extension" changes it
    bool in_interface;                    // served by the fixed interface too
    SignalCheck check;
    ModelBuilder build;
};

// Every model of the full catalogue, in table order (the interface's models
// first, in the order its unknown-model message names them).
std::span<const ModelRow> model_rows();

// Whether the catalogue serves the row.
bool serves(Catalogue catalogue, const ModelRow& row) noexcept;

// Looks the name up among the catalogue's rows and runs its row. The kernel
// models hand the independent pieces of their table fill to for_each.
Result<BuiltModel> build_model(std::string_view name, const SignalView& signal, Options& options,
                               bool extension, Catalogue catalogue,
                               const ForEachIndex& for_each = run_in_turn);

}  // namespace marbolt::cost
