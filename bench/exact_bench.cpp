// Speed of the exact searches on the l2 cost: PELT on piecewise-constant
// Gaussian signals of 1e4 to 1e6 samples (near-linear growth expected from
// pruning), and the dynamic-programming fill on the process-wide pool, whose
// size is printed so runs with RAYON_NUM_THREADS=1 and =2 can be compared.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cost/cost.hpp"
#include "cost/cost_l2.hpp"
#include "detect/dynp.hpp"
#include "detect/pelt.hpp"
#include "detect/pool.hpp"

namespace {

using marbolt::cost::Cost;
using marbolt::cost::CostL2;

constexpr double kNoiseVariance = 1.0;

// Forwards to a model and counts error calls; relaxed because only the total
// is read, after the search.
class CountingCost final : public Cost {
public:
    explicit CountingCost(const Cost& inner) : inner_(inner) {}
    std::size_t min_size() const noexcept override { return inner_.min_size(); }
    std::string_view model() const noexcept override { return inner_.model(); }
    double error(std::size_t start, std::size_t end) const override {
        calls_.fetch_add(1, std::memory_order_relaxed);
        return inner_.error(start, end);
    }
    std::uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

private:
    const Cost& inner_;
    mutable std::atomic<std::uint64_t> calls_{0};
};

// Segments of 500 to 1500 samples (one change per 1000 on average) whose
// level moves by 2 to 5 noise deviations, plus unit Gaussian noise, from a
// fixed seed. Every change is clear, so the work per sample does not depend on
// n and the PELT runs at different n are comparable.
std::vector<double> piecewise_constant(std::size_t n) {
    std::mt19937_64 gen(20240611);
    std::normal_distribution<double> noise(0.0, std::sqrt(kNoiseVariance));
    std::uniform_int_distribution<std::size_t> length(500, 1500);
    std::uniform_real_distribution<double> step(2.0, 5.0);
    std::bernoulli_distribution up(0.5);
    std::vector<double> x(n);
    double mean = 0.0;
    std::size_t next_change = length(gen);
    for (std::size_t i = 0; i < n; ++i) {
        if (i == next_change) {
            mean += up(gen) ? step(gen) : -step(gen);
            next_change += length(gen);
        }
        x[i] = mean + noise(gen);
    }
    return x;
}

void BM_PeltL2(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n);
    const CostL2 l2 = CostL2::build(x, n, 1);
    const CountingCost cost(l2);
    const double pen = 2.0 * std::log(static_cast<double>(n)) * kNoiseVariance;
    std::size_t n_bkps = 0;
    for (auto _ : state) {
        const std::vector<std::size_t> bkps = marbolt::detect::pelt(cost, n, 1, 2, pen);
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["error_calls/s"] = benchmark::Counter(static_cast<double>(cost.calls()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PeltL2)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The model is used bare here: a shared counter bumped from both workers would
// serialise them on one cache line. The calls of one fill are counted once,
// outside the timed loop, and every fill makes the same calls.
void BM_DynpL2(benchmark::State& state) {
    constexpr std::size_t n = 2000;
    const std::vector<double> x = piecewise_constant(n);
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
