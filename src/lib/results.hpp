// Core values back to Python objects, and the argument checks every search
// shares.
#pragma once

#include "lib/python.hpp"

#include <cstdint>
#include <span>

namespace marbolt::py {

// A breakpoint list (or any list of positions) as a new list of int.
PyObject* to_int_list(std::span<const std::size_t> values);
PyObject* to_float_list(std::span<const double> values);

// "jump must be at least 1", for every search that takes a jump.
bool check_jump(std::uint64_t jump);

}  // namespace marbolt::py
