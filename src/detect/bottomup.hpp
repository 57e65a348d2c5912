// Bottom-up merging: cut the signal into a fine partition by repeated
// near-midpoint halving, then repeatedly merge the adjacent pair whose merge
// raises the total cost the least until the stopping rule holds (Keogh et al.
// 2001). O(m log m) for m leaves, apart from the epsilon rule's running total.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"
#include "detect/stop_rule.hpp"

namespace marbolt::detect {

struct MergeChildren {
    std::size_t left_start;
    std::size_t left_end;
    std::size_t right_start;
    std::size_t right_end;
    double left_cost;
    double right_cost;
};

// One segment [start, end) of the partition or of a candidate merge; cost is
// error(start, end). Leaves of the fine partition have no children.
struct MergeNode {
    std::optional<MergeChildren> children;
    std::size_t start;
    std::size_t end;
    double cost;
};

// cost - (left cost + right cost); a merged cost of -inf gives +0.0 (and a
// leaf, having no children, 0.0). A NaN cost gives a NaN gain.
double merge_gain(const MergeNode& merged) noexcept;

// The split point of [s, e) in the fine partition: the multiple of jump
// (absolute, not relative to s) in [s + min_size, e - min_size], below e, whose
// float distance |p - mid| to mid = double(s + e) * 0.5 is smallest; the
// smaller point wins a tie. Found by bisection over the multiples, which gives
// the same point as scanning every integer of [s, e) in O(log((e - s) / jump)).
std::optional<std::size_t> fine_split(std::size_t s, std::size_t e, std::size_t jump,
                                      std::size_t min_size) noexcept;

struct MergeKey {
    std::size_t left_start;
    std::size_t left_end;
    std::size_t right_start;
    std::size_t right_end;
    bool operator==(const MergeKey&) const = default;
};

// Merged cost per (left span, right span), so each pair is evaluated at most
// once. Open addressing with linear probing in one power-of-two table: no
// allocation per entry, which would otherwise dominate the cost of a merge.
class MergeMemo {
public:
    void reserve(std::size_t n_entries);
    const double* find(const MergeKey& key) const noexcept;
    void insert(const MergeKey& key, double value);

private:
    // A key's left node is never empty, so a zero left end marks a free
    // slot: no flag, and 40 bytes a slot instead of 48, in a table that
    // outgrows the caches on long signals.
    struct Slot {
        MergeKey key;
        double value;
        bool used() const noexcept { return key.left_end != 0; }
    };
    std::size_t probe(const MergeKey& key) const noexcept;
    void rehash(std::size_t capacity);

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

struct BottomUp {
    const cost::Cost& cost;
    MergeMemo memo;
    std::size_t n_samples;
    std::size_t jump;
    std::size_t min_size;
    Control* control = nullptr;  // polled while the leaves are costed and merged

    // Leaves in ascending start, contiguous over [0, n_samples). Always halves
    // the longest segment (then the leftmost); growth ends for good at the
    // first segment that has no split point. Requires jump, min_size >= 1.
    std::vector<MergeNode> grow_tree();
    MergeNode merge(const MergeNode& left, const MergeNode& right);
    // Merges over the contiguous partition `nodes`; returns the ends of the
    // final nodes (ascending, ending with n_samples).
    std::vector<std::size_t> run(std::vector<MergeNode> nodes, const StopRule& rule);
};

// Breakpoints (ascending, ending with n). min_size 0 is taken as 1 (empty
// leaves would let the fine partition grow without end); jump 0 is taken as 1
// (callers refuse it before searching). An empty signal gives [0] without any
// cost evaluation. Polls `control` when given (it may stop the search with
// Stopped).
std::vector<std::size_t> bottomup(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                  std::size_t min_size, const StopRule& rule, Control* control = nullptr);

}  // namespace marbolt::detect
