// The one place where error values of the core and of the boundary's own
// checks become Python exceptions, and where C++ exceptions are stopped before
// they can cross into the interpreter.
#pragma once

#include "common/result.hpp"
#include "lib/python.hpp"

#include <new>
#include <stdexcept>
#include <string_view>

namespace marbolt::py {

// Sets the exception for `error` and returns nullptr, for `return raise(e);`.
// A `reported` error has set its exception already and is only passed on.
PyObject* raise(const Error& error);
PyObject* raise_value(std::string_view message);

// For a check that may fail: false when `status` holds no error, else sets
// its exception and returns true, for `if (raised(check(...))) return ...;`.
inline bool raised(const Status& status) {
    if (status) return false;
    raise(status.error());
    return true;
}

// Runs an entry point's body. An allocation that fails anywhere inside becomes
// MemoryError instead of terminating the interpreter's process.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

}  // namespace marbolt::py
