#include "lib/engine_models.hpp"

#include "cost/cost_ar.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_kernel.hpp"
#include "cost/cost_clinear.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_linear.hpp"
#include "cost/cost_mahalanobis.hpp"
#include "cost/cost_normal.hpp"
#include "cost/cost_rank.hpp"
#include "parallel/worker_pool.hpp"
#include "cost/budget.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/py_ref.hpp"

#include <array>
#include <type_traits>
#include <utility>
#include <cstdint>
#include <functional>
#include <limits>
#include <string_view>

namespace marbolt::py {

namespace {

// params[key] by the dict's own lookup (a subclass's __missing__ is not
// called). Absent and None are the same; false means the lookup raised.
bool read_param(PyObject* params, const char* key, PyObject*& out) {
    out = nullptr;
    if (params == nullptr) return true;
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (!name) return false;
    PyObject* value = PyDict_GetItemWithError(params, name.get());
    if (value == nullptr) return !PyErr_Occurred();
    if (value != Py_None) out = value;
    return true;
}

std::span<const double> values(const SignalMatrix& m) { return m.data; }

// A finished model handed to the engine, with the bandwidth where it has one.
template <class Model>
std::optional<BuiltModel> built(Model&& model, std::optional<double> gamma = {}) {
    return BuiltModel{std::make_unique<std::decay_t<Model>>(std::forward<Model>(model)), gamma};
}

std::optional<BuiltModel> build_l1(const SignalMatrix& x, PyObject*, bool) {
    return built(cost::CostL1::build(values(x), x.n, x.d));
}

// The variant "extension" serves l2 as the linear kernel, which offers kernel
// PELT its block sums; both forms report the model "l2".
std::optional<BuiltModel> build_l2(const SignalMatrix& x, PyObject*, bool extension) {
    if (extension) {
        return built(cost::CostKernelLinear::build(values(x), x.n, x.d));
    }
    return built(cost::CostL2::build(values(x), x.n, x.d));
}

std::optional<BuiltModel> build_normal(const SignalMatrix& x, PyObject* params, bool) {
    if (raised(cost::check_outer_memory(x.n, x.d, "normal"))) return {};
    PyObject* flag = nullptr;
    if (!read_param(params, "add_small_diag", flag)) return {};
    bool add_small_diag = true;
    if (flag != nullptr) {
        const int truth = PyObject_IsTrue(flag);
        if (truth < 0) return {};
        add_small_diag = truth == 1;
    }
    return built(cost::CostNormal::build(values(x), x.n, x.d, add_small_diag));
}

std::optional<BuiltModel> build_rank(const SignalMatrix& x, PyObject*, bool) {
    return built(cost::CostRank::build(values(x), x.n, x.d));
}

// The kernel table fill's independent pieces run on the worker pool, like the
// dynp layers; the table is the same bits on any number of threads.
void on_worker_pool(std::size_t count, const std::function<void(std::size_t)>& body) {
    parallel::WorkerPool::global().for_each_index(count, body);
}

// "gamma" is read before the budget: a value that does not convert fails
// with the interpreter's own TypeError whatever the signal's size.
std::optional<BuiltModel> build_rbf(const SignalMatrix& x, PyObject* params, bool extension) {
    PyObject* value = nullptr;
    if (!read_param(params, "gamma", value)) return {};
    std::optional<double> gamma;
    if (value != nullptr) {
        double g = 0.0;
        if (!real_from(value, g)) return {};
        gamma = g;
    }
    if (raised(cost::check_kernel_memory(x.n, "rbf"))) return {};
    cost::RbfFit fit = cost::CostKernel::rbf(values(x), x.n, x.d, gamma, extension, on_worker_pool);
    return built(std::move(fit.model), fit.gamma);
}

std::optional<BuiltModel> build_cosine(const SignalMatrix& x, PyObject*, bool extension) {
    if (raised(cost::check_kernel_memory(x.n, "cosine"))) return {};
    return built(cost::CostKernel::cosine(values(x), x.n, x.d, extension, on_worker_pool));
}

// The metric goes through the same intake as the signal, so its refusals
// carry the same messages.
std::optional<SignalMatrix> read_metric(PyObject* params, std::uint64_t d) {
    PyObject* metric = nullptr;
    if (!read_param(params, "metric", metric)) return {};
    if (metric == nullptr) {
        raise_value("the `mahalanobis` model requires a `metric`");
        return {};
    }
    if (!check_float64_array(metric)) return {};
    Result<SignalMatrix> matrix = as_matrix(metric);
    if (!matrix) {
        raise(matrix.error());
        return {};
    }
    if (matrix->n != d || matrix->d != d) {
        PyErr_Format(PyExc_ValueError, "metric must be (%llu, %llu), got (%llu, %llu)",
                     static_cast<unsigned long long>(d), static_cast<unsigned long long>(d),
                     static_cast<unsigned long long>(matrix->n),
                     static_cast<unsigned long long>(matrix->d));
        return {};
    }
    return std::move(*matrix);
}

std::optional<BuiltModel> build_mahalanobis(const SignalMatrix& x, PyObject* params, bool) {
    if (raised(cost::check_outer_memory(x.n, x.d, "mahalanobis"))) return {};
    std::optional<SignalMatrix> metric = read_metric(params, x.d);
    if (!metric) return {};
    return built(cost::CostMahalanobis::build(values(x), x.n, x.d, std::move(metric->data)));
}

std::optional<BuiltModel> build_clinear(const SignalMatrix& x, PyObject*, bool) {
    return built(cost::CostCLinear::build(values(x), x.n, x.d));
}

std::optional<BuiltModel> build_linear(const SignalMatrix& x, PyObject*, bool) {
    if (raised(cost::check_outer_memory(x.n, x.d == 0 ? 0 : x.d - 1, "linear"))) return {};
    // Column 0 is the target. An empty signal still builds (with no rows
    // there is nothing to regress), so that every search on it works.
    if (x.n > 0 && x.d == 0) {
        raise_value(
            "the `linear` model needs at least one column (its target); the signal has none");
        return {};
    }
    return built(cost::CostLinear::build(values(x), x.n, x.d));
}

std::optional<BuiltModel> build_ar(const SignalMatrix& x, PyObject* params, bool) {
    PyObject* value = nullptr;
    if (!read_param(params, "order", value)) return {};
    std::uint64_t order = 4;
    if (value != nullptr && !count_from(value, order)) return {};
    if (x.n >= 1 && order >= x.n) {
        PyErr_Format(PyExc_ValueError,
                     "the `ar` model needs more samples than its order (%llu); "
                     "the signal has %llu",
                     static_cast<unsigned long long>(order), static_cast<unsigned long long>(x.n));
        return {};
    }
    // order + 1 saturates: an order of 2**64 - 1 on an empty signal (the
    // length test only applies with samples) must be refused by the budget,
    // not wrap to zero regressors.
    if (raised(cost::check_outer_memory(x.n, saturating_inc(order), "ar"))) return {};
    // The budget bounds (n + 1) (order + 1)^2, so order + 1 is exact from here.
    return built(cost::CostAr::build(values(x), x.n, x.d, order));
}

using Builder = std::optional<BuiltModel> (*)(const SignalMatrix&, PyObject*, bool);

struct ModelRow {
    std::string_view name;
    Builder build;
};

constexpr std::array kModels{
    ModelRow{"l1", build_l1},
    ModelRow{"l2", build_l2},
    ModelRow{"normal", build_normal},
    ModelRow{"rbf", build_rbf},
    ModelRow{"cosine", build_cosine},
    ModelRow{"rank", build_rank},
    ModelRow{"mahalanobis", build_mahalanobis},
    ModelRow{"clinear", build_clinear},
    ModelRow{"linear", build_linear},
    ModelRow{"ar", build_ar},
};

// Names the models the table serves, in its order.
std::optional<BuiltModel> unknown_model(std::string_view name) {
    std::string message = "unknown model: " + std::string(name) + ". Supported: ";
    for (const ModelRow& row : kModels) {
        if (row.name != kModels.front().name) message += ", ";
        message += row.name;
    }
    raise_value(message);
    return {};
}

}  // namespace

std::optional<BuiltModel> build_model(const std::string& name, const SignalMatrix& signal,
                                      PyObject* params, bool extension) {
    for (const ModelRow& row : kModels) {
        if (row.name == name) return row.build(signal, params, extension);
    }
    return unknown_model(name);
}

}  // namespace marbolt::py
