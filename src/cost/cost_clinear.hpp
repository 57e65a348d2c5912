// "clinear": the cost of a continuous piecewise-linear fit. A segment's line is
// pinned to the sample just before it and to its own last sample, so that
// consecutive segments join; the cost is the sum of squared deviations from
// that line, per column, read from three prefix sums in O(d) per segment.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"

namespace marbolt::cost {

class CostCLinear final : public Cost {
public:
    // x is n x d row-major; only its globally detrended values are kept.
    static CostCLinear build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 3; }
    double error(std::size_t start, std::size_t end) const noexcept override;
    std::string_view model() const noexcept override { return "clinear"; }

private:
    // Rows come 64-byte aligned, so that at d = 1 two rows of 32 bytes share
    // a cache line and none straddles two.
    template <class T>
    struct Aligned {
        using value_type = T;
        static constexpr std::align_val_t kAlign{64};
        Aligned() = default;
        template <class U>
        Aligned(const Aligned<U>&) noexcept {}
        T* allocate(std::size_t count) {
            return static_cast<T*>(::operator new(count * sizeof(T), kAlign));
        }
        void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, kAlign); }
        bool operator==(const Aligned&) const noexcept { return true; }
    };
    using Table = std::vector<double, Aligned<double>>;

    // Row r (0 .. n) of the table holds, per column, four entries side by
    // side: the residual of sample r - 1 and the sums of resid, resid^2 and
    // t * resid over samples 0 .. r-1. A segment reads everything it needs
    // from its rows u and end: two or three cache lines instead of the six
    // that separate arrays cost on a random segment.
    static constexpr std::size_t kEntries = 4;
    static constexpr std::size_t kResid = 0, kSum = 1, kSumSq = 2, kSumT = 3;

    CostCLinear(Table table, std::size_t d) : table_(std::move(table)), d_(d) {}

    Table table_;  // (n + 1) x d x kEntries; row 0 has no residual (zero)
    std::size_t d_;
};

}  // namespace marbolt::cost
