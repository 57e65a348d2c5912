// Per-call scratch for error(): on the stack for the few columns of typical
// signals, on the heap beyond, so that the common case allocates nothing per
// segment. Allocation would otherwise dominate an O(d^2) cost at small d.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace marbolt::cost {

template <std::size_t Inline>
class Scratch {
public:
    // size zero-initialised entries.
    explicit Scratch(std::size_t size) : size_(size) {
        if (size > Inline) {
            heap_.assign(size, 0.0);
        } else {
            std::fill_n(inline_.begin(), size, 0.0);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::span<double> span() noexcept {
        return {size_ > Inline ? heap_.data() : inline_.data(), size_};
    }

private:
    std::array<double, Inline> inline_;
    std::vector<double> heap_;
    std::size_t size_;
};

// Enough for an 8 x 8 matrix.
using SmallScratch = Scratch<64>;

}  // namespace marbolt::cost
