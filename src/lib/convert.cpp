#include "lib/convert.hpp"

#include <algorithm>
#include <cstring>

namespace marbolt::py {

namespace {

// The type's own name, without its module: "ndarray", not "numpy.ndarray".
const char* short_type_name(PyObject* o) {
    const char* full = Py_TYPE(o)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot == nullptr ? full : dot + 1;
}

// A bogus __len__ must not make us reserve gigabytes before iterating.
constexpr std::size_t kMaxReserve = std::size_t{1} << 20;

template <class T>
bool optional_of(const BoundArgs& a, std::size_t i, std::optional<T>& out,
                 bool (*convert)(const BoundArgs&, std::size_t, T&)) {
    out.reset();
    if (!a.present(i)) return true;
    T value{};
    if (!convert(a, i, value)) return false;
    out = std::move(value);
    return true;
}

}  // namespace

bool refuse_type(PyObject* o, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", short_type_name(o),
                 expected);
    return false;
}

bool add_argument_prefix(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_traceback = PyRef::steal(traceback);
    PyRef owned_value = PyRef::steal(value);
    PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
    if (!text) return false;
    std::string prefix = "argument '" + std::string(name) + "': ";
    PyErr_Format(PyExc_TypeError, "%s%U", prefix.c_str(), text.get());
    return false;
}

bool count_from(PyObject* o, std::uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

// Through the interpreter's C long conversion, not the long long one: both
// cover the same range here, but only the former raises the interpreter's
// usual "Python int too large to convert to C long" for an out-of-range value.
static_assert(sizeof(long) == sizeof(std::int64_t), "a C long must hold a signed 64-bit index");

bool index_from(PyObject* o, std::int64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    out = PyLong_AsLong(index.get());
    return !(out == -1 && PyErr_Occurred());
}

bool real_from(PyObject* o, double& out) {
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_count(const BoundArgs& a, std::size_t i, std::uint64_t& out) {
    return count_from(a[i], out) || add_argument_prefix(a.name(i));
}

bool to_count(const BoundArgs& a, std::size_t i, std::optional<std::uint64_t>& out) {
    bool (*convert)(const BoundArgs&, std::size_t, std::uint64_t&) = to_count;
    return optional_of(a, i, out, convert);
}

bool to_index(const BoundArgs& a, std::size_t i, std::int64_t& out) {
    return index_from(a[i], out) || add_argument_prefix(a.name(i));
}

bool to_real(const BoundArgs& a, std::size_t i, double& out) {
    return real_from(a[i], out) || add_argument_prefix(a.name(i));
}

bool to_real(const BoundArgs& a, std::size_t i, std::optional<double>& out) {
    bool (*convert)(const BoundArgs&, std::size_t, double&) = to_real;
    return optional_of(a, i, out, convert);
}

bool to_stop_rule(const BoundArgs& a, std::size_t first, detect::StopRule& out) {
    return to_count(a, first, out.n_bkps) && to_real(a, first + 1, out.pen) &&
           to_real(a, first + 2, out.epsilon);
}

bool to_text(const BoundArgs& a, std::size_t i, std::string& out) {
    PyObject* o = a[i];
    if (!PyUnicode_Check(o)) return refuse_type(o, "PyString") || add_argument_prefix(a.name(i));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (utf8 == nullptr) return add_argument_prefix(a.name(i));
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_text(const BoundArgs& a, std::size_t i, std::optional<std::string>& out) {
    bool (*convert)(const BoundArgs&, std::size_t, std::string&) = to_text;
    return optional_of(a, i, out, convert);
}

bool to_mapping(const BoundArgs& a, std::size_t i, PyObject*& out) {
    out = nullptr;
    if (!a.present(i)) return true;
    if (!PyDict_Check(a[i])) return refuse_type(a[i], "PyDict") || add_argument_prefix(a.name(i));
    out = a[i];
    return true;
}

PyRef sequence_iterator(PyObject* o, std::size_t& size_hint) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return {};
    }
    if (!PySequence_Check(o)) {
        refuse_type(o, "Sequence");
        return {};
    }
    const Py_ssize_t length = PySequence_Size(o);
    if (length < 0) PyErr_Clear();
    size_hint = std::min(static_cast<std::size_t>(std::max<Py_ssize_t>(length, 0)), kMaxReserve);
    return PyRef::steal(PyObject_GetIter(o));
}

bool reals_from(PyObject* o, std::vector<double>& out) {
    out.clear();
    if (PyUnicode_Check(o) || !PySequence_Check(o)) {
        double value = 0.0;
        if (!real_from(o, value)) return false;
        out.push_back(value);
        return true;
    }
    std::size_t size_hint = 0;
    PyRef iterator = sequence_iterator(o, size_hint);
    if (!iterator) return false;
    out.reserve(size_hint);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        double value = 0.0;
        if (!real_from(item.get(), value)) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

}  // namespace marbolt::py
