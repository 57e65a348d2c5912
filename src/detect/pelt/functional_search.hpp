// The state of PELT with functional pruning (functional.hpp) and why it
// fills the plain search's tables to the bit. The search's steps are
// defined beside their parts of the argument: the live list and its waits
// (functional_list.hpp), the sweep and the end's minimum
// (functional_sweep.hpp), the verdicts and the chains
// (functional_verdicts.hpp), the brackets and regions
// (functional_steps.hpp), and what families that estimate add
// (functional_estimates.hpp). These headers are functional.cpp's alone,
// in an unnamed namespace: with internal linkage the compiler inlines the
// steps each end calls once into the loop over the ends, which it does not
// for functions it must also keep for other units (12 % on long signals).
// The steps are declared inline, as they were when defined in the class:
// the compiler inlines such functions more readily, and the loop over the
// ends lost 5 % without (the sweep, forced into evaluate, keeps the calls
// the loop was measured with).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/numeric.hpp"
#include "cost/pruning_l1.hpp"
#include "cost/pruning_l2.hpp"
#include "detect/cover_union.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/tables.hpp"
#include "detect/pelt/totals_filter.hpp"
#include "detect/pruning.hpp"

namespace marbolt::detect::functional {
namespace {

// Why the pruned search fills the plain search's tables, to the bit: the
// argument of detect/pruning.hpp, with these specifics.
//
// 1. Candidates and waiting. The rest of a start t is F[t] + pen, and the
// newer start of a region step is the end b just settled, at the level thr =
// fl(F[b] + pen), within 2^-52 |thr| of F[b] + pen: adding 2^-51 |thr| to the
// family's E gives E2. The plain search appends a start to its list at the
// first end at least min_size past it (that end appends the grid position
// min_size before it), so a start is a candidate from then on, and a walk
// may only end at a candidate. With min_size <= jump every start is a
// candidate at the next end. Otherwise (or at the last grid end, when n
// comes sooner than min_size after it), what a start witnesses must wait: a
// start whose region empties at b stays a candidate up to b + min_size, when
// every witness of its walk's first step (b, or starts before it) is one; a
// start the threshold prunes at b stays as a ghost, which no list holds (under
// PELT's rule; point 8 for the optimum's) but which a walk may end at, until b itself is a candidate. A walk that ends at
// a ghost g had a witness step, so the start it left from totals at least
// tau(g) + M - R - E: each end checks that this stays above its choice
// (ghosts_clear) and the search hands over to the plain one when it does not.
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
// residue), once b1 is a candidate (until then it ends at the ghost k).
// Consecutive threshold steps form a chain k -> b1 -> b2 -> ...; rho(b), the
// largest total slack of a chain that ends at b, is the largest rho(k) +
// slack(k) over the starts k pruned at b, and R is the largest rho so far. A
// walk starts with a witness step (d was dropped, not pruned) and between two
// witness steps takes at most one chain, so over w >= 1 witness steps q falls
// by at least w (M - R): a walk never returns to a start while R < M
// (positions only grow along chains), and the check of point 3 there holds
// with this R. The margin is the family's, at least 128 global E while Fmax
// stays below the family's scale (the optimum is below the cost of one
// segment plus pen), so chains have room for a hundred near ties of the
// worst kind.
//
// 3. The end n appends the grid position min_size before it; when an earlier
// end appended that one too, the plain list holds a fresh copy of it at n
// (the first may have been pruned since): the search appends one as well.
// Its total equals the first copy's, which comes first, so the choice at n
// is the same whichever copy a tie falls on.
//
// Points 4 to 6 (families that estimate) are in functional_estimates.hpp,
// point 7 (families that sweep) in functional_sweep.hpp.
//
// 8. The optimum's rule (hold_marked). The plain search is then the
// penalised optimum's own loop with a zero split bound. It admits each grid
// position at the first end at least min_size past it, as PELT appends it,
// and the end n admits only the position no earlier end did (no fresh copy:
// point 3 does not arise). It tests each admitted start at every end b with
// PELT's test, !(thr >= T) (thr + 0.0 is thr), until the test first fails;
// that marks the start, which then stays in its list, evaluated and able to
// win, up to the end before b + min_size, and is not tested again. So the
// plain list holds an admitted start at the end T exactly when no test of it
// failed at an end e with e + min_size <= T (its first failure e1 <= e is
// due by then; a failure not yet due leaves it in). The search follows:
//  - A start pruned at b leaves at once when the next end is at least
//    b + min_size (the plain start leaves by then). Otherwise it waits as a
//    ghost until b + min_size, but this ghost is a candidate: evaluated,
//    able to win, not tested again. It takes no region step, so its region
//    stays a superset of where no witness beats it by M, and it covers
//    nothing, which only widens the region of the start appended.
//  - Point 2's chain step from a marked start k to the end b1 that marked it
//    is needed only once k has left the plain list, at b1 + min_size or
//    later, when b1 is a candidate; until then k is a candidate itself. So
//    every walk ends at a candidate, no start outside the candidates needs a
//    check (ghosts_clear passes), and the inequality of each step is that of
//    points 2 and 3, the same test against the same thr. R and the check of
//    point 3 are unchanged.
//  - Doubts (point 5) and the verdicts replayed for a dormant start (point
//    6) take effect min_size after their end: `held` settles only the doubts
//    that are due and keeps the others, and a replayed sure prune that is not
//    yet due brings the start back as a ghost leaving then. The search may
//    test again a start the plain search marked on a doubt; that verdict is
//    a fact about the numbers, so its chain inequality holds; if it prunes,
//    the start becomes a ghost, and should the plain search have marked it
//    on the doubt, that doubt falls due first and settles it before the
//    start contends for a minimum (a start that could set the minimum's
//    upper end contends, so none outside the plain list sets it).
// Dead entries wait as in point 1: their witnesses are what they are under
// either rule.

// An end's arithmetic on the live list, one array per quantity; the
// reciprocals and roots only for a family that sweeps.
template <class Bracket>
struct EndScratch {
    std::vector<double> total, value;
    std::vector<Bracket> bracket;
    std::vector<double> inv, roots;
    std::vector<double> ends;  // the brackets as four arrays (reach lo, hi, cover lo, hi)
    std::size_t stride = 0;    // of those four: the lanes of the starts they were taken of

    // Only ever grown: an end reads the first `size` entries, and resizing
    // a handful of arrays at every end showed. A sweep's arrays take whole
    // vectors.
    static std::size_t lanes(std::size_t size) noexcept { return cost::whole_vectors(size); }
    void resize(std::size_t size) {
        if (total.size() >= lanes(size)) return;
        total.resize(lanes(size));
        value.resize(lanes(size));
        bracket.resize(lanes(size));
    }
    void resize_sweep(std::size_t size) {
        if (inv.size() >= lanes(size)) return;
        inv.resize(lanes(size));
        roots.resize(2 * lanes(size));
        ends.resize(4 * lanes(size));
    }
};

// A family with exact totals that sweeps an end first (point 7), and one
// that also brackets every start in one loop from the sweep's reciprocals
// (a family on the line of levels).
template <class Family>
concept Sweeps = requires(const Family& f, const typename Family::Starts& starts, double* out) {
    { f.sweep(starts, std::size_t{}, out, 0.0, out, out, out) } -> std::same_as<cost::SweepSummary>;
    f.total(starts, std::size_t{}, std::size_t{}, out, 0.0);
};
template <class Family>
concept SweepsBrackets = Sweeps<Family> && requires(const Family& f, const typename Family::Starts& starts, double* out) {
    f.brackets(starts, std::size_t{}, out, out, 0.0, 0.0, out, out);
};

// What a family with estimated totals adds (point 4): each live start's
// estimate of its segment cost, the bound of its prefix cost's estimate (0
// once exact), the bound of its total's, and the bound of every recorded F.
template <class Family, bool = Family::kExactTotals>
struct Estimates {};

template <class Family>
struct Estimates<Family, false> {
    std::vector<typename Family::Estimate> cost;
    std::vector<double> prefix_bound;  // per live start
    std::vector<double> bound;         // per live start: |T - its estimate|
    std::vector<double> slot_bound;    // per end: |F - tables.best|
    double threshold_bound = 0.0;      // |thr - threshold_| of the current end
    // Per live start, the ends where its verdict was too close to call: the
    // plain search may have pruned it there.
    std::vector<std::vector<std::size_t>> doubts;
    std::vector<char> gone;            // per live start at this end: found pruned

    // A start that left the list on a doubtful verdict (point 6), with all it
    // needs to come back: its verdicts are settled up to the end `seen`.
    struct Dormant {
        std::size_t slot, seen;
        double prefix, prefix_bound, chain;
        typename Family::Starts::State state;
        RegionOf<Family> region;
        std::vector<std::size_t> doubts;
    };
    std::vector<std::vector<Dormant>> dormant;  // per live start: those it hosts
    std::vector<std::size_t> host;              // per drowsy start: its host's slot
    std::vector<Dormant> pending;               // for the start this end appends
    double late_chain = 0.0;  // slack of verdicts settled after their ends
    typename Family::Starts replay;
};

// A family with exact totals that can also estimate every start's total at
// an end at once, within a bound it returns, and form one start's exact
// total and value (point 9).
template <class Family>
concept EstimatesTotals = requires(const Family& f, const typename Family::Starts& starts, double* out) {
    { f.estimate_totals(starts, std::size_t{}, out, 0.0, out, out, out) } -> std::same_as<std::optional<double>>;
    f.total(starts, std::size_t{}, std::size_t{}, out, 0.0);
    f.residue(starts, std::size_t{}, std::size_t{});
};

template <class Family>
class FunctionalSearch {
public:
    using Model = typename Family::Model;
    using Region = RegionOf<Family>;
    static constexpr bool kExact = Family::kExactTotals;
    static constexpr bool kSweep = kExact && Sweeps<Family>;
    static constexpr bool kSweptBrackets = kSweep && SweepsBrackets<Family>;
    static constexpr bool kBudgeted = kExact && !kSweptBrackets && cost::StepBudgeted<Family>;
    static constexpr bool kEstimated = kExact && !kSweep && EstimatesTotals<Family>;

    FunctionalSearch(const Family& family, const Model& model, std::size_t n, std::size_t jump,
                     std::size_t min_size, double pen, PeltTables& tables, std::size_t* evaluations,
                     Control* control, bool hold_marked)
        : family_(family), model_(model), n_(n), jump_(jump), min_size_(min_size), n_slot_(grid_count(n, jump)),
          pen_(pen), margin_(family.margin(pen)), tables_(tables), evaluations_(evaluations), ticker_(control),
          hold_(hold_marked) {
        if constexpr (!kExact) {
            tables_.estimated.assign(n_slot_ + 1, 0);
            estimates_.slot_bound.assign(n_slot_ + 1, 0.0);
        }
    }

    bool run();

private:
    static constexpr std::size_t kProbe = 4096;  // ends

    // Where an entry stands beyond its region (points 1 and 3): `dead` (its
    // region is empty), `ghost` (the threshold pruned it) and `drowsy` (its
    // verdict was doubtful) take effect at `until_`, once every start a walk
    // from it may end at is a candidate; until then a dead or drowsy entry is
    // still a candidate and a ghost stands for the start that pruned it.
    enum class Status : unsigned char { live, dead, ghost, drowsy };

    enum class Verdict { keep, prune, doubt };

    std::size_t position(std::size_t slot) const noexcept { return slot == n_slot_ ? n_ : slot * jump_; }

    // Whether the plain list holds entry k at `end` (unless the threshold
    // pruned it): the plain search appends a start min_size after it. Under
    // the optimum's rule a ghost is still in the plain list (point 8).
    bool candidate(std::size_t k, std::size_t end) const noexcept {
        return (hold_ || status_[k] != Status::ghost) && live_.parent[k] * jump_ + min_size_ <= end;
    }

    // Whether the plain search tests entry k at this end: not once it marked
    // it, under the optimum's rule.
    bool tested(std::size_t k, std::size_t end) const noexcept {
        return candidate(k, end) && !(hold_ && status_[k] == Status::ghost);
    }

    // Puts a transition of entry k in wait until `until`.
    void defer(std::size_t k, Status status, std::size_t until) {
        if (status_[k] == Status::live) ++pending_;
        status_[k] = status;
        until_[k] = until;
    }

    // The live list and its waits (functional_list.hpp).
    bool settle_last_end();
    void append(std::size_t slot, double chain, Region region);
    void keep_at(std::size_t k, std::size_t to);
    void cut_list(std::size_t size);
    void expire(std::size_t end, std::size_t end_slot);

    // The end's totals and its minimum (functional_sweep.hpp).
    std::size_t evaluate(std::size_t end);
    std::size_t sweep(std::size_t end);
    void look_ahead(std::size_t end);
    bool estimated_end(std::size_t end);
    std::size_t estimated_choice(std::size_t end);
    double form_unknown_values(std::size_t end);
    void form(std::size_t k, std::size_t end) noexcept;
    void form_apart(std::size_t k, std::size_t end) noexcept;

    // Entry k's total at `end` as the plain search forms it.
    double plain_total(std::size_t k, std::size_t end) const noexcept {
        return family_.total(live_.state, k, end, live_.prefix.data(), pen_);
    }

    // The decision, the verdicts and the chains (functional_verdicts.hpp).
    bool decide(std::size_t end_slot, std::size_t chosen);
    bool ghosts_clear(double best, double e) const noexcept;
    double candidates_clamp(std::size_t end) const noexcept;
    Verdict verdict(std::size_t k, std::size_t end_slot);
    double slack(std::size_t k, std::size_t end) const noexcept;

    // R with the slack of the verdicts settled late.
    double chains() const noexcept {
        if constexpr (kExact) {
            return longest_chain_;
        } else {
            return longest_chain_ + estimates_.late_chain;
        }
    }

    // E2 of entry k: how far its value and the level thr may be from what
    // they stand for.
    double step_error(std::size_t k) const noexcept {
        if constexpr (kExact) {
            return error_;
        } else {
            return estimates_.bound[k] + estimates_.threshold_bound + 0x1p-51 * std::fabs(threshold_);
        }
    }

    // The brackets and the region step (functional_steps.hpp).
    bool settle_grid_end(std::size_t end_slot);
    void prune_swept(std::size_t end, std::size_t end_slot);
    typename Family::Bracket bracket(std::size_t k, std::size_t end, double allowance) const noexcept;
    void measure(std::size_t end);
    void plan_steps(std::size_t end) noexcept;
    void mark_lowest_values(std::size_t count) noexcept;
    bool stepped(std::size_t k) const noexcept;
    typename Family::Bracket measured(std::size_t k, std::size_t end) const noexcept;

    // Families that estimate (functional_estimates.hpp).
    void estimate(std::size_t end);
    double total_bound(double prefix, double prefix_bound, const auto& c, double t) const noexcept;
    std::size_t estimated_minimum(std::size_t end);
    bool contends(std::size_t k, std::size_t end, double highest) const noexcept;
    void pass_on(std::size_t k);
    void leave(std::size_t k, std::size_t end_slot);
    bool fall_asleep(std::size_t k, std::size_t end_slot);
    bool wake(std::size_t end, double highest);
    bool replayed(auto& d, std::size_t end, std::size_t& marked_until);
    void insert_start(auto&& d, std::size_t marked_until, std::vector<char>& gone);
    bool held(std::size_t k, std::size_t end);
    double exact_total(std::size_t k, std::size_t end);
    double exact_prefix(std::size_t slot);

    static double up(double x) noexcept { return x + 0x1p-50 * std::fabs(x) + cost::kTinySlack; }

    const Family& family_;
    const Model& model_;
    std::size_t n_, jump_, min_size_, n_slot_;
    double pen_;
    double margin_;  // M
    PeltTables& tables_;
    std::size_t* evaluations_;
    Ticker ticker_;
    LiveStarts<Family> live_;
    std::vector<double> chain_;  // rho of each entry
    std::vector<Status> status_;
    std::vector<std::size_t> until_;
    std::size_t pending_ = 0;  // entries whose status is not live
    EndScratch<typename Family::Bracket> scratch_;
    // Families whose level sets are balls: older starts' covers together.
    static constexpr bool kUnion = std::is_same_v<typename Family::Bracket, cost::BallBracket>;
    [[no_unique_address]] std::conditional_t<kUnion, CoverUnion<Family>, std::monostate> union_;
    Estimates<Family> estimates_;
    std::vector<typename Region::Cover> covers_;
    std::vector<std::size_t> path_;
    double largest_prefix_ = 0.0;
    double threshold_ = 0.0;
    double error_ = 0.0;          // the global E2 of the current end
    double sweep_bound_ = 0.0;    // point 7: |T - T'| of the current end, with room
    double clamped_ = 0.0;        // point 7: the largest T - U' of the current end (T' where T is not formed)
    std::size_t guess_ = 0;       // the index the last swept end chose (moved with its entry)
    struct Ahead {
        double total = 0.0;       // the plain total of the start at guess_ ...
        std::size_t parent = 0;   // ... this one ...
        std::size_t end = 0;      // ... at this end (0: none)
    } ahead_;
    double chosen_total_ = 0.0;   // its total, which decide takes without waiting on the index
    double longest_chain_ = 0.0;  // R
    // Point 9: whether the current end's totals are estimates, within what,
    // and which are formed.
    bool estimated_ = false;
    double estimate_bound_ = 0.0;
    double clamped_candidates_ = 0.0;  // the largest T - U over the candidates
    std::vector<char> formed_;
    std::vector<double> chunk_low_, chunk_high_;
    std::vector<char> chunk_marked_;  // runs holding a NaN estimate
    std::size_t chosen_ = 0;  // the entry the current end chose
    // Which entries step at the current end (plan_steps).
    bool step_every_ = true;
    std::size_t step_next_ = 0, step_turn_ = 0;
    std::vector<char> step_mark_;
    bool repeat_in_ = false;      // the last entry is the fresh copy of the end n
    bool hold_;                   // the optimum's rule for marked starts (point 8)
};
}  // namespace
}  // namespace marbolt::detect::functional
