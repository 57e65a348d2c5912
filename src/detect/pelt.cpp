#include "detect/pelt.hpp"

#include <algorithm>
#include <limits>

#include "detect/grid.hpp"

namespace marbolt::detect {
namespace {

// Positions are kept as slots: a grid position p has slot p / jump and the end n
// has slot grid_count(n, jump), so the tables hold one entry per closed-grid
// entry whatever the jump. A candidate below 0 ("negative" in the recursion)
// is marked by kNegative and never evaluated.
constexpr std::size_t kNegative = std::numeric_limits<std::size_t>::max();

struct Subproblem {
    double total;
    std::size_t slot;
};

// Best penalised cost F and parent slot P of every prefix end reached so far;
// `known` tells an absent entry from every value (including NaN and inf).
struct Tables {
    std::vector<double> best;
    std::vector<std::size_t> parent;
    std::vector<char> known;
};

// Index of the first pair with the smallest total. Strictly greater replaces,
// so the smallest start wins ties and a NaN total never replaces a choice.
std::size_t first_minimum(const std::vector<Subproblem>& subproblems) {
    std::size_t chosen = 0;
    for (std::size_t k = 1; k < subproblems.size(); ++k) {
        if (subproblems[chosen].total > subproblems[k].total) chosen = k;
    }
    return chosen;
}

// Keeps A[k] when best + pen >= S[k].total, pairing the lists by position, not
// by candidate: with pen >= 0 every live candidate meets its own subproblem, and
// otherwise the pairing is still the defined behaviour. Entries beyond S drop.
// A NaN total or threshold fails the test, so the candidate is dropped.
void prune(std::vector<std::size_t>& alive, const std::vector<Subproblem>& subproblems,
           double threshold) {
    const std::size_t paired = std::min(alive.size(), subproblems.size());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < paired; ++k) {
        if (threshold >= subproblems[k].total) alive[kept++] = alive[k];
    }
    alive.resize(kept);
}

// Handles one end: evaluates every live candidate with a known prefix cost,
// records the best split of [0, end) and prunes.
void settle_end(const cost::Cost& cost, std::size_t end, std::size_t end_slot, std::size_t jump,
                double pen, Tables& tables, std::vector<std::size_t>& alive,
                std::vector<Subproblem>& subproblems) {
    subproblems.clear();
    for (std::size_t slot : alive) {
        if (slot == kNegative || !tables.known[slot]) continue;
        // Segment cost and penalty first, then the prefix cost.
        const double total = tables.best[slot] + (cost.error(slot * jump, end) + pen);
        subproblems.push_back({total, slot});
    }
    if (subproblems.empty()) return;
    const Subproblem chosen = subproblems[first_minimum(subproblems)];
    tables.best[end_slot] = chosen.total;
    tables.parent[end_slot] = chosen.slot;
    tables.known[end_slot] = 1;
    prune(alive, subproblems, chosen.total + pen);
}

// Follows parents from n down to (not including) position 0.
std::vector<std::size_t> backtrack(const Tables& tables, std::size_t n, std::size_t n_slot,
                                   std::size_t jump) {
    std::vector<std::size_t> bkps{n};
    std::size_t slot = n_slot;
    while (tables.known[slot]) {
        slot = tables.parent[slot];
        if (slot == 0) break;
        bkps.push_back(slot * jump);
    }
    std::sort(bkps.begin(), bkps.end());
    bkps.erase(std::unique(bkps.begin(), bkps.end()), bkps.end());
    return bkps;
}

}  // namespace

std::vector<std::size_t> pelt(const cost::Cost& cost, std::size_t n, std::size_t jump,
                              std::size_t min_size, double pen) {
    if (n == 0) return {};
    // min_size 0 is served as 1: every segment must hold a sample. Passed
    // through, position 0 would be an end, every grid end would be its own
    // candidate, and the empty segments [b, b) would be evaluated.
    min_size = std::max<std::size_t>(min_size, 1);
    const std::size_t n_slot = grid_count(n, jump);
    Tables tables{std::vector<double>(n_slot + 1, 0.0), std::vector<std::size_t>(n_slot + 1, 0),
                  std::vector<char>(n_slot + 1, 0)};
    tables.known[0] = 1;  // F[0] = 0.0: the empty prefix costs nothing.
    std::vector<std::size_t> alive;
    std::vector<Subproblem> subproblems;

    // Ends: grid positions of at least min_size, then n (even when n < min_size).
    // The candidate for end b is the slot of jump * floor((b - min_size) / jump),
    // written so that it cannot overflow nor point past b; below min_size it is
    // negative and only occupies its place in the list.
    auto visit = [&](std::size_t end, std::size_t end_slot) {
        alive.push_back(end >= min_size ? (end - min_size) / jump : kNegative);
        settle_end(cost, end, end_slot, jump, pen, tables, alive, subproblems);
    };
    for (std::size_t slot = grid_count(min_size, jump); slot < n_slot; ++slot) visit(slot * jump, slot);
    visit(n, n_slot);
    return backtrack(tables, n, n_slot, jump);
}

}  // namespace marbolt::detect
