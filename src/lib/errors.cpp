#include "lib/errors.hpp"

#include "lib/py_ref.hpp"

#include <string>

namespace marbolt::py {

namespace {

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::value: return PyExc_ValueError;
        case ErrorKind::runtime: return PyExc_RuntimeError;
        case ErrorKind::assertion: return PyExc_AssertionError;
        case ErrorKind::reported: break;
    }
    return PyExc_SystemError;
}

}  // namespace

PyObject* raise(const Error& error) {
    if (error.kind == ErrorKind::reported) return nullptr;  // already set
    // Built from the full buffer: a name the caller passed may hold a NUL.
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (text) PyErr_SetObject(exception_type(error.kind), text.get());
    return nullptr;
}

PyObject* raise_value(std::string_view message) {
    return raise(value_error(std::string(message)));
}

}  // namespace marbolt::py
