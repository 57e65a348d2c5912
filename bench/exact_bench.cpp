// Speed of the exact searches on the l2 cost: PELT on piecewise-constant
// Gaussian signals of 1e4 to 1e6 samples (near-linear growth expected from
// pruning), and the dynamic-programming fill on the process-wide pool, whose
// size is printed so runs with RAYON_NUM_THREADS=1 and =2 can be compared.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "detect/dynp.hpp"
#include "detect/pelt.hpp"
#include "detect/pool.hpp"

namespace {

using marbolt::bench::CountingCost;
using marbolt::bench::piecewise_constant;
using marbolt::cost::CostL2;

constexpr std::uint64_t kSeed = 20240611;

// pen = 2 log(n) times the noise variance, which is 1.
void BM_PeltL2(benchmark::State& state) {
    const double pen = 2.0 * std::log(static_cast<double>(state.range(0)));
    marbolt::bench::run_counted(state, kSeed, [pen](const marbolt::cost::Cost& cost, std::size_t n) {
        return marbolt::detect::pelt(cost, n, 1, 2, pen);
    });
}
BENCHMARK(BM_PeltL2)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The model is used bare here: a shared counter bumped from both workers would
// serialise them on one cache line. The calls of one fill are counted once,
// outside the timed loop, and every fill makes the same calls.
void BM_DynpL2(benchmark::State& state) {
    constexpr std::size_t n = 2000;
    const std::vector<double> x = piecewise_constant(n, kSeed);
    const CostL2 l2 = CostL2::build(x, n, 1);
    marbolt::detect::WorkerPool& pool = marbolt::detect::WorkerPool::global();
    const CountingCost counted(l2);
    (void)marbolt::detect::dynp_tables(counted, n, 5, 1, 2, pool);
    for (auto _ : state) {
        auto tables = marbolt::detect::dynp_tables(l2, n, 5, 1, 2, pool);
        benchmark::DoNotOptimize(tables->parents.data());
    }
    state.counters["pool_threads"] = static_cast<double>(pool.size());
    state.counters["error_calls/s"] = benchmark::Counter(
        static_cast<double>(counted.calls()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DynpL2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = marbolt::detect::WorkerPool::global().size();
    std::printf("worker pool size: %zu\n", threads);
    benchmark::AddCustomContext("worker_pool_size", std::to_string(threads));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
