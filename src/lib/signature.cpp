#include "lib/signature.hpp"

#include "lib/py_ref.hpp"

#include <vector>

namespace marbolt::py {

namespace {

std::string quoted_list(const std::vector<std::string_view>& names) {
    // The interpreter's own wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) out += "and ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    std::string takes = sig.n_required == sig.n_params
                            ? std::to_string(sig.n_params)
                            : "from " + std::to_string(sig.n_required) + " to " +
                                  std::to_string(sig.n_params);
    const char* noun = sig.n_params == 1 && sig.n_required == 1 ? "argument" : "arguments";
    PyErr_Format(PyExc_TypeError, "%s takes %s positional %s but %zd %s given",
                 sig.display_name().c_str(), takes.c_str(), noun, given,
                 given == 1 ? "was" : "were");
    return false;
}

bool missing_required(const Signature& sig, const BoundArgs& out) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.n_required; ++i) {
        if (out.values[i] == nullptr) missing.push_back(sig.params[i]);
    }
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 sig.display_name().c_str(), missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", quoted_list(missing).c_str());
    return false;
}

// Places one keyword argument; Python checks each keyword in the order given.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  BoundArgs& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) return false;
    std::string_view keyword(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.n_params; ++i) {
        if (sig.params[i] != keyword) continue;
        if (static_cast<Py_ssize_t>(i) < nargs || out.values[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         sig.display_name().c_str(), utf8);
            return false;
        }
        out.values[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'",
                 sig.display_name().c_str(), utf8);
    return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     BoundArgs& out) {
    out = BoundArgs{};
    out.signature = &sig;
    if (nargs > static_cast<Py_ssize_t>(sig.n_params)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    return true;
}

}  // namespace

std::string Signature::display_name() const {
    std::string out(owner);
    if (!out.empty()) out += ".";
    out += name;
    return out + "()";
}

std::string Signature::docstring() const {
    const bool constructor = name == "__new__";
    std::string out(constructor ? owner : name);
    out += "(";
    if (!owner.empty() && !constructor) out += n_params > 0 ? "$self, " : "$self";
    for (std::size_t i = 0; i < n_params; ++i) {
        if (i > 0) out += ", ";
        out += params[i];
        if (i >= n_required) out += "=None";
    }
    out += ")\n--\n\n";
    out += doc;
    return out;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs& out) {
    if (!bind_positional(sig, args, nargs, out)) return false;
    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) {
            return false;
        }
    }
    return missing_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, nargs, out)) return false;
        }
    }
    return missing_required(sig, out);
}

}  // namespace marbolt::py
