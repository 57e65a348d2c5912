// kernel_pelt: the penalised search of the kernel change-point method, for
// engines whose model offers kernel block sums.
#include "detect/kernel_pelt.hpp"
#include "lib/convert.hpp"
#include "lib/engine.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"

namespace marbolt::py {

namespace {

constexpr std::string_view kKernelPeltDoc =
    "The penalised mode of kernel change-point detection: PELT over every position on the "
    "engine's kernel block sums, minimising the segment costs plus `pen` per segment.";
constexpr Signature kKernelPelt{"", "kernel_pelt", {"engine", "pen", "min_size"}, {}, kKernelPeltDoc};
constexpr Signature kNativeKernelPelt{"", "kernel_pelt", {"engine", "pen", "min_size"}, {"control"},
                                      kKernelPeltDoc};

template <const Signature& sig>
PyObject* py_kernel_pelt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArgs a;
        EngineBorrow engine;
        double pen = 0.0;
        std::uint64_t min_size = 0;
        ControlObject* control = nullptr;
        if (!bind(sig, args, nargs, kwnames, a) || !to_engine(a, 0, engine) ||
            !to_real(a, 1, pen) || !to_count(a, 2, min_size) || !to_control(a, 3, control)) {
            return nullptr;
        }
        const cost::KernelBlocks* blocks = engine.cost().as_kernel_blocks();
        if (blocks == nullptr) return raise_value("kernel_pelt requires a kernel cost engine");
        if (min_size == 0) return raise_value("min_size must be at least 1");
        return run_unlocked(
            control, [&](Control* c) { return detect::kernel_pelt(*blocks, engine.n_samples(), min_size, pen, c); },
            to_int_list);
    });
}

}  // namespace

const ModuleFunction kernel_pelt_function{kKernelPelt, py_kernel_pelt<kKernelPelt>};
const ModuleFunction native_kernel_pelt_function{kNativeKernelPelt, py_kernel_pelt<kNativeKernelPelt>};

}  // namespace marbolt::py
