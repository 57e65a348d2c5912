// The process-wide worker pool behind the one parallel step of the system, the
// dynamic-programming layer fill. A caller hands a batch of independent items
// to the pool and blocks until every item has run; items write only their own
// result slots, so results never depend on the number of threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/control.hpp"

namespace marbolt::parallel {

class WorkerPool {
public:
    // Starts `threads` workers (at least one). Throws std::system_error or
    // std::bad_alloc when the threads cannot be had.
    explicit WorkerPool(std::size_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The pool of this process, created on first use and sized by
    // default_pool_size(). A child made by fork() gets a fresh pool on its next
    // use: the parent's workers do not exist in the child.
    static WorkerPool& global();

    std::size_t size() const noexcept { return workers_.size(); }

    // Runs body(i) once for every i in [0, count) on the workers and returns when
    // all have finished. The first exception thrown by an item stops the items not
    // yet started and is rethrown here once no item is running any more. Safe to
    // call from several threads at once. Called from one of this pool's own
    // workers, it runs the items inline (queueing them would deadlock a pool of
    // one). With a control, the waiting caller polls it every few milliseconds;
    // when the poll throws, the items not yet started are skipped, the running
    // ones are asked to stop (through the control, which they poll) and, once
    // none runs any more, the poll's exception is rethrown here.
    template <class Body>
    void for_each_index(std::size_t count, Body&& body, Control* control = nullptr) {
        run_batch(count, &call_body<std::remove_reference_t<Body>>,
                  const_cast<void*>(static_cast<const void*>(&body)), control);
    }

private:
    struct Batch;
    using ItemFn = void (*)(void* context, std::size_t index);

    template <class Body>
    static void call_body(void* context, std::size_t index) {
        (*static_cast<Body*>(context))(index);
    }

    static void run_chunks(Batch& batch);
    void run_batch(std::size_t count, ItemFn fn, void* context, Control* control);
    static void wait_polling(Batch& batch, Control& control);
    void worker_loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Batch>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The text of a thread-count variable as a positive integer: decimal digits
// with an optional leading '+', nothing else (no spaces, no '-'), no overflow,
// not zero. Anything else is "not set".
std::optional<std::size_t> parse_thread_count(const char* text) noexcept;

// RAYON_NUM_THREADS when it holds a positive integer, else RAYON_RS_NUM_CPUS
// when it does, else available_cpus(); never below 1.
std::size_t default_pool_size();

// CPUs this process may use: its affinity mask, reduced by the cgroup CPU
// quota (v2 cpu.max or v1 cfs quota/period) rounded up; at least 1.
std::size_t available_cpus();

}  // namespace marbolt::parallel
