#include "lib/engine_models.hpp"

#include "parallel/worker_pool.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/py_ref.hpp"

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace marbolt::py {

namespace {

// params[key] by the dict's own lookup (a subclass's __missing__ is not
// called). Absent and None are the same; false means the lookup raised.
bool read_param(PyObject* params, std::string_view key, PyObject*& out) {
    out = nullptr;
    if (params == nullptr) return true;
    PyRef name = PyRef::steal(
        PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!name) return false;
    PyObject* value = PyDict_GetItemWithError(params, name.get());
    if (value == nullptr) return !PyErr_Occurred();
    if (value != Py_None) out = value;
    return true;
}

// The Python exception is set; the core only passes the error back.
Error reported() { return Error{ErrorKind::reported, {}}; }

// The entries of `params`, each converted the way the interpreter converts
// such a value; a failure keeps the interpreter's own exception, unprefixed.
class ParamsOptions final : public cost::Options {
public:
    explicit ParamsOptions(PyObject* params) : params_(params) {}

    Result<std::optional<bool>> flag(std::string_view key) override {
        PyObject* value = nullptr;
        if (!read_param(params_, key, value)) return reported();
        if (value == nullptr) return std::optional<bool>{};
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return reported();
        return std::optional<bool>{truth == 1};
    }

    Result<std::optional<double>> real(std::string_view key) override {
        PyObject* value = nullptr;
        if (!read_param(params_, key, value)) return reported();
        if (value == nullptr) return std::optional<double>{};
        double real = 0.0;
        if (!real_from(value, real)) return reported();
        return std::optional<double>{real};
    }

    Result<std::optional<std::uint64_t>> count(std::string_view key) override {
        PyObject* value = nullptr;
        if (!read_param(params_, key, value)) return reported();
        if (value == nullptr) return std::optional<std::uint64_t>{};
        std::uint64_t count = 0;
        if (!count_from(value, count)) return reported();
        return std::optional<std::uint64_t>{count};
    }

    // A matrix goes through the same intake as the signal, so its refusals
    // carry the same messages.
    Result<std::optional<cost::OptionMatrix>> matrix(std::string_view key) override {
        PyObject* value = nullptr;
        if (!read_param(params_, key, value)) return reported();
        if (value == nullptr) return std::optional<cost::OptionMatrix>{};
        if (!check_float64_array(value)) return reported();
        Result<SignalMatrix> matrix = as_matrix(value);
        if (!matrix) return matrix.error();
        return std::optional<cost::OptionMatrix>{
            cost::OptionMatrix{std::move(matrix->data), matrix->n, matrix->d}};
    }

    Result<std::optional<std::vector<double>>> reals(std::string_view key) override {
        PyObject* value = nullptr;
        if (!read_param(params_, key, value)) return reported();
        if (value == nullptr) return std::optional<std::vector<double>>{};
        std::vector<double> reals;
        if (!reals_from(value, reals)) return reported();
        return std::optional<std::vector<double>>{std::move(reals)};
    }

private:
    PyObject* params_;
};

// The kernel table fill's independent pieces run on the worker pool, like the
// dynp layers; the table is the same bits on any number of threads.
void on_worker_pool(std::size_t count, const std::function<void(std::size_t)>& body) {
    parallel::WorkerPool::global().for_each_index(count, body);
}

}  // namespace

std::optional<cost::BuiltModel> build_model(const std::string& name, const SignalMatrix& signal,
                                            PyObject* params, bool extension,
                                            cost::Catalogue catalogue) {
    ParamsOptions options(params);
    Result<cost::BuiltModel> model = cost::build_model(
        name, {signal.data, signal.n, signal.d}, options, extension, catalogue, on_worker_pool);
    if (!model) {
        raise(model.error());
        return {};
    }
    return std::move(*model);
}

}  // namespace marbolt::py
