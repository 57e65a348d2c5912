// Penalised exact segmentation with pruning (PELT; Killick, Fearnhead & Eckley
// 2012): minimises the sum of (segment cost + pen) over segmentations on the
// closed grid, dropping previous breakpoints that can no longer win. Usually far
// below the quadratic number of error calls of the unpruned recursion; for
// one-column l2, functional pruning (pelt/functional.hpp) keeps it near linear.
#pragma once

#include <cstddef>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"

namespace marbolt::detect {

// F (the best penalised cost of the prefix [0, end)) and P (the slot of the
// start of its last segment) of every end the search reached, by slot: grid
// position p has slot p / jump and the end n has slot grid_count(n, jump).
struct PeltTables {
    std::vector<double> best;
    std::vector<std::size_t> parent;
    std::vector<char> known;  // whether the end has an entry (any value, NaN included)
    // Empty, or 1 where `best` holds an estimate: functional pruning with a
    // family whose totals are estimates (l1) computes the plain search's F
    // only where a decision needs it and along the returned segmentation, so
    // F[n] and the chain of parents from n hold the plain bits. Parents are
    // the plain search's at every end.
    std::vector<char> estimated;
};

struct PeltOptions {
    // Off: the plain search, which evaluates every live candidate at every end.
    // It is the reference the pruned search is held to, bit for bit.
    bool functional_pruning = true;
    // When given, the number of segment costs evaluated is added to it
    // (benchmarks read it to report time per evaluation).
    std::size_t* evaluations = nullptr;
    // When given, receives F and P of every end.
    PeltTables* tables = nullptr;
    // When given, polled as the search goes (it may stop the search with
    // Stopped) and told the ends settled.
    Control* control = nullptr;
};

// The breakpoint list (ascending, ending with n, never containing 0) of the
// best penalised segmentation of [0, n); n = 0 gives the empty list. jump >= 1
// (the callers test it); min_size 0 is served as 1; pen may be any double.
// Runs on the calling thread; throws only std::bad_alloc, and Stopped when
// its control stops it.
std::vector<std::size_t> pelt(const cost::Cost& cost, std::size_t n, std::size_t jump,
                              std::size_t min_size, double pen, const PeltOptions& options = {});

}  // namespace marbolt::detect
