// The exact searches and their admissibility test: sanity_check, pelt, dynp
// and dynp_all, and the package module's penalised optimum.
#include "detect/dynp/dynp.hpp"
#include "detect/grid.hpp"
#include "detect/optimum/optimum.hpp"
#include "detect/pelt/pelt.hpp"
#include "lib/convert.hpp"
#include "lib/engine.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"

#include <string>

namespace marbolt::py {

namespace {

constexpr Signature kSanityCheck{"", "sanity_check", {"n_samples", "n_bkps", "jump", "min_size"}};
constexpr Signature kPelt{"", "pelt", {"engine", "pen", "jump", "min_size"}};
constexpr Signature kDynp{"", "dynp", {"engine", "n_bkps", "jump", "min_size"}};
constexpr std::string_view kDynpAllDoc = "Every optimal segmentation from 1 to `n_bkps` breakpoints, from one pass.";
constexpr Signature kDynpAll{"", "dynp_all", {"engine", "n_bkps", "jump", "min_size"}, {}, kDynpAllDoc};
// The package module's forms take a `control` last (py_control.hpp).
constexpr Signature kNativePelt{"", "pelt", {"engine", "pen", "jump", "min_size"}, {"control"}};
constexpr Signature kNativeDynp{"", "dynp", {"engine", "n_bkps", "jump", "min_size"}, {"control"}};
constexpr Signature kNativeDynpAll{"", "dynp_all", {"engine", "n_bkps", "jump", "min_size"}, {"control"},
                                   kDynpAllDoc};
constexpr Signature kOptimum{
    "", "optimum", {"engine", "pen", "jump", "min_size"}, {"control"},
    "The segmentation with the smallest sum of (segment cost + `pen`), for every model: PELT's\n"
    "pruning only where the model's split bound allows it, never lost to `min_size`."};

using Breakpoints = std::vector<std::size_t>;

PyObject* py_sanity_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        std::uint64_t n_samples = 0, n_bkps = 0, jump = 0, min_size = 0;
        if (!bind(kSanityCheck, args, nargs, kwnames, a) || !to_count(a, 0, n_samples) ||
            !to_count(a, 1, n_bkps) || !to_count(a, 2, jump) || !to_count(a, 3, min_size)) {
            return nullptr;
        }
        return PyBool_FromLong(detect::sanity_check(n_samples, n_bkps, jump, min_size));
    });
}

struct PenalisedArgs {
    EngineBorrow engine;
    double pen = 0.0;
    std::uint64_t jump = 0, min_size = 0;
    ControlObject* control = nullptr;
};

bool convert_penalised_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PenalisedArgs& p) {
    BoundArgs a;
    return bind(sig, args, nargs, kwnames, a) && to_engine(a, 0, p.engine) && to_real(a, 1, p.pen) &&
           to_count(a, 2, p.jump) && to_count(a, 3, p.min_size) && to_control(a, 4, p.control) &&
           check_jump(p.jump);
}

Breakpoints pelt(const PenalisedArgs& p, Control* control) {
    return detect::pelt(p.engine.cost(), p.engine.n_samples(), p.jump, p.min_size, p.pen, {.control = control});
}

Breakpoints optimum(const PenalisedArgs& p, Control* control) {
    return detect::penalised_optimum(p.engine.cost(), p.engine.n_samples(), p.jump, p.min_size, p.pen,
                                     p.engine.engine().split_bound, {.control = control});
}

// pelt and optimum take the same arguments in the same order.
template <const Signature& sig, Breakpoints (*search)(const PenalisedArgs&, Control*)>
PyObject* py_penalised(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PenalisedArgs p;
        if (!convert_penalised_args(sig, args, nargs, kwnames, p)) return nullptr;
        return run_unlocked(p.control, [&](Control* control) { return search(p, control); }, to_int_list);
    });
}

struct DynpArgs {
    EngineBorrow engine;
    std::uint64_t n_bkps = 0, jump = 0, min_size = 0;
    ControlObject* control = nullptr;
};

bool convert_dynp_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, DynpArgs& out) {
    BoundArgs a;
    return bind(sig, args, nargs, kwnames, a) && to_engine(a, 0, out.engine) &&
           to_count(a, 1, out.n_bkps) && to_count(a, 2, out.jump) &&
           to_count(a, 3, out.min_size) && to_control(a, 4, out.control) && check_jump(out.jump);
}

Result<detect::DynpTables> fill_tables(const DynpArgs& d, Control* control) {
    return detect::dynp_tables(d.engine.cost(), d.engine.n_samples(), d.n_bkps, d.jump,
                               d.min_size, parallel::WorkerPool::global(), {.control = control});
}

template <const Signature& sig>
PyObject* py_dynp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        DynpArgs d;
        if (!convert_dynp_args(sig, args, nargs, kwnames, d)) return nullptr;
        using Found = Result<std::optional<Breakpoints>>;
        return run_unlocked(
            d.control,
            [&](Control* control) -> Found {
                Result<detect::DynpTables> tables = fill_tables(d, control);
                if (!tables) return tables.error();
                return tables->backtrack(d.n_bkps);
            },
            [&](const Found& found) -> PyObject* {
                if (!found) return raise(found.error());
                if (*found) return to_int_list(**found);
                return raise({ErrorKind::assertion,
                              "No admissible last breakpoints found. n_samples: " +
                                  std::to_string(d.engine.n_samples()) +
                                  ", n_bkps: " + std::to_string(d.n_bkps) + "."});
            });
    });
}

// Slot c - 1 holds the optimum with c breakpoints, or None. Counts beyond the
// last reachable layer are known to be None without any backtracking, so a
// huge n_bkps costs only the list itself.
PyObject* segmentations_by_count(const std::vector<std::optional<Breakpoints>>& found,
                                 std::uint64_t n_bkps) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_bkps)));
    if (!list) return nullptr;
    for (std::uint64_t c = 0; c < n_bkps; ++c) {
        PyObject* item = c < found.size() && found[c] ? to_int_list(*found[c])
                                                       : PyRef::borrow(Py_None).release();
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), item);
    }
    return list.release();
}

template <const Signature& sig>
PyObject* py_dynp_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        DynpArgs d;
        if (!convert_dynp_args(sig, args, nargs, kwnames, d)) return nullptr;
        // The result has one slot per count; refuse a list that cannot exist
        // before spending a search on it.
        if (d.n_bkps > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) {
            return PyErr_NoMemory();
        }
        using Found = Result<std::vector<std::optional<Breakpoints>>>;
        return run_unlocked(
            d.control,
            [&](Control* control) -> Found {
                Result<detect::DynpTables> tables = fill_tables(d, control);
                if (!tables) return tables.error();
                std::vector<std::optional<Breakpoints>> found;
                for (std::size_t c = 1; c <= tables->parents.size(); ++c) {
                    found.push_back(tables->backtrack(c));
                }
                return found;
            },
            [&](const Found& found) -> PyObject* {
                if (!found) return raise(found.error());
                return segmentations_by_count(*found, d.n_bkps);
            });
    });
}

}  // namespace

const ModuleFunction sanity_check_function{kSanityCheck, py_sanity_check};
const ModuleFunction pelt_function{kPelt, py_penalised<kPelt, pelt>};
const ModuleFunction dynp_function{kDynp, py_dynp<kDynp>};
const ModuleFunction dynp_all_function{kDynpAll, py_dynp_all<kDynpAll>};
const ModuleFunction native_pelt_function{kNativePelt, py_penalised<kNativePelt, pelt>};
const ModuleFunction native_dynp_function{kNativeDynp, py_dynp<kNativeDynp>};
const ModuleFunction native_dynp_all_function{kNativeDynpAll, py_dynp_all<kNativeDynpAll>};
const ModuleFunction optimum_function{kOptimum, py_penalised<kOptimum, optimum>};

}  // namespace marbolt::py
