#include "lib/engine.hpp"

#include "lib/convert.hpp"
#include "lib/engine_models.hpp"
#include "lib/engine_methods.hpp"
#include "lib/errors.hpp"
#include "lib/intake.hpp"
#include "lib/module.hpp"
#include "lib/results.hpp"

#include <new>
#include <string>

namespace marbolt::py {

namespace {

constexpr Signature kNewSignature{
    "", "__new__", {"signal", "model"}, {"params", "variant"},
    "A fitted cost function over a fixed signal.\n\n"
    "Holds the prefix-sum structures, so construction is O(n * d) (or O(n^2) for\n"
    "the kernel costs, the same as the Gram matrix `marbolt` builds) and every\n"
    "subsequent `error()` is O(1) in the segment length for all models but `l1`."};

struct ConstructorArgs {
    PyObject* signal = nullptr;
    std::string model;
    PyObject* params = nullptr;
    std::optional<std::string> variant;
};

bool convert_constructor_args(const BoundArgs& a, ConstructorArgs& out) {
    return to_array(a, 0, out.signal) && to_text(a, 1, out.model) && to_mapping(a, 2, out.params) &&
           to_text(a, 3, out.variant);
}

// The variant only chooses a computational form; unknown names are refused
// after the signal checks and before the model name is looked at.
Result<bool> extension_flag(const std::optional<std::string>& variant) {
    if (!variant || *variant == "python") return false;
    if (*variant == "extension") return true;
    return value_error("unknown variant: " + *variant);
}

PyObject* wrap_engine(PyTypeObject* type, cost::BuiltModel built, std::uint64_t n_samples) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<EngineObject*>(self);
    new (&object->engine) Engine{std::move(built.params), std::move(built.model), n_samples};
    new (&object->borrows) std::atomic<std::size_t>(0);
    return self;
}

const Signature& new_signature() {
    static const Signature signature = engine_member(kNewSignature);
    return signature;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        ConstructorArgs c;
        if (!bind(new_signature(), args, kwargs, a) || !convert_constructor_args(a, c)) {
            return nullptr;
        }
        Result<SignalMatrix> signal = as_matrix(c.signal);
        if (!signal) return raise(signal.error());
        Result<bool> extension = extension_flag(c.variant);
        if (!extension) return raise(extension.error());
        std::optional<cost::BuiltModel> built =
            build_model(c.model, *signal, c.params, *extension, module_profile().catalogue);
        if (!built) return nullptr;
        const std::uint64_t n_samples = signal->n;
        // The signal copy is dropped before the Python object exists: the
        // model keeps what it needs.
        signal = SignalMatrix{};
        return wrap_engine(type, std::move(*built), n_samples);
    });
}

void engine_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<EngineObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    object->borrows.~atomic();
    object->engine.~Engine();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_n_samples(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(engine_of(self).n_samples);
}

PyObject* get_gamma(PyObject* self, void*) {
    const std::optional<double> gamma = engine_of(self).gamma();
    if (!gamma) Py_RETURN_NONE;
    return PyFloat_FromDouble(*gamma);
}

PyObject* get_min_size(PyObject* self, void*) {
    return PyLong_FromSize_t(engine_of(self).model->min_size());
}

PyObject* get_model(PyObject* self, void*) {
    std::string_view name = engine_of(self).model->model();
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// A new dict each time: the caller may change it without touching the engine.
PyObject* get_params(PyObject* self, void*) { return to_params_dict(engine_of(self).params); }

// The package's engine also reports its model's resolved options.
PyGetSetDef* engine_getset() {
    static PyGetSetDef getset[] = {
        {"n_samples", get_n_samples, nullptr, nullptr, nullptr},
        {"gamma", get_gamma, nullptr, nullptr, nullptr},
        {"min_size", get_min_size, nullptr, nullptr, nullptr},
        {"model", get_model, nullptr, nullptr, nullptr},
        {"params", get_params, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    if (!module_profile().engine_reports_params) getset[4] = getset[5];
    return getset;
}

PyTypeObject* create_engine_type() {
    static const std::string doc = new_signature().docstring();
    static const std::string qualified_name =
        std::string("marbolt_rs.") + module_profile().name + "." + module_profile().engine_name;
    static PyMethodDef* methods = engine_methods();
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(engine_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_methods, methods},
        {Py_tp_getset, engine_getset()},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        qualified_name.c_str(),
        static_cast<int>(sizeof(EngineObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

std::optional<double> Engine::gamma() const {
    for (const cost::ResolvedOption& option : params) {
        if (option.key == "gamma") return std::get<double>(option.value);
    }
    return std::nullopt;
}

Signature engine_member(Signature signature) {
    signature.owner = module_profile().engine_name;
    return signature;
}

PyTypeObject* engine_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_engine_type();
    return type;
}

EngineBorrow::EngineBorrow(PyObject* engine) : ref_(PyRef::borrow(engine)) {
    object()->borrows.fetch_add(1, std::memory_order_relaxed);
}

EngineBorrow& EngineBorrow::operator=(EngineBorrow&& other) noexcept {
    if (this != &other) {
        release();
        ref_ = std::move(other.ref_);
    }
    return *this;
}

EngineBorrow::~EngineBorrow() { release(); }

void EngineBorrow::release() noexcept {
    if (!ref_) return;
    object()->borrows.fetch_sub(1, std::memory_order_relaxed);
    ref_.reset();
}

bool to_engine(const BoundArgs& a, std::size_t i, EngineBorrow& out) {
    PyTypeObject* type = engine_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(a[i], type)) {
        return refuse_type(a[i], module_profile().engine_name) || add_argument_prefix(a.name(i));
    }
    out = EngineBorrow(a[i]);
    return true;
}

}  // namespace marbolt::py
