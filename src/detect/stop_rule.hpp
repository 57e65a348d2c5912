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
};

}  // namespace marbolt::detect
