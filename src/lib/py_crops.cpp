// crops: every PELT segmentation over a range of penalties, each with the
// penalty interval on which it is optimal.
#include "crops/crops.hpp"
#include "lib/convert.hpp"
#include "lib/engine.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"

namespace marbolt::py {

namespace {

constexpr Signature kCrops{"", "crops", {"engine", "pen_min", "pen_max", "jump", "min_size"}};

PyObject* row_tuple(const crops::Row& row) {
    PyRef bkps = PyRef::steal(to_int_list(row.bkps));
    if (!bkps) return nullptr;
    return Py_BuildValue("(ddO)", row.lower, row.upper, bkps.get());
}

// The path search proper, run with the interpreter lock released.
PyObject* crops_path(const EngineBorrow& engine, double pen_min, double pen_max,
                     std::uint64_t jump, std::uint64_t min_size) {
    return run_unlocked(
        [&] {
            return crops::crops(engine.cost(), engine.n_samples(), pen_min, pen_max, jump,
                                min_size);
        },
        [](const std::vector<crops::Row>& rows) { return list_of(rows, row_tuple); });
}

PyObject* py_crops(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        EngineBorrow engine;
        double pen_min = 0.0, pen_max = 0.0;
        std::uint64_t jump = 0, min_size = 0;
        if (!bind(kCrops, args, nargs, kwnames, a) || !to_engine(a, 0, engine) ||
            !to_real(a, 1, pen_min) || !to_real(a, 2, pen_max) || !to_count(a, 3, jump) ||
            !to_count(a, 4, min_size) || !check_jump(jump)) {
            return nullptr;
        }
        return crops_path(engine, pen_min, pen_max, jump, min_size);
    });
}

}  // namespace

const ModuleFunction crops_function{kCrops, py_crops};

}  // namespace marbolt::py
