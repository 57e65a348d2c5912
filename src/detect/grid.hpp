// The breakpoint grid shared by every search, and the admissibility test that
// tells whether k jump-aligned breakpoints with segments of at least min_size
// fit into a prefix of the signal. Pure integer arithmetic that never wraps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace marbolt::detect {

// Below 2^53 every position is exact as a double, so a segment length may be
// formed as the difference of two converted positions.
inline constexpr std::size_t kExactPositions = std::size_t{1} << 53;

// True when n_bkps breakpoints, each a multiple of jump, fit into [0, n_samples)
// with every segment at least min_size long once gaps are rounded up to whole
// jumps. jump = 0 and any 64-bit overflow give false, never a wrapped value.
bool sanity_check(std::uint64_t n_samples, std::uint64_t n_bkps, std::uint64_t jump,
                  std::uint64_t min_size) noexcept;

// Number of jump-grid positions of a signal of n samples: ceil(n / jump).
// Computed as quotient plus one for a remainder, so it cannot overflow for any
// jump; a jump of 0 (never passed by a search) gives 0.
std::size_t grid_count(std::size_t n, std::size_t jump) noexcept;

// Jump grid: 0, jump, 2*jump, ... strictly below n (n itself never, even when it
// is a multiple of jump). Every position i*jump with i < grid_count(n, jump) is
// below n, so the stepping never wraps even for jump = 2^64 - 1.
std::vector<std::size_t> jump_grid(std::size_t n, std::size_t jump);

// Closed grid: the jump grid followed by n, the end that closes every
// segmentation and the only one that need not be a multiple of jump.
std::vector<std::size_t> closed_grid(std::size_t n, std::size_t jump);

}  // namespace marbolt::detect
