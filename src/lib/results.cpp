#include "lib/results.hpp"

#include "lib/errors.hpp"
#include "lib/numpy_api.hpp"

#include <algorithm>
#include <variant>

namespace marbolt::py {

PyObject* to_int_list(std::span<const std::size_t> values) {
    return list_of(values, [](std::size_t v) { return PyLong_FromSize_t(v); });
}

PyObject* to_float_list(std::span<const double> values) {
    return list_of(values, PyFloat_FromDouble);
}

namespace {

PyObject* to_array(const cost::OptionMatrix& m) {
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    PyObject* array = PyArray_SimpleNew(2, dims, NPY_FLOAT64);
    if (array == nullptr) return nullptr;
    std::copy(m.data.begin(), m.data.end(),
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
    return array;
}

struct ToPython {
    PyObject* operator()(bool v) const { return PyBool_FromLong(v); }
    PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
    PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(const cost::OptionMatrix& m) const { return to_array(m); }
    PyObject* operator()(const std::vector<double>& v) const { return to_float_list(v); }
};

}  // namespace

PyObject* to_params_dict(std::span<const cost::ResolvedOption> params) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const cost::ResolvedOption& option : params) {
        PyRef value = PyRef::steal(std::visit(ToPython{}, option.value));
        if (!value) return nullptr;
        PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(
            option.key.data(), static_cast<Py_ssize_t>(option.key.size())));
        if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

bool check_jump(std::uint64_t jump) {
    if (jump >= 1) return true;
    raise_value("jump must be at least 1");
    return false;
}

}  // namespace marbolt::py
