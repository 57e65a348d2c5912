#include "detect/pelt/functional.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "cost/pruning_l2.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/tables.hpp"
#include "detect/pruning.hpp"

namespace marbolt::detect {
namespace {

// Why the pruned search fills the plain search's tables, to the bit: the
// argument of detect/pruning.hpp, with these specifics.
//
// 1. The rest of a start t is F[t] + pen, and the newer start of a region
// step is the end b just settled, at the level thr = fl(F[b] + pen), within
// 2^-52 |thr| of F[b] + pen: adding 2^-51 |thr| to the family's E gives E2.
// Every start that survives the threshold at b takes the step against b.
//
// 2. The recursion's own pruning is applied to the pruned list exactly as to
// the plain one: a start's verdict depends only on its own total and the
// threshold (with pen > 0 and finite tables every start is known and pairs
// with its own total). So, end by end, the pruned list is the plain list
// minus the dropped starts, as long as the first minimum of the plain list is
// never a dropped start. A walk (point 3 there) may step from a start k that
// the threshold pruned at an earlier end b1 to b1 itself: q_k - q_b1 = F[k] -
// F[b1] + C_kb1 >= tau(k, b1) - pen - F[b1] >= -slack(k), with slack(k) =
// max(0, thr - U(k, b1) + E2) and the local E2 (zero for a clear prune, a
// few ulps of F for a near tie, more only where a clamp hid a negative
// residue); b1 is a start at every end after b1 (min_size <= jump makes b1
// the start appended at the next grid end), except at the last end n when
// n - b1 < min_size (point 3 below). Consecutive threshold steps form a chain
// k -> b1 -> b2 -> ...; rho(b), the largest total slack of a chain that ends
// at b, is the largest rho(k) + slack(k) over the starts k pruned at b, and R
// is the largest rho so far. A walk starts with a witness step (d was
// dropped, not pruned) and between two witness steps takes at most one chain,
// so over w >= 1 witness steps q falls by at least w (M - R): a walk never
// returns to a start while R < M (positions only grow along chains), and the
// check of point 3 there holds with this R. The margin is the family's, at
// least 128 global E while Fmax stays below the family's scale (the optimum
// is below the cost of one segment plus pen), so chains have room for a
// hundred near ties of the worst kind.
//
// 3. The last end n, when n - g < min_size for the last grid end g: the start
// appended for n repeats g - jump, and the starts the threshold pruned at g
// have no stand-in at n. The search then checks every dropped start that
// would beat the pruned list's choice at n (smaller total, or equal total
// and smaller position): it replays the start's totals at every end since
// it was appended against that end's threshold, which is exactly what the
// plain search did with it, and lets it compete only if it survived them all.

// An end's arithmetic on the live list, one array per quantity.
template <class Bracket>
struct EndScratch {
    std::vector<double> total, value;
    std::vector<Bracket> bracket;

    void resize(std::size_t size) {
        total.resize(size);
        value.resize(size);
        bracket.resize(size);
    }
};

template <class Family>
class FunctionalSearch {
public:
    using Model = typename Family::Model;
    using Region = RegionOf<Family>;

    FunctionalSearch(const Family& family, const Model& model, std::size_t n, std::size_t jump,
                     std::size_t min_size, double pen, PeltTables& tables, std::size_t* evaluations,
                     Control* control)
        : family_(family), model_(model), n_(n), jump_(jump), n_slot_(grid_count(n, jump)), pen_(pen),
          margin_(family.margin(pen)), tables_(tables), evaluations_(evaluations), ticker_(control),
          // The start the end n appends: the previous grid end, or, when that
          // one is too close to n, the grid end before it again.
          last_candidate_((n - min_size) / jump), repeats_(last_candidate_ + 1 < n_slot_) {
        if (repeats_) dropped_.assign(n_slot_, 0);
    }

    bool run() {
        append(0, 0.0, Region::everything());
        for (std::size_t slot = 1; slot < n_slot_; ++slot) {
            if (!settle_grid_end(slot)) return false;
            ticker_.tick(live_.size(), 1);
        }
        // Each grid end appended itself; the end n appends an older start
        // when the last grid end is too close to it. Regions are no longer
        // used: the last end prunes nothing.
        if (repeats_) {
            live_.resize(live_.size() - 1);
            chain_.pop_back();
            append(last_candidate_, 0.0, Region::everything());
        }
        ticker_.tick(live_.size(), 1);
        return settle_last_end();
    }

private:
    void append(std::size_t slot, double chain, const Region& region) {
        live_.push_back(family_, slot, slot * jump_, tables_.best[slot], region);
        chain_.push_back(chain);
    }

    // T and U of every live start at `end`; returns the index of the first
    // smallest T.
    std::size_t evaluate(std::size_t end) {
        const std::size_t count = live_.size();
        scratch_.resize(count);
        family_.evaluate(live_.state, end, PeltRest{live_.prefix.data(), pen_}, scratch_.total.data(),
                         scratch_.value.data());
        const double* total = scratch_.total.data();
        std::size_t chosen = 0;
        for (std::size_t k = 1; k < count; ++k) chosen = total[k] < total[chosen] ? k : chosen;
        if (evaluations_ != nullptr) *evaluations_ += count;
        return chosen;
    }

    // Records the end's best split; false when the argument no longer covers
    // this end's decision. Leaves E2 and thr for the pruning.
    bool decide(std::size_t end_slot, std::size_t chosen) {
        const double best = scratch_.total[chosen];
        record(tables_, end_slot, best, live_.parent[chosen]);
        largest_prefix_ = std::max(largest_prefix_, std::fabs(best));
        threshold_ = best + pen_;
        if (!(std::fabs(threshold_) < cost::kEnvelopeLargest)) return false;
        const double e = family_.error(pen_, largest_prefix_);
        error_ = e + 0x1p-51 * std::fabs(threshold_);
        double clamped = 0.0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            clamped = std::max(clamped, scratch_.total[k] - scratch_.value[k]);
        }
        return decision_holds(longest_chain_, e, clamped, margin_);
    }

    // Every start's bracket against the end just settled.
    void measure(std::size_t end) {
        const double w = step_allowance(margin_, error_);
        for (std::size_t k = 0; k < live_.size(); ++k) {
            const StepLevels levels = step_levels(threshold_, scratch_.value[k], w);
            scratch_.bracket[k] = family_.bracket(live_.state, k, end, levels.up, levels.down);
        }
    }

    bool settle_grid_end(std::size_t end_slot) {
        const std::size_t end = end_slot * jump_;
        if (!decide(end_slot, evaluate(end))) return false;
        measure(end);
        covers_.clear();
        double chain = 0.0;  // rho of this end
        std::size_t kept = 0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (!(threshold_ >= scratch_.total[k])) {
                chain = std::max(chain, (chain_[k] + slack(k, end)) * (1.0 + 0x1p-52));
                continue;
            }
            if (!take_step(scratch_.bracket[k], live_.region[k], covers_)) {
                if (repeats_) dropped_[live_.parent[k]] = 1;
                continue;
            }
            if (kept != k) {
                live_.move(k, kept);
                chain_[kept] = chain_[k];
            }
            ++kept;
        }
        live_.resize(kept);
        chain_.resize(kept);
        longest_chain_ = std::max(longest_chain_, chain);
        append(end_slot, chain, Region::outside(covers_));
        return true;
    }

    // What the prune of start k at this end may cost a walk of point 2, with
    // the family's local bound.
    double slack(std::size_t k, std::size_t end) const noexcept {
        const double local = family_.local_error(live_.state, k, end, std::fabs(pen_), std::fabs(live_.prefix[k])) +
                             0x1p-51 * std::fabs(threshold_);
        const double slack = step_levels(threshold_, scratch_.value[k], local).up;
        return slack > 0.0 ? slack * (1.0 + 0x1p-50) : 0.0;
    }

    bool settle_last_end() {
        const std::size_t chosen = evaluate(n_);
        if (!repeats_) return decide(n_slot_, chosen);
        std::size_t parent = live_.parent[chosen];
        double best = scratch_.total[chosen];
        for (std::size_t d = 0; d < n_slot_; ++d) {
            if (!dropped_[d]) continue;
            const double t = total(d, n_);
            if ((t < best || (t == best && d < parent)) && survived(d)) {
                best = t;
                parent = d;
            }
        }
        record(tables_, n_slot_, best, parent);
        return true;
    }

    // The plain search's total, from the model itself.
    double total(std::size_t slot, std::size_t end) const {
        if (evaluations_ != nullptr) ++*evaluations_;
        return tables_.best[slot] + (model_.error(slot * jump_, end) + pen_);
    }

    // Whether the plain search still holds the start at the last end: its
    // total at every grid end since it was appended within that end's
    // threshold.
    bool survived(std::size_t slot) const {
        for (std::size_t end_slot = slot + 1; end_slot < n_slot_; ++end_slot) {
            if (!(tables_.best[end_slot] + pen_ >= total(slot, end_slot * jump_))) return false;
        }
        return true;
    }

    const Family& family_;
    const Model& model_;
    std::size_t n_, jump_, n_slot_;
    double pen_;
    double margin_;  // M
    PeltTables& tables_;
    std::size_t* evaluations_;
    Ticker ticker_;
    std::size_t last_candidate_;
    bool repeats_;
    LiveStarts<Family> live_;
    std::vector<double> chain_;  // rho of each live start
    EndScratch<typename Family::Bracket> scratch_;
    std::vector<typename Region::Cover> covers_;
    std::vector<char> dropped_;  // only when the last end repeats a start
    double largest_prefix_ = 0.0;
    double threshold_ = 0.0;
    double error_ = 0.0;          // the global E2 of the current end
    double longest_chain_ = 0.0;  // R
};

}  // namespace

template <class Model>
bool functional_pelt(const Model& model, std::size_t n, std::size_t jump, std::size_t min_size, double pen,
                     PeltTables& tables, std::size_t* evaluations, Control* control) {
    // Every end but n on the grid past the first; a start usable from the end
    // after its own on (min_size <= jump); a penalty the bounds cover.
    if (min_size == 0 || min_size > jump || n <= jump || n >= kExactPositions) return false;
    if (!(pen > 0.0 && pen < cost::kEnvelopeLargest)) return false;
    return cost::with_pruning_family(model, n, [&](const auto& family) {
        tables = start_tables(grid_count(n, jump));
        return FunctionalSearch(family, model, n, jump, min_size, pen, tables, evaluations, control).run();
    });
}

template bool functional_pelt(const cost::CostL2&, std::size_t, std::size_t, std::size_t, double, PeltTables&,
                              std::size_t*, Control*);

}  // namespace marbolt::detect
