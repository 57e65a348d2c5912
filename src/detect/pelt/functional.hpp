// PELT with functional pruning (FPOP: Maidstone, Eckley, Fearnhead & Rigaill,
// "On optimal multiple changepoint algorithms for large data", 2017): besides
// the recursion's own pruning, a start whose total, as a function of the last
// segment's parameter, lies above the other starts' lower envelope by a
// margin everywhere leaves the list. On signals with few changes the list
// stays a few dozen long instead of growing with the segment, and the search
// is near linear. Served for every model with a pruning family
// (cost/pruning.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "detect/pelt/pelt.hpp"

namespace marbolt::detect {

// Fills `tables` exactly as the plain search does, bit for bit, and returns
// true; returns false, leaving `tables` meaningless, when no family of the
// model serves this signal or the argument that makes the pruning exact does
// not hold for these arguments (a penalty that is not positive and finite,
// values that are not finite or too large for the family's bounds, or too
// many near ties along the way). The caller then runs the plain search.
// Polls `control` as the plain search does. Instantiated for every model that
// has a family.
//
// With `hold_marked`, the plain search it follows is the penalised optimum's
// own loop (optimum/optimum.cpp, zero split bound) rather than PELT: a start
// that the threshold test marks at the end b stays in the list, evaluated and
// able to win, until b + min_size, and is not tested again; the end n admits
// the grid positions at least min_size before it that an earlier end did not.
template <class Model>
bool functional_pelt(const Model& model, std::size_t n, std::size_t jump, std::size_t min_size, double pen,
                     PeltTables& tables, std::size_t* evaluations, Control* control = nullptr,
                     bool hold_marked = false);

// How long the plain search's list may grow before the model's family serves
// (the largest of its families' kPlainUntil; 0: the family from the start).
// The plain search runs first up to it: a deterministic gate, since the list
// only depends on the data.
template <class Model>
std::size_t plain_first_until() noexcept;

// Runs `run(counter)`, a search that may refuse part-way (returns false,
// leaving its tables to the search the caller runs instead), so that only a
// finished one counts: its evaluations are added to `evaluations` when it
// returns true, and a refusal hands back the ends it reported to `control`,
// which the next search reports again.
template <class Run>
bool counted_if_finished(std::size_t* evaluations, Control* control, const Run& run) {
    std::size_t count = 0;
    const std::uint64_t reported = control != nullptr ? control->done() : 0;
    if (run(evaluations != nullptr ? &count : nullptr)) {
        if (evaluations != nullptr) *evaluations += count;
        return true;
    }
    if (control != nullptr) control->add_total(control->done() - reported);
    return false;
}

// The same with a given family, whether or not its model offers it.
template <class Family>
bool functional_pelt_with(const Family& family, const typename Family::Model& model, std::size_t n, std::size_t jump,
                          std::size_t min_size, double pen, PeltTables& tables, std::size_t* evaluations,
                          Control* control = nullptr, bool hold_marked = false);

}  // namespace marbolt::detect
