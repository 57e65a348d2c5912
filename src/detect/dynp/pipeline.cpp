#include "detect/dynp/pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>

#include "detect/dynp/pruned.hpp"

namespace marbolt::detect {
namespace {

// How often a layer tells the one after it how far it has come: often enough
// that the follower rarely waits, rarely enough that the notices cost little.
constexpr std::size_t kPublishEvery = 1024;

// One per cache line: a layer's worker writes its own run while the next
// layer's worker polls it.
struct alignas(64) LayerRun {
    std::vector<Item> items;
    std::atomic<std::size_t> settled{0};  // items[0 .. settled) are final
    std::size_t evaluations = 0;
    std::optional<std::vector<std::uint32_t>> parents;
    bool done = false;
};

// Thrown in a follower whose leader failed, to end its item quietly: the
// leader's own exception is the one the pool passes on.
struct Abandoned {};

class Pipeline {
public:
    Pipeline(const PipelineInputs& in, std::vector<Item> first, const PlainLayer& plain)
        : in_(in), plain_(plain), count_(std::min(in.n_bkps, in.closed.size()) + 1),
          layers_(std::make_unique<LayerRun[]>(count_)) {
        layers_[0].items = std::move(first);
        layers_[0].settled = in.closed.size();
    }

    // Layers are taken in order, so the one a worker waits for was taken
    // earlier and is running on another worker, or done: with one worker they
    // simply run one after the other.
    void run(parallel::WorkerPool& pool) {
        pool.for_each_index(
            std::min(pool.size(), count_ - 1),
            [&](std::size_t) {
                try {
                    for (std::size_t k = next_++; k < count_ && k <= first_empty_; k = next_++) run_layer(k);
                } catch (const Abandoned&) {
                }
            },
            in_.control);
    }

    // The stored layers: up to the first that reaches no end.
    void collect(DynpTables& tables, std::size_t* evaluations) {
        for (std::size_t k = 1; k < count_ && layers_[k].done && layers_[k].parents; ++k) {
            tables.parents.push_back(std::move(*layers_[k].parents));
            if (evaluations != nullptr) *evaluations += layers_[k].evaluations;
        }
    }

private:
    void run_layer(std::size_t k) {
        LayerRun& prev = layers_[k - 1];
        LayerRun& layer = layers_[k];
        try {
            layer.items.assign(in_.closed.size(), Item{});
            if (!sweep(k, prev, layer)) fill_plainly(k, prev, layer);
            layer.parents = parents_of(layer.items);
            layer.done = true;
            if (!layer.parents) lower_first_empty(k);
            // The last use of the items by this worker: the follower may free
            // them as soon as it has seen this.
            publish(layer, in_.closed.size());
            // Only this layer reads the one before; its worker is done with
            // it once it has published its last end.
            wait_for(prev, in_.closed.size());
            prev.items = {};
        } catch (...) {
            // Wake the follower, which would otherwise wait for this layer
            // forever: it sees the failure and abandons its own layer, which
            // in turn wakes the layer after it.
            failed_ = true;
            publish(layer, in_.closed.size());
            throw;
        }
    }

    // The pruned sweep; false when it refuses the layer.
    bool sweep(std::size_t k, const LayerRun& prev, LayerRun& layer) {
        const std::vector<std::size_t>& closed = in_.closed;
        const std::unique_ptr<LayerSweep> sweep = in_.sweeps();
        Ticker ticker(in_.control);
        std::size_t next = 0, ready = 0;  // ready: prev.items[0 .. ready) are known final
        for (std::size_t j = 0; j < closed.size(); ++j) {
            const std::size_t end = closed[j];
            // Each candidate enters at the first end that leaves min_size after
            // it; n, the last closed entry, is never one.
            while (next + 1 < closed.size() && end >= in_.min_size && closed[next] <= end - in_.min_size) {
                if (ready <= next) ready = wait_for(prev, next + 1);
                const Item& p = prev.items[next];
                if (p.found && sanity_check(closed[next], k - 1, in_.jump, in_.min_size) &&
                    !sweep->enter({closed[next], p.best})) {
                    return false;
                }
                ++next;
            }
            if (!sweep->settle(end, layer.items[j])) return false;
            ticker.tick(1);
            if ((j + 1) % kPublishEvery == 0) {
                publish(layer, j + 1);
                report(kPublishEvery);
            }
        }
        layer.evaluations = sweep->evaluations();
        report(closed.size() % kPublishEvery);
        return true;
    }

    // The plain recursion over the whole layer. The items already published
    // are the same as it would make, and the follower may be reading them, so
    // only the others are written.
    void fill_plainly(std::size_t k, const LayerRun& prev, LayerRun& layer) {
        wait_for(prev, in_.closed.size());
        std::vector<Item> items(in_.closed.size());
        plain_(layer_candidates(in_.closed, prev.items, k - 1, in_.jump, in_.min_size), items);
        const std::size_t published = layer.settled.load(std::memory_order_acquire);
        std::copy(items.begin() + static_cast<std::ptrdiff_t>(published), items.end(),
                  layer.items.begin() + static_cast<std::ptrdiff_t>(published));
        layer.evaluations = 0;
        report(in_.closed.size() - published);
    }

    // Progress goes by the ends a layer publishes, so that a layer refused
    // part way and filled plainly counts each end once.
    void report(std::size_t ends) const {
        if (in_.control != nullptr) in_.control->add_done(ends);
    }

    static void publish(LayerRun& layer, std::size_t settled) {
        layer.settled.store(settled, std::memory_order_release);
        layer.settled.notify_all();
    }

    // Returns how many of the layer's items are final, at least `count`.
    std::size_t wait_for(const LayerRun& layer, std::size_t count) const {
        std::size_t seen = layer.settled.load(std::memory_order_acquire);
        while (seen < count) {
            layer.settled.wait(seen, std::memory_order_acquire);
            seen = layer.settled.load(std::memory_order_acquire);
        }
        if (failed_) throw Abandoned{};
        return seen;
    }

    void lower_first_empty(std::size_t k) {
        std::size_t seen = first_empty_.load();
        while (k < seen && !first_empty_.compare_exchange_weak(seen, k)) {
        }
    }

    const PipelineInputs& in_;
    const PlainLayer& plain_;
    std::size_t count_;  // layers 0 .. count_ - 1; no more can reach an end
    std::unique_ptr<LayerRun[]> layers_;
    std::atomic<std::size_t> next_{1};
    std::atomic<std::size_t> first_empty_{~std::size_t{0}};
    std::atomic<bool> failed_{false};
};

}  // namespace

void fill_pruned_layers(const PipelineInputs& in, std::vector<Item> first, parallel::WorkerPool& pool,
                        const PlainLayer& plain, std::size_t* evaluations, DynpTables& tables) {
    if (in.n_bkps == 0 || in.closed.empty()) return;
    Pipeline pipeline(in, std::move(first), plain);
    pipeline.run(pool);
    pipeline.collect(tables, evaluations);
}

}  // namespace marbolt::detect
