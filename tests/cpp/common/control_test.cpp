// A control must stop every search at a poll, also through the worker pool
// and the layer pipeline, and leave every worker free and the pool usable; a
// control that never stops must leave every result as it is without one, and
// its progress must end at the total the search announced.
#include "common/control.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cost/cost_kernel.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_l2.hpp"
#include "crops/crops.hpp"
#include "detect/binseg.hpp"
#include "detect/bottomup.hpp"
#include "detect/dynp/dynp.hpp"
#include "detect/kernel_pelt.hpp"
#include "detect/optimum/optimum.hpp"
#include "detect/pelt/pelt.hpp"
#include "detect/window.hpp"
#include "parallel/worker_pool.hpp"

namespace marbolt {
namespace {

// Checks at every poll of the thread that made it, and stops at its k-th
// check (never for k = 0).
class StopAfter final : public Control {
public:
    explicit StopAfter(std::size_t k) : Control(std::chrono::nanoseconds(0)), left_(k) {}
    std::size_t checks() const noexcept { return checks_; }

private:
    void check() override {
        ++checks_;
        if (left_ != 0 && --left_ == 0) {
            request_stop();
            throw Stopped();
        }
    }
    std::size_t left_;
    std::size_t checks_ = 0;
};

// True when every worker takes part in one batch at the same time, so none is
// still busy with an earlier one.
bool every_worker_free(parallel::WorkerPool& pool) {
    std::atomic<std::size_t> arrived{0};
    std::atomic<bool> all{true};
    pool.for_each_index(pool.size(), [&](std::size_t) {
        arrived.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (arrived.load() < pool.size()) {
            if (std::chrono::steady_clock::now() > deadline) {
                all = false;
                return;
            }
            std::this_thread::yield();
        }
    });
    return all;
}

// Levels that change n_changes times, plus noise; `columns` interleaved.
std::vector<double> steps(std::size_t n, std::size_t columns, std::size_t n_changes, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(n * columns);
    for (std::size_t j = 0; j < columns; ++j) {
        double level = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % (n / (n_changes + 1)) == 0) level = 4.0 * noise(gen);
            x[i * columns + j] = level + noise(gen);
        }
    }
    return x;
}

using Flat = std::vector<std::size_t>;
using Search = std::function<Flat(Control*, parallel::WorkerPool&)>;

Flat flatten(const std::vector<std::optional<Flat>>& lists) {
    Flat flat;
    for (const auto& list : lists) {
        flat.push_back(list ? list->size() : 0);
        if (list) flat.insert(flat.end(), list->begin(), list->end());
    }
    return flat;
}

Flat dynp_counts(const cost::Cost& cost, std::size_t n, std::size_t n_bkps, std::size_t min_size, Control* control,
                 parallel::WorkerPool& pool) {
    const auto tables = detect::dynp_tables(cost, n, n_bkps, 1, min_size, pool, {.control = control});
    std::vector<std::optional<Flat>> found;
    for (std::size_t c = 0; c <= n_bkps; ++c) found.push_back(tables->backtrack(c));
    return flatten(found);
}

struct Case {
    std::string name;
    Search run;
    bool reports_progress;
};

// The models are built once and shared by every case.
struct Models {
    std::vector<double> long_x = steps(50000, 1, 10, 1);
    std::vector<double> short_x = steps(4000, 1, 6, 2);
    std::vector<double> pair_x = steps(3000, 2, 4, 3);
    cost::CostL2 long_l2 = cost::CostL2::build(long_x, 50000, 1);
    cost::CostL2 short_l2 = cost::CostL2::build(short_x, 4000, 1);
    cost::CostL2 pair_l2 = cost::CostL2::build(pair_x, 3000, 2);
    cost::CostL1 l1 = cost::CostL1::build(short_x, 4000, 1);
    cost::CostKernelLinear kernel = cost::CostKernelLinear::build(short_x, 4000, 1);
};

const Models& models() {
    static const Models m;
    return m;
}

std::vector<Case> cases() {
    const Models& m = models();
    const double pen = 2.0 * std::log(50000.0);
    detect::StopRule ten;
    ten.n_bkps = 10;
    detect::StopRule free;
    free.pen = 0.0;
    return {
        {"pelt_functional", [&m, pen](Control* c, parallel::WorkerPool&) {
             return detect::pelt(m.long_l2, 50000, 1, 1, pen, {.control = c});
         }, true},
        {"pelt_plain", [&m, pen](Control* c, parallel::WorkerPool&) {
             return detect::pelt(m.short_l2, 4000, 1, 3, pen, {.functional_pruning = false, .control = c});
         }, true},
        {"pelt_two_columns", [&m, pen](Control* c, parallel::WorkerPool&) {
             return detect::pelt(m.pair_l2, 3000, 2, 2, pen, {.control = c});
         }, true},
        {"optimum", [&m, pen](Control* c, parallel::WorkerPool&) {
             // min_size above jump: the search's own loop, not PELT's.
             return detect::penalised_optimum(m.short_l2, 4000, 1, 5, pen, cost::SplitBound{}, {.control = c});
         }, true},
        {"dynp_plain", [&m](Control* c, parallel::WorkerPool& pool) {
             return dynp_counts(m.pair_l2, 3000, 5, 2, c, pool);
         }, true},
        {"dynp_pipeline", [&m](Control* c, parallel::WorkerPool& pool) {
             return dynp_counts(m.long_l2, 50000, 10, 2, c, pool);
         }, true},
        {"crops", [&m](Control* c, parallel::WorkerPool&) {
             Flat flat;
             for (const crops::Row& row : crops::crops(m.short_l2, 4000, 5.0, 500.0, 1, 2, {.control = c})) {
                 flat.insert(flat.end(), row.bkps.begin(), row.bkps.end());
             }
             return flat;
         }, true},
        {"binseg", [&m, ten](Control* c, parallel::WorkerPool&) {
             return detect::binseg(m.pair_l2, 3000, 1, 2, ten, c);
         }, false},
        {"bottomup", [&m, ten](Control* c, parallel::WorkerPool&) {
             return detect::bottomup(m.pair_l2, 3000, 1, 2, ten, c);
         }, false},
        {"window", [&m, free](Control* c, parallel::WorkerPool&) {
             const detect::WindowScores fit = detect::window_fit(m.l1, 4000, 40, 1, c);
             return detect::window_seg(m.l1, 4000, fit.inds, fit.score, 40, 1, 2, free, c);
         }, true},
        {"kernel_pelt", [&m, pen](Control* c, parallel::WorkerPool&) {
             return detect::kernel_pelt(m.kernel, 4000, 2, pen, c);
         }, true},
    };
}

using Param = std::tuple<std::size_t, std::size_t>;  // case, worker threads

class EverySearch : public ::testing::TestWithParam<Param> {
protected:
    const Case& search() const {
        static const std::vector<Case> all = cases();
        return all[std::get<0>(GetParam())];
    }
    parallel::WorkerPool pool{std::get<1>(GetParam())};
};

TEST_P(EverySearch, GivesItsResultUnchangedUnderAControlThatNeverStops) {
    StopAfter never(0);
    EXPECT_EQ(search().run(&never, pool), search().run(nullptr, pool));
    EXPECT_GT(never.checks(), 0u);
    if (search().reports_progress) {
        EXPECT_GT(never.done(), 0u);
        EXPECT_EQ(never.done(), never.total());
    }
}

TEST_P(EverySearch, StopsAtTheKthPollAndLeavesEveryWorkerFree) {
    for (std::size_t k = 1; k <= 3; ++k) {
        StopAfter stop(k);
        EXPECT_THROW(search().run(&stop, pool), Stopped);
        EXPECT_EQ(stop.checks(), k);
        EXPECT_TRUE(every_worker_free(pool));
    }
    // Asked before it starts: it stops at its first poll, on whichever thread.
    StopAfter stopped(0);
    stopped.request_stop();
    EXPECT_THROW(search().run(&stopped, pool), Stopped);
    EXPECT_TRUE(every_worker_free(pool));
    StopAfter never(0);
    EXPECT_EQ(search().run(&never, pool), search().run(nullptr, pool));
}

INSTANTIATE_TEST_SUITE_P(Searches, EverySearch,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 11), ::testing::Values(1, 3)),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             static const std::vector<Case> all = cases();
                             return all[std::get<0>(info.param)].name + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_threads";
                         });

TEST(WorkerPoolControl, StopsItemsThatPollFromTheWaitingCaller) {
    parallel::WorkerPool pool(2);
    StopAfter stop(2);
    std::atomic<std::size_t> started{0};
    // Items that would run for minutes unless the control stops them.
    EXPECT_THROW(pool.for_each_index(
                     1000,
                     [&](std::size_t) {
                         started.fetch_add(1);
                         Ticker ticker(&stop);
                         for (std::size_t i = 0; i < std::size_t{1} << 40; ++i) ticker.tick(1);
                     },
                     &stop),
                 Stopped);
    EXPECT_LE(started.load(), 2u);
    EXPECT_TRUE(every_worker_free(pool));
}

TEST(TickerPolls, ComeWhenABudgetOfWorkIsSpentNotAtEveryUnit) {
    // Ten million cheap units take milliseconds; polls come about one per
    // millisecond of work, after a few dozen that size the budget.
    StopAfter count(0);
    {
        Ticker ticker(&count);
        for (std::size_t i = 0; i < 10'000'000; ++i) ticker.tick(1);
    }
    EXPECT_GT(count.checks(), 0u);
    EXPECT_LT(count.checks(), 100'000u);
}

TEST(TickerProgress, HandsOverWhatItCountedAndNeverPollsWithoutAControl) {
    StopAfter count(0);
    {
        Ticker ticker(&count);
        for (std::size_t i = 0; i < 1000; ++i) ticker.tick(0, 3);
    }
    EXPECT_EQ(count.done(), 3000u);
    EXPECT_EQ(count.checks(), 0u);  // no work, no poll
    Ticker quiet(nullptr);
    for (std::size_t i = 0; i < 1000; ++i) quiet.tick(1u << 20, 1);
}

}  // namespace
}  // namespace marbolt
