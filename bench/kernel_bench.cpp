// Speed of the kernel costs: the rbf table fill next to a bare loop of the same
// n^2 exponentials (the fill's floor: everything else it does should cost
// little beside them), the default bandwidth's median of n^2 / 2 distances,
// and kernel PELT on the rbf table with candidates evaluated per second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "bench_support.hpp"
#include "cost/cost_kernel.hpp"
#include "detect/kernel_pelt.hpp"
#include "parallel/worker_pool.hpp"

namespace {

using marbolt::bench::piecewise_constant;
using marbolt::cost::CostKernel;

constexpr std::uint64_t kSeed = 20240611;

// The bandwidth the engine would choose, computed once outside the timings.
double bandwidth(const std::vector<double>& x) {
    return marbolt::cost::rbf_default_gamma(x, x.size(), 1);
}

// On the process-wide pool, as the engine builds it; the pool size is read
// from RAYON_NUM_THREADS, so runs with 1 and 2 threads can be compared.
void on_pool(std::size_t count, const std::function<void(std::size_t)>& body) {
    marbolt::parallel::WorkerPool::global().for_each_index(count, body);
}

void BM_RbfFill(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n, kSeed);
    const double gamma = bandwidth(x);
    for (auto _ : state) {
        const CostKernel model = CostKernel::rbf(x, n, 1, gamma, false, on_pool).model;
        benchmark::DoNotOptimize(model.block_sum(0, n));
    }
}
BENCHMARK(BM_RbfFill)->Arg(2000)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same n^2 arguments, clipped below as the fill clips them, summed into a
// value the compiler must keep; nothing is stored.
void BM_BareExp(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n, kSeed);
    const double gamma = bandwidth(x);
    for (auto _ : state) {
        double total = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t l = 0; l < n; ++l) {
                const double diff = x[i] - x[l];
                const double v = gamma * (diff * diff);
                total = total + std::exp(-(0.01 > v ? 0.01 : v));
            }
        }
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_BareExp)->Arg(2000)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DefaultGamma(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n, kSeed);
    for (auto _ : state) benchmark::DoNotOptimize(marbolt::cost::rbf_default_gamma(x, n, 1));
}
BENCHMARK(BM_DefaultGamma)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Forwards to the model's blocks and counts the candidates (one block sum
// each) that the search evaluates.
class CountingBlocks final : public marbolt::cost::KernelBlocks {
public:
    explicit CountingBlocks(const marbolt::cost::KernelBlocks& inner) : inner_(inner) {}
    double diag_sum(std::size_t start, std::size_t end) const noexcept override {
        return inner_.diag_sum(start, end);
    }
    double block_sum(std::size_t start, std::size_t end) const noexcept override {
        calls_.fetch_add(1, std::memory_order_relaxed);
        return inner_.block_sum(start, end);
    }
    std::uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

private:
    const marbolt::cost::KernelBlocks& inner_;
    mutable std::atomic<std::uint64_t> calls_{0};
};

void BM_KernelPeltRbf(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n, kSeed);
    const CostKernel model = CostKernel::rbf(x, n, 1, std::nullopt, false).model;
    const CountingBlocks counted(model);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    std::size_t n_bkps = 0;
    for (auto _ : state) {
        const std::vector<std::size_t> bkps = marbolt::detect::kernel_pelt(counted, n, 2, pen);
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["candidates/s"] =
        benchmark::Counter(static_cast<double>(counted.calls()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_KernelPeltRbf)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
