// PyMethodDef entries built from signature tables, for module functions and
// CostEngine methods alike.
#pragma once

#include "lib/signature.hpp"

namespace marbolt::py {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The docstring lives as long as the process, like the method table itself.
PyMethodDef method_def(const Signature& signature, FastFunction impl);

}  // namespace marbolt::py
