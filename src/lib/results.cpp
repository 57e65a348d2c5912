#include "lib/results.hpp"

#include "lib/errors.hpp"
#include "lib/py_ref.hpp"

namespace marbolt::py {

namespace {

template <class T, PyObject* (*Make)(T)>
PyObject* to_list(std::span<const T> values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = Make(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* int_from(std::size_t value) { return PyLong_FromSize_t(value); }

}  // namespace

PyObject* to_int_list(std::span<const std::size_t> values) {
    return to_list<std::size_t, int_from>(values);
}

PyObject* to_float_list(std::span<const double> values) {
    return to_list<double, PyFloat_FromDouble>(values);
}

bool check_jump(std::uint64_t jump) {
    if (jump >= 1) return true;
    raise_value("jump must be at least 1");
    return false;
}

}  // namespace marbolt::py
