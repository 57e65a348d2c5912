#include "common/numeric.hpp"
#include "detect/pelt/pelt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <type_traits>

#include "cost/dispatch.hpp"
#include "cost/pruning.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/column_totals.hpp"
#include "detect/pelt/functional.hpp"
#include "detect/pelt/l2_estimates.hpp"
#include "detect/minimum.hpp"
#include "detect/pelt/normal_estimates.hpp"
#include "detect/pelt/tables.hpp"

namespace marbolt::detect {
namespace {

// Positions are kept as slots: a grid position p has slot p / jump and the end n
// has slot grid_count(n, jump), so the tables hold one entry per closed-grid
// entry whatever the jump. A candidate below 0 ("negative" in the recursion)
// is marked by kNegative and never evaluated.
constexpr std::size_t kNegative = std::numeric_limits<std::size_t>::max();

// The candidate list A as parallel flat arrays in list order, so that one
// end's evaluation is a straight loop. Whether a candidate's prefix cost is
// known is final when it is appended (its position was visited before, or is
// 0), so `known` and `prefix` are copied in once rather than looked up per end.
struct Candidates {
    std::vector<std::size_t> slot;  // kNegative below 0
    std::vector<char> known;
    std::vector<double> prefix;     // F of the slot; 0.0 when not known
    std::vector<double> total;      // this end's totals, at known entries
    std::size_t n_unknown = 0;

    std::size_t size() const noexcept { return slot.size(); }
};

// The subproblem list S when A holds candidates that cannot be evaluated:
// totals and slots of the others, in order. Reused from end to end.
struct Subproblems {
    std::vector<double> total;
    std::vector<std::size_t> slot;
};

// Totals for any model: one error call per known candidate. Compiled for the
// model's own class when the search dispatched on it, else through the
// virtual interface.
template <class Model>
class DirectTotals {
public:
    DirectTotals(const Model& model, std::size_t jump) : model_(model), jump_(jump) {}
    void append(std::size_t) {}
    void keep(std::size_t, std::size_t) {}
    void truncate(std::size_t) {}

    // Writes the totals of the known candidates; returns the smallest non-NaN
    // one (+inf when there is none).
    double evaluate(Candidates& a, std::size_t end, double pen) const {
        double best = kInf;
        for (std::size_t k = 0; k < a.size(); ++k) {
            if (!a.known[k]) continue;
            // Segment cost and penalty first, then the prefix cost.
            a.total[k] = a.prefix[k] + (model_.error(a.slot[k] * jump_, end) + pen);
            best = a.total[k] < best ? a.total[k] : best;
        }
        return best;
    }

private:
    const Model& model_;
    std::size_t jump_;
};

// Totals for the one-column moment models (l2, normal): each candidate's
// prefix sums at its start are copied in when it is appended, so an end reads
// only contiguous arrays. Ends are first settled from estimates of the
// totals; evaluate() computes every total exactly when they are declined.
template <class Model>
class ColumnTotals {
public:
    ColumnTotals(const Model& model, const prefix::Prefix1& sums, const std::vector<double>& squares,
                 std::size_t jump)
        : model_(model), sum_(sums.data.data()), sum_sq_(squares.data()), jump_(jump) {}

    void append(std::size_t slot) {
        const std::size_t start = slot == kNegative ? 0 : slot * jump_;
        starts_.push_back(start, sum_[start], sum_sq_[start]);
    }
    void keep(std::size_t from, std::size_t to) noexcept { starts_.move(from, to); }
    void truncate(std::size_t size) { starts_.resize(size); }

    using Estimated = std::conditional_t<std::is_same_v<Model, cost::CostL2>, L2Candidates, NormalCandidates>;

    // This end's candidates, for their estimates.
    Estimated candidates(const Candidates& a, std::size_t end, double pen) const noexcept {
        const double e = static_cast<double>(end);
        const ColumnCandidates c{a.size(), starts_.start.data(), starts_.s.data(), starts_.q.data(), a.prefix.data(),
                                 e, sum_[end], sum_sq_[end], pen};
        if constexpr (std::is_same_v<Model, cost::CostL2>) {
            return {c};
        } else {
            return {c, model_.small_diag()};
        }
    }

    TotalsFilter<Estimated>& filter() noexcept { return filter_; }

    // Writes every candidate's total, known or not (an unknown one reads valid
    // table rows and is never used); returns the smallest non-NaN total.
    // (The smallest is taken after: a minimum that skips NaN would keep the
    // totals' loop from vectorising.)
    double evaluate(Candidates& a, std::size_t end, double pen) {
        // Scratch for normal's variances only, sized on demand.
        if (scratch_.size() < a.size()) scratch_.resize(a.size());
        ColumnModel<Model>::totals(model_, candidates(a, end, pen), scratch_.data(), a.total.data());
        return smallest(std::span<const double>(a.total.data(), a.size()));
    }

private:
    const Model& model_;
    const double* sum_;
    const double* sum_sq_;
    std::size_t jump_;
    cost::ColumnStarts starts_;
    std::vector<double> scratch_;
    TotalsFilter<Estimated> filter_;
};

// Compacts A to the candidates that keep(k) accepts, pairing the lists by
// position, not by candidate; entries beyond `paired` drop. The first
// `kept` candidates are known to pass.
template <class Totals, class Keep>
void prune_after(Candidates& a, Totals& totals, std::size_t paired, std::size_t kept, Keep keep) {
    if (kept == a.size()) return;
    // Every candidate is copied and the count advanced by the verdict, without
    // a branch: past the first drop, verdicts follow the data, and a branch
    // on them would be mispredicted about as often as it is taken.
    for (std::size_t k = kept; k < paired; ++k) {
        const bool verdict = keep(k);
        a.slot[kept] = a.slot[k];
        a.known[kept] = a.known[k];
        a.prefix[kept] = a.prefix[k];
        totals.keep(k, kept);
        kept += verdict ? 1 : 0;
    }
    a.slot.resize(kept);
    a.known.resize(kept);
    a.prefix.resize(kept);
    totals.truncate(kept);
    if (a.n_unknown != 0) a.n_unknown = static_cast<std::size_t>(std::count(a.known.begin(), a.known.end(), 0));
}

// Keeps A[k] when best + pen >= S[k].total: with pen >= 0 every live
// candidate meets its own subproblem, and otherwise the pairing by position
// is still the defined behaviour. A NaN total or threshold fails the test, so
// the candidate is dropped.
template <class Totals>
void prune(Candidates& a, Totals& totals, std::span<const double> s_total, double threshold) {
    const std::size_t paired = std::min(a.size(), s_total.size());
    prune_after(a, totals, paired, leading_kept(s_total.first(paired), threshold),
                [&](std::size_t k) { return threshold >= s_total[k]; });
}

// One-column l2 or normal from the estimates, when every candidate is known
// (so S is A) and the estimates can be bounded; returns false otherwise,
// before changing anything.
template <class Model>
bool settle_estimated(ColumnTotals<Model>& totals, std::size_t end, std::size_t end_slot, double pen,
                      PeltTables& tables, Candidates& alive) {
    if (alive.n_unknown != 0) return false;
    const auto c = totals.candidates(alive, end, pen);
    auto& filter = totals.filter();
    if (!filter.estimate(c)) return false;
    const auto [chosen, best] = filter.first_minimum(c);
    record(tables, end_slot, best, alive.slot[chosen]);
    // Compaction reads candidate k before it writes any entry at or past k,
    // so the views in c stay valid while it runs.
    const double threshold = best + pen;
    prune_after(alive, totals, alive.size(), filter.leading_within(c, threshold),
                [&](std::size_t k) { return filter.within(c, k, threshold); });
    return true;
}

// Handles one end: evaluates every live candidate with a known prefix cost,
// records the best split of [0, end) and prunes.
template <class Totals>
void settle_end(Totals& totals, std::size_t end, std::size_t end_slot, double pen, PeltTables& tables,
                Candidates& alive, Subproblems& scratch) {
    alive.total.resize(alive.size());
    if constexpr (requires { totals.filter(); }) {
        if (settle_estimated(totals, end, end_slot, pen, tables, alive)) return;
    }
    double best = totals.evaluate(alive, end, pen);
    std::span<const double> s_total(alive.total);
    std::span<const std::size_t> s_slot(alive.slot);
    if (alive.n_unknown != 0) {
        scratch.total.clear();
        scratch.slot.clear();
        for (std::size_t k = 0; k < alive.size(); ++k) {
            if (!alive.known[k]) continue;
            scratch.total.push_back(alive.total[k]);
            scratch.slot.push_back(alive.slot[k]);
        }
        s_total = scratch.total;
        s_slot = scratch.slot;
        best = smallest(s_total);
    }
    if (s_total.empty()) return;
    const std::size_t chosen = first_minimum(s_total, best);
    record(tables, end_slot, s_total[chosen], s_slot[chosen]);
    prune(alive, totals, s_total, s_total[chosen] + pen);
}

// The plain search: every live candidate at every end. False, with the
// tables unfinished, once the list grows past `until`.
template <class Totals>
bool search(Totals totals, std::size_t n, std::size_t jump, std::size_t min_size, double pen,
            std::size_t* evaluations, PeltTables& tables, Control* control, std::size_t until = kNegative) {
    const std::size_t n_slot = grid_count(n, jump);
    tables = start_tables(n_slot);
    Candidates alive;
    Subproblems scratch;
    Ticker ticker(control);

    // Ends: grid positions of at least min_size, then n (even when n < min_size).
    // The candidate for end b is the slot of jump * floor((b - min_size) / jump),
    // written so that it cannot overflow nor point past b; below min_size it is
    // negative and only occupies its place in the list.
    auto visit = [&](std::size_t end, std::size_t end_slot) {
        const std::size_t slot = end >= min_size ? (end - min_size) / jump : kNegative;
        const bool known = slot != kNegative && tables.known[slot];
        alive.slot.push_back(slot);
        alive.known.push_back(known ? 1 : 0);
        alive.prefix.push_back(known ? tables.best[slot] : 0.0);
        alive.n_unknown += known ? 0 : 1;
        totals.append(slot);
        if (evaluations != nullptr) *evaluations += alive.size() - alive.n_unknown;
        settle_end(totals, end, end_slot, pen, tables, alive, scratch);
        ticker.tick(alive.size(), 1);
        return alive.size() <= until;
    };
    for (std::size_t slot = grid_count(min_size, jump); slot < n_slot; ++slot) {
        if (!visit(slot * jump, slot)) return false;
    }
    visit(n, n_slot);
    return true;
}

}  // namespace

std::vector<std::size_t> pelt(const cost::Cost& cost, std::size_t n, std::size_t jump,
                              std::size_t min_size, double pen, const PeltOptions& options) {
    if (n == 0) return {};
    // min_size 0 is served as 1: every segment must hold a sample. Passed
    // through, position 0 would be an end, every grid end would be its own
    // candidate, and the empty segments [b, b) would be evaluated.
    min_size = std::max<std::size_t>(min_size, 1);
    PeltTables own;
    PeltTables& tables = options.tables != nullptr ? *options.tables : own;
    std::size_t* evaluations = options.evaluations;
    Control* control = options.control;
    // Ends: the grid positions from min_size on, then n.
    const std::size_t n_ends = grid_count(n, jump) - std::min(grid_count(min_size, jump), grid_count(n, jump)) + 1;
    if (control != nullptr) control->add_total(n_ends);
    cost::visit_model(cost, [&](const auto& model) {
        using Model = std::decay_t<decltype(model)>;
        const auto plain = [&](std::size_t* counted, std::size_t until) {
            if constexpr (std::is_same_v<Model, cost::CostL2>) {
                if (model.dims() == 1 && n < kExactPositions) {
                    return search(ColumnTotals(model, model.sums(), model.sums_sq().data, jump), n, jump, min_size,
                                  pen, counted, tables, control, until);
                }
            }
            if constexpr (std::is_same_v<Model, cost::CostNormal>) {
                if (ColumnModel<cost::CostNormal>::applies(model, n)) {
                    return search(ColumnTotals(model, model.sums(), model.outer().data, jump), n, jump, min_size,
                                  pen, counted, tables, control, until);
                }
            }
            return search(DirectTotals<Model>(model, jump), n, jump, min_size, pen, counted, tables, control, until);
        };
        if constexpr (cost::kHasPruningFamily<Model>) {
            // Counted only when it finishes: a refused run is redone in full.
            const auto counted = [&](const auto& run) { return counted_if_finished(evaluations, control, run); };
            const std::size_t until = plain_first_until<Model>();
            if (options.functional_pruning && until > 0 &&
                counted([&](std::size_t* c) { return plain(c, until); })) {
                return;
            }
            if (options.functional_pruning && counted([&](std::size_t* c) {
                    return functional_pelt(model, n, jump, min_size, pen, tables, c, control);
                })) {
                return;
            }
        }
        plain(evaluations, kNegative);
    });
    return backtrack(tables, n, grid_count(n, jump), jump);
}

}  // namespace marbolt::detect
