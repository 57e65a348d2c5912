// Penalised exact segmentation with pruning (PELT; Killick, Fearnhead & Eckley
// 2012): minimises the sum of (segment cost + pen) over segmentations on the
// closed grid, dropping previous breakpoints that can no longer win. Usually far
// below the quadratic number of error calls of the unpruned recursion.
#pragma once

#include <cstddef>
#include <vector>

#include "cost/cost.hpp"

namespace marbolt::detect {

// The breakpoint list (ascending, ending with n, never containing 0) of the
// best penalised segmentation of [0, n); n = 0 gives the empty list. jump >= 1
// (the callers test it); min_size 0 is served as 1; pen may be any double.
// Runs on the calling thread; throws only std::bad_alloc. When evaluations is
// given, the number of segment costs evaluated is added to it (benchmarks
// read it to report time per evaluation).
std::vector<std::size_t> pelt(const cost::Cost& cost, std::size_t n, std::size_t jump,
                              std::size_t min_size, double pen,
                              std::size_t* evaluations = nullptr);

}  // namespace marbolt::detect
