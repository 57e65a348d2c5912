// The stopping rule shared by the greedy searches (binary segmentation,
// bottom-up merging, sliding window).
#pragma once

#include <cstdint>
#include <optional>

namespace marbolt::detect {

// Exactly one field is consulted: the first present of n_bkps, pen, epsilon.
// With none present a search stops at its first decision point. All threshold
// comparisons are strict.
struct StopRule {
    std::optional<std::uint64_t> n_bkps;
    std::optional<double> pen;
    std::optional<double> epsilon;

    // The decision of the field that applies: on_count(n_bkps), on_pen(pen)
    // or on_epsilon(epsilon), whichever comes first; false with none. Only
    // the chosen function runs.
    template <class OnCount, class OnPen, class OnEpsilon>
    bool decide(OnCount on_count, OnPen on_pen, OnEpsilon on_epsilon) const {
        if (n_bkps) return on_count(*n_bkps);
        if (pen) return on_pen(*pen);
        if (epsilon) return on_epsilon(*epsilon);
        return false;
    }
};

}  // namespace marbolt::detect
