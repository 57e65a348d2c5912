// The greedy searches with a stopping rule: binseg and bottomup.
#include "detect/binseg.hpp"
#include "detect/bottomup.hpp"
#include "lib/convert.hpp"
#include "lib/engine.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"

namespace marbolt::py {

namespace {

constexpr Signature kBinseg{
    "", "binseg", {"engine", "jump", "min_size"}, {"n_bkps", "pen", "epsilon"}};
constexpr Signature kBottomup{
    "", "bottomup", {"engine", "jump", "min_size"}, {"n_bkps", "pen", "epsilon"}};
constexpr Signature kNativeBinseg{
    "", "binseg", {"engine", "jump", "min_size"}, {"n_bkps", "pen", "epsilon", "control"}};
constexpr Signature kNativeBottomup{
    "", "bottomup", {"engine", "jump", "min_size"}, {"n_bkps", "pen", "epsilon", "control"}};

using Search = std::vector<std::size_t> (*)(const cost::Cost&, std::size_t, std::size_t,
                                            std::size_t, const detect::StopRule&, Control*);

// Both searches take the same arguments in the same order.
PyObject* greedy_search(const Signature& sig, Search search, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs a;
    EngineBorrow engine;
    std::uint64_t jump = 0, min_size = 0;
    detect::StopRule rule;
    ControlObject* control = nullptr;
    if (!bind(sig, args, nargs, kwnames, a) || !to_engine(a, 0, engine) ||
        !to_count(a, 1, jump) || !to_count(a, 2, min_size) || !to_stop_rule(a, 3, rule) ||
        !to_control(a, 6, control) || !check_jump(jump)) {
        return nullptr;
    }
    return run_unlocked(
        control, [&](Control* c) { return search(engine.cost(), engine.n_samples(), jump, min_size, rule, c); },
        to_int_list);
}

template <const Signature& sig>
PyObject* py_binseg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return greedy_search(sig, detect::binseg, args, nargs, kwnames); });
}

template <const Signature& sig>
PyObject* py_bottomup(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return greedy_search(sig, detect::bottomup, args, nargs, kwnames); });
}

}  // namespace

const ModuleFunction binseg_function{kBinseg, py_binseg<kBinseg>};
const ModuleFunction bottomup_function{kBottomup, py_bottomup<kBottomup>};
const ModuleFunction native_binseg_function{kNativeBinseg, py_binseg<kNativeBinseg>};
const ModuleFunction native_bottomup_function{kNativeBottomup, py_bottomup<kNativeBottomup>};

}  // namespace marbolt::py
