// Binary segmentation (Scott & Knott 1974): starting from the whole signal,
// greedily add the one breakpoint that lowers the total cost the most until the
// stopping rule holds.
// Every segment is scanned once, when it is created: O(n / jump) error calls per
// level of the split tree, O(log k) bookkeeping per accepted split.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"
#include "detect/stop_rule.hpp"

namespace marbolt::detect {

// Best split of one segment. Without an admissible candidate the position is
// absent and the gain 0.0, and such a record still competes with that gain.
struct Split {
    std::optional<std::size_t> position;
    double gain = 0.0;
};

// Scans start + k * jump (k = 0, 1, ...) below end, keeping candidates with both
// sides at least min_size long; gain = error(start, end) - error(start, c) -
// error(c, end). Among equal gains the last (largest) candidate wins; a NaN gain
// never replaces the provisional best and a NaN best is never replaced. A
// segment whose cost is -inf, or that is empty, has no split. jump 0 acts as 1.
// Counts two evaluations per candidate on `ticker` when given.
Split best_split(const cost::Cost& cost, std::size_t start, std::size_t end, std::size_t jump,
                 std::size_t min_size, Ticker* ticker = nullptr);

// Breakpoints (ascending, ending with n). Across segments the leftmost of equal
// best gains wins, so a split-less segment (gain 0.0) can end the search ahead of
// segments whose best gains are negative. min_size 0 is taken as 1: an empty
// side would let the same breakpoint be added again and again. jump 0 is taken
// as 1 (callers refuse it before searching). Polls `control` when given (it
// may stop the search with Stopped).
std::vector<std::size_t> binseg(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                std::size_t min_size, const StopRule& rule, Control* control = nullptr);

}  // namespace marbolt::detect
