// Running a search without the interpreter lock. Every search wrapper has the
// same shape: convert and check with the lock held, run the core without it,
// then take it back and build the result (or raise) with it held.
#pragma once

#include "lib/py_control.hpp"
#include "lib/python.hpp"

#include <optional>
#include <type_traits>

namespace marbolt::py {

// Releases the lock for its lifetime; the destructor re-acquires it, also when
// the search unwinds with an exception (which guarded() then turns into a
// Python exception with the lock held).
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    PyThreadState* state() const noexcept { return state_; }

private:
    PyThreadState* state_;
};

// search(Control*) must touch no Python object: it sees only the engine's
// model and values converted before the call. It polls the call's control
// (py_control.hpp), made from the caller's `control` argument (nullptr when
// there is none); a search stopped there raises what stopped it.
template <class Search, class ToPython>
PyObject* run_unlocked(ControlObject* object, Search&& search, ToPython&& to_python) {
    CallControl control(object);
    std::optional<std::invoke_result_t<Search, Control*>> result;
    try {
        GilRelease unlocked;
        control.released(unlocked.state());
        result.emplace(search(control.polled()));
    } catch (const Stopped&) {
        control.raise_stopped();
        return nullptr;
    }
    if (!control.report()) return nullptr;
    return to_python(*result);
}

}  // namespace marbolt::py
