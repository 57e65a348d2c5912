// What one layer of the dynamic programming works with: its candidate
// previous breakpoints and the best split it finds for each end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/numeric.hpp"
#include "detect/dynp/dynp.hpp"
#include "detect/grid.hpp"

namespace marbolt::detect {

struct Candidate {
    std::size_t start;
    double cost;  // best cost of the prefix [0, start) in the previous layer
};

// The best split found for one end. A layer is one item per closed-grid end.
// `found`, not the cost, decides whether an end can serve as a previous
// breakpoint: an end whose best total is +inf or NaN still has a parent and
// counts as reached.
struct Item {
    double best = kInf;
    std::size_t parent = 0;
    bool found = false;
};

// Previous breakpoints for layer k from layer k - 1 (k_prev = k - 1): grid
// positions (never n, the last closed entry) reached by layer k - 1 at which
// k - 1 breakpoints fit. Filtering once per layer keeps unreachable positions
// out of every item's loop.
inline std::vector<Candidate> layer_candidates(const std::vector<std::size_t>& closed,
                                               const std::vector<Item>& layer, std::size_t k_prev,
                                               std::size_t jump, std::size_t min_size) {
    std::vector<Candidate> candidates;
    for (std::size_t j = 0; j + 1 < closed.size(); ++j) {
        if (layer[j].found && sanity_check(closed[j], k_prev, jump, min_size)) {
            candidates.push_back({closed[j], layer[j].best});
        }
    }
    return candidates;
}

// A layer's parent array, or nothing when it reaches no end (this and every
// later layer are then empty).
inline std::optional<std::vector<std::uint32_t>> parents_of(const std::vector<Item>& layer) {
    std::vector<std::uint32_t> parents(layer.size(), DynpTables::kNoParent);
    bool any = false;
    for (std::size_t j = 0; j < layer.size(); ++j) {
        if (!layer[j].found) continue;
        parents[j] = static_cast<std::uint32_t>(layer[j].parent);
        any = true;
    }
    if (!any) return std::nullopt;
    return parents;
}

}  // namespace marbolt::detect
