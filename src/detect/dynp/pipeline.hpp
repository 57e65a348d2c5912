// The layers of the dynamic programming, each swept in order with functional
// pruning (dynp/pruned.hpp), run as a pipeline on the worker
// pool: layer k reads only the ends of layer k - 1 that lie at least min_size
// before its own current end, so it can follow layer k - 1 a little behind
// instead of waiting for it to finish. With two workers, two layers advance at
// once.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "detect/dynp/dynp.hpp"
#include "detect/dynp/layer.hpp"
#include "detect/dynp/pruned.hpp"
#include "parallel/worker_pool.hpp"

namespace marbolt::detect {

// The plain fill of one layer: every end's best split over every candidate.
using PlainLayer = std::function<void(const std::vector<Candidate>&, std::vector<Item>&)>;

struct PipelineInputs {
    const LayerSweeps& sweeps;
    const std::vector<std::size_t>& closed;
    std::size_t n_bkps, jump, min_size;
    Control* control = nullptr;  // polled by every layer's sweep and by the pool's wait
};

// Appends to tables.parents the layers 1 .. n_bkps grown from layer 0
// (`first`, one item per closed-grid end), stopping before the first layer
// that reaches no end, exactly as the plain fill does. A layer whose sweep
// refuses is filled by `plain` instead. Evaluations of the swept layers are
// added to `evaluations` when it is given.
void fill_pruned_layers(const PipelineInputs& in, std::vector<Item> first, parallel::WorkerPool& pool,
                        const PlainLayer& plain, std::size_t* evaluations, DynpTables& tables);

}  // namespace marbolt::detect
