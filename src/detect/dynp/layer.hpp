// What one layer of the dynamic programming works with: its candidate
// previous breakpoints and the best split it finds for each end.
#pragma once

#include <cstddef>

#include "common/numeric.hpp"

namespace marbolt::detect {

struct Candidate {
    std::size_t start;
    double cost;  // best cost of the prefix [0, start) in the previous layer
};

struct Item {
    double best = kInf;
    std::size_t parent = 0;
    bool found = false;
};

}  // namespace marbolt::detect
