// Builds a cost model from fuzz input exactly as the engine's model table does
// (same builders, same parameters, same refusals), and wraps it so that every
// segment a search asks for is checked against the Cost contract.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cost/cost.hpp"
#include "cost/cost_ar.hpp"
#include "cost/cost_clinear.hpp"
#include "cost/cost_kernel.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_linear.hpp"
#include "cost/cost_mahalanobis.hpp"
#include "cost/cost_normal.hpp"
#include "cost/cost_rank.hpp"
#include "fuzz_check.hpp"
#include "fuzz_input.hpp"

namespace marbolt::fuzz {

// Every model and variant the engine can build.
enum class ModelKind {
    l1, l2, l2_extension, normal, normal_no_diag, rbf, rbf_extension, cosine,
    cosine_extension, rank, mahalanobis, clinear, linear, ar, count
};

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
    CheckedCost(std::unique_ptr<cost::Cost> inner, std::size_t n, std::optional<double> scale)
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

    std::unique_ptr<cost::Cost> inner_;
    const cost::KernelBlocks* blocks_;
    std::size_t n_;
};

template <class T>
std::unique_ptr<cost::Cost> owned(T&& model) {
    return std::make_unique<std::decay_t<T>>(std::forward<T>(model));
}

// nullptr where the engine refuses the parameters (it raises ValueError).
inline std::unique_ptr<cost::Cost> build_model(ModelKind kind, const Signal& s, FuzzInput& in) {
    const std::span<const double> x = s.x;
    switch (kind) {
        case ModelKind::l1: return owned(cost::CostL1::build(x, s.n, s.d));
        case ModelKind::l2: return owned(cost::CostL2::build(x, s.n, s.d));
        case ModelKind::l2_extension: return owned(cost::CostKernelLinear::build(x, s.n, s.d));
        case ModelKind::normal: return owned(cost::CostNormal::build(x, s.n, s.d, true));
        case ModelKind::normal_no_diag: return owned(cost::CostNormal::build(x, s.n, s.d, false));
        case ModelKind::rbf:
        case ModelKind::rbf_extension: {
            const std::optional<double> gamma = in.optional_real();
            return owned(std::move(
                cost::CostKernel::rbf(x, s.n, s.d, gamma, kind == ModelKind::rbf_extension).model));
        }
        case ModelKind::cosine: return owned(cost::CostKernel::cosine(x, s.n, s.d, false));
        case ModelKind::cosine_extension: return owned(cost::CostKernel::cosine(x, s.n, s.d, true));
        case ModelKind::rank: return owned(cost::CostRank::build(x, s.n, s.d));
        case ModelKind::mahalanobis:
            return owned(cost::CostMahalanobis::build(x, s.n, s.d, in.reals(s.d * s.d)));
        case ModelKind::clinear: return owned(cost::CostCLinear::build(x, s.n, s.d));
        case ModelKind::linear:
            if (s.n > 0 && s.d == 0) return nullptr;
            return owned(cost::CostLinear::build(x, s.n, s.d));
        case ModelKind::ar: {
            const std::size_t order = in.flag() ? 4 : in.below_or(7);
            if (s.n >= 1 && order >= s.n) return nullptr;
            return owned(cost::CostAr::build(x, s.n, s.d, order));
        }
        case ModelKind::count: break;
    }
    return nullptr;
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
    kind = static_cast<ModelKind>(in.byte() % static_cast<unsigned>(ModelKind::count));
    // l1 costs O(L) per segment: keep its signals shorter so every input stays fast.
    const Signal s = read_signal(in, kind == ModelKind::l1 ? max_n / 2 : max_n);
    std::unique_ptr<cost::Cost> model = build_model(kind, s, in);
    if (!model) return std::nullopt;
    return std::optional<CheckedCost>(std::in_place, std::move(model), s.n, ordinary_scale(s));
}

// A signal without columns and with up to 2^63 - 1 rows, as the engine
// accepts it (its memory is O(1) for these models): the searches' position
// arithmetic then runs near the top of the 64-bit range.
inline std::optional<CheckedCost> read_wide_model(FuzzInput& in, ModelKind& kind) {
    constexpr ModelKind kinds[] = {ModelKind::l1,     ModelKind::l2,   ModelKind::l2_extension,
                                   ModelKind::normal, ModelKind::rank, ModelKind::mahalanobis,
                                   ModelKind::clinear};
    kind = kinds[in.byte() % std::size(kinds)];
    constexpr std::uint64_t kRows[] = {(std::uint64_t{1} << 63) - 1, 0xFFFFFFFFu,
                                       std::uint64_t{1} << 32};
    const std::uint8_t pick = in.byte();
    Signal s;
    s.n = pick < 3 ? kRows[pick] : (in.word(8) >> 1) >> (pick % 64);
    std::unique_ptr<cost::Cost> model = build_model(kind, s, in);
    if (!model) return std::nullopt;
    return std::optional<CheckedCost>(std::in_place, std::move(model), s.n, std::nullopt);
}

}  // namespace marbolt::fuzz
