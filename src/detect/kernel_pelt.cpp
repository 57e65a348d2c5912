#include "detect/kernel_pelt.hpp"

#include <algorithm>

namespace marbolt::detect {
namespace {

// D[t]: best penalised cost of the prefix [0, t); P[t]: start of its last
// segment; V[s]: D[s] + cost(s, t) for the end t being settled, which is what
// the pruning compares.
struct Tables {
    std::vector<double> best;
    std::vector<std::size_t> parent;
    std::vector<double> reach;
};

double segment_cost(const cost::KernelBlocks& blocks, std::size_t start, std::size_t end) {
    const double len = static_cast<double>(end - start);
    return blocks.diag_sum(start, end) - blocks.block_sum(start, end) / len;
}

// Prefixes shorter than 2 m cannot be split: one segment, parent 0. Those
// shorter than m get a value too but are never used as a previous breakpoint.
void seed_short_prefixes(const cost::KernelBlocks& blocks, std::size_t last, double pen,
                         Tables& tables) {
    for (std::size_t t = 1; t <= last; ++t) tables.best[t] = segment_cost(blocks, 0, t) + pen;
}

// The candidates for end t are s_low, then max(s_low + 1, m) .. t - m in
// increasing order; only a strictly smaller total replaces, so the first tried
// wins ties and a NaN total never replaces.
void settle_end(const cost::KernelBlocks& blocks, std::size_t t, std::size_t m,
                std::size_t s_low, double pen, Tables& tables) {
    tables.reach[s_low] = tables.best[s_low] + segment_cost(blocks, s_low, t);
    tables.best[t] = tables.reach[s_low] + pen;
    tables.parent[t] = s_low;
    for (std::size_t s = std::max(s_low + 1, m); s <= t - m; ++s) {
        tables.reach[s] = tables.best[s] + segment_cost(blocks, s, t);
        const double total = tables.reach[s] + pen;
        if (tables.best[t] > total) {
            tables.best[t] = total;
            tables.parent[t] = s;
        }
    }
}

// Drops starts from the left while they cannot beat D[t] even before their
// next segment's penalty. Position 0 is followed by m (1 .. m - 1 are never
// candidates). Stops at t - m + 1, the first start not evaluated for t, and at
// a NaN on either side.
std::size_t prune_left(const Tables& tables, std::size_t t, std::size_t m, std::size_t s_low) {
    while (s_low < t - m + 1 && tables.reach[s_low] >= tables.best[t]) {
        s_low = s_low == 0 ? m : s_low + 1;
    }
    return s_low;
}

// Parents from n down to 0; every parent is at most t - m, so the chain ends.
std::vector<std::size_t> backtrack(const Tables& tables, std::size_t n) {
    std::vector<std::size_t> bkps;
    std::size_t position = n;
    while (position != 0) {
        bkps.push_back(position);
        if (tables.parent[position] >= position) break;
        position = tables.parent[position];
    }
    std::reverse(bkps.begin(), bkps.end());
    return bkps;
}

}  // namespace

std::vector<std::size_t> kernel_pelt(const cost::KernelBlocks& blocks, std::size_t n,
                                     std::size_t min_size, double pen, Control* control) {
    const std::size_t m = std::max<std::size_t>(min_size, 1);
    Tables tables{std::vector<double>(n + 1, 0.0), std::vector<std::size_t>(n + 1, 0),
                  std::vector<double>(n + 1, 0.0)};
    // min(n, 2m - 1), written so that 2m cannot overflow.
    const bool splittable = m <= n / 2;
    seed_short_prefixes(blocks, splittable ? 2 * m - 1 : n, pen, tables);
    std::size_t s_low = 0;
    if (splittable) {
        if (control != nullptr) control->add_total(n - 2 * m + 1);
        Ticker ticker(control);
        for (std::size_t t = 2 * m; t <= n; ++t) {
            settle_end(blocks, t, m, s_low, pen, tables);
            ticker.tick(t - m - s_low + 1, 1);
            s_low = prune_left(tables, t, m, s_low);
        }
    }
    return backtrack(tables, n);
}

}  // namespace marbolt::detect
