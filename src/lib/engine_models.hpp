// The model table: the one place where a model name is bound to its options,
// its memory budget and its builder.
#pragma once

#include "cost/cost.hpp"
#include "lib/intake.hpp"

#include <memory>
#include <optional>
#include <string>

namespace marbolt::py {

struct BuiltModel {
    std::unique_ptr<const cost::Cost> model;
    std::optional<double> gamma;
};

// Looks the name up, reads the options the model needs from `params` (a dict
// or nullptr), runs its budget and builds it. On failure a Python exception
// is set and nothing is returned.
std::optional<BuiltModel> build_model(const std::string& name, const SignalMatrix& signal,
                                      PyObject* params, bool extension);

}  // namespace marbolt::py
