// The one object through which a caller stops a running search and learns
// how far it has come. Searches poll it at coarse intervals through a Ticker
// (about once a millisecond of work, whatever one unit of work costs); a stop
// unwinds the search with the exception Stopped, which takes the paths a
// failed allocation takes through the worker pool and the layer pipeline. A
// search given no control never polls and behaves exactly as without this.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>

namespace marbolt {

// Unwinds a search that its control asked to stop. Its owner (the boundary)
// knows why and reports that instead.
class Stopped : public std::exception {
public:
    const char* what() const noexcept override { return "the search was stopped"; }
};

class Control {
public:
    using Clock = std::chrono::steady_clock;

    // The thread that makes the control is its owner: the one that runs the
    // search, or waits for the pool that does, and the only one on which
    // check() runs.
    explicit Control(Clock::duration check_every = std::chrono::milliseconds(50)) noexcept;
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Any thread: every search polling this control stops at its next poll.
    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // Progress in the units of the search (the ends it settles): work
    // announced and work done, both only growing; a search that runs several
    // passes announces each pass as it starts. Any thread.
    void add_total(std::uint64_t units) noexcept { total_.fetch_add(units, std::memory_order_relaxed); }
    void add_done(std::uint64_t units) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }
    std::uint64_t total() const noexcept { return total_.load(std::memory_order_relaxed); }
    std::uint64_t done() const noexcept { return done_.load(std::memory_order_relaxed); }

    // Any thread that runs part of a search, or waits for one: throws Stopped
    // once a stop was requested. On the owner thread it first runs check()
    // when check_every has passed since the last time.
    void poll();

protected:
    // The owner's look outside the search (signals, a progress display). It
    // may throw Stopped, after request_stop() so that every other thread of
    // the search stops too.
    virtual void check() {}

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<std::uint64_t> done_{0};
    const std::thread::id owner_;
    const Clock::duration check_every_;
    Clock::time_point next_check_;  // read and written by the owner only
};

// Counts a search's work between polls of its control, one per thread that
// runs part of the search. It polls when its budget of work is spent and
// rescales the budget so that polls come about a millisecond apart: one
// clock reading per millisecond, whether a unit of work is a nanosecond (a
// table read) or a millisecond (a median over a long segment). Without a
// control it never polls.
class Ticker {
public:
    explicit Ticker(Control* control) noexcept;
    // Hands over the progress not yet reported.
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // `work` units of work done (segment costs evaluated) and `progress`
    // units of progress made since the last call.
    void tick(std::size_t work, std::size_t progress = 0) {
        pending_ += progress;
        budget_ -= static_cast<std::int64_t>(work);
        if (budget_ < 0) [[unlikely]] poll();
    }

private:
    void poll();

    Control* control_;
    std::int64_t budget_;
    std::int64_t span_ = 1;  // the budget that the last measurement asked for
    std::uint64_t pending_ = 0;
    Control::Clock::time_point last_;
};

}  // namespace marbolt
