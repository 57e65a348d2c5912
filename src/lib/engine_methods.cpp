#include "lib/engine_methods.hpp"

#include "lib/convert.hpp"
#include "lib/engine.hpp"
#include "lib/errors.hpp"
#include "lib/method_def.hpp"

#include <string>
#include <utility>

namespace marbolt::py {

namespace {

const Signature& error_signature() {
    static const Signature signature = engine_member({"", "error", {"start", "end"}});
    return signature;
}

const Signature& sum_of_costs_signature() {
    static const Signature signature = engine_member({"", "sum_of_costs", {"bkps"}});
    return signature;
}

using Span = std::pair<std::size_t, std::size_t>;

// The checks stop at the first failure, in this order, so a caller always
// hears about the most basic problem first.
Result<Span> checked_span(const Engine& engine, std::int64_t start, std::int64_t end) {
    if (start < 0 || end < 0) {
        return value_error("segment bounds must not be negative, got (" + std::to_string(start) +
                           ", " + std::to_string(end) + ")");
    }
    const auto first = static_cast<std::uint64_t>(start), last = static_cast<std::uint64_t>(end);
    if (last > engine.n_samples) {
        return value_error("segment end " + std::to_string(end) +
                           " is past the end of a signal with " +
                           std::to_string(engine.n_samples) + " samples");
    }
    if (last < first) {
        return value_error("segment end " + std::to_string(end) + " is before its start " +
                           std::to_string(start));
    }
    // A bare name rather than a sentence, kept as it is: callers of the
    // existing interface match on this exact text.
    if (last - first < engine.model->min_size()) return Error{ErrorKind::runtime, "NotEnoughPoints"};
    return Span{first, last};
}

PyObject* py_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        std::int64_t start = 0, end = 0;
        if (!bind(error_signature(), args, nargs, kwnames, a) || !to_index(a, 0, start) ||
            !to_index(a, 1, end)) {
            return nullptr;
        }
        const Engine& engine = engine_of(self);
        Result<Span> span = checked_span(engine, start, end);
        if (!span) return raise(span.error());
        return PyFloat_FromDouble(engine.model->error(span->first, span->second));
    });
}

// Each segment is checked just before it is evaluated, so an unsorted or
// repeated entry fails where it occurs; samples after the last entry are not
// counted.
PyObject* py_sum_of_costs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        std::vector<std::int64_t> bkps;
        if (!bind(sum_of_costs_signature(), args, nargs, kwnames, a) ||
            !to_sequence(a, 0, bkps, index_from)) {
            return nullptr;
        }
        const Engine& engine = engine_of(self);
        double total = 0.0;
        std::int64_t prev = 0;
        for (std::int64_t b : bkps) {
            Result<Span> span = checked_span(engine, prev, b);
            if (!span) return raise(span.error());
            total = total + engine.model->error(span->first, span->second);
            prev = b;
        }
        return PyFloat_FromDouble(total);
    });
}

}  // namespace

PyMethodDef* engine_methods() {
    static PyMethodDef methods[] = {
        method_def(error_signature(), py_error),
        method_def(sum_of_costs_signature(), py_sum_of_costs),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace marbolt::py
