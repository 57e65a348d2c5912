// Kernel costs: the spread of a segment around its own mean in the feature
// space of a kernel k, sum_i k(x_i, x_i) - (1 / L) sum_i sum_j k(x_i, x_j).
// "rbf" and "cosine" precompute the whole kernel matrix as an (n + 1)^2
// two-dimensional prefix table (O(n^2) time and memory, then O(1) per segment);
// the linear kernel ("l2", variant "extension") needs only O(n d), because the
// double sum of x_i . x_j is the squared norm of the segment's sum.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "cost/cost.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost {

// Leaves the doubles of a resized vector unset: the kernel table writes every
// entry itself, and zeroing (n + 1)^2 of them first would be one more pass
// over memory as large as the table (and would fault every page in on one
// thread).
template <class T>
struct UnsetAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <class U>
    UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using KernelTable = std::vector<double, UnsetAllocator<double>>;

struct RbfFit;

// Runs body(i) once for every i in [0, count), in any order and on any
// threads, and returns when all have run. The kernel table fill hands its
// independent pieces to it; the engine passes the worker pool (which this
// layer does not know), and the default runs them in turn on the caller.
using ForEachIndex =
    std::function<void(std::size_t count, const std::function<void(std::size_t)>& body)>;
void run_in_turn(std::size_t count, const std::function<void(std::size_t)>& body);

class CostKernel final : public Cost, public KernelBlocks {
public:
    // x is n x d row-major; nothing of it is kept. Without a gamma the default
    // bandwidth of rbf_default_gamma is computed; a given one is used as
    // passed (zero, negative and non-finite included). extension selects the
    // variant "extension": kernel values rounded through 32-bit floats and a
    // computed diagonal.
    static RbfFit rbf(std::span<const double> x, std::size_t n, std::size_t d,
                      std::optional<double> gamma, bool extension,
                      const ForEachIndex& for_each = run_in_turn);
    static CostKernel cosine(std::span<const double> x, std::size_t n, std::size_t d,
                             bool extension, const ForEachIndex& for_each = run_in_turn);
    // A sample of all zeros has no direction: every cosine cost it enters is
    // NaN. Refuses the first one.
    static Status check_directions(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 1; }
    // Not clamped: the "python" diagonals (1.0 for rbf, 0.0 for cosine) make
    // costs that a true kernel mean could not give, negative ones included.
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return name_; }
    const KernelBlocks* as_kernel_blocks() const noexcept override { return this; }

    double diag_sum(std::size_t start, std::size_t end) const noexcept override {
        return diag_.segment_sum(start, end, 0);
    }
    double block_sum(std::size_t start, std::size_t end) const noexcept override;

private:
    CostKernel(KernelTable table, std::size_t stride, prefix::Prefix1 diag,
               std::string_view name)
        : table_(std::move(table)), stride_(stride), diag_(std::move(diag)), name_(name) {}

    template <class Kernel>
    static CostKernel fill(std::size_t n, const Kernel& kernel, std::span<const double> diagonal,
                           std::string_view name, const ForEachIndex& for_each);

    // T[r][c] = sum of K[i][j] over i < r, j < c; row and column 0 are zero.
    KernelTable table_;
    std::size_t stride_;  // n + 1
    prefix::Prefix1 diag_;
    std::string_view name_;
};

struct RbfFit {
    CostKernel model;
    double gamma;  // the bandwidth used: the given one or the default
};

// One rbf kernel entry from its scaled squared distance v = gamma * d^2.
// "python" (off the diagonal, which is 1.0 without computing): v raised to
// 0.01, and exp(-100) itself past 100. "extension" (every entry): v rounded to
// a 32-bit float and clipped to the floats nearest 0.01 and 100.
double rbf_value(double v, bool extension) noexcept;

// 1 / median of the squared distances of all pairs i < j, or 1.0 when that
// median is 0 (equal samples, or n <= 1). NaN in the signal gives NaN.
double rbf_default_gamma(std::span<const double> x, std::size_t n, std::size_t d);

class CostKernelLinear final : public Cost, public KernelBlocks {
public:
    // x is n x d row-major; nothing of it is kept.
    static CostKernelLinear build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 1; }
    // Clamped at 0 (the l2 cost cannot be negative); NaN is returned as is.
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "l2"; }
    const KernelBlocks* as_kernel_blocks() const noexcept override { return this; }

    double diag_sum(std::size_t start, std::size_t end) const noexcept override;
    double block_sum(std::size_t start, std::size_t end) const noexcept override;

private:
    CostKernelLinear(prefix::Prefix1 sums, prefix::Prefix1 sqnorms, std::size_t d)
        : sums_(std::move(sums)), sqnorms_(std::move(sqnorms)), n_dims_(d) {}

    prefix::Prefix1 sums_;     // of the centred signal
    prefix::Prefix1 sqnorms_;  // of its squared row norms; empty when d == 0
    std::size_t n_dims_;
};

}  // namespace marbolt::cost
