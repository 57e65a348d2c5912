// One table per callable: its name, its parameters and which are optional.
// The same table drives argument binding, the binding messages and the
// "name(a, b=None)\n--\n\n" docstring, so the three cannot drift apart.
// The binding messages keep the interpreter's own wording: callers of the
// existing interface match on it.
#pragma once

#include "lib/python.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace marbolt::py {

inline constexpr std::size_t kMaxParams = 10;

struct Signature {
    // Class name for the constructor ("__new__") and methods; empty for
    // module functions.
    std::string_view owner;
    std::string_view name;
    std::array<std::string_view, kMaxParams> params{};
    std::size_t n_params = 0;
    std::size_t n_required = 0;
    // Docstring text after the signature lines.
    std::string_view doc;

    constexpr Signature(std::string_view owner_, std::string_view name_,
                        std::initializer_list<std::string_view> required,
                        std::initializer_list<std::string_view> optional = {},
                        std::string_view doc_ = {})
        : owner(owner_), name(name_), n_required(required.size()), doc(doc_) {
        for (std::string_view p : required) params[n_params++] = p;
        for (std::string_view p : optional) params[n_params++] = p;
    }

    // "pelt()", "CostEngine.error()": how binding messages name the callable.
    std::string display_name() const;
    // The interpreter's text-signature docstring convention.
    std::string docstring() const;
};

// Arguments after binding: one borrowed reference (or nullptr when the
// argument was omitted) per parameter, in signature order.
struct BoundArgs {
    const Signature* signature = nullptr;
    std::array<PyObject*, kMaxParams> values{};

    PyObject* operator[](std::size_t i) const { return values[i]; }
    // Omitted and None both mean "absent" for an optional parameter.
    bool present(std::size_t i) const { return values[i] != nullptr && values[i] != Py_None; }
    std::string_view name(std::size_t i) const { return signature->params[i]; }
};

// Binding by the rules of a Python function with this signature; on failure
// a TypeError worded as the interpreter words it is set and false returned.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, BoundArgs& out);
// The same for the tuple-and-dict convention of tp_new.
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace marbolt::py
