// Core values back to Python objects, and the argument checks every search
// shares.
#pragma once

#include "cost/registry.hpp"
#include "lib/py_ref.hpp"

#include <cstdint>
#include <span>

namespace marbolt::py {

// A new list with convert(v) for every v; nullptr with the exception of the
// first conversion that fails.
template <class Range, class Convert>
PyObject* list_of(const Range& values, Convert convert) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(values))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& value : values) {
        PyObject* item = convert(value);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, item);
    }
    return list.release();
}

// A breakpoint list (or any list of positions) as a new list of int.
PyObject* to_int_list(std::span<const std::size_t> values);
PyObject* to_float_list(std::span<const double> values);

// A model's resolved options as a new dict: flags as bool, reals as float,
// counts as int, matrices as new float64 arrays.
PyObject* to_params_dict(std::span<const cost::ResolvedOption> params);

// "jump must be at least 1", for every search that takes a jump.
bool check_jump(std::uint64_t jump);

}  // namespace marbolt::py
