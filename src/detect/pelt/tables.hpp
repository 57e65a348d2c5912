// The tables both PELT searches fill: F and P by slot, and the backtrack that
// reads the breakpoints out of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "detect/pelt/pelt.hpp"

namespace marbolt::detect {

// F[0] = 0.0: the empty prefix costs nothing; no other end is known yet.
inline PeltTables start_tables(std::size_t n_slot) {
    PeltTables tables{std::vector<double>(n_slot + 1, 0.0), std::vector<std::size_t>(n_slot + 1, 0),
                      std::vector<char>(n_slot + 1, 0), {}};
    tables.known[0] = 1;
    return tables;
}

inline void record(PeltTables& tables, std::size_t end_slot, double best, std::size_t parent) noexcept {
    tables.best[end_slot] = best;
    tables.parent[end_slot] = parent;
    tables.known[end_slot] = 1;
}

// Follows parents from n down to (not including) position 0.
inline std::vector<std::size_t> backtrack(const PeltTables& tables, std::size_t n, std::size_t n_slot,
                                          std::size_t jump) {
    std::vector<std::size_t> bkps{n};
    std::size_t slot = n_slot;
    while (tables.known[slot]) {
        slot = tables.parent[slot];
        if (slot == 0) break;
        bkps.push_back(slot * jump);
    }
    std::sort(bkps.begin(), bkps.end());
    bkps.erase(std::unique(bkps.begin(), bkps.end()), bkps.end());
    return bkps;
}

}  // namespace marbolt::detect
