// The interface every fitted segment-cost model implements, and the kernel
// view that kernel PELT reads.
//
// Segments are half-open [start, end) with 0 <= start < end <= n. Models do
// not check bounds: the engine's checked entry points and the search grids
// guarantee them. A built model is immutable; every operation only reads it
// and keeps scratch per call (or per thread for l1), so concurrent calls on one
// instance are safe.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace marbolt::cost {

class KernelBlocks {
public:
    virtual ~KernelBlocks() = default;
    // Sum of k(x_i, x_i) over the segment.
    virtual double diag_sum(std::size_t start, std::size_t end) const noexcept = 0;
    // Sum of k(x_i, x_j) over the square block of the segment.
    virtual double block_sum(std::size_t start, std::size_t end) const noexcept = 0;
};

class Cost {
public:
    virtual ~Cost() = default;
    virtual std::size_t min_size() const noexcept = 0;
    // Never reports an error: degenerate segments give the model's defined
    // value (0.0, -inf or NaN). May throw std::bad_alloc for its scratch.
    virtual double error(std::size_t start, std::size_t end) const = 0;
    virtual std::string_view model() const noexcept = 0;
    virtual const KernelBlocks* as_kernel_blocks() const noexcept { return nullptr; }

    // Plain left-to-right accumulation of error(prev, b); neither sorts nor
    // validates, and adds no segment after the last entry.
    double sum_of_costs(std::span<const std::size_t> bkps) const;
};

}  // namespace marbolt::cost
