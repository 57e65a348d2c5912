// The module functions, each defined next to its signature table in the file
// of its area; module.cpp registers them in the module's fixed order.
#pragma once

#include "lib/method_def.hpp"

#include <array>
#include <functional>

namespace marbolt::py {

struct ModuleFunction {
    const Signature& signature;
    FastFunction impl;
};

extern const ModuleFunction dynp_function;
extern const ModuleFunction dynp_all_function;
extern const ModuleFunction pelt_function;
extern const ModuleFunction kernel_pelt_function;
extern const ModuleFunction binseg_function;
extern const ModuleFunction bottomup_function;
extern const ModuleFunction window_fit_function;
extern const ModuleFunction window_predict_function;
extern const ModuleFunction crops_function;
extern const ModuleFunction sanity_check_function;
extern const ModuleFunction check_outer_memory_function;

using FunctionTable = std::array<std::reference_wrapper<const ModuleFunction>, 11>;

// The eleven functions of the fixed interface, in the registration order that
// is part of its contract.
extern const FunctionTable kPublishedFunctions;

}  // namespace marbolt::py
