#include "detect/bottomup.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <queue>
#include <tuple>
#include <utility>

#include "common/numeric.hpp"
#include "detect/grid.hpp"
#include "detect/ordf64.hpp"

namespace marbolt::detect {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// splitmix64's finaliser over the running hash: every input bit reaches the
// low bits that pick a slot of a power-of-two table.
std::size_t mix(std::size_t h, std::size_t v) noexcept {
    std::uint64_t z = h + v + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

struct Span {
    std::size_t start;
    std::size_t end;
};

// Heap order of the fine partition: the longest segment is split first, then
// the leftmost. Lengths are compared unsigned, so no length is negated into a
// wrapped 64-bit value.
struct SplitsLater {
    bool operator()(const Span& a, const Span& b) const noexcept {
        const std::size_t la = a.end - a.start;
        const std::size_t lb = b.end - b.start;
        return std::tuple(lb, a.start, a.end) > std::tuple(la, b.start, b.end);
    }
};

// Smallest k in [lo, hi) with pred(k), or hi; pred must be monotone.
template <class Pred>
std::size_t first_index(std::size_t lo, std::size_t hi, Pred pred) {
    while (lo < hi) {
        const std::size_t m = lo + (hi - lo) / 2;
        if (pred(m)) {
            hi = m;
        } else {
            lo = m + 1;
        }
    }
    return lo;
}

// The current partition as a doubly linked list over leaf slots: a node lives
// in the slot of its first leaf, so a merge unlinks one slot in O(1) instead of
// shifting the tail of a vector. Every node that enters the partition gets an
// id (leaves 0..m-1, then merged nodes in order), and the dead set is a flag
// per id: the partition only coarsens, so no span is ever a node twice and an
// id stands for its span.
struct Partition {
    std::vector<MergeNode> nodes;
    std::vector<std::size_t> ids;
    std::vector<std::size_t> prev;
    std::vector<std::size_t> next;
    std::vector<char> dead;
    std::size_t n_alive;

    explicit Partition(std::vector<MergeNode> leaves)
        : nodes(std::move(leaves)),
          ids(nodes.size()),
          prev(nodes.size()),
          next(nodes.size()),
          dead(nodes.size(), 0),
          n_alive(nodes.size()) {
        const std::size_t m = nodes.size();
        for (std::size_t i = 0; i < m; ++i) {
            ids[i] = i;
            prev[i] = i == 0 ? kNone : i - 1;
            next[i] = i + 1 == m ? kNone : i + 1;
        }
    }

    // Slot 0 always holds the first node: merges keep the left slot.
    std::size_t head() const noexcept { return nodes.empty() ? kNone : 0; }

    void merge_with_next(std::size_t slot, MergeNode merged) {
        const std::size_t gone = next[slot];
        dead[ids[slot]] = 1;
        dead[ids[gone]] = 1;
        ids[slot] = dead.size();
        dead.push_back(0);
        nodes[slot] = std::move(merged);
        next[slot] = next[gone];
        if (next[gone] != kNone) prev[next[gone]] = slot;
        --n_alive;
    }

    // Added in node order from -0.0, so an all-(-0.0) partition sums to -0.0.
    double total_cost() const {
        double total = -0.0;
        for (std::size_t i = head(); i != kNone; i = next[i]) total = total + nodes[i].cost;
        return total;
    }

    std::vector<std::size_t> ends() const {
        std::vector<std::size_t> bkps;
        bkps.reserve(n_alive);
        for (std::size_t i = head(); i != kNone; i = next[i]) bkps.push_back(nodes[i].end);
        return bkps;
    }
};

// A candidate merge of the node in `slot` with its successor, kept small: while
// neither child is dead they are exactly the nodes now in `slot` and after it,
// so the merged node is rebuilt from them when the candidate is applied.
struct Pending {
    double cost;
    std::size_t slot;
    std::size_t left_id;
    std::size_t right_id;
};

// Candidates come out by (gain under totalOrder, start), then oldest first:
// the same order as re-sorting one list stably after every batch of appends.
// `seq` indexes the pending merge.
struct Candidate {
    Ordf64 gain;
    std::size_t start;
    std::size_t seq;
};
struct ComesLater {
    bool operator()(const Candidate& a, const Candidate& b) const noexcept {
        return std::tie(a.gain, a.start, a.seq) > std::tie(b.gain, b.start, b.seq);
    }
};

class CandidateQueue {
public:
    void push(const MergeNode& merged, std::size_t slot, const Partition& partition) {
        heap_.push(Candidate{Ordf64{merge_gain(merged)}, merged.start, pending_.size()});
        const std::size_t right_id = partition.ids[partition.next[slot]];
        pending_.push_back(Pending{merged.cost, slot, partition.ids[slot], right_id});
    }
    bool empty() const noexcept { return heap_.empty(); }
    Pending pop() {
        const std::size_t seq = heap_.top().seq;
        heap_.pop();
        return pending_[seq];
    }

private:
    std::priority_queue<Candidate, std::vector<Candidate>, ComesLater> heap_;
    std::vector<Pending> pending_;
};

MergeNode rebuild(const Partition& partition, const Pending& pending) {
    const MergeNode& left = partition.nodes[pending.slot];
    const MergeNode& right = partition.nodes[partition.next[pending.slot]];
    const MergeChildren children{
        left.start, left.end, right.start, right.end, left.cost, right.cost};
    return MergeNode{children, left.start, right.end, pending.cost};
}

bool should_merge(const StopRule& rule, const Partition& partition, double gain) {
    // n_alive - 1 > n_bkps rather than n_alive > n_bkps + 1, which would wrap
    // for n_bkps = 2^64 - 1.
    return rule.decide([&](std::uint64_t n_bkps) { return partition.n_alive - 1 > n_bkps; },
                       [&](double pen) { return gain < pen; },
                       [&](double epsilon) { return partition.total_cost() < epsilon; });
}

}  // namespace

double merge_gain(const MergeNode& merged) noexcept {
    if (!merged.children) return 0.0;
    if (merged.cost == -kInf) return 0.0;
    return merged.cost - (merged.children->left_cost + merged.children->right_cost);
}

std::optional<std::size_t> fine_split(std::size_t s, std::size_t e, std::size_t jump,
                                      std::size_t min_size) noexcept {
    if (jump == 0 || s >= e || min_size > e - s) return std::nullopt;
    const std::size_t lo = s + min_size;
    const std::size_t hi = std::min(e - min_size, e - 1);
    if (lo > hi) return std::nullopt;
    // Indices k of the multiples k * jump in [lo, hi]; k * jump never exceeds hi.
    const std::size_t k_first = grid_count(lo, jump);
    const std::size_t k_end = hi / jump + 1;
    if (k_first >= k_end) return std::nullopt;
    // The sum is formed in 128 bits: identical to the 64-bit sum whenever that
    // does not wrap, and no midpoint near 0 when it would.
    const double mid = static_cast<double>(static_cast<u128>(s) + e) * 0.5;
    // offset(k) is non-decreasing in k (conversion and subtraction round
    // monotonically), so |offset| falls to its minimum and rises again; above
    // 2^53 several multiples can share one distance, and the scan keeps the
    // smallest of them.
    const auto offset = [&](std::size_t k) { return static_cast<double>(k * jump) - mid; };
    const std::size_t k_above =
        first_index(k_first, k_end, [&](std::size_t k) { return offset(k) > 0.0; });
    if (k_above == k_first) return k_first * jump;
    const std::size_t k_below = k_above - 1;
    const double below = offset(k_below);
    if (k_above < k_end && offset(k_above) < -below) return k_above * jump;
    const auto same_distance = [&](std::size_t k) { return offset(k) >= below; };
    return first_index(k_first, k_below, same_distance) * jump;
}

void MergeMemo::reserve(std::size_t n_entries) {
    // Load factor at most 1/2 keeps probe runs short.
    std::size_t capacity = 16;
    while (capacity / 2 < n_entries) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
}

const double* MergeMemo::find(const MergeKey& key) const noexcept {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[probe(key)];
    return slot.used() ? &slot.value : nullptr;
}

void MergeMemo::insert(const MergeKey& key, double value) {
    if (2 * (size_ + 1) > slots_.size()) reserve(size_ + 1);
    Slot& slot = slots_[probe(key)];
    if (slot.used()) return;
    slot = Slot{key, value};
    ++size_;
}

std::size_t MergeMemo::probe(const MergeKey& key) const noexcept {
    // The table is never full, so the probe always ends.
    const std::size_t mask = slots_.size() - 1;
    const std::size_t h =
        mix(mix(mix(mix(0, key.left_start), key.left_end), key.right_start), key.right_end);
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        if (!slots_[i].used() || slots_[i].key == key) return i;
    }
}

void MergeMemo::rehash(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    size_ = 0;
    for (const Slot& slot : old) {
        if (slot.used()) insert(slot.key, slot.value);
    }
}

std::vector<MergeNode> BottomUp::grow_tree() {
    // Every leaf holds at least min_size samples and all but the first start on
    // the jump grid, which bounds the leaf count; sizing the list once makes a
    // partition that cannot fit fail at once with bad_alloc.
    std::vector<Span> work;
    work.reserve(std::min(n_samples / std::max<std::size_t>(min_size, 1), grid_count(n_samples, jump)) + 1);
    work.push_back(Span{0, n_samples});
    for (;;) {
        const Span top = work.front();
        if (top.start >= top.end) break;
        const auto p = fine_split(top.start, top.end, jump, min_size);
        if (!p) break;
        std::pop_heap(work.begin(), work.end(), SplitsLater{});
        work.back() = Span{top.start, *p};
        std::push_heap(work.begin(), work.end(), SplitsLater{});
        work.push_back(Span{*p, top.end});
        std::push_heap(work.begin(), work.end(), SplitsLater{});
    }
    std::sort(work.begin(), work.end(), [](const Span& a, const Span& b) {
        return std::tie(a.start, a.end) < std::tie(b.start, b.end);
    });
    std::vector<MergeNode> leaves;
    leaves.reserve(work.size());
    Ticker ticker(control);
    for (const Span& span : work) {
        leaves.push_back(
            MergeNode{std::nullopt, span.start, span.end, cost.error(span.start, span.end)});
        ticker.tick(1);
    }
    return leaves;
}

MergeNode BottomUp::merge(const MergeNode& left, const MergeNode& right) {
    const MergeKey key{left.start, left.end, right.start, right.end};
    const double* known = memo.find(key);
    const double merged_cost = known ? *known : cost.error(left.start, right.end);
    if (!known) memo.insert(key, merged_cost);
    const MergeChildren children{
        left.start, left.end, right.start, right.end, left.cost, right.cost};
    return MergeNode{children, left.start, right.end, merged_cost};
}

std::vector<std::size_t> BottomUp::run(std::vector<MergeNode> nodes, const StopRule& rule) {
    // Each merge asks for at most two new pairs.
    memo.reserve(3 * nodes.size());
    Partition partition(std::move(nodes));
    CandidateQueue queue;
    Ticker ticker(control);
    const auto offer_pair = [&](std::size_t slot) {
        const std::size_t after = partition.next[slot];
        queue.push(merge(partition.nodes[slot], partition.nodes[after]), slot, partition);
    };
    for (std::size_t i = 0; i + 1 < partition.nodes.size(); ++i) offer_pair(i);
    // Stale candidates stay queued and are dropped when they surface, instead
    // of being searched for at every merge.
    while (!queue.empty()) {
        const Pending front = queue.pop();
        if (partition.dead[front.left_id] || partition.dead[front.right_id]) continue;
        MergeNode merged = rebuild(partition, front);
        if (!should_merge(rule, partition, merge_gain(merged))) break;
        partition.merge_with_next(front.slot, std::move(merged));
        const std::size_t before = partition.prev[front.slot];
        if (before != kNone) offer_pair(before);
        if (partition.next[front.slot] != kNone) offer_pair(front.slot);
        ticker.tick(2);
    }
    return partition.ends();
}

std::vector<std::size_t> bottomup(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                  std::size_t min_size, const StopRule& rule, Control* control) {
    if (n == 0) return {0};
    BottomUp search{
        cost, {}, n, std::max<std::size_t>(jump, 1), std::max<std::size_t>(min_size, 1), control};
    return search.run(search.grow_tree(), rule);
}

}  // namespace marbolt::detect
