// The CROPS penalty path (Haynes, Eckley & Fearnhead 2017): every PELT
// segmentation that is optimal for some penalty in [pen_min, pen_max], with the
// penalty interval of each, from PELT runs at the range ends and at the
// intersection penalties of segmentations found so far (one run per new count).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"
#include "cost/split_bound.hpp"

namespace marbolt::crops {

// One PELT run: count = length of the breakpoint list, cost = sum_of_costs of
// it without any penalty term.
struct PenaltyResult {
    std::size_t count = 0;
    double cost = 0.0;
    std::vector<std::size_t> bkps;
};

// How the path searches at each penalty.
struct PathOptions {
    // Off: PELT, as the compiled interface has it. On: the penalised optimum
    // (detect/optimum), with the model's split bound, so that every run on
    // the path is optimal and the ranges agree with each other.
    bool optimum = false;
    std::optional<cost::SplitBound> split_bound = std::nullopt;
    // Polled by every run (it may stop the path with Stopped), and told the
    // ends each run settles.
    Control* control = nullptr;
};

// The fixed arguments of every run on the path.
struct Search {
    const cost::Cost& cost;
    std::size_t n;
    std::size_t jump;
    std::size_t min_size;
    PathOptions options = {};
};

// Keyed by the penalty's bit pattern, so 0.0 and -0.0 are separate runs; the
// penalty itself is kept for a deterministic visiting order.
struct CachedRun {
    double pen;
    PenaltyResult result;
};
using RunCache = std::unordered_map<std::uint64_t, CachedRun>;

struct CountCost {
    std::size_t count;
    double cost;
};

// Output row: the breakpoints are optimal for every penalty in [lower, upper].
struct Row {
    double lower;
    double upper;
    std::vector<std::size_t> bkps;
};

// The memoised single-penalty step: PELT runs once per penalty bit pattern.
CountCost run(const Search& search, RunCache& cache, double pen);

// Runs PELT at both ends of the range, then at the penalty where the results
// at the ends of an interval cost the same, splitting until neighbouring counts
// are adjacent or the split point leaves its interval; every run lands in
// `cache`.
void explore(const Search& search, RunCache& cache, double pen_min, double pen_max);

// The lowest-cost result of each count among the cached runs, by ascending
// count. Runs are visited by ascending penalty, so between two runs of equal
// count and equal cost the one of the smaller penalty is kept.
std::vector<PenaltyResult> best_per_count(const RunCache& cache);

// Rows of the lower convex hull of (count, cost) over `best` (ascending,
// unique counts), clipped to [pen_min, pen_max]; collinear middle points drop.
std::vector<Row> hull_rows(const std::vector<PenaltyResult>& best, double pen_min, double pen_max);

// The whole path, ordered by ascending number of breakpoints (descending
// penalty). Penalties are taken as given: any order, sign or finiteness.
std::vector<Row> crops(const cost::Cost& cost, std::size_t n, double pen_min, double pen_max,
                       std::size_t jump, std::size_t min_size, const PathOptions& options = {});

}  // namespace marbolt::crops
