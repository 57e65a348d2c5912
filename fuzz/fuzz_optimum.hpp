// Reference optima by the plain recursions over the closed grid, without
// pruning or early exits: what the exact searches must reach. Used on models
// whose segment cost is a within-segment sum of squares (l2 in both forms),
// where adding a breakpoint never raises the cost, and for the penalised
// optimum on every model, only on ordinary signals, where rounding is small.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include "common/numeric.hpp"
#include "detect/grid.hpp"

namespace marbolt::fuzz {

using SegmentCost = std::function<double(std::size_t, std::size_t)>;

inline double penalised_cost(const SegmentCost& segment, const std::vector<std::size_t>& bkps,
                             double pen) {
    double total = 0.0;
    std::size_t prev = 0;
    for (std::size_t b : bkps) {
        total += segment(prev, b) + pen;
        prev = b;
    }
    return total;
}

// Least sum of (segment cost + pen) over the segmentations of [0, n) with
// ends on the closed grid and segments of at least min_size samples (n > 0);
// infinity when there is none.
inline double best_penalised(const SegmentCost& segment, std::size_t n, std::size_t jump,
                             double pen, std::size_t min_size = 1) {
    const std::vector<std::size_t> closed = detect::closed_grid(n, jump);
    std::vector<double> best(closed.size(), kInf);
    best[0] = 0.0;
    for (std::size_t j = 1; j < closed.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            if (best[i] == kInf || closed[j] - closed[i] < min_size) continue;
            best[j] = std::min(best[j], best[i] + segment(closed[i], closed[j]) + pen);
        }
    }
    return best.back();
}

// best[k]: least cost of [0, n) in k + 1 segments of at least min_size
// samples with ends on the closed grid, infinity when there is none.
inline std::vector<double> best_by_count(const SegmentCost& segment, std::size_t n,
                                         std::size_t jump, std::size_t min_size,
                                         std::size_t max_count) {
    const std::vector<std::size_t> closed = detect::closed_grid(n, jump);
    std::vector<double> layer(closed.size(), kInf);
    for (std::size_t j = 1; j < closed.size(); ++j) {
        if (closed[j] >= min_size) layer[j] = segment(0, closed[j]);
    }
    std::vector<double> best{layer.back()};
    for (std::size_t k = 1; k <= max_count; ++k) {
        std::vector<double> next(closed.size(), kInf);
        for (std::size_t j = 1; j < closed.size(); ++j) {
            for (std::size_t i = 1; i < j; ++i) {
                if (layer[i] == kInf || closed[j] - closed[i] < min_size) continue;
                next[j] = std::min(next[j], layer[i] + segment(closed[i], closed[j]));
            }
        }
        layer = std::move(next);
        best.push_back(layer.back());
    }
    return best;
}

// Two sums of costs over one signal agree up to rounding.
inline bool agree(double a, double b, double scale, std::size_t n) {
    return std::fabs(a - b) <= 1e-9 * ((scale + 1.0) * static_cast<double>(n) + std::fabs(b));
}

}  // namespace marbolt::fuzz
