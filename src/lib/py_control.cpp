#include "lib/py_control.hpp"

#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/method_def.hpp"

#include <new>
#include <string>

namespace marbolt::py {

namespace {

// The thread on which Python runs signal handlers, as the threading module
// names it; 0 until the module has noted it.
unsigned long g_main_thread = 0;

constexpr Signature kNewSignature{
    "Control", "__new__", {}, {"progress"},
    "Stops the searches it is given, and reports their progress.\n\n"
    "`stop()` asks every search that holds it to stop (from any thread); each\n"
    "then raises KeyboardInterrupt. `progress`, when given, is called as\n"
    "progress(done, total) about every 50 ms while a search runs (total 0: not\n"
    "known). A search on the main thread stops on Ctrl-C with or without one."};
constexpr Signature kStopSignature{"Control", "stop", {}, {}, "Asks every search that holds this control to stop."};

ControlObject* as_control(PyObject* self) { return reinterpret_cast<ControlObject*>(self); }

PyObject* control_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        if (!bind(kNewSignature, args, kwargs, a)) return nullptr;
        PyObject* progress = a.present(0) ? a[0] : nullptr;
        if (progress != nullptr && !PyCallable_Check(progress)) {
            PyErr_Format(PyExc_TypeError, "progress must be callable, got %s", Py_TYPE(progress)->tp_name);
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&as_control(self)->stopped) std::atomic<bool>(false);
        as_control(self)->progress = PyRef::borrow(progress).release();
        return self;
    });
}

void control_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_control(self)->progress);
    as_control(self)->stopped.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* control_stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs a;
    if (!bind(kStopSignature, args, nargs, kwnames, a)) return nullptr;
    as_control(self)->stopped.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject* get_stopped(PyObject* self, void*) {
    return PyBool_FromLong(as_control(self)->stopped.load(std::memory_order_relaxed));
}

PyGetSetDef control_getset[] = {
    {"stopped", get_stopped, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* create_control_type() {
    static const std::string doc = kNewSignature.docstring();
    static PyMethodDef methods[] = {method_def(kStopSignature, control_stop), {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(control_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(control_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_methods, methods},
        {Py_tp_getset, control_getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "marbolt_rs._native.Control",
        static_cast<int>(sizeof(ControlObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* control_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_control_type();
    return type;
}

bool note_main_thread() {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    g_main_thread = value;
    return true;
}

bool to_control(const BoundArgs& a, std::size_t i, ControlObject*& out) {
    out = nullptr;
    if (i >= a.signature->n_params || !a.present(i)) return true;
    PyTypeObject* type = control_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(a[i], type)) return refuse_type(a[i], "Control") || add_argument_prefix(a.name(i));
    out = as_control(a[i]);
    return true;
}

CallControl::CallControl(ControlObject* object)
    : object_(object), main_thread_(g_main_thread != 0 && PyThread_get_thread_ident() == g_main_thread) {
    Py_XINCREF(reinterpret_cast<PyObject*>(object_));
    // Stopped before the search began: it stops at its first poll.
    if (object_ != nullptr && object_->stopped.load(std::memory_order_relaxed)) request_stop();
}

CallControl::~CallControl() {
    // Still held only when a stop was never raised; the lock is held here.
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
    Py_XDECREF(reinterpret_cast<PyObject*>(object_));
}

void CallControl::check() {
    if (object_ != nullptr && object_->stopped.load(std::memory_order_relaxed)) {
        request_stop();
        throw Stopped();
    }
    const bool report = object_ != nullptr && object_->progress != nullptr;
    if (!main_thread_ && !report) return;
    PyEval_RestoreThread(state_);
    const bool go_on = look_outside();
    state_ = PyEval_SaveThread();
    if (!go_on) {
        request_stop();
        throw Stopped();
    }
}

bool CallControl::look_outside() {
    if (main_thread_ && PyErr_CheckSignals() < 0) {
        PyErr_Fetch(&type_, &value_, &traceback_);
        return false;
    }
    if (report()) return true;
    PyErr_Fetch(&type_, &value_, &traceback_);
    return false;
}

bool CallControl::report() {
    if (object_ == nullptr || object_->progress == nullptr) return true;
    PyRef answer = PyRef::steal(PyObject_CallFunction(object_->progress, "KK", static_cast<unsigned long long>(done()),
                                                      static_cast<unsigned long long>(total())));
    return static_cast<bool>(answer);
}

void CallControl::raise_stopped() {
    if (type_ != nullptr) {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        return;
    }
    PyErr_SetNone(PyExc_KeyboardInterrupt);
}

}  // namespace marbolt::py
