// The validating entry points of CostEngine for Python callers: error() and
// sum_of_costs(). Searches bypass them and call the model directly.
#pragma once

#include "lib/python.hpp"

namespace marbolt::py {

PyMethodDef* engine_methods();

}  // namespace marbolt::py
