// Tie-heavy pseudo-random segment costs for the greedy searches' comparisons
// with step-by-step reference versions.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "search_fakes.hpp"

namespace marbolt::testing {

// Small integers hashed from (seed, start, end), so that many gains tie
// exactly, with occasional -0.0, NaNs and infinities. One NaN pattern per seed:
// an operation on two different NaNs has an unspecified sign (the compiler may
// swap the operands of a sum), and inf - inf gives the default NaN (negative on
// x86-64), so +inf only appears together with that pattern.
inline double tie_heavy_value(std::uint64_t seed, std::size_t start, std::size_t end) {
    std::uint64_t h = seed ^ (start * 0x9e3779b97f4a7c15ULL) ^ (end * 0xc2b2ae3d27d4eb4fULL);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 29;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const bool negative_nan = ((seed >> 1) & 1) != 0;
    const double nan = std::bit_cast<double>(negative_nan ? std::uint64_t{0xfff8000000000000}
                                                          : std::uint64_t{0x7ff8000000000000});
    switch (h % 29) {
        case 0: return -0.0;
        case 1: return nan;
        case 2: return -inf;
        case 3: return negative_nan ? inf : -inf;
        default: return static_cast<double>(static_cast<int>((h >> 8) % 5) - 2);
    }
}

// A noisy piecewise-constant signal of n samples: levels 0..8 changing with
// probability 1/8, plus uniform noise in [0, 1) on a 0.01 grid.
inline std::vector<double> noisy_levels(std::mt19937_64& rng, std::size_t n) {
    std::vector<double> x(n);
    double level = 0.0;
    for (double& v : x) {
        if (rng() % 8 == 0) level = static_cast<double>(rng() % 9);
        v = level + static_cast<double>(rng() % 100) / 100.0;
    }
    return x;
}

// One random input for comparing a search with its step-by-step reference:
// even seeds give a noisy piecewise-constant signal under naive l2, odd seeds
// tie-heavy hashed costs (equal gains, signed zeros, NaNs, infinities).
struct RandomCase {
    std::uint64_t seed;
    std::mt19937_64 rng;
    std::size_t n, jump, min_size;
    FakeCost l2, hashed;

    RandomCase(std::uint64_t seed_, std::size_t max_n, std::size_t max_jump, std::size_t max_min_size)
        : seed(seed_),
          rng(seed_),
          n(1 + rng() % max_n),
          jump(1 + rng() % max_jump),
          min_size(1 + rng() % max_min_size),
          l2(n, naive_l2(noisy_levels(rng, n))),
          hashed(n, [s = seed_](std::size_t a, std::size_t b) { return tie_heavy_value(s, a, b); }) {}

    const cost::Cost& cost() const { return seed % 2 == 0 ? static_cast<const cost::Cost&>(l2) : hashed; }
    bool out_of_bounds() const { return l2.out_of_bounds() || hashed.out_of_bounds(); }
};

}  // namespace marbolt::testing
