#include "detect/dynp.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <string>

#include "detect/grid.hpp"

namespace marbolt::detect {
namespace {

constexpr std::size_t kMaxSamples = DynpTables::kNoParent;
constexpr double kInf = std::numeric_limits<double>::infinity();

// One layer, indexed by closed-grid entry. Reach, not cost, decides whether an
// end can serve as a previous breakpoint: an end whose best total is +inf or
// NaN still has a parent and counts as reachable. char, not bool, so workers
// can write neighbouring entries without a data race.
struct Layer {
    std::vector<double> cost;
    std::vector<char> reach;
};

struct Candidate {
    std::size_t start;
    double cost;  // best cost of the prefix [0, start) in the previous layer
};

struct Item {
    double best = kInf;
    std::size_t parent = 0;
    bool found = false;
};

// Layer 0 is the single segment [0, p) for every closed-grid end p that is
// long enough.
Layer seed_first_layer(const cost::Cost& cost, const std::vector<std::size_t>& closed,
                       std::size_t min_size, WorkerPool& pool) {
    Layer layer{std::vector<double>(closed.size(), kInf), std::vector<char>(closed.size(), 0)};
    pool.for_each_index(closed.size(), [&](std::size_t j) {
        if (closed[j] < min_size) return;
        layer.cost[j] = cost.error(0, closed[j]);
        layer.reach[j] = 1;
    });
    return layer;
}

// Previous breakpoints for layer k: grid positions (never n, the last closed
// entry) reached by layer k - 1 at which k - 1 breakpoints fit. Filtering once
// per layer keeps unreachable positions out of every item's loop.
std::vector<Candidate> layer_candidates(const std::vector<std::size_t>& closed, const Layer& layer,
                                        std::size_t k_prev, std::size_t jump, std::size_t min_size) {
    std::vector<Candidate> candidates;
    for (std::size_t j = 0; j + 1 < closed.size(); ++j) {
        if (layer.reach[j] && sanity_check(closed[j], k_prev, jump, min_size))
            candidates.push_back({closed[j], layer.cost[j]});
    }
    return candidates;
}

Item best_split(const cost::Cost& cost, std::span<const Candidate> candidates, std::size_t end,
                std::size_t min_size) {
    Item item;
    for (const Candidate& c : candidates) {
        // Candidates ascend, so once one leaves less than min_size before `end`
        // every later one does too: stopping here skips exactly what a full
        // scan would skip.
        if (c.start >= end || end - c.start < min_size) break;
        const double total = cost.error(c.start, end) + c.cost;
        // Strictly greater: the smallest start wins a tie, and a NaN total
        // neither replaces a best nor, once first, is ever replaced.
        if (!item.found || item.best > total) item = {total, c.start, true};
    }
    return item;
}

// Turns the item results into the next layer and its parent array; false when
// no end is reachable, so that this and every later layer are empty.
bool settle_layer(const std::vector<Item>& items, Layer& layer, std::vector<std::uint32_t>& parents) {
    std::fill(layer.cost.begin(), layer.cost.end(), kInf);
    std::fill(layer.reach.begin(), layer.reach.end(), 0);
    parents.assign(items.size(), DynpTables::kNoParent);
    bool any = false;
    for (std::size_t j = 0; j < items.size(); ++j) {
        if (!items[j].found) continue;
        layer.cost[j] = items[j].best;
        layer.reach[j] = 1;
        parents[j] = static_cast<std::uint32_t>(items[j].parent);
        any = true;
    }
    return any;
}

}  // namespace

Result<DynpTables> dynp_tables(const cost::Cost& cost, std::size_t n, std::size_t n_bkps,
                               std::size_t jump, std::size_t min_size, WorkerPool& pool) {
    DynpTables tables;
    tables.n_samples = n;
    tables.jump = jump;
    tables.n_bkps = n_bkps;
    // Without breakpoints the answer is [n] whatever the signal: no layer is
    // built and nothing is tested, not even the length limit below.
    if (n_bkps == 0) return tables;
    if (n > kMaxSamples) {
        return value_error("dynp supports signals of at most 4294967295 samples, got " +
                           std::to_string(n));
    }
    // min_size 0 is served as 1: every segment must hold a sample. Passed
    // through, layer 0 would evaluate the empty segment [0, 0) and a result could
    // start with the breakpoint 0; as 1, a count is feasible exactly when
    // sanity_check(n, count, jump, 1) holds.
    min_size = std::max<std::size_t>(min_size, 1);

    const std::vector<std::size_t> closed = closed_grid(n, jump);
    Layer layer = seed_first_layer(cost, closed, min_size, pool);
    std::vector<Item> items(closed.size());
    // k never passes n_bkps, so the loop cannot wrap even for n_bkps = 2^64 - 1;
    // it ends at the first empty layer, at most one per grid position later.
    for (std::size_t k = 1;; ++k) {
        const std::vector<Candidate> candidates = layer_candidates(closed, layer, k - 1, jump, min_size);
        if (candidates.empty()) break;
        pool.for_each_index(closed.size(), [&](std::size_t j) {
            items[j] = best_split(cost, candidates, closed[j], min_size);
        });
        std::vector<std::uint32_t> parents;
        if (!settle_layer(items, layer, parents)) break;
        tables.parents.push_back(std::move(parents));
        if (k == n_bkps) break;
    }
    return tables;
}

std::optional<std::vector<std::size_t>> DynpTables::backtrack(std::size_t count) const {
    if (count > n_bkps || count > parents.size()) return std::nullopt;
    std::vector<std::size_t> bkps{n_samples};
    std::size_t position = n_samples;
    for (std::size_t k = count; k >= 1; --k) {
        const std::vector<std::uint32_t>& layer = parents[k - 1];
        const std::size_t entry = position == n_samples ? layer.size() - 1 : position / jump;
        const std::uint32_t parent = layer[entry];
        if (parent == kNoParent) return std::nullopt;
        bkps.push_back(parent);
        position = parent;
    }
    std::sort(bkps.begin(), bkps.end());
    bkps.erase(std::unique(bkps.begin(), bkps.end()), bkps.end());
    return bkps;
}

}  // namespace marbolt::detect
