// Conversions of bound arguments to plain values, one per parameter kind.
// Each converts completely or sets the exception and returns false; a
// TypeError from a named argument gets the "argument '{}': " prefix, every
// other exception type (OverflowError above all) passes unchanged.
#pragma once

#include "detect/stop_rule.hpp"
#include "lib/py_ref.hpp"
#include "lib/signature.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace marbolt::py {

// Plain conversions of one object, without any prefix; also used for the
// values read out of `params`.
bool count_from(PyObject* o, std::uint64_t& out);
bool index_from(PyObject* o, std::int64_t& out);
bool real_from(PyObject* o, double& out);
// A real number as one value, or any sequence but str of reals, in order.
bool reals_from(PyObject* o, std::vector<double>& out);
// The wrong-type refusal: "'{type}' object cannot be converted to '{expected}'".
// Its wording and type names such as 'PyArray<T, D>' are kept: callers of the
// existing interface match on them.
bool refuse_type(PyObject* o, const char* expected);

// Replaces a pending TypeError by "argument '{name}': {message}".
bool add_argument_prefix(std::string_view name);

bool to_count(const BoundArgs& a, std::size_t i, std::uint64_t& out);
bool to_count(const BoundArgs& a, std::size_t i, std::optional<std::uint64_t>& out);
bool to_index(const BoundArgs& a, std::size_t i, std::int64_t& out);
bool to_real(const BoundArgs& a, std::size_t i, double& out);
bool to_real(const BoundArgs& a, std::size_t i, std::optional<double>& out);
bool to_text(const BoundArgs& a, std::size_t i, std::string& out);
bool to_text(const BoundArgs& a, std::size_t i, std::optional<std::string>& out);
// None gives nullptr; otherwise a borrowed dict (or subclass).
bool to_mapping(const BoundArgs& a, std::size_t i, PyObject*& out);

// The stop rule of the greedy searches from slots first .. first + 2
// (n_bkps, pen, epsilon), converted in that order.
bool to_stop_rule(const BoundArgs& a, std::size_t first, detect::StopRule& out);

// Implementation of the sequence kind: fetches an iterator after the checks.
PyRef sequence_iterator(PyObject* o, std::size_t& size_hint);

// Any sequence but str, elements taken by iteration and converted in order.
template <class T>
bool to_sequence(const BoundArgs& a, std::size_t i, std::vector<T>& out,
                 bool (*element)(PyObject*, T&)) {
    std::size_t size_hint = 0;
    PyRef iterator = sequence_iterator(a[i], size_hint);
    if (!iterator) return add_argument_prefix(a.name(i));
    out.clear();
    out.reserve(size_hint);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        T value{};
        if (!element(item.get(), value)) return add_argument_prefix(a.name(i));
        out.push_back(value);
    }
    if (PyErr_Occurred()) return add_argument_prefix(a.name(i));
    return true;
}

}  // namespace marbolt::py
