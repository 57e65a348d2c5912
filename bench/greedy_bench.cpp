// Speed of the greedy searches on the l2 cost: binary segmentation and
// bottom-up merging (10 breakpoints, jump 1, min_size 2) and the sliding window
// (width 100, jump 1, fit then 10 breakpoints) on piecewise-constant Gaussian
// signals of 1e4 and 1e5 samples. Binseg and bottomup should grow near-linearly:
// the 1e5 run at most 15x the 1e4 run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench_support.hpp"
#include "detect/binseg.hpp"
#include "detect/bottomup.hpp"
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

}  // namespace

BENCHMARK_MAIN();
