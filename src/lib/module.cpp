// Module entry: single-phase initialisation bound to the first interpreter
// that imports the module, with the module object built once and cached.
#define MARBOLT_IMPORTS_NUMPY
#include "lib/numpy_api.hpp"

#include "lib/engine.hpp"
#include "lib/functions.hpp"
#include "lib/py_ref.hpp"

#include <array>
#include <cstdint>
#include <functional>

namespace marbolt::py {

namespace {

// Registration order is part of the module's contract.
const std::array kFunctions{
    std::cref(dynp_function),         std::cref(dynp_all_function),
    std::cref(pelt_function),         std::cref(kernel_pelt_function),
    std::cref(binseg_function),       std::cref(bottomup_function),
    std::cref(window_fit_function),   std::cref(window_predict_function),
    std::cref(crops_function),        std::cref(sanity_check_function),
    std::cref(check_outer_memory_function),
};

PyMethodDef* module_methods() {
    static std::array<PyMethodDef, kFunctions.size() + 1> methods = [] {
        std::array<PyMethodDef, kFunctions.size() + 1> table{};
        for (std::size_t i = 0; i < kFunctions.size(); ++i) {
            table[i] = method_def(kFunctions[i].get().signature, kFunctions[i].get().impl);
        }
        return table;
    }();
    return methods.data();
}

// The name keeps its `_rs` suffix (and the entry point below with it):
// callers of the existing interface import the module by that name.
// m_size 0 rather than -1: the interpreter then calls the entry point again on
// every later import instead of copying a cached dict, so the interpreter
// check and the cached module below always apply.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_marbolt_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* build_module() {
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyTypeObject* type = engine_type();
    if (type == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "CostEngine", reinterpret_cast<PyObject*>(type)) < 0 ||
        PyModule_AddFunctions(module.get(), module_methods()) < 0 ||
        PyModule_AddStringConstant(module.get(), "__version__", MARBOLT_VERSION) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace marbolt::py

PyMODINIT_FUNC PyInit__marbolt_rs() {
    using marbolt::py::PyRef;
    // The module keeps process-wide state (the cached module and type), which
    // cannot be shared with a second interpreter.
    static std::int64_t owner = -1;
    static PyObject* module = nullptr;
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (owner != -1 && owner != current) {
        PyErr_SetString(PyExc_ImportError,
                        "marbolt_rs._marbolt_rs can only be imported once per process, in the "
                        "interpreter that imported it first");
        return nullptr;
    }
    if (module != nullptr) return PyRef::borrow(module).release();
    if (_import_array() < 0) return nullptr;
    module = marbolt::py::build_module();
    if (module == nullptr) return nullptr;
    owner = current;
    return PyRef::borrow(module).release();
}
