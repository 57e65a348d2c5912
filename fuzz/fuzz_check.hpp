// The invariants every successful search result must meet, checked in every
// build type (NDEBUG does not remove them) and reported as a crash, which is
// what libFuzzer and the corpus replay both look for.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, \
                         #cond);                                                      \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

namespace marbolt::fuzz {

struct Expect {
    std::size_t n;
    std::size_t jump;      // every breakpoint but n is a multiple of it
    std::size_t min_size;  // the effective one: segments at least this long...
    bool sized = true;     // ...unless the search makes no such promise
};

// Strictly ascending, ends with n, no 0, on the jump grid; with more than one
// segment every segment holds at least min_size samples (a single segment is
// the whole signal, whatever its length).
inline void check_breakpoints(const std::vector<std::size_t>& bkps, const Expect& e) {
    if (e.n == 0) return;
    FUZZ_CHECK(!bkps.empty());
    FUZZ_CHECK(bkps.back() == e.n);
    std::size_t prev = 0;
    for (std::size_t k = 0; k < bkps.size(); ++k) {
        const std::size_t b = bkps[k];
        FUZZ_CHECK(b > prev);
        if (k + 1 < bkps.size()) FUZZ_CHECK(b % e.jump == 0);
        if (e.sized && bkps.size() > 1) FUZZ_CHECK(b - prev >= e.min_size);
        prev = b;
    }
}

}  // namespace marbolt::fuzz
