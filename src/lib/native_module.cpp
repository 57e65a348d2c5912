// The package's own module, `marbolt_rs._native`: every model of the table,
// each signal checked, the engine reporting the options its model resolved,
// and the list of the models, against which the package checks its own
// table. Not a fixed interface: the package is its only caller, so searches
// may gain arguments here, and new searches join its function table.
#include "lib/module.hpp"

#include "lib/py_control.hpp"
#include "lib/py_ref.hpp"

#include <array>
#include <functional>

namespace marbolt::py {

namespace {

// The interface's searches with a `control` argument, then this module's own.
const std::array kFunctions{
    std::cref(native_dynp_function),        std::cref(native_dynp_all_function),
    std::cref(native_pelt_function),        std::cref(native_kernel_pelt_function),
    std::cref(native_binseg_function),      std::cref(native_bottomup_function),
    std::cref(native_window_fit_function),  std::cref(native_window_predict_function),
    std::cref(native_crops_function),       std::cref(sanity_check_function),
    std::cref(check_outer_memory_function), std::cref(optimum_function),
    std::cref(optimum_path_function),
};

// `models`: the names the engine accepts, in table order.
int add_model_names(PyObject* module) {
    const std::span<const cost::ModelRow> rows = cost::model_rows();
    PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
    if (!names) return -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(rows[i].name.data(),
                                                     static_cast<Py_ssize_t>(rows[i].name.size()));
        if (name == nullptr) return -1;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return PyModule_AddObjectRef(module, "models", names.get());
}

// `models`, and the type `Control` that the searches take.
int add_attributes(PyObject* module) {
    if (add_model_names(module) < 0) return -1;
    PyTypeObject* type = control_type();
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "Control", reinterpret_cast<PyObject*>(type));
}

const ModuleProfile kProfile{
    "_native", "Engine", cost::Catalogue::full, true, kFunctions, add_attributes,
};

}  // namespace

const ModuleProfile& module_profile() { return kProfile; }

}  // namespace marbolt::py

PyMODINIT_FUNC PyInit__native() { return marbolt::py::init_module(); }
