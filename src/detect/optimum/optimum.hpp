// The penalised optimum for every model: the segmentation of [0, n) on the
// closed grid, segments at least min_size long, with the smallest sum of
// (segment cost + pen). Optimal partitioning (Jackson et al., "An algorithm
// for optimal partitioning of data on an interval", 2005) with the pruning of
// PELT (Killick, Fearnhead & Eckley 2012) where the model's split bound
// (cost/split_bound.hpp) allows it, and only once the end that outdid a
// candidate can itself start the segments the candidate could. PELT proper
// drops a candidate at once, which loses the optimum when min_size exceeds
// jump, or at the last end when it lies less than min_size past the last grid
// end, and for every model whose costs a cut can raise ("clinear", the
// "python" cosine, rbf's clipped kernel, normal's sample covariance).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"
#include "cost/split_bound.hpp"
#include "detect/pelt/pelt.hpp"

namespace marbolt::detect {

struct OptimumOptions {
    // Off: optimal partitioning without pruning, every admissible start at
    // every end. The reference the pruned search is tested against.
    bool pruning = true;
    // Off: the search's own loop even where it is PELT's or the functional
    // engine's (see below), so that the tests can hold them to its tables.
    bool through_pelt = true;
    // As for PELT: the number of segment costs evaluated is added to it.
    std::size_t* evaluations = nullptr;
    // When given, receives F and P of every end, as PELT's tables.
    PeltTables* tables = nullptr;
    // When given, polled as the search goes and told the ends settled.
    Control* control = nullptr;
};

// The breakpoint list (ascending, ending with n, never containing 0) of the
// optimum; n = 0 gives the empty list. jump >= 1; min_size 0 is served as 1;
// pen may be any double. Without a split bound nothing is pruned. Ties go to
// the smallest start, and a total that is not a number never replaces a
// choice. Where the bound is zero, min_size <= jump and n lies at least
// min_size past the last grid end, this search and PELT's are the same
// recursion, to the bit, and PELT (with its fast paths) runs; elsewhere with
// a zero bound, a model with a pruning family runs it with functional
// pruning, to the bit (F only where not estimated). Throws std::bad_alloc,
// and Stopped when the control stops it.
std::vector<std::size_t> penalised_optimum(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                           std::size_t min_size, double pen,
                                           const std::optional<cost::SplitBound>& bound,
                                           const OptimumOptions& options = {});

}  // namespace marbolt::detect
