// Builds a cost model from fuzz input through the engine's model table (same
// builders, same checks, same refusals), and wraps it so that every segment a
// search asks for is checked against the Cost contract.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "cost/cost.hpp"
#include "cost/registry.hpp"
#include "fuzz_check.hpp"
#include "fuzz_input.hpp"

namespace marbolt::fuzz {

// One model of the table in one of its forms: each variant that changes it,
// and each value of a flag option; its other options come from the input.
struct ModelKind {
    const cost::ModelRow* row = nullptr;
    bool extension = false;
    std::optional<bool> flag;
    // The interface's models are built as it builds them, without the signal
    // checks, so that every signal it accepts reaches their costs; the full
    // catalogue's forms are built as the package builds them.
    cost::Catalogue catalogue = cost::Catalogue::interface;

    bool is(std::string_view model, bool with_extension = false) const {
        return row->name == model && extension == with_extension;
    }
};

inline bool has_flag(const cost::ModelRow& row) {
    return std::any_of(row.options.begin(), row.options.end(), [](const cost::OptionSpec& o) {
        return o.kind == cost::OptionKind::flag;
    });
}

// Whether the full catalogue builds the row differently from the interface:
// a model of its own, or an option the interface reads as zero.
inline bool full_differs(const cost::ModelRow& row) {
    return !row.in_interface || std::any_of(row.options.begin(), row.options.end(),
                                            [](const cost::OptionSpec& o) { return o.full_only; });
}

// Every form of every model of the table: the interface's, in table order
// (the plain variant first, a flag's default (true) before false), then the
// forms only the full catalogue builds, its signal checks included. The
// interface's forms keep the first indices, which the corpus was grown on.
inline const std::vector<ModelKind>& model_kinds() {
    static const std::vector<ModelKind> kinds = [] {
        std::vector<ModelKind> out;
        for (const cost::Catalogue catalogue : {cost::Catalogue::interface, cost::Catalogue::full}) {
            for (const cost::ModelRow& row : cost::model_rows()) {
                const bool wanted = catalogue == cost::Catalogue::interface
                                        ? cost::serves(catalogue, row)
                                        : full_differs(row);
                if (!wanted) continue;
                for (const bool extension : {false, true}) {
                    if (extension && !row.has_extension) continue;
                    if (!has_flag(row)) {
                        out.push_back({&row, extension, std::nullopt, catalogue});
                        continue;
                    }
                    out.push_back({&row, extension, true, catalogue});
                    out.push_back({&row, extension, false, catalogue});
                }
            }
        }
        return out;
    }();
    return kinds;
}

inline ModelKind model_kind(std::string_view model, bool extension = false) {
    for (const ModelKind& kind : model_kinds()) {
        if (kind.is(model, extension)) return kind;
    }
    return {};
}

struct Signal {
    std::vector<double> x;  // n x d row-major
    std::size_t n = 0;
    std::size_t d = 0;
};

inline Signal read_signal(FuzzInput& in, std::size_t max_n) {
    Signal s;
    s.d = in.below_or(4);
    s.n = in.below_or(max_n);
    s.x = in.reals(s.n * s.d);
    return s;
}

// Kernel models read KernelBlocks through this one too.
class CheckedCost final : public cost::Cost, public cost::KernelBlocks {
public:
    CheckedCost(std::unique_ptr<const cost::Cost> inner, std::size_t n, std::optional<double> scale)
        : scale(scale), inner_(std::move(inner)), n_(n) {
        blocks_ = inner_->as_kernel_blocks();
    }

    // Sum of squares of the signal when every value is finite and at most
    // 1e4 in magnitude, which keeps rounding far below the tolerance of the
    // optimality checks; absent otherwise.
    std::optional<double> scale;

    std::size_t min_size() const noexcept override { return inner_->min_size(); }
    double error(std::size_t start, std::size_t end) const override {
        check(start, end);
        return inner_->error(start, end);
    }
    std::string_view model() const noexcept override { return inner_->model(); }
    std::size_t n_samples() const noexcept { return n_; }
    // The model itself, for the searches' fast paths, which this wrapper hides.
    const cost::Cost& inner() const noexcept { return *inner_; }
    const cost::KernelBlocks* as_kernel_blocks() const noexcept override {
        return blocks_ == nullptr ? nullptr : this;
    }
    double diag_sum(std::size_t start, std::size_t end) const noexcept override {
        check(start, end);
        return blocks_->diag_sum(start, end);
    }
    double block_sum(std::size_t start, std::size_t end) const noexcept override {
        check(start, end);
        return blocks_->block_sum(start, end);
    }

private:
    // Segments are half-open and non-empty: 0 <= start < end <= n.
    void check(std::size_t start, std::size_t end) const noexcept {
        FUZZ_CHECK(start < end);
        FUZZ_CHECK(end <= n_);
    }

    std::unique_ptr<const cost::Cost> inner_;
    const cost::KernelBlocks* blocks_;
    std::size_t n_;
};

// Options as the kind fixes them or the input gives them: a flag from the
// kind, a real or nothing, a count or nothing (the model's default), a metric
// of the signal's width.
class FuzzOptions final : public cost::Options {
public:
    FuzzOptions(FuzzInput& in, std::optional<bool> flag, std::size_t d)
        : in_(in), flag_(flag), d_(d) {}

    Result<std::optional<bool>> flag(std::string_view) override { return flag_; }
    Result<std::optional<double>> real(std::string_view) override { return in_.optional_real(); }
    Result<std::optional<std::uint64_t>> count(std::string_view) override {
        if (in_.flag()) return std::optional<std::uint64_t>{};
        return std::optional<std::uint64_t>{in_.below_or(7)};
    }
    Result<std::optional<cost::OptionMatrix>> matrix(std::string_view) override {
        return std::optional<cost::OptionMatrix>{cost::OptionMatrix{in_.reals(d_ * d_), d_, d_}};
    }
    // Nothing (the model's default), one value, or one per column.
    Result<std::optional<std::vector<double>>> reals(std::string_view) override {
        if (in_.flag()) return std::optional<std::vector<double>>{};
        return std::optional<std::vector<double>>{in_.reals(in_.flag() ? 1 : d_)};
    }

private:
    FuzzInput& in_;
    std::optional<bool> flag_;
    std::size_t d_;
};

// nullptr where the engine refuses the parameters (it raises ValueError).
inline std::unique_ptr<const cost::Cost> build_model(const ModelKind& kind, const Signal& s,
                                                     FuzzInput& in) {
    FuzzOptions options(in, kind.flag, s.d);
    Result<cost::BuiltModel> built =
        cost::build_model(kind.row->name, {s.x, s.n, s.d}, options, kind.extension, kind.catalogue);
    return built ? std::move(built->model) : nullptr;
}

inline std::optional<double> ordinary_scale(const Signal& s) {
    double sum_sq = 0.0;
    for (double v : s.x) {
        if (!(std::fabs(v) <= 1e4)) return std::nullopt;
        sum_sq += v * v;
    }
    return sum_sq;
}

// The model kind, then the signal (capped at max_n rows), then the model's
// own parameters; nullopt when the engine would refuse them.
inline std::optional<CheckedCost> read_model(FuzzInput& in, std::size_t max_n, ModelKind& kind) {
    kind = model_kinds()[in.byte() % model_kinds().size()];
    // l1 costs O(L) per segment: keep its signals shorter so every input stays fast.
    const Signal s = read_signal(in, kind.is("l1") ? max_n / 2 : max_n);
    std::unique_ptr<const cost::Cost> model = build_model(kind, s, in);
    if (!model) return std::nullopt;
    return std::optional<CheckedCost>(std::in_place, std::move(model), s.n, ordinary_scale(s));
}

// A signal without columns and with up to 2^63 - 1 rows, as the engine
// accepts it (its memory is O(1) for these models): the searches' position
// arithmetic then runs near the top of the 64-bit range.
inline std::optional<CheckedCost> read_wide_model(FuzzInput& in, ModelKind& kind) {
    static const ModelKind kinds[] = {model_kind("l1"),     model_kind("l2"),
                                      model_kind("l2", true), model_kind("normal"),
                                      model_kind("rank"),     model_kind("mahalanobis"),
                                      model_kind("clinear")};
    kind = kinds[in.byte() % std::size(kinds)];
    constexpr std::uint64_t kRows[] = {(std::uint64_t{1} << 63) - 1, 0xFFFFFFFFu,
                                       std::uint64_t{1} << 32};
    const std::uint8_t pick = in.byte();
    Signal s;
    s.n = pick < 3 ? kRows[pick] : (in.word(8) >> 1) >> (pick % 64);
    std::unique_ptr<const cost::Cost> model = build_model(kind, s, in);
    if (!model) return std::nullopt;
    return std::optional<CheckedCost>(std::in_place, std::move(model), s.n, std::nullopt);
}

}  // namespace marbolt::fuzz
