// Speed of the greedy searches on the l2 cost: binary segmentation and
// bottom-up merging (10 breakpoints, jump 1, min_size 2) and the sliding window
// (width 100, jump 1, fit then 10 breakpoints) on piecewise-constant Gaussian
// signals of 1e4 and 1e5 samples, and the CROPS penalty path (log n to
// 100 log n) at 1e5. Binseg and bottomup should grow near-linearly:
// the 1e5 run at most 15x the 1e4 run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bench_support.hpp"
#include "detect/binseg.hpp"
#include "detect/bottomup.hpp"
#include "crops/crops.hpp"
#include "detect/window.hpp"

namespace {

using marbolt::cost::Cost;
using marbolt::detect::StopRule;

constexpr std::size_t kJump = 1;
constexpr std::size_t kMinSize = 2;
constexpr std::size_t kWidth = 100;
const StopRule kTenBkps{10, {}, {}};

constexpr std::uint64_t kSeed = 20240612;

void BM_BinsegL2(benchmark::State& state) {
    marbolt::bench::run_counted(state, kSeed, [](const Cost& cost, std::size_t n) {
        return marbolt::detect::binseg(cost, n, kJump, kMinSize, kTenBkps);
    });
}
BENCHMARK(BM_BinsegL2)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BottomUpL2(benchmark::State& state) {
    marbolt::bench::run_counted(state, kSeed, [](const Cost& cost, std::size_t n) {
        return marbolt::detect::bottomup(cost, n, kJump, kMinSize, kTenBkps);
    });
}
BENCHMARK(BM_BottomUpL2)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WindowL2(benchmark::State& state) {
    marbolt::bench::run_counted(state, kSeed, [](const Cost& cost, std::size_t n) {
        const auto fit = marbolt::detect::window_fit(cost, n, kWidth, kJump);
        return marbolt::detect::window_seg(cost, n, fit.inds, fit.score, kWidth, kJump, kMinSize,
                                           kTenBkps);
    });
}
BENCHMARK(BM_WindowL2)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The penalty path from log n to 100 log n, each run a PELT search; the model
// is passed bare so that PELT is compiled for it, as the engine passes it.
void BM_CropsL2(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = marbolt::bench::piecewise_constant(n, kSeed);
    const marbolt::cost::CostL2 l2 = marbolt::cost::CostL2::build(x, n, 1);
    const double log_n = std::log(static_cast<double>(n));
    std::size_t rows = 0;
    for (auto _ : state) {
        const auto path = marbolt::crops::crops(l2, n, log_n, 100.0 * log_n, kJump, kMinSize);
        rows = path.size();
        benchmark::DoNotOptimize(path.data());
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_CropsL2)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
