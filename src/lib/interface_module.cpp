// The fixed interface, `marbolt_rs._marbolt_rs`: the ten models as they were
// published (no signal checks, no options of the package's own) and its
// eleven functions.
#include "lib/module.hpp"

namespace marbolt::py {

namespace {

// The name keeps its `_rs` suffix (and the entry point below with it):
// callers of the existing interface import the module by that name.
const ModuleProfile kProfile{
    "_marbolt_rs", "CostEngine", cost::Catalogue::interface, false, kPublishedFunctions, nullptr,
};

}  // namespace

const ModuleProfile& module_profile() { return kProfile; }

}  // namespace marbolt::py

PyMODINIT_FUNC PyInit__marbolt_rs() { return marbolt::py::init_module(); }
