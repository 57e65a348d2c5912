// Module entry: single-phase initialisation bound to the first interpreter
// that imports the module, with the module object built once and cached.
#define MARBOLT_IMPORTS_NUMPY
#include "lib/numpy_api.hpp"

#include "lib/module.hpp"

#include "lib/engine.hpp"
#include "lib/py_ref.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace marbolt::py {

const FunctionTable kPublishedFunctions{
    std::cref(dynp_function),         std::cref(dynp_all_function),
    std::cref(pelt_function),         std::cref(kernel_pelt_function),
    std::cref(binseg_function),       std::cref(bottomup_function),
    std::cref(window_fit_function),   std::cref(window_predict_function),
    std::cref(crops_function),        std::cref(sanity_check_function),
    std::cref(check_outer_memory_function),
};

namespace {

PyMethodDef* module_methods() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> table;
        for (const ModuleFunction& function : module_profile().functions) {
            table.push_back(method_def(function.signature, function.impl));
        }
        table.push_back({nullptr, nullptr, 0, nullptr});
        return table;
    }();
    return methods.data();
}

// m_size 0 rather than -1: the interpreter then calls the entry point again on
// every later import instead of copying a cached dict, so the interpreter
// check and the cached module below always apply.
PyModuleDef* module_def() {
    static PyModuleDef def = {
        PyModuleDef_HEAD_INIT, module_profile().name, "", 0, nullptr, nullptr, nullptr, nullptr,
        nullptr,
    };
    return &def;
}

PyObject* build_module() {
    PyRef module = PyRef::steal(PyModule_Create(module_def()));
    if (!module) return nullptr;
    PyTypeObject* type = engine_type();
    if (type == nullptr) return nullptr;
    const ModuleProfile& profile = module_profile();
    if (PyModule_AddObjectRef(module.get(), profile.engine_name,
                              reinterpret_cast<PyObject*>(type)) < 0 ||
        PyModule_AddFunctions(module.get(), module_methods()) < 0 ||
        PyModule_AddStringConstant(module.get(), "__version__", MARBOLT_VERSION) < 0) {
        return nullptr;
    }
    if (profile.add_attributes != nullptr && profile.add_attributes(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyObject* init_module() {
    // The module keeps process-wide state (the cached module and type), which
    // cannot be shared with a second interpreter.
    static std::int64_t owner = -1;
    static PyObject* module = nullptr;
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (owner != -1 && owner != current) {
        const std::string message = std::string("marbolt_rs.") + module_profile().name +
                                    " can only be imported once per process, in the "
                                    "interpreter that imported it first";
        PyErr_SetString(PyExc_ImportError, message.c_str());
        return nullptr;
    }
    if (module != nullptr) return PyRef::borrow(module).release();
    if (_import_array() < 0) return nullptr;
    module = build_module();
    if (module == nullptr) return nullptr;
    owner = current;
    return PyRef::borrow(module).release();
}

}  // namespace marbolt::py
