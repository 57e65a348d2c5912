// Speed of every segment-cost model: error evaluations per second at d = 1 and
// d = 5 on random segments of 10 to 1000 samples, and PELT (jump 1, min_size
// the model's, pen = 2 log n) on a piecewise-constant signal. The O(1) models
// should all run within a small factor of l2; l1 is linear in the segment
// length, and the regression models decompose a small matrix per call. The
// prefix models' construction is timed next to one pass that reads the signal
// and writes tables of the same size.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "cost/cost_clinear.hpp"
#include "cost/cost_kernel.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_ar.hpp"
#include "cost/cost_linear.hpp"
#include "cost/cost_mahalanobis.hpp"
#include "cost/cost_normal.hpp"
#include "cost/cost_rank.hpp"
#include "detect/pelt/pelt.hpp"

namespace {

using marbolt::cost::Cost;
using Signal = std::span<const double>;

struct Model {
    std::string label;
    std::function<std::unique_ptr<Cost>(Signal, std::size_t, std::size_t)> build;
    // Shorter for l1 (O(L) per call) and ar (a 5 x 5 eigen-decomposition per call).
    std::size_t pelt_n;
};

std::vector<double> identity(std::size_t d) {
    std::vector<double> m(d * d, 0.0);
    for (std::size_t k = 0; k < d; ++k) m[k * d + k] = 1.0;
    return m;
}

template <class C, class... Options>
std::function<std::unique_ptr<Cost>(Signal, std::size_t, std::size_t)> plain(Options... options) {
    return [=](Signal x, std::size_t n, std::size_t d) -> std::unique_ptr<Cost> {
        return std::make_unique<C>(C::build(x, n, d, options...));
    };
}

std::vector<Model> models() {
    using namespace marbolt::cost;
    return {
        {"l1", plain<CostL1>(), 5'000},
        {"l2", plain<CostL2>(), 100'000},
        {"normal", plain<CostNormal>(true), 100'000},
        {"mahalanobis",
         [](Signal x, std::size_t n, std::size_t d) -> std::unique_ptr<Cost> {
             return std::make_unique<CostMahalanobis>(CostMahalanobis::build(x, n, d, identity(d)));
         },
         100'000},
        {"rank", plain<CostRank>(), 100'000},
        {"clinear", plain<CostCLinear>(), 100'000},
        {"linear",
         [](Signal x, std::size_t n, std::size_t d) -> std::unique_ptr<Cost> {
             return std::make_unique<CostLinear>(CostLinear::build(x, n, d));
         },
         100'000},
        {"ar",
         [](Signal x, std::size_t n, std::size_t d) -> std::unique_ptr<Cost> {
             return std::make_unique<CostAr>(CostAr::build(x, n, d, 4));
         },
         10'000},
        {"l2_extension", plain<CostKernelLinear>(), 100'000},
    };
}

// d interleaved piecewise-constant columns, each with its own changes.
std::vector<double> signal(std::size_t n, std::size_t d) {
    std::vector<double> x(n * d);
    for (std::size_t j = 0; j < d; ++j) {
        const std::vector<double> column = marbolt::bench::piecewise_constant(n, 20240613 + j);
        for (std::size_t i = 0; i < n; ++i) x[i * d + j] = column[i];
    }
    return x;
}

std::vector<std::pair<std::size_t, std::size_t>> random_segments(std::size_t n) {
    std::mt19937_64 gen(11);
    std::uniform_int_distribution<std::size_t> length(10, 1000);
    std::vector<std::pair<std::size_t, std::size_t>> segments(4096);
    for (auto& [start, end] : segments) {
        const std::size_t len = length(gen);
        start = std::uniform_int_distribution<std::size_t>(0, n - len)(gen);
        end = start + len;
    }
    return segments;
}

void error_rate(benchmark::State& state, const Model& model, std::size_t d) {
    constexpr std::size_t n = 100'000;
    const std::vector<double> x = signal(n, d);
    const std::unique_ptr<Cost> cost = model.build(x, n, d);
    const auto segments = random_segments(n);
    for (auto _ : state) {
        double total = 0.0;
        for (const auto& [start, end] : segments) total += cost->error(start, end);
        benchmark::DoNotOptimize(total);
    }
    state.counters["error_calls/s"] = benchmark::Counter(
        static_cast<double>(segments.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

// Construction of a model at n = 1e6 (its whole build: centring, tables).
void build_time(benchmark::State& state, const Model& model, std::size_t d) {
    constexpr std::size_t n = 1'000'000;
    const std::vector<double> x = signal(n, d);
    for (auto _ : state) {
        const std::unique_ptr<Cost> cost = model.build(x, n, d);
        benchmark::DoNotOptimize(cost.get());
    }
}

// The floor of a prefix build: one pass that reads the signal and writes a
// zero-initialised table of `words` entries per row (what the tables of a
// model hold), as the builds allocate theirs.
void one_pass(benchmark::State& state, std::size_t d, std::size_t words) {
    constexpr std::size_t n = 1'000'000;
    const std::vector<double> x = signal(n, d);
    std::vector<std::size_t> column(words);
    for (std::size_t k = 0; k < words; ++k) column[k] = k % d;
    for (auto _ : state) {
        std::vector<double> table((n + 1) * words, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            double* out = table.data() + (i + 1) * words;
            for (std::size_t k = 0; k < words; ++k) out[k] = x[i * d + column[k]];
        }
        benchmark::DoNotOptimize(table.data());
    }
}

// Table entries per row of the prefix models, d columns.
std::size_t table_words(const std::string& label, std::size_t d) {
    if (label == "l2") return 2 * d;
    if (label == "l2_extension") return d + 1;
    return d + d * d;  // normal, mahalanobis
}

void pelt(benchmark::State& state, const Model& model) {
    const std::size_t n = model.pelt_n;
    const std::vector<double> x = signal(n, 1);
    const std::unique_ptr<Cost> cost = model.build(x, n, 1);
    const marbolt::bench::CountingCost counted(*cost);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    std::size_t n_bkps = 0;
    for (auto _ : state) {
        const auto bkps = marbolt::detect::pelt(counted, n, 1, cost->min_size(), pen);
        n_bkps = bkps.size() - 1;
        benchmark::DoNotOptimize(bkps.data());
    }
    state.counters["bkps"] = static_cast<double>(n_bkps);
    state.counters["error_calls/s"] =
        benchmark::Counter(static_cast<double>(counted.calls()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Model> all = models();
    for (const Model& model : all) {
        for (const std::size_t d : {1, 5}) {
            benchmark::RegisterBenchmark(("BM_Error/" + model.label + "/d" + std::to_string(d)).c_str(),
                                         [&model, d](benchmark::State& s) { error_rate(s, model, d); })
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
        const bool prefix_model = model.label == "l2" || model.label == "normal" ||
                                  model.label == "mahalanobis" || model.label == "l2_extension";
        for (const std::size_t d : {1, 5}) {
            if (!prefix_model) break;
            const std::string suffix = model.label + "/d" + std::to_string(d);
            const std::size_t words = table_words(model.label, d);
            benchmark::RegisterBenchmark(("BM_Build/" + suffix).c_str(),
                                         [&model, d](benchmark::State& s) { build_time(s, model, d); })
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("BM_Pass/" + suffix).c_str(),
                                         [d, words](benchmark::State& s) { one_pass(s, d, words); })
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("BM_Pelt/" + model.label + "/" + std::to_string(model.pelt_n)).c_str(),
                                     [&model](benchmark::State& s) { pelt(s, model); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
