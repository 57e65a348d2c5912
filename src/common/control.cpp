#include "common/control.hpp"

#include <algorithm>
#include <limits>

namespace marbolt {
namespace {

// Polls aim at one every 0.5 to 2 ms: far below what a person notices, far
// above the cost of one clock reading (tens of nanoseconds). In microseconds,
// so that the halving is not rounded to nothing.
constexpr auto kShortestSpacing = std::chrono::microseconds(500);
constexpr auto kLongestSpacing = std::chrono::microseconds(2000);
// A budget never exceeds this, so that one poll's measurement, however
// wrong, cannot silence the next ones for long.
constexpr std::int64_t kLargestSpan = std::int64_t{1} << 30;

}  // namespace

Control::Control(Clock::duration check_every) noexcept
    : owner_(std::this_thread::get_id()), check_every_(check_every), next_check_(Clock::now() + check_every) {}

void Control::poll() {
    if (std::this_thread::get_id() == owner_) {
        const Clock::time_point now = Clock::now();
        if (now >= next_check_) {
            check();
            next_check_ = Clock::now() + check_every_;
        }
    }
    if (stop_requested()) throw Stopped();
}

Ticker::Ticker(Control* control) noexcept
    : control_(control), budget_(control != nullptr ? 0 : std::numeric_limits<std::int64_t>::max()),
      last_(control != nullptr ? Control::Clock::now() : Control::Clock::time_point{}) {}

Ticker::~Ticker() {
    if (control_ != nullptr && pending_ != 0) control_->add_done(pending_);
}

void Ticker::poll() {
    if (control_ == nullptr) {
        budget_ = std::numeric_limits<std::int64_t>::max();
        return;
    }
    control_->add_done(pending_);
    pending_ = 0;
    control_->poll();
    // Doubling or halving per poll settles within a few dozen polls from any
    // start, and the first poll comes after the first unit of work.
    const Control::Clock::time_point now = Control::Clock::now();
    const auto elapsed = now - last_;
    if (elapsed < kShortestSpacing) {
        span_ = std::min(span_ * 2, kLargestSpan);
    } else if (elapsed > kLongestSpacing) {
        span_ = std::max<std::int64_t>(span_ / 2, 1);
    }
    budget_ = span_;
    last_ = now;
}

}  // namespace marbolt
