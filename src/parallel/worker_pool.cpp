#include "parallel/worker_pool.hpp"

#include <sched.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/numeric.hpp"

namespace marbolt::parallel {

// One submitted batch. Shared by the submitter, the queue and every worker
// that picked it up, so no party can outlive the memory it touches.
struct WorkerPool::Batch {
    std::size_t count = 0;
    std::size_t chunk = 1;
    ItemFn fn = nullptr;
    void* context = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable done;
    std::size_t settled = 0;  // items run or skipped; guarded by mutex
    std::exception_ptr error;  // first item failure; guarded by mutex
};

namespace {

// The pool whose worker the current thread is, so a nested call runs inline.
thread_local const WorkerPool* t_current_pool = nullptr;

}  // namespace

// Claims chunks of the batch until none are left. Chunks are small enough
// (about eight per worker) that uneven items still balance across workers.
void WorkerPool::run_chunks(Batch& batch) {
    for (;;) {
        const std::size_t begin = batch.next.fetch_add(batch.chunk, std::memory_order_relaxed);
        if (begin >= batch.count) return;
        const std::size_t end = begin + std::min(batch.chunk, batch.count - begin);
        for (std::size_t i = begin; i < end; ++i) {
            if (batch.failed.load(std::memory_order_relaxed)) break;
            try {
                batch.fn(batch.context, i);
            } catch (...) {
                std::lock_guard lock(batch.mutex);
                if (!batch.error) batch.error = std::current_exception();
                batch.failed.store(true, std::memory_order_relaxed);
            }
        }
        std::lock_guard lock(batch.mutex);
        batch.settled += end - begin;
        if (batch.settled == batch.count) batch.done.notify_all();
    }
}

WorkerPool::WorkerPool(std::size_t threads) {
    threads = std::max<std::size_t>(threads, 1);
    workers_.reserve(threads);
    try {
        for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
        // Leave no running thread behind a constructor that failed.
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        throw;
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::worker_loop() {
    t_current_pool = this;
    for (;;) {
        std::shared_ptr<Batch> batch;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            batch = queue_.front();
        }
        run_chunks(*batch);
        // Every chunk is claimed: retire the batch so idle workers move on to the
        // next submitter's batch.
        std::lock_guard lock(mutex_);
        if (!queue_.empty() && queue_.front() == batch) queue_.pop_front();
    }
}

// How long a caller waits for its batch between two polls of its control:
// short enough that a stop is seen at once, long enough to cost nothing.
constexpr auto kWaitSlice = std::chrono::milliseconds(10);

void WorkerPool::wait_polling(Batch& batch, Control& control) {
    std::unique_lock lock(batch.mutex);
    while (!batch.done.wait_for(lock, kWaitSlice, [&] { return batch.settled == batch.count; })) {
        // Polled without the batch's lock, which the workers need to settle
        // their chunks: the poll may take its time (a signal handler, say).
        lock.unlock();
        try {
            control.poll();
        } catch (...) {
            // Chunks not yet claimed are skipped; items that run stop at their
            // own next poll. The batch's memory is shared with the workers, so
            // this waits until none touches it any more.
            control.request_stop();
            batch.failed.store(true, std::memory_order_relaxed);
            lock.lock();
            batch.done.wait(lock, [&] { return batch.settled == batch.count; });
            throw;
        }
        lock.lock();
    }
}

void WorkerPool::run_batch(std::size_t count, ItemFn fn, void* context, Control* control) {
    if (count == 0) return;
    if (t_current_pool == this) {
        for (std::size_t i = 0; i < count; ++i) {
            if (control != nullptr) control->poll();
            fn(context, i);
        }
        return;
    }
    auto batch = std::make_shared<Batch>();
    batch->count = count;
    batch->chunk = std::max<std::size_t>(1, count / (8 * size()));
    batch->fn = fn;
    batch->context = context;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(batch);
    }
    wake_.notify_all();
    if (control != nullptr) {
        wait_polling(*batch, *control);
    } else {
        std::unique_lock lock(batch->mutex);
        batch->done.wait(lock, [&] { return batch->settled == batch->count; });
    }
    if (batch->error) std::rethrow_exception(batch->error);
}

namespace {

// The global pool is created on first use and deliberately never destroyed: a
// fork child must not join threads that only exist in its parent, so the child
// forgets (leaks) the inherited object and builds its own on next use.
std::mutex g_global_mutex;
std::atomic<WorkerPool*> g_global_pool{nullptr};

void before_fork() { g_global_mutex.lock(); }
void after_fork_parent() { g_global_mutex.unlock(); }
void after_fork_child() {
    g_global_pool.store(nullptr, std::memory_order_relaxed);
    g_global_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::global() {
    if (WorkerPool* pool = g_global_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(g_global_mutex);
    WorkerPool* pool = g_global_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        static bool fork_handlers_registered = false;
        if (!fork_handlers_registered) {
            pthread_atfork(before_fork, after_fork_parent, after_fork_child);
            fork_handlers_registered = true;
        }
        pool = std::make_unique<WorkerPool>(default_pool_size()).release();
        g_global_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

std::optional<std::size_t> parse_thread_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(*text - '0');
        const std::optional<std::size_t> tens = checked_mul(value, std::size_t{10});
        const std::optional<std::size_t> next = tens ? checked_add(*tens, digit) : std::nullopt;
        if (!next) return std::nullopt;
        value = *next;
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::size_t default_pool_size() {
    // An absurd request would fail to start its threads; cap it far above any
    // machine this runs on rather than fail the search.
    constexpr std::size_t kMaxThreads = 1024;
    // These variable names are kept: callers of the existing interface size the
    // pool with them.
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        if (auto count = parse_thread_count(std::getenv(name))) return std::min(*count, kMaxThreads);
    }
    return std::min(available_cpus(), kMaxThreads);
}

namespace {

std::size_t affinity_cpus() {
    // The mask grows until the kernel accepts its size (machines beyond 1024 CPUs).
    for (std::size_t sets = 1; sets <= 1024; sets *= 2) {
        std::vector<cpu_set_t> mask(sets);
        const std::size_t bytes = sets * sizeof(cpu_set_t);
        if (sched_getaffinity(0, bytes, mask.data()) == 0) {
            const int count = CPU_COUNT_S(bytes, mask.data());
            if (count > 0) return static_cast<std::size_t>(count);
            break;
        }
        if (errno != EINVAL) break;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

// ceil(quota / period) for a positive quota and period, else nothing.
std::optional<std::size_t> quota_cpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>(quota / period + (quota % period != 0 ? 1 : 0));
}

// cgroup v2: "max 100000" (no limit) or "200000 100000".
std::optional<std::size_t> read_cpu_max(const std::string& dir) {
    std::ifstream file(dir + "/cpu.max");
    std::string quota;
    long long period = 0;
    if (!(file >> quota >> period) || quota == "max") return std::nullopt;
    try {
        return quota_cpus(std::stoll(quota), period);
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

// cgroup v1: cpu.cfs_quota_us is -1 when unlimited.
std::optional<std::size_t> read_cfs_quota(const std::string& dir) {
    std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
    std::ifstream period_file(dir + "/cpu.cfs_period_us");
    long long quota = 0, period = 0;
    if (!(quota_file >> quota) || !(period_file >> period)) return std::nullopt;
    return quota_cpus(quota, period);
}

// The tightest quota on the path from the process's group up to the root of
// the hierarchy: a parent's limit binds its children too.
template <class Reader>
std::optional<std::size_t> tightest_quota(const std::string& root, std::string path, Reader read) {
    std::optional<std::size_t> best;
    for (;;) {
        if (auto cpus = read(root + path)) best = best ? std::min(*best, *cpus) : *cpus;
        if (path.empty() || path == "/") return best;
        const std::size_t slash = path.find_last_of('/');
        path.resize(slash == std::string::npos ? 0 : slash);
    }
}

bool lists_cpu_controller(const std::string& controllers) {
    std::stringstream list(controllers);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name == "cpu") return true;
    }
    return false;
}

// Lines of /proc/self/cgroup read "id:controllers:path"; v2 has id 0 and no
// controllers, v1 names "cpu" in its controller list.
std::optional<std::size_t> cgroup_cpus() {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    std::optional<std::size_t> best;
    auto keep = [&](std::optional<std::size_t> cpus) {
        if (cpus) best = best ? std::min(*best, *cpus) : *cpus;
    };
    while (std::getline(file, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            keep(tightest_quota("/sys/fs/cgroup", path, read_cpu_max));
        } else if (lists_cpu_controller(controllers)) {
            keep(tightest_quota("/sys/fs/cgroup/" + controllers, path, read_cfs_quota));
            if (controllers != "cpu") keep(tightest_quota("/sys/fs/cgroup/cpu", path, read_cfs_quota));
        }
    }
    return best;
}

}  // namespace

std::size_t available_cpus() {
    std::size_t cpus = affinity_cpus();
    if (auto quota = cgroup_cpus()) cpus = std::min(cpus, *quota);
    return std::max<std::size_t>(cpus, 1);
}

}  // namespace marbolt::parallel
