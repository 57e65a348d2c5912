// Speed of the exact searches: PELT's plain search with l2 (jump 1, min_size 1,
// pen = 2 log n) and normal (min_size 2, pen = 3 log n, no small diagonal) on
// piecewise-constant Gaussian signals with 10 changes (n = 1e4 .. 1e6) and with
// one change per 1000 samples (1e5, 1e6), reporting segment costs evaluated per
// end; PELT on l2 as users get it, with functional pruning and the model's
// build, on long signals with one and with ten changes (n = 1e5 .. 1e7); PELT
// on l1 with functional pruning, the model's build included, with one change
// (n = 1e5, 1e6), and the penalised optimum (detect's path) on the same
// signal at 1e5; PELT as users get it on l2 with three columns and on
// normal, ten changes (n = 1e5, 1e6); dynp and dynp_all on long l2
// signals (n = 1e4 .. 1e6, 10 breakpoints, pruned layers); and the plain
// dynamic-programming fill (n = 2000, 5 breakpoints) on the
// process-wide pool, whose size is printed so that runs with
// RAYON_NUM_THREADS=1 and =2 can be compared. The models are used bare, as the
// engine passes them: a counting wrapper would hide their concrete class from
// the searches' dispatch.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_normal.hpp"
#include "common/control.hpp"
#include "detect/dynp/dynp.hpp"
#include "detect/optimum/optimum.hpp"
#include "cost/pruning_normal.hpp"
#include "detect/pelt/functional.hpp"
#include "detect/pelt/pelt.hpp"
#include "detect/pelt/tables.hpp"
#include "parallel/worker_pool.hpp"

namespace {

using marbolt::bench::CountingCost;
using marbolt::bench::piecewise_constant;
using marbolt::cost::CostL1;
using marbolt::cost::CostL2;
using marbolt::cost::CostNormal;

constexpr std::uint64_t kSeed = 20240611;

// Signal kind 0: 10 changes; kind 1: one change per 1000 samples.
std::vector<double> signal(std::size_t n, std::int64_t kind) {
    return kind == 0 ? marbolt::bench::few_changes(n, 10, kSeed) : piecewise_constant(n, kSeed);
}

template <class Model>
void run_pelt(benchmark::State& state, const Model& model, std::size_t n, std::size_t min_size,
              double pen) {
    std::size_t evaluations = 0;
    std::size_t n_bkps = 0;
    for (auto _ : state) {
        evaluations = 0;
        const auto bkps = marbolt::detect::pelt(
            model, n, 1, min_size, pen,
            {.functional_pruning = false, .evaluations = &evaluations});
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["evaluations"] = static_cast<double>(evaluations);
}

void BM_PeltL2(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(1));
    const std::vector<double> x = signal(n, state.range(0));
    const CostL2 l2 = CostL2::build(x, n, 1);
    run_pelt(state, l2, n, 1, 2.0 * std::log(static_cast<double>(n)));
}

void BM_PeltNormal(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(1));
    const std::vector<double> x = signal(n, state.range(0));
    const CostNormal normal = CostNormal::build(x, n, 1, false);
    run_pelt(state, normal, n, 2, 3.0 * std::log(static_cast<double>(n)));
}

void pelt_sizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t n : {10'000, 100'000, 1'000'000}) b->Args({0, n});
    for (std::int64_t n : {100'000, 1'000'000}) b->Args({1, n});
    b->ArgNames({"kind", "n"})->Unit(benchmark::kMillisecond)->Iterations(1);
}
BENCHMARK(BM_PeltL2)->Apply(pelt_sizes);
BENCHMARK(BM_PeltNormal)->Apply(pelt_sizes);

// What detect() runs on a long one-column signal: l2 with functional pruning,
// sigma = 1, pen = 2 log n, the model built (the engine's part) each time.
void BM_PeltL2Long(benchmark::State& state) {
    const auto changes = static_cast<std::size_t>(state.range(0));
    const auto n = static_cast<std::size_t>(state.range(1));
    const std::vector<double> x = marbolt::bench::few_changes(n, changes, kSeed);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    std::size_t evaluations = 0, n_bkps = 0;
    for (auto _ : state) {
        evaluations = 0;
        const CostL2 l2 = CostL2::build(x, n, 1);
        const auto bkps = marbolt::detect::pelt(l2, n, 1, 1, pen, {.evaluations = &evaluations});
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["evaluations"] = static_cast<double>(evaluations);
}
// Short runs are repeated for a steadier time; the long ones run once, three
// times over, and the report keeps the fastest (the least disturbed by the
// host).
BENCHMARK(BM_PeltL2Long)
    ->ArgsProduct({{1, 10}, {100'000}})
    ->ArgNames({"changes", "n"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeltL2Long)
    ->ArgsProduct({{1, 10}, {1'000'000, 10'000'000}})
    ->ArgNames({"changes", "n"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

// An l1 search as users get it: the model built (the engine's part) and the
// search, one change in the middle, sigma = 1, pen = 2 log n, jump 1,
// min_size 2.
template <class Search>
void l1_long(benchmark::State& state, Search search) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = marbolt::bench::few_changes(n, 1, kSeed);
    std::size_t evaluations = 0, n_bkps = 0;
    for (auto _ : state) {
        evaluations = 0;
        const CostL1 l1 = CostL1::build(x, n, 1);
        const auto bkps = search(l1, n, 2.0 * std::log(static_cast<double>(n)), &evaluations);
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["evaluations"] = static_cast<double>(evaluations);
}

// PELT with functional pruning.
void BM_PeltL1Long(benchmark::State& state) {
    l1_long(state, [](const CostL1& l1, std::size_t n, double pen, std::size_t* evaluations) {
        return marbolt::detect::pelt(l1, n, 1, 2, pen, {.evaluations = evaluations});
    });
}
BENCHMARK(BM_PeltL1Long)->Arg(100'000)->Arg(1'000'000)->ArgName("n")->Unit(benchmark::kMillisecond)->Iterations(1);

// The package's detect path: the penalised optimum with l1's zero split
// bound, min_size 2 above jump 1 (the functional engine under the optimum's
// rule for marked starts).
void BM_OptimumL1Long(benchmark::State& state) {
    l1_long(state, [](const CostL1& l1, std::size_t n, double pen, std::size_t* evaluations) {
        return marbolt::detect::penalised_optimum(l1, n, 1, 2, pen, marbolt::cost::SplitBound{},
                                                  {.evaluations = evaluations});
    });
}
BENCHMARK(BM_OptimumL1Long)->Arg(100'000)->ArgName("n")->Unit(benchmark::kMillisecond)->Iterations(1);

// PELT as users get it on models whose plain search is quadratic on long
// segments: l2 on three columns (each column its own ten-change signal) and
// normal on one, ten changes, jump 1, the model built; functional pruning
// where a family serves the model. Model 0: l2 with 3 columns (min_size 1,
// pen 2 log n per column); model 1: normal (min_size 2, pen 3 log n) with the
// small diagonal, as the package builds it: without, a pair of near-equal
// samples prices at -inf (at 93769 in 1e5) and every F after it is -inf.
void BM_PeltColumnsLong(benchmark::State& state) {
    const auto model = state.range(0);
    const auto n = static_cast<std::size_t>(state.range(1));
    const std::size_t d = model == 0 ? 3 : 1;
    std::vector<double> x(n * d);
    for (std::size_t j = 0; j < d; ++j) {
        const std::vector<double> column = marbolt::bench::few_changes(n, 10, kSeed + j);
        for (std::size_t i = 0; i < n; ++i) x[i * d + j] = column[i];
    }
    const double log_n = std::log(static_cast<double>(n));
    std::size_t evaluations = 0, n_bkps = 0;
    for (auto _ : state) {
        evaluations = 0;
        std::vector<std::size_t> bkps;
        if (model == 0) {
            const CostL2 l2 = CostL2::build(x, n, d);
            bkps = marbolt::detect::pelt(l2, n, 1, 1, 2.0 * static_cast<double>(d) * log_n,
                                         {.evaluations = &evaluations});
        } else {
            const CostNormal normal = CostNormal::build(x, n, 1, true);
            bkps = marbolt::detect::pelt(normal, n, 1, 2, 3.0 * log_n, {.evaluations = &evaluations});
        }
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["evaluations"] = static_cast<double>(evaluations);
}
BENCHMARK(BM_PeltColumnsLong)
    ->ArgsProduct({{0, 1}, {100'000, 1'000'000}})
    ->ArgNames({"model", "n"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One-column normal on ten changes with the small diagonal, as the package
// builds it (the model's build outside the timing): search 0 is the plain
// loop, 1 functional pruning with the normal family from the start, 2 PELT
// as users get it (the plain loop until its list is long, then the family).
void BM_PeltNormalFamily(benchmark::State& state) {
    const bool functional = state.range(0) == 1;
    const auto n = static_cast<std::size_t>(state.range(1));
    const std::vector<double> x = marbolt::bench::few_changes(n, 10, kSeed);
    const CostNormal normal = CostNormal::build(x, n, 1, true);
    const double pen = 3.0 * std::log(static_cast<double>(n));
    std::size_t evaluations = 0, n_bkps = 0;
    for (auto _ : state) {
        evaluations = 0;
        marbolt::detect::PeltTables tables;
        if (state.range(0) == 2) {
            marbolt::detect::pelt(normal, n, 1, 2, pen, {.evaluations = &evaluations, .tables = &tables});
        } else if (functional) {
            const auto family = marbolt::cost::NormalColumnFamily::make(normal, n);
            if (!family || !marbolt::detect::functional_pelt_with(*family, normal, n, 1, 2, pen, tables, &evaluations)) {
                state.SkipWithError("the family declined");
                return;
            }
        } else {
            marbolt::detect::pelt(normal, n, 1, 2, pen,
                                  {.functional_pruning = false, .evaluations = &evaluations, .tables = &tables});
        }
        n_bkps = marbolt::detect::backtrack(tables, n, n, 1).size() - 1;
        benchmark::DoNotOptimize(tables.best.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["per_end"] = static_cast<double>(evaluations) / static_cast<double>(n);
}
BENCHMARK(BM_PeltNormalFamily)
    ->ArgsProduct({{0, 1, 2}, {10'000, 100'000, 1'000'000}})
    ->ArgNames({"search", "n"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The floor of a normal evaluation: one logarithm of a variance-like value,
// summed so the compiler must keep it. Reported per call.
void BM_BareLog(benchmark::State& state) {
    constexpr std::size_t n = 1 << 20;
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = 0.5 + static_cast<double>(i % 1000) * 0.013;
    for (auto _ : state) {
        double total = 0.0;
        for (double x : v) total = total + std::log(x);
        benchmark::DoNotOptimize(total);
    }
    state.counters["evaluations"] = static_cast<double>(n);
}
BENCHMARK(BM_BareLog)->Unit(benchmark::kMillisecond);

// The plain layer fill on the worker pool, which every model but one-column
// l2 uses. The model is used bare here: a shared counter bumped from both
// workers would serialise them on one cache line. The calls of one fill are
// counted once, outside the timed loop, and every fill makes the same calls.
void BM_DynpL2(benchmark::State& state) {
    constexpr std::size_t n = 2000;
    const std::vector<double> x = piecewise_constant(n, kSeed);
    const CostL2 l2 = CostL2::build(x, n, 1);
    marbolt::parallel::WorkerPool& pool = marbolt::parallel::WorkerPool::global();
    const CountingCost counted(l2);
    (void)marbolt::detect::dynp_tables(counted, n, 5, 1, 2, pool);
    for (auto _ : state) {
        auto tables = marbolt::detect::dynp_tables(l2, n, 5, 1, 2, pool, {.functional_pruning = false});
        benchmark::DoNotOptimize(tables->parents.data());
    }
    state.counters["pool_threads"] = static_cast<double>(pool.size());
    state.counters["evaluations"] = static_cast<double>(counted.calls());
}
BENCHMARK(BM_DynpL2)->Unit(benchmark::kMillisecond)->UseRealTime();

// What dynp and dynp_all run on a long one-column l2 signal: the pruned layer
// fill, 10 breakpoints, jump 1, min_size 2, on sigma = 1 noise around 11
// levels. dynp_all adds the backtrack of every count.
void BM_DynpL2Long(benchmark::State& state) {
    const bool all = state.range(0) != 0;
    const auto n = static_cast<std::size_t>(state.range(1));
    constexpr std::size_t n_bkps = 10;
    const std::vector<double> x = marbolt::bench::few_changes(n, 10, kSeed);
    const CostL2 l2 = CostL2::build(x, n, 1);
    std::size_t evaluations = 0;
    for (auto _ : state) {
        evaluations = 0;
        const auto tables = marbolt::detect::dynp_tables(l2, n, n_bkps, 1, 2, marbolt::parallel::WorkerPool::global(),
                                                         {.evaluations = &evaluations});
        for (std::size_t count = all ? 1 : n_bkps; count <= n_bkps; ++count) {
            benchmark::DoNotOptimize(tables->backtrack(count));
        }
    }
    state.counters["evaluations"] = static_cast<double>(evaluations);
    state.counters["layers"] = static_cast<double>(n_bkps);
}
BENCHMARK(BM_DynpL2Long)
    ->ArgsProduct({{0, 1}, {10'000, 100'000}})
    ->ArgNames({"all", "n"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DynpL2Long)
    ->ArgsProduct({{0, 1}, {1'000'000}})
    ->ArgNames({"all", "n"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

// What polling a control costs the searches that poll most often, each run
// without a control and with one that never stops (a caller's control looks
// outside only every 50 ms, which this one skips): PELT with functional
// pruning (one change, n = 1e6), PELT's plain search and the penalised
// optimum's own loop (normal, min_size 5 > jump; one change per 1000, n =
// 1e5), and the pruned dynp layers (10 changes, 10 breakpoints, n = 1e5).
void BM_Controlled(benchmark::State& state) {
    const auto search = state.range(0);
    marbolt::Control never;
    marbolt::Control* control = state.range(1) != 0 ? &never : nullptr;
    const std::size_t n = search == 0 ? 1'000'000 : 100'000;
    const std::vector<double> x = search == 0   ? marbolt::bench::few_changes(n, 1, kSeed)
                                  : search == 3 ? marbolt::bench::few_changes(n, 10, kSeed)
                                                : piecewise_constant(n, kSeed);
    const CostL2 l2 = CostL2::build(x, n, 1);
    const CostNormal normal = CostNormal::build(x, n, 1, true);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    for (auto _ : state) {
        if (search == 0 || search == 1) {
            benchmark::DoNotOptimize(marbolt::detect::pelt(
                l2, n, 1, 1, pen, {.functional_pruning = search == 0, .control = control}));
        } else if (search == 2) {
            benchmark::DoNotOptimize(marbolt::detect::penalised_optimum(
                normal, n, 1, 5, 3.0 * pen, marbolt::cost::SplitBound{}, {.control = control}));
        } else {
            benchmark::DoNotOptimize(marbolt::detect::dynp_tables(
                l2, n, 10, 1, 2, marbolt::parallel::WorkerPool::global(), {.control = control}));
        }
    }
}
BENCHMARK(BM_Controlled)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->ArgNames({"search", "control"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = marbolt::parallel::WorkerPool::global().size();
    std::printf("worker pool size: %zu\n", threads);
    benchmark::AddCustomContext("worker_pool_size", std::to_string(threads));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
