#include "detect/grid.hpp"

#include <optional>

#include "common/numeric.hpp"

namespace marbolt::detect {

bool sanity_check(std::uint64_t n_samples, std::uint64_t n_bkps, std::uint64_t jump,
                  std::uint64_t min_size) noexcept {
    if (jump == 0) return false;
    if (n_bkps > n_samples / jump) return false;
    const std::uint64_t q = min_size / jump + (min_size % jump != 0 ? 1 : 0);
    // need = n_bkps * q * jump + min_size, in that order; an overflow would wrap
    // into a small value that passes the test, so it rejects instead.
    std::optional<std::uint64_t> need = checked_mul(n_bkps, q);
    if (need) need = checked_mul(*need, jump);
    if (need) need = checked_add(*need, min_size);
    return need && *need <= n_samples;
}

std::size_t grid_count(std::size_t n, std::size_t jump) noexcept {
    if (jump == 0) return 0;
    return n / jump + (n % jump != 0 ? 1 : 0);
}

std::vector<std::size_t> jump_grid(std::size_t n, std::size_t jump) {
    const std::size_t count = grid_count(n, jump);
    std::vector<std::size_t> grid(count);
    for (std::size_t i = 0; i < count; ++i) grid[i] = i * jump;
    return grid;
}

std::vector<std::size_t> closed_grid(std::size_t n, std::size_t jump) {
    std::vector<std::size_t> grid = jump_grid(n, jump);
    grid.push_back(n);
    return grid;
}

}  // namespace marbolt::detect
