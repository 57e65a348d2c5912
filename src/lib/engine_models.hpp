// The engine's side of the model table: the `params` dict as the options the
// core's table reads, and the worker pool for the kernel table fill.
#pragma once

#include "cost/registry.hpp"
#include "lib/intake.hpp"

#include <optional>
#include <string>

namespace marbolt::py {

// Builds the named model through the catalogue's rows of the core's table,
// reading its options from `params` (a dict or nullptr). On failure a Python
// exception is set and nothing is returned.
std::optional<cost::BuiltModel> build_model(const std::string& name, const SignalMatrix& signal,
                                            PyObject* params, bool extension,
                                            cost::Catalogue catalogue);

}  // namespace marbolt::py
