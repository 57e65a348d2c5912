#include "lib/intake.hpp"

#include "common/numeric.hpp"
#include "cost/budget.hpp"
#include "lib/convert.hpp"
#include "lib/numpy_api.hpp"

#include <cstring>
#include <optional>

namespace marbolt::py {

namespace {

struct Shape {
    std::uint64_t n, d;
};

Result<Shape> matrix_shape(PyArrayObject* array) {
    const npy_intp* dims = PyArray_DIMS(array);
    switch (PyArray_NDIM(array)) {
        case 0: return Shape{1, 1};
        case 1: return Shape{static_cast<std::uint64_t>(dims[0]), 1};
        case 2:
            return Shape{static_cast<std::uint64_t>(dims[0]), static_cast<std::uint64_t>(dims[1])};
        default: return value_error("signal must be 1-D or 2-D");
    }
}

// memcpy per element: a strided view need not be aligned for double.
void copy_strided(PyArrayObject* array, const Shape& shape, double* out) {
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    const int ndim = PyArray_NDIM(array);
    const npy_intp row_stride = ndim >= 1 ? PyArray_STRIDES(array)[0] : 0;
    const npy_intp col_stride = ndim == 2 ? PyArray_STRIDES(array)[1] : 0;
    for (std::uint64_t i = 0; i < shape.n; ++i) {
        const char* row = base + static_cast<npy_intp>(i) * row_stride;
        for (std::uint64_t j = 0; j < shape.d; ++j) {
            std::memcpy(out++, row + static_cast<npy_intp>(j) * col_stride, sizeof(double));
        }
    }
}

bool is_float64_array(PyObject* o) {
    if (!PyArray_Check(o)) return false;
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    return PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(o)),
                              reinterpret_cast<PyArray_Descr*>(float64.get())) != 0;
}

}  // namespace

bool check_float64_array(PyObject* o) {
    return is_float64_array(o) || refuse_type(o, "PyArray<T, D>");
}

bool to_array(const BoundArgs& a, std::size_t i, PyObject*& out) {
    out = a[i];
    return check_float64_array(out) || add_argument_prefix(a.name(i));
}

Result<SignalMatrix> as_matrix(PyObject* object) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    Result<Shape> shape = matrix_shape(array);
    if (!shape) return shape.error();
    const std::optional<std::uint64_t> count = checked_mul(shape->n, shape->d);
    if (!count) return value_error("signal is too large to index");
    const std::uint64_t entries = *count;
    if (Status budget = cost::check_alloc(entries, "the signal", "Subsample it."); !budget) {
        return budget.error();
    }
    SignalMatrix matrix{std::vector<double>(entries), shape->n, shape->d};
    if (entries == 0) return matrix;
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        std::memcpy(matrix.data.data(), PyArray_DATA(array), entries * sizeof(double));
    } else {
        copy_strided(array, *shape, matrix.data.data());
    }
    return matrix;
}

}  // namespace marbolt::py
