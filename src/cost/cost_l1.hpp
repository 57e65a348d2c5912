// "l1": per column, the sum of absolute deviations of the segment's samples
// from the segment median. No prefix structure serves medians, so each call
// selects them afresh: O(d * L) per segment, the one cost linear in L.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "cost/pruning.hpp"

namespace marbolt::cost {

class CostL1 final : public Cost {
public:
    // x is n x d row-major; the model keeps its own centred copy.
    static CostL1 build(std::span<const double> x, std::size_t n, std::size_t d);

    std::size_t min_size() const noexcept override { return 2; }
    // Grows this thread's scratch when a segment is longer than any before it,
    // hence not noexcept.
    double error(std::size_t start, std::size_t end) const override;
    std::string_view model() const noexcept override { return "l1"; }

    // The centred signal, n x d row-major, for searches that evaluate many
    // segments at once.
    std::span<const double> centred() const noexcept { return centred_; }
    std::size_t dims() const noexcept { return d_; }

private:
    CostL1(std::vector<double> centred, std::size_t d) : centred_(std::move(centred)), d_(d) {}

    std::vector<double> centred_;
    std::size_t d_;
};

// Functional pruning (cost/pruning_l1.hpp): one column, whose totals are
// convex and piecewise linear in the last segment's level.
class L1ColumnFamily;

template <>
struct PruningFamilies<CostL1> {
    using type = Families<L1ColumnFamily>;
};

}  // namespace marbolt::cost
