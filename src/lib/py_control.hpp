// Stopping and progress for the searches run from Python. A search runs
// without the interpreter lock; its control looks outside about every 50 ms,
// on the thread that runs it (or waits for the pool that does): first at the
// stop flag of the caller's `Control` object, which any thread may set, then,
// holding the lock again for a moment, at the pending signals (only the main
// thread, where Python runs its signal handlers: Ctrl-C there raises
// KeyboardInterrupt) and at the caller's progress callback. A Python
// exception raised there (KeyboardInterrupt, or the callback's own) stops the
// search, which unwinds, frees what it holds and leaves the worker pool idle,
// and is raised by the search's function once the lock is held again.
#pragma once

#include "common/control.hpp"
#include "lib/py_ref.hpp"
#include "lib/signature.hpp"

#include <atomic>

namespace marbolt::py {

// The Python type `Control(progress=None)` of the package's module: one
// object that the caller hands to any number of searches, on any threads,
// and stops them all with `stop()`. `progress`, when given, is called as
// progress(done, total) with the interpreter lock held, on the thread that
// runs the search, about every 50 ms (total 0: not known).
struct ControlObject {
    PyObject_HEAD
    std::atomic<bool> stopped;
    PyObject* progress;  // owned; nullptr for none
};

// Creates the type once per process; nullptr with an exception on failure.
PyTypeObject* control_type();

// Records the main thread's identity; called once, with the lock held, when
// the module is built. Without it no control looks at signals.
bool note_main_thread();

// An optional `control` argument: None, absent, or a Control.
bool to_control(const BoundArgs& a, std::size_t i, ControlObject*& out);

// The control of one search call. Made with the lock held, on the thread that
// runs the search.
class CallControl final : public Control {
public:
    explicit CallControl(ControlObject* object);
    ~CallControl() override;

    // What the search polls: nothing when there is nothing to look at (no
    // Control object and not the main thread), so that such a search runs
    // exactly as it always did.
    Control* polled() noexcept { return object_ != nullptr || main_thread_ ? this : nullptr; }

    // With the lock released, the thread state that check() restores.
    void released(PyThreadState* state) noexcept { state_ = state; }

    // With the lock held again after a search stopped: sets the exception
    // that stopped it (KeyboardInterrupt for a stop request).
    void raise_stopped();

    // With the lock held: the progress so far to the callback, if any; also
    // once after the search ended, so that a display ends complete. False
    // with the callback's exception set when it raised one.
    bool report();

protected:
    void check() override;

private:
    // The lock held, the signals and the progress callback; false with the
    // exception fetched into the members when one was raised.
    bool look_outside();

    ControlObject* object_;
    bool main_thread_;
    PyThreadState* state_ = nullptr;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace marbolt::py
