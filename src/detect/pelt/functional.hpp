// PELT with functional pruning for one-column l2 (FPOP: Maidstone, Eckley,
// Fearnhead & Rigaill, "On optimal multiple changepoint algorithms for large
// data", 2017): besides the recursion's own pruning, a candidate whose total,
// as a function of the last segment's mean, lies above the other candidates'
// lower envelope by a margin everywhere leaves the list. On signals with few
// changes the list stays a few dozen long instead of growing with the
// segment, and the search is near linear.
#pragma once

#include <cstddef>

#include "cost/cost_l2.hpp"
#include "detect/pelt/pelt.hpp"

namespace marbolt::detect {

// Fills `tables` exactly as the plain search does, bit for bit, and returns
// true; returns false, leaving `tables` meaningless, when the argument that
// makes the pruning exact does not hold for these arguments or this signal
// (several columns, min_size > jump, a penalty that is not positive and
// finite, values that are not finite or too large for its bounds, or too many
// near ties along the way). The caller then runs the plain search. Polls
// `control` as the plain search does.
bool functional_pelt(const cost::CostL2& model, std::size_t n, std::size_t jump, std::size_t min_size,
                     double pen, PeltTables& tables, std::size_t* evaluations, Control* control = nullptr);

}  // namespace marbolt::detect
