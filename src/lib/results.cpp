#include "lib/results.hpp"

#include "lib/errors.hpp"

namespace marbolt::py {

PyObject* to_int_list(std::span<const std::size_t> values) {
    return list_of(values, [](std::size_t v) { return PyLong_FromSize_t(v); });
}

PyObject* to_float_list(std::span<const double> values) {
    return list_of(values, PyFloat_FromDouble);
}

bool check_jump(std::uint64_t jump) {
    if (jump >= 1) return true;
    raise_value("jump must be at least 1");
    return false;
}

}  // namespace marbolt::py
