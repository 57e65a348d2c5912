// The package's own module, `marbolt_rs._native`: every model of the table,
// each signal checked, the engine reporting the options its model resolved,
// and the list of the models, against which the package checks its own
// table. Not a fixed interface: the package is its only caller, so searches
// may gain arguments here, and new searches join its function table.
#include "lib/module.hpp"

#include "lib/py_ref.hpp"

namespace marbolt::py {

namespace {

// The interface's functions for now. A search that gains arguments here gets
// an entry of its own in a table of this module's; a new search is one more.
const FunctionTable& kFunctions = kPublishedFunctions;

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

const ModuleProfile kProfile{
    "_native", "Engine", cost::Catalogue::full, true, kFunctions, add_model_names,
};

}  // namespace

const ModuleProfile& module_profile() { return kProfile; }

}  // namespace marbolt::py

PyMODINIT_FUNC PyInit__native() { return marbolt::py::init_module(); }
