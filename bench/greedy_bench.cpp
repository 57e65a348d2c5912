// Speed of the greedy searches on the l2 cost: binary segmentation and
// bottom-up merging (10 breakpoints, jump 1, min_size 2) and the sliding window
// (width 100, jump 1, fit then 10 breakpoints) on piecewise-constant Gaussian
// signals of 1e4 and 1e5 samples. Binseg and bottomup should grow near-linearly:
// the 1e5 run at most 15x the 1e4 run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "cost/cost.hpp"
#include "cost/cost_l2.hpp"
#include "detect/binseg.hpp"
#include "detect/bottomup.hpp"
#include "detect/window.hpp"

namespace {

using marbolt::cost::Cost;
using marbolt::cost::CostL2;
using marbolt::detect::StopRule;

constexpr std::size_t kJump = 1;
constexpr std::size_t kMinSize = 2;
constexpr std::size_t kWidth = 100;
const StopRule kTenBkps{10, {}, {}};

// Forwards to a model and counts error calls; the searches are single-threaded.
class CountingCost final : public Cost {
public:
    explicit CountingCost(const Cost& inner) : inner_(inner) {}
    std::size_t min_size() const noexcept override { return inner_.min_size(); }
    std::string_view model() const noexcept override { return inner_.model(); }
    double error(std::size_t start, std::size_t end) const override {
        ++calls_;
        return inner_.error(start, end);
    }
    std::uint64_t calls() const { return calls_; }

private:
    const Cost& inner_;
    mutable std::uint64_t calls_ = 0;
};

// Segments of 500 to 1500 samples (one change per 1000 on average) whose level
// moves by 2 to 5 noise deviations, plus unit Gaussian noise, from a fixed seed.
std::vector<double> piecewise_constant(std::size_t n) {
    std::mt19937_64 gen(20240612);
    std::normal_distribution<double> noise(0.0, 1.0);
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

template <class Search>
void run_counted(benchmark::State& state, Search search) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n);
    const CostL2 l2 = CostL2::build(x, n, 1);
    const CountingCost cost(l2);
    std::size_t n_bkps = 0;
    for (auto _ : state) {
        const std::vector<std::size_t> bkps = search(cost, n);
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["error_calls/s"] =
        benchmark::Counter(static_cast<double>(cost.calls()), benchmark::Counter::kIsRate);
}

void BM_BinsegL2(benchmark::State& state) {
    run_counted(state, [](const Cost& cost, std::size_t n) {
        return marbolt::detect::binseg(cost, n, kJump, kMinSize, kTenBkps);
    });
}
BENCHMARK(BM_BinsegL2)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BottomUpL2(benchmark::State& state) {
    run_counted(state, [](const Cost& cost, std::size_t n) {
        return marbolt::detect::bottomup(cost, n, kJump, kMinSize, kTenBkps);
    });
}
BENCHMARK(BM_BottomUpL2)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WindowL2(benchmark::State& state) {
    run_counted(state, [](const Cost& cost, std::size_t n) {
        const auto fit = marbolt::detect::window_fit(cost, n, kWidth, kJump);
        return marbolt::detect::window_seg(cost, n, fit.inds, fit.score, kWidth, kJump, kMinSize,
                                           kTenBkps);
    });
}
BENCHMARK(BM_WindowL2)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
