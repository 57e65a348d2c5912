// The CostEngine Python type: one fitted model over one signal, immutable
// after construction and shared by any number of concurrent searches.
#pragma once

#include "cost/cost.hpp"
#include "cost/registry.hpp"
#include "lib/py_ref.hpp"
#include "lib/signature.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace marbolt::py {

struct Engine {
    // The model's options as it uses them: given, or resolved to defaults.
    std::vector<cost::ResolvedOption> params;
    std::unique_ptr<const cost::Cost> model;
    std::uint64_t n_samples = 0;

    // The bandwidth the rbf model uses; absent for every other model.
    std::optional<double> gamma() const;
};

struct EngineObject {
    PyObject_HEAD
    Engine engine;
    // Searches that currently hold the engine. Every borrow is shared (no
    // operation mutates an engine), so it never blocks anyone.
    std::atomic<std::size_t> borrows;
};

// The engine of a CostEngine instance.
inline const Engine& engine_of(PyObject* self) {
    return reinterpret_cast<EngineObject*>(self)->engine;
}

// Creates the type once per process; nullptr with an exception on failure.
PyTypeObject* engine_type();

// `signature` as a member of this module's engine type, so that its docstring
// and binding messages name the type as the module names it.
Signature engine_member(Signature signature);

// A shared borrow for the length of one call: keeps the object alive while the
// interpreter lock is released.
class EngineBorrow {
public:
    EngineBorrow() = default;
    explicit EngineBorrow(PyObject* engine);
    EngineBorrow(EngineBorrow&& other) noexcept = default;
    EngineBorrow& operator=(EngineBorrow&& other) noexcept;
    ~EngineBorrow();

    const Engine& engine() const { return object()->engine; }
    const cost::Cost& cost() const { return *engine().model; }
    std::uint64_t n_samples() const { return engine().n_samples; }

private:
    EngineObject* object() const { return reinterpret_cast<EngineObject*>(ref_.get()); }
    void release() noexcept;
    PyRef ref_;
};

bool to_engine(const BoundArgs& a, std::size_t i, EngineBorrow& out);

}  // namespace marbolt::py
