// Sliding window: window_fit scores each grid centre by how much cutting its
// window there lowers the cost (three error calls per centre); window_seg takes
// the local maxima of those scores as breakpoints, best first, until the
// stopping rule holds. One fit can serve many predictions.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"
#include "common/result.hpp"
#include "detect/stop_rule.hpp"

namespace marbolt::detect {

struct WindowScores {
    std::vector<std::size_t> inds;
    std::vector<double> score;
};

// "width must be at least 2": a narrower window has empty halves.
Status check_window_width(std::size_t width);

// inds must have at least as many entries as score, and its entries must be
// distinct and lie strictly between 0 and n, so that each candidate splits the
// segment it falls in into two non-empty parts.
Status check_window_centres(std::size_t n, std::span<const std::size_t> inds,
                            std::span<const double> score);

// Centres c of the jump grid with half <= c < n - half (half = width / 2), each
// scored error(c - half, c + half) - (error(c - half, c) + error(c, c + half)),
// or 0.0 when the whole window costs -inf. A width below 2 (refused by
// check_window_width) gives no centres, so no empty segment is evaluated.
// Polls `control` when given and tells it the centres scored.
WindowScores window_fit(const cost::Cost& cost, std::size_t n, std::size_t width, std::size_t jump,
                        Control* control = nullptr);

// Neighbours compared on each side of a peak: max(width, 2 * min_size) /
// (2 * jump), at least 1. Computed in 128 bits, so a jump of 2^63 or more gives
// 1 instead of dividing by a wrapped zero; jump 0 is taken as 1.
std::size_t peak_reach(std::size_t width, std::size_t min_size, std::size_t jump) noexcept;

// Positions j (ascending) whose score is strictly above every score within
// `reach` positions on both sides, the list read circularly. With reach >=
// score.size() the neighbourhood contains j itself, so there is no peak.
std::vector<std::size_t> find_peaks(std::span<const double> score, std::size_t reach);

// Breakpoints (ascending, ending with n): peaks taken by descending score under
// the IEEE totalOrder, the larger centre first among equal scores. Requires
// what check_window_centres checks. Polls `control` when given.
std::vector<std::size_t> window_seg(const cost::Cost& cost, std::size_t n,
                                    std::span<const std::size_t> inds,
                                    std::span<const double> score, std::size_t width,
                                    std::size_t jump, std::size_t min_size, const StopRule& rule,
                                    Control* control = nullptr);

}  // namespace marbolt::detect
