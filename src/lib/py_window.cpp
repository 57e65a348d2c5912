// The sliding window in two calls: window_fit scores the centres once, and
// window_predict turns one fit into breakpoints as often as the caller likes.
#include "detect/window.hpp"
#include "lib/convert.hpp"
#include "lib/engine.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"

namespace marbolt::py {

namespace {

constexpr Signature kWindowFit{"", "window_fit", {"engine", "width", "jump"}};
constexpr Signature kWindowPredict{
    "", "window_predict", {"engine", "inds", "score", "width", "jump", "min_size"},
    {"n_bkps", "pen", "epsilon"}};
constexpr Signature kNativeWindowFit{"", "window_fit", {"engine", "width", "jump"}, {"control"}};
constexpr Signature kNativeWindowPredict{
    "", "window_predict", {"engine", "inds", "score", "width", "jump", "min_size"},
    {"n_bkps", "pen", "epsilon", "control"}};

PyObject* scores_tuple(const detect::WindowScores& fit) {
    PyRef inds = PyRef::steal(to_int_list(fit.inds));
    if (!inds) return nullptr;
    PyRef score = PyRef::steal(to_float_list(fit.score));
    if (!score) return nullptr;
    return PyTuple_Pack(2, inds.get(), score.get());
}

template <const Signature& sig>
PyObject* py_window_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        EngineBorrow engine;
        std::uint64_t width = 0, jump = 0;
        ControlObject* control = nullptr;
        if (!bind(sig, args, nargs, kwnames, a) || !to_engine(a, 0, engine) ||
            !to_count(a, 1, width) || !to_count(a, 2, jump) || !to_control(a, 3, control) ||
            !check_jump(jump) || raised(detect::check_window_width(width))) {
            return nullptr;
        }
        return run_unlocked(
            control,
            [&](Control* c) { return detect::window_fit(engine.cost(), engine.n_samples(), width, jump, c); },
            scores_tuple);
    });
}

struct PredictArgs {
    EngineBorrow engine;
    std::vector<std::size_t> inds;
    std::vector<double> score;
    std::uint64_t width = 0, jump = 0, min_size = 0;
    detect::StopRule rule;
    ControlObject* control = nullptr;
};

bool convert_predict_args(const BoundArgs& a, PredictArgs& p) {
    return to_engine(a, 0, p.engine) && to_sequence<std::size_t>(a, 1, p.inds, count_from) &&
           to_sequence(a, 2, p.score, real_from) && to_count(a, 3, p.width) &&
           to_count(a, 4, p.jump) && to_count(a, 5, p.min_size) && to_stop_rule(a, 6, p.rule) &&
           to_control(a, 9, p.control);
}

// The peak search and greedy selection over one fit, without the lock.
PyObject* window_predict(const PredictArgs& p) {
    return run_unlocked(
        p.control,
        [&](Control* c) {
            return detect::window_seg(p.engine.cost(), p.engine.n_samples(), p.inds, p.score,
                                      p.width, p.jump, p.min_size, p.rule, c);
        },
        to_int_list);
}

template <const Signature& sig>
PyObject* py_window_predict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        PredictArgs p;
        if (!bind(sig, args, nargs, kwnames, a) || !convert_predict_args(a, p) ||
            !check_jump(p.jump) ||
            raised(detect::check_window_centres(p.engine.n_samples(), p.inds, p.score))) {
            return nullptr;
        }
        return window_predict(p);
    });
}

}  // namespace

const ModuleFunction window_fit_function{kWindowFit, py_window_fit<kWindowFit>};
const ModuleFunction window_predict_function{kWindowPredict, py_window_predict<kWindowPredict>};
const ModuleFunction native_window_fit_function{kNativeWindowFit, py_window_fit<kNativeWindowFit>};
const ModuleFunction native_window_predict_function{kNativeWindowPredict,
                                                    py_window_predict<kNativeWindowPredict>};

}  // namespace marbolt::py
