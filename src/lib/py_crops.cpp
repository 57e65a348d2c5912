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
constexpr Signature kNativeCrops{"", "crops", {"engine", "pen_min", "pen_max", "jump", "min_size"}, {"control"}};
constexpr Signature kOptimumPath{
    "", "optimum_path", {"engine", "pen_min", "pen_max", "jump", "min_size"}, {"control"},
    "`crops` over the penalised optimum (`optimum`): every row's segmentation is optimal on its\n"
    "range, so the ranges agree with each other."};

PyObject* row_tuple(const crops::Row& row) {
    PyRef bkps = PyRef::steal(to_int_list(row.bkps));
    if (!bkps) return nullptr;
    return Py_BuildValue("(ddO)", row.lower, row.upper, bkps.get());
}

// The path search proper, run with the interpreter lock released; on the
// penalised optimum when `optimum` is set.
PyObject* crops_path(const EngineBorrow& engine, double pen_min, double pen_max, std::uint64_t jump,
                     std::uint64_t min_size, ControlObject* control, bool optimum) {
    return run_unlocked(
        control,
        [&](Control* c) {
            return crops::crops(engine.cost(), engine.n_samples(), pen_min, pen_max, jump, min_size,
                                {.optimum = optimum, .split_bound = engine.engine().split_bound, .control = c});
        },
        [](const std::vector<crops::Row>& rows) { return list_of(rows, row_tuple); });
}

template <const Signature& sig, bool optimum>
PyObject* py_crops(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        EngineBorrow engine;
        double pen_min = 0.0, pen_max = 0.0;
        std::uint64_t jump = 0, min_size = 0;
        ControlObject* control = nullptr;
        if (!bind(sig, args, nargs, kwnames, a) || !to_engine(a, 0, engine) ||
            !to_real(a, 1, pen_min) || !to_real(a, 2, pen_max) || !to_count(a, 3, jump) ||
            !to_count(a, 4, min_size) || !to_control(a, 5, control) || !check_jump(jump)) {
            return nullptr;
        }
        return crops_path(engine, pen_min, pen_max, jump, min_size, control, optimum);
    });
}

}  // namespace

const ModuleFunction crops_function{kCrops, py_crops<kCrops, false>};
const ModuleFunction native_crops_function{kNativeCrops, py_crops<kNativeCrops, false>};
const ModuleFunction optimum_path_function{kOptimumPath, py_crops<kOptimumPath, true>};

}  // namespace marbolt::py
