// The two extension modules built from this boundary: the fixed interface
// `_marbolt_rs` and the package's own `_native`. Both are the same code over
// the same core; a profile, defined by each module's entry file, says what
// differs: the module's and the engine type's names, which catalogue of the
// model table the engine serves, and which functions the module registers.
#pragma once

#include "cost/registry.hpp"
#include "lib/functions.hpp"

#include <functional>
#include <span>

namespace marbolt::py {

struct ModuleProfile {
    const char* name;         // the module's name in the package: "_marbolt_rs"
    const char* engine_name;  // the engine type's name: "CostEngine"
    cost::Catalogue catalogue;
    // Whether the engine has a `params` attribute (the model's resolved options).
    bool engine_reports_params;
    // In registration order.
    std::span<const std::reference_wrapper<const ModuleFunction>> functions;
    // Adds the module's own attributes after the common ones; nullptr for none.
    // Returns -1 with an exception set on failure.
    int (*add_attributes)(PyObject* module);
};

// The profile of the module being built; each entry file defines it.
const ModuleProfile& module_profile();

// The body of the module's init function: the module object, built once per
// process in the interpreter that imports it first.
PyObject* init_module();

}  // namespace marbolt::py
