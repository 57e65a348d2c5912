#include "detect/dynp/dynp.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "common/numeric.hpp"
#include "cost/dispatch.hpp"
#include "detect/dynp/layer.hpp"
#include "detect/dynp/pipeline.hpp"
#include "cost/pruning_l1.hpp"
#include "cost/pruning_l2.hpp"
#include "cost/pruning_normal.hpp"
#include "detect/grid.hpp"
#include "detect/minimum.hpp"

namespace marbolt::detect {
namespace {

constexpr std::size_t kMaxSamples = DynpTables::kNoParent;

// Layer 0 is the single segment [0, p) for every closed-grid end p that is
// long enough.
template <class Model>
std::vector<Item> seed_first_layer(const Model& cost, const std::vector<std::size_t>& closed,
                                   std::size_t min_size, parallel::WorkerPool& pool, Control* control) {
    std::vector<Item> layer(closed.size());
    pool.for_each_index(
        closed.size(),
        [&](std::size_t j) {
            if (closed[j] < min_size) return;
            layer[j] = {cost.error(0, closed[j]), 0, true};
        },
        control);
    return layer;
}

template <class Model>
Item best_split(const Model& cost, std::span<const Candidate> candidates, std::size_t end,
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

// One layer's candidates for one-column l2 as flat arrays: each start's
// prefix sums are read once per layer, and an item's evaluation is a straight
// loop that the compiler vectorises (each lane rounds as the scalar operation
// of CostL2::error does).
struct L2Layer {
    std::vector<std::size_t> start;
    std::vector<double> start_d, s, q, cost;
};

void l2_columns(const std::vector<Candidate>& candidates, const cost::CostL2& l2, L2Layer& out) {
    const double* sum = l2.sums().data.data();
    const double* sum_sq = l2.sums_sq().data.data();
    out = {};
    for (const Candidate& c : candidates) {
        out.start.push_back(c.start);
        out.start_d.push_back(static_cast<double>(c.start));
        out.s.push_back(sum[c.start]);
        out.q.push_back(sum_sq[c.start]);
        out.cost.push_back(c.cost);
    }
}

// best_split for one-column l2: the same candidates, totals and choice.
Item best_split_l2(const L2Layer& c, const cost::CostL2& l2, std::size_t end,
                   std::size_t min_size) {
    // The candidates that leave at least min_size before end are a prefix of
    // the ascending list: exactly those the plain loop visits before it stops.
    if (end < min_size) return {};
    const std::size_t count = static_cast<std::size_t>(
        std::upper_bound(c.start.begin(), c.start.end(), end - min_size) - c.start.begin());
    if (count == 0) return {};
    // Per worker thread, so items allocate nothing once it has grown.
    thread_local std::vector<double> totals;
    totals.resize(count);
    const double e = static_cast<double>(end);
    const double s_end = l2.sums().data[end], q_end = l2.sums_sq().data[end];
    double* __restrict t = totals.data();
    for (std::size_t k = 0; k < count; ++k) {
        const double len = e - c.start_d[k];
        t[k] = cost::CostL2::column_cost(s_end - c.s[k], q_end - c.q[k], len) + c.cost[k];
    }
    const std::span<const double> all(totals);
    const std::size_t chosen = first_minimum(all, smallest(all));
    return {totals[chosen], c.start[chosen], true};
}

// Every item's best split of one layer, on the worker pool.
template <class Model>
void split_items(const Model& cost, const std::vector<Candidate>& candidates,
                 const std::vector<std::size_t>& closed, std::size_t min_size, parallel::WorkerPool& pool,
                 Control* control, std::vector<Item>& items) {
    if constexpr (std::is_same_v<Model, cost::CostL2>) {
        if (cost.dims() == 1 && closed.back() < kExactPositions) {
            L2Layer columns;
            l2_columns(candidates, cost, columns);
            pool.for_each_index(
                closed.size(), [&](std::size_t j) { items[j] = best_split_l2(columns, cost, closed[j], min_size); },
                control);
            return;
        }
    }
    pool.for_each_index(
        closed.size(), [&](std::size_t j) { items[j] = best_split(cost, candidates, closed[j], min_size); },
        control);
}

// Fills tables.parents layer by layer until n_bkps layers or the first empty one.
template <class Model>
void fill_layers(const Model& cost, const std::vector<std::size_t>& closed, std::size_t n_bkps,
                 std::size_t jump, std::size_t min_size, parallel::WorkerPool& pool, Control* control,
                 std::vector<Item> layer, DynpTables& tables) {
    std::vector<Item> next(closed.size());
    // k never passes n_bkps, so the loop cannot wrap even for n_bkps = 2^64 - 1;
    // it ends at the first empty layer, at most one per grid position later.
    for (std::size_t k = 1;; ++k) {
        if (control != nullptr) control->poll();
        const std::vector<Candidate> candidates = layer_candidates(closed, layer, k - 1, jump, min_size);
        if (candidates.empty()) break;
        split_items(cost, candidates, closed, min_size, pool, control, next);
        if (control != nullptr) control->add_done(closed.size());
        std::optional<std::vector<std::uint32_t>> parents = parents_of(next);
        if (!parents) break;
        tables.parents.push_back(std::move(*parents));
        std::swap(layer, next);
        if (k == n_bkps) break;
    }
}

// Functional pruning where a family of the model serves the signal, else
// the plain fill.
template <class Model>
void fill(const Model& cost, std::size_t n, std::size_t n_bkps, std::size_t jump, std::size_t min_size,
          parallel::WorkerPool& pool, const DynpOptions& options, DynpTables& tables) {
    const std::vector<std::size_t> closed = closed_grid(n, jump);
    Control* control = options.control;
    // Progress: the ends of every layer that can reach one.
    if (control != nullptr) control->add_total(saturating_mul(std::min(n_bkps, closed.size()), closed.size()));
    std::vector<Item> first = seed_first_layer(cost, closed, min_size, pool, control);
    const PlainLayer plain = [&](const std::vector<Candidate>& candidates, std::vector<Item>& items) {
        split_items(cost, candidates, closed, min_size, pool, control, items);
    };
    if (options.functional_pruning && n < kExactPositions &&
        // The layers record exact costs at every end, which only families
        // with exact totals give at the pace of a sweep.
        cost::with_pruning_family<cost::LayerTotals>(cost, n, [&](const auto& family) {
            const LayerSweeps sweeps = layer_sweeps(family);
            fill_pruned_layers({sweeps, closed, n_bkps, jump, min_size, control}, std::move(first), pool, plain,
                               options.evaluations, tables);
            return true;
        })) {
        return;
    }
    fill_layers(cost, closed, n_bkps, jump, min_size, pool, control, std::move(first), tables);
}

}  // namespace

Result<DynpTables> dynp_tables(const cost::Cost& cost, std::size_t n, std::size_t n_bkps,
                               std::size_t jump, std::size_t min_size, parallel::WorkerPool& pool,
                               const DynpOptions& options) {
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

    // The layer loop is compiled for the model's own class, so that the
    // items' error calls are direct rather than virtual.
    cost::visit_model(cost, [&](const auto& model) { fill(model, n, n_bkps, jump, min_size, pool, options, tables); });
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
