// What every benchmark shares: the test signal and a cost that counts its
// error calls, so each search reports error evaluations per second.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "cost/cost.hpp"
#include "cost/cost_l2.hpp"

namespace marbolt::bench {

// Forwards to a model and counts error calls; relaxed because only the total
// is read, after the search.
class CountingCost final : public cost::Cost {
public:
    explicit CountingCost(const cost::Cost& inner) : inner_(inner) {}
    std::size_t min_size() const noexcept override { return inner_.min_size(); }
    std::string_view model() const noexcept override { return inner_.model(); }
    double error(std::size_t start, std::size_t end) const override {
        calls_.fetch_add(1, std::memory_order_relaxed);
        return inner_.error(start, end);
    }
    std::uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

private:
    const cost::Cost& inner_;
    mutable std::atomic<std::uint64_t> calls_{0};
};

// Segments of 500 to 1500 samples (one change per 1000 on average) whose level
// moves by 2 to 5 noise deviations, plus unit Gaussian noise, from a fixed
// seed. Every change is clear, so the work per sample does not depend on n and
// runs at different n are comparable.
inline std::vector<double> piecewise_constant(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
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

// n_changes + 1 segments of (nearly) equal length whose level moves by 2 to 5
// noise deviations, plus unit Gaussian noise, from a fixed seed: few, long
// segments, where pruning keeps the most candidates alive.
inline std::vector<double> few_changes(std::size_t n, std::size_t n_changes, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> step(2.0, 5.0);
    std::bernoulli_distribution up(0.5);
    std::vector<double> x(n);
    double mean = 0.0;
    std::size_t segment = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t current = i * (n_changes + 1) / n;
        if (current != segment) {
            mean += up(gen) ? step(gen) : -step(gen);
            segment = current;
        }
        x[i] = mean + noise(gen);
    }
    return x;
}

// Times search(cost, n) on the l2 model of the signal of state.range(0)
// samples, and reports breakpoints found and error calls per second.
template <class Search>
void run_counted(benchmark::State& state, std::uint64_t seed, Search search) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = piecewise_constant(n, seed);
    const cost::CostL2 l2 = cost::CostL2::build(x, n, 1);
    const CountingCost counted(l2);
    std::size_t n_bkps = 0;
    for (auto _ : state) {
        const std::vector<std::size_t> bkps = search(counted, n);
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["error_calls/s"] =
        benchmark::Counter(static_cast<double>(counted.calls()), benchmark::Counter::kIsRate);
}

}  // namespace marbolt::bench
