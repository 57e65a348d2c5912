// Exact segmentation into a fixed number of segments by dynamic programming
// over the jump grid (Bellman's recursion, one layer per breakpoint). Each
// layer costs (grid size) x (live candidates) error calls and is filled on the
// worker pool; for one-column l2, functional pruning sweeps each layer's ends
// in order with a few dozen live candidates instead. Only the parent pointers
// of each layer are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"
#include "parallel/worker_pool.hpp"
#include "common/result.hpp"

namespace marbolt::detect {

struct DynpTables {
    // Parent entries are positions in 32 bits; all bits set means "none".
    static constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;

    // parents[k - 1][j]: the start of the last segment of the best split, with k
    // breakpoints, of the prefix ending at closed-grid entry j (positions j * jump,
    // then n_samples as the last entry), or kNoParent when there is none. Only
    // layers with at least one reachable end are stored: once a layer is empty,
    // every later one is too.
    std::vector<std::vector<std::uint32_t>> parents;
    std::size_t n_samples = 0;
    std::size_t jump = 1;
    // The number of layers asked for; counts above parents.size() (and up to
    // this) are known to have no segmentation.
    std::size_t n_bkps = 0;

    // The optimal breakpoint list with exactly `count` breakpoints, ending with
    // n_samples; absent when no such segmentation exists or count > n_bkps.
    // count = 0 gives [n_samples].
    std::optional<std::vector<std::size_t>> backtrack(std::size_t count) const;
};

struct DynpOptions {
    // Off: every layer is filled by the plain recursion, every candidate for
    // every end. It is the reference the pruned fill (dynp/pruned.hpp) is held
    // to, bit for bit.
    bool functional_pruning = true;
    // When given, the number of segment costs evaluated is added to it
    // (benchmarks read it); counted by the pruned fill only.
    std::size_t* evaluations = nullptr;
    // When given, polled as the layers fill (it may stop the fill with
    // Stopped, once no worker runs any part of it) and told the ends settled,
    // layer after layer.
    Control* control = nullptr;
};

// Fills the layers 1 .. n_bkps for the signal [0, n) of `cost`. jump >= 1 (the
// callers test it); min_size 0 is served as 1. The only error: n above
// 4294967295, which the 32-bit parent entries cannot hold. Throws
// std::bad_alloc when the tables do not fit in memory, and Stopped when the
// control of `options` stops it.
Result<DynpTables> dynp_tables(const cost::Cost& cost, std::size_t n, std::size_t n_bkps,
                               std::size_t jump, std::size_t min_size,
                               parallel::WorkerPool& pool = parallel::WorkerPool::global(),
                               const DynpOptions& options = {});

}  // namespace marbolt::detect
