#include "parallel/worker_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace marbolt::parallel {
namespace {

// Every index of [0, count) must run exactly once.
bool runs_each_index_once(WorkerPool& pool, std::size_t count) {
    std::vector<std::atomic<int>> hits(count);
    pool.for_each_index(count, [&](std::size_t i) { hits[i].fetch_add(1, std::memory_order_relaxed); });
    for (const auto& hit : hits) {
        if (hit.load() != 1) return false;
    }
    return true;
}

using BatchParam = std::tuple<std::size_t, std::size_t>;
class WorkerPoolBatch : public ::testing::TestWithParam<BatchParam> {};

TEST_P(WorkerPoolBatch, RunsEveryItemExactlyOnce) {
    const auto [threads, count] = GetParam();
    WorkerPool pool(threads);
    EXPECT_EQ(pool.size(), threads);
    EXPECT_TRUE(runs_each_index_once(pool, count));
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkerPoolBatch,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Values(0, 1, 7, 1000)));

TEST(WorkerPoolFailure, RethrowsTheItemExceptionAndStaysUsable) {
    WorkerPool pool(2);
    std::atomic<std::size_t> ran{0};
    EXPECT_THROW(pool.for_each_index(10000,
                                     [&](std::size_t i) {
                                         if (i == 13) throw std::bad_alloc();
                                         ran.fetch_add(1);
                                     }),
                 std::bad_alloc);
    EXPECT_LT(ran.load(), 10000u);
    EXPECT_THROW(pool.for_each_index(3, [](std::size_t) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_TRUE(runs_each_index_once(pool, 500));
}

TEST(WorkerPoolFailure, StopsTheItemsNotYetStarted) {
    WorkerPool pool(1);  // one worker runs the items in index order
    std::atomic<std::size_t> ran{0};
    EXPECT_THROW(pool.for_each_index(1000,
                                     [&](std::size_t i) {
                                         if (i == 13) throw std::runtime_error("item 13");
                                         ran.fetch_add(1);
                                     }),
                 std::runtime_error);
    EXPECT_EQ(ran.load(), 13u);
}

TEST(WorkerPoolConcurrency, SeveralSubmittersShareOnePool) {
    WorkerPool pool(2);
    std::atomic<int> failures{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                if (!runs_each_index_once(pool, 257)) failures.fetch_add(1);
            }
        });
    }
    for (std::thread& s : submitters) s.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(WorkerPoolConcurrency, NestedCallFromAWorkerRunsInline) {
    WorkerPool pool(1);  // queueing the inner batch would deadlock its only worker
    std::atomic<int> inner{0};
    pool.for_each_index(3, [&](std::size_t) { pool.for_each_index(4, [&](std::size_t) { inner.fetch_add(1); }); });
    EXPECT_EQ(inner.load(), 12);
}

TEST(WorkerPoolFork, ChildGetsAFreshGlobalPool) {
    ASSERT_TRUE(runs_each_index_once(WorkerPool::global(), 100));  // the parent's workers exist
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(30);  // a hang becomes SIGALRM instead of a stuck test
        const bool ok = runs_each_index_once(WorkerPool::global(), 100);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(runs_each_index_once(WorkerPool::global(), 100));
}

struct CountText {
    const char* text;
    std::optional<std::size_t> expected;
};

class ThreadCountText : public ::testing::TestWithParam<CountText> {};

TEST_P(ThreadCountText, AcceptsOnlyPositiveIntegers) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ThreadCountText,
    ::testing::Values(CountText{"4", 4}, CountText{"+4", 4}, CountText{"017", 17}, CountText{"0", std::nullopt},
                      CountText{"-1", std::nullopt}, CountText{" 4", std::nullopt}, CountText{"4x", std::nullopt},
                      CountText{"", std::nullopt}, CountText{"+", std::nullopt}, CountText{nullptr, std::nullopt},
                      CountText{"18446744073709551616", std::nullopt}));

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(PoolSize, FirstPositiveVariableWinsThenTheCpusThisProcessMayUse) {
    {
        ScopedEnv a("RAYON_NUM_THREADS", "3"), b("RAYON_RS_NUM_CPUS", "5");
        EXPECT_EQ(default_pool_size(), 3u);
    }
    {
        ScopedEnv a("RAYON_NUM_THREADS", "0"), b("RAYON_RS_NUM_CPUS", "5");
        EXPECT_EQ(default_pool_size(), 5u);
    }
    {
        ScopedEnv a("RAYON_NUM_THREADS", "many"), b("RAYON_RS_NUM_CPUS", nullptr);
        EXPECT_EQ(default_pool_size(), available_cpus());
    }
    EXPECT_GE(available_cpus(), 1u);
    EXPECT_LE(available_cpus(), static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_CONF)));
}

}  // namespace
}  // namespace marbolt::parallel
