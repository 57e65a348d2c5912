// The module functions, each defined next to its signature table in the file
// of its area; module.cpp registers them in the module's fixed order.
#pragma once

#include "lib/method_def.hpp"

namespace marbolt::py {

struct ModuleFunction {
    const Signature& signature;
    FastFunction impl;
};

extern const ModuleFunction check_outer_memory_function;

}  // namespace marbolt::py
