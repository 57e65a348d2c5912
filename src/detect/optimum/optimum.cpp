#include "detect/optimum/optimum.hpp"

#include <algorithm>
#include <limits>
#include <span>

#include "common/numeric.hpp"
#include "cost/dispatch.hpp"
#include "cost/pruning.hpp"
#include "detect/grid.hpp"
#include "detect/minimum.hpp"
#include "detect/pelt/column_totals.hpp"
#include "detect/pelt/functional.hpp"
#include "detect/pelt/tables.hpp"

namespace marbolt::detect {
namespace {

// Why the pruning keeps the optimum.
//
// Write C for the model's segment cost, F for the recorded best totals (read
// as exact numbers) and G_t(T) = F[t] + C(t, T), the total of the start t at
// the end T less the penalty that every start pays alike. At the end b the
// search marks every start t with
//     G_t(b) - slack(n - t) > F[b]
// (the test !(F[b] + pen + slack >= F[t] + (C(t, b) + pen)), slack being the
// model's split bound for a segment of n - t samples, the longest t can
// start). Take any later end T >= b + min_size: b is then an admissible start
// of T, F[b] is recorded, and the split bound gives, as T - t <= n - t,
//     G_t(T) >= F[t] + C(t, b) + C(b, T) - slack(T - t)
//            >= G_t(b) - slack(n - t) + C(b, T) > F[b] + C(b, T) = G_b(T).
// So from b + min_size on, b beats t strictly. If b is marked too (at b2,
// leaving from b2 + min_size on), b2 beats b strictly from there, and so on:
// the inequalities chain, positions grow along the chain, so it ends at a
// start the search still holds, which beats t strictly. A marked start can
// therefore never be the first minimum from b + min_size on, and it leaves
// the list at that end. Before it, b cannot start a segment, and the marked
// start is still evaluated and may still win, as in the unpruned recursion.
// (PELT proper drops it at once: with min_size > jump, or at a last end n
// less than min_size past b, the optimum can be lost with it.)
//
// The argument is in exact arithmetic: the computed totals round, so two
// starts whose totals tie to within rounding may be resolved otherwise than
// by the unpruned recursion, as PELT's own pruning may. A total that is not a
// number fails the test, so its start is marked, as PELT drops it.
//
// Same as PELT. With a zero bound the test is PELT's (threshold + 0.0 is the
// threshold). With min_size <= jump a start marked at b leaves at the next end
// b + jump >= b + min_size; PELT drops it there too. PELT appends the grid
// position (k - 1) jump at the end k jump (min_size <= jump), so its list holds
// every grid position below the end, in order, each once, as this one does;
// every end is reached (the start just appended is), so every candidate is
// known and PELT pairs each with its own total. At the last end n PELT
// appends jump floor((n - min_size) / jump), which is the last grid end g when
// n - g >= min_size, and the starts marked at g leave at g + min_size <= n in
// both. The two recursions then evaluate the same starts in the same order
// with the same arithmetic and choose alike, bit for bit, and the search
// hands the work to PELT with its fast paths.
//
// Elsewhere with a zero bound, a model with a pruning family (one-column l1,
// l2) runs this recursion in the functional engine, which holds a marked
// start as this loop does (pelt/functional.cpp, point 8: the same
// admissions, the same test against the same threshold, the same leaving
// end, the same first minimum over the starts in position order) and drops
// besides only starts that a live one provably beats at every later end. It
// fills these tables to the bit, except the F a family records as an
// estimate (PeltTables::estimated; never F[n] nor the chain of parents from
// n), or declines, and this loop runs.

constexpr std::size_t kStays = std::numeric_limits<std::size_t>::max();

// The live starts as flat arrays in ascending order; for the models with flat
// totals (pelt/column_totals.hpp), also their positions and prefix sums.
struct Starts {
    std::vector<std::size_t> slot;
    std::vector<double> prefix;      // F of the start
    std::vector<double> slack;       // split bound of its longest segment
    std::vector<std::size_t> leave;  // the first end it no longer takes part in
    std::vector<double> start, s, q;  // column data, when the model has flat totals
    std::vector<double> total, scratch;  // this end's totals, and scratch for them
    std::size_t first_leave = kStays;   // the smallest leave of any start

    std::size_t size() const noexcept { return slot.size(); }

    // Drops the starts that leave at `end` or before.
    void leave_before(std::size_t end) {
        if (end < first_leave) return;
        first_leave = kStays;
        std::size_t kept = 0;
        for (std::size_t k = 0; k < size(); ++k) {
            if (leave[k] <= end) continue;
            first_leave = std::min(first_leave, leave[k]);
            move(k, kept++);
        }
        resize(kept);
    }

private:
    // f on every per-start array (the column data only where it is kept).
    template <class F>
    void each_array(F f) {
        f(slot);
        f(prefix);
        f(slack);
        f(leave);
        if (start.empty()) return;
        f(start);
        f(s);
        f(q);
    }
    void move(std::size_t from, std::size_t to) noexcept {
        each_array([&](auto& values) { values[to] = values[from]; });
    }
    void resize(std::size_t size) {
        each_array([&](auto& values) { values.resize(size); });
    }
};

struct Search {
    std::size_t n, jump, min_size;
    double pen;
    const std::optional<cost::SplitBound>& bound;
    bool pruning;
    std::size_t* evaluations;
    Control* control;
};

// Every start's total at one end: prefix + (error + pen), PELT's order of
// additions. Through flat arrays where the model has them, else error().
template <class Model>
class Totals {
public:
    Totals(const Model& model, const Search& s)
        : model_(model), jump_(s.jump), columns_(ColumnModel<Model>::applies(model, s.n)) {}

    void admit(Starts& starts, std::size_t slot, double f, double slack) const {
        starts.slot.push_back(slot);
        starts.prefix.push_back(f);
        starts.slack.push_back(slack);
        starts.leave.push_back(kStays);
        if constexpr (requires { ColumnModel<Model>::sums(model_); }) {
            if (!columns_) return;
            const std::size_t at = slot * jump_;
            starts.start.push_back(static_cast<double>(at));
            starts.s.push_back(ColumnModel<Model>::sums(model_)[at]);
            starts.q.push_back(ColumnModel<Model>::squares(model_)[at]);
        }
    }

    void evaluate(Starts& starts, std::size_t end, double pen) const {
        const std::size_t count = starts.size();
        starts.total.resize(count);
        if constexpr (requires { ColumnModel<Model>::sums(model_); }) {
            if (columns_) {
                starts.scratch.resize(count);
                const ColumnCandidates c{count,
                                         starts.start.data(),
                                         starts.s.data(),
                                         starts.q.data(),
                                         starts.prefix.data(),
                                         static_cast<double>(end),
                                         ColumnModel<Model>::sums(model_)[end],
                                         ColumnModel<Model>::squares(model_)[end],
                                         pen};
                ColumnModel<Model>::totals(model_, c, starts.scratch.data(), starts.total.data());
                return;
            }
        }
        for (std::size_t k = 0; k < count; ++k) {
            starts.total[k] = starts.prefix[k] + (model_.error(starts.slot[k] * jump_, end) + pen);
        }
    }

private:
    const Model& model_;
    std::size_t jump_;
    bool columns_;
};

// Appends the grid positions that became admissible for `end` (at most
// end - min_size) and have a recorded total.
template <class Model>
void admit(const Search& s, const Totals<Model>& totals, std::size_t end, const PeltTables& tables,
           std::size_t n_slot, std::size_t& next, Starts& starts) {
    if (end < s.min_size) return;
    const std::size_t last = end - s.min_size;
    for (; next < n_slot && next * s.jump <= last; ++next) {
        if (!tables.known[next]) continue;
        const double slack = s.bound ? s.bound->slack(s.n - next * s.jump) : 0.0;
        totals.admit(starts, next, tables.best[next], slack);
    }
}

// Marks the starts that the end's best split outdoes by more than their
// slack; they leave once the end can start a segment.
void mark(const Search& s, std::size_t end, double threshold, Starts& starts) {
    const std::size_t leave = checked_add(end, s.min_size).value_or(kStays - 1);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        if (starts.leave[k] == kStays && !(threshold + starts.slack[k] >= starts.total[k])) {
            starts.leave[k] = leave;
            starts.first_leave = std::min(starts.first_leave, leave);
        }
    }
}

template <class Model>
void settle(const Totals<Model>& totals, const Search& s, std::size_t end, std::size_t end_slot, PeltTables& tables,
            Starts& starts) {
    starts.leave_before(end);
    if (starts.size() == 0) return;
    totals.evaluate(starts, end, s.pen);
    if (s.evaluations != nullptr) *s.evaluations += starts.size();
    const std::span<const double> all(starts.total);
    const std::size_t chosen = first_minimum(all, smallest(all));
    record(tables, end_slot, all[chosen], starts.slot[chosen]);
    if (s.pruning && s.bound) mark(s, end, all[chosen] + s.pen, starts);
}

// False, with the tables unfinished, once the list grows past `until`.
template <class Model>
bool search(const Model& model, const Search& s, PeltTables& tables,
            std::size_t until = std::numeric_limits<std::size_t>::max()) {
    const std::size_t n_slot = grid_count(s.n, s.jump);
    tables = start_tables(n_slot);
    const Totals<Model> totals(model, s);
    Starts starts;
    Ticker ticker(s.control);
    std::size_t next = 0;
    auto visit = [&](std::size_t end, std::size_t end_slot) {
        admit(s, totals, end, tables, n_slot, next, starts);
        settle(totals, s, end, end_slot, tables, starts);
        ticker.tick(starts.size(), 1);
        return starts.size() <= until;
    };
    for (std::size_t slot = grid_count(s.min_size, s.jump); slot < n_slot; ++slot) {
        if (!visit(slot * s.jump, slot)) return false;
    }
    visit(s.n, n_slot);
    return true;
}

// Runs `run` on a copy of the search whose evaluations count only if it
// finishes (counted_if_finished).
template <class Run>
bool counted(const Search& s, const Run& run) {
    return counted_if_finished(s.evaluations, s.control, [&](std::size_t* count) {
        Search own = s;
        own.evaluations = count;
        return run(own);
    });
}

// The search through the functional engine under this search's rule for
// marked starts, where the bound is zero and a pruning family serves: the
// engine fills these tables, bit for bit (pelt/functional.cpp, point 8).
// False, with the ends it reported handed back to the control, when it
// declines; the search's own loop then runs.
template <class Model>
bool through_family(const Model& model, const Search& s, PeltTables& tables) {
    if constexpr (cost::kHasPruningFamily<Model>) {
        if (!s.pruning || !s.bound || !s.bound->is_zero()) return false;
        // A family that only pays on long lists comes after this loop has
        // seen one (plain_first_until).
        const std::size_t until = plain_first_until<Model>();
        if (until > 0 && counted(s, [&](const Search& c) { return search(model, c, tables, until); })) return true;
        return counted(s, [&](const Search& c) {
            return functional_pelt(model, c.n, c.jump, c.min_size, c.pen, tables, c.evaluations, c.control, true);
        });
    }
    return false;
}

// Where the recursion is PELT's (see the comment at the top).
bool same_as_pelt(std::size_t n, std::size_t jump, std::size_t min_size, const std::optional<cost::SplitBound>& bound) {
    const std::size_t last_grid_end = (grid_count(n, jump) - 1) * jump;
    return bound && bound->is_zero() && min_size <= jump && n - last_grid_end >= min_size;
}

}  // namespace

std::vector<std::size_t> penalised_optimum(const cost::Cost& cost, std::size_t n, std::size_t jump,
                                           std::size_t min_size, double pen,
                                           const std::optional<cost::SplitBound>& bound,
                                           const OptimumOptions& options) {
    if (n == 0) return {};
    min_size = std::max<std::size_t>(min_size, 1);
    if (options.pruning && options.through_pelt && same_as_pelt(n, jump, min_size, bound)) {
        return pelt(cost, n, jump, min_size, pen,
                    {.evaluations = options.evaluations, .tables = options.tables, .control = options.control});
    }
    PeltTables own;
    PeltTables& tables = options.tables != nullptr ? *options.tables : own;
    const std::size_t n_slot = grid_count(n, jump);
    if (options.control != nullptr) {
        options.control->add_total(n_slot - std::min(grid_count(min_size, jump), n_slot) + 1);
    }
    const Search s{n, jump, min_size, pen, bound, options.pruning, options.evaluations, options.control};
    cost::visit_model(cost, [&](const auto& model) {
        if (options.through_pelt && through_family(model, s, tables)) return;
        search(model, s, tables);
    });
    return backtrack(tables, n, n_slot, jump);
}

}  // namespace marbolt::detect
