// check_outer_memory: the covariance budget for the Python layer, so it can
// refuse a covariance of its own that would be just as large.
#include "cost/budget.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"

namespace marbolt::py {

namespace {

constexpr Signature kCheckOuterMemory{
    "", "check_outer_memory", {"n", "d", "model"}, {},
    "Expose the covariance-memory budget so the Python layer can check it before\n"
    "building a covariance of its own that would be just as large."};

PyObject* py_check_outer_memory(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        std::uint64_t n = 0, d = 0;
        std::string model;
        if (!bind(kCheckOuterMemory, args, nargs, kwnames, a) || !to_count(a, 0, n) ||
            !to_count(a, 1, d) || !to_text(a, 2, model)) {
            return nullptr;
        }
        Status budget = cost::check_outer_memory(n, d, model);
        if (!budget) return raise(budget.error());
        Py_RETURN_NONE;
    });
}

}  // namespace

const ModuleFunction check_outer_memory_function{kCheckOuterMemory, py_check_outer_memory};

}  // namespace marbolt::py
