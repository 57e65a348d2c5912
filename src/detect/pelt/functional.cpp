#include "detect/pelt/functional.hpp"

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "common/numeric.hpp"
#include "cost/pruning_l1.hpp"
#include "cost/pruning_l2.hpp"
#include "cost/pruning_normal.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/tables.hpp"
#include "detect/pruning.hpp"

namespace marbolt::detect {
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
// 4. Families that estimate (l1). The family gives each live start's segment
// cost as an estimate within `bound` of the exact cost C, and the model's own
// bits within `rounding` of C. The search forms T' = F' + (cost + pen) from
// the recorded F' (the plain F, or an estimate within phi of it) and a bound
// beta >= |T - T'| that also bounds |U - tau| with U = T'. An end's first
// minimum comes from the estimates when one start's interval T' -+ beta
// reaches below every other start's upper end: its plain total is then the
// strict minimum, and F' is its estimate with phi = beta. Otherwise the plain
// totals of the starts that reach there are formed from the model (error()
// and their starts' plain F, made exact down the parents) and their first
// minimum taken: every other start is strictly above. The check of point 3
// there reads T(d) >= tau(c') + M - R - E >= T(c') - 2 beta(c') + M - R - E:
// R + E + 2 max beta < M. A region step's E2 is beta plus the bound of thr.
//
// 5. Verdicts. thr >= T is decided from the estimates when their intervals
// are apart. Otherwise (a doubtful verdict: l1 costs tie exactly whenever a
// split gains nothing, and then only the roundings decide) the plain search
// may have kept the start or pruned it. Either way q_k - q_b >= -slack(k)
// (point 2), so the search counts it as pruned for the chains and puts it to
// sleep, hosted by b (point 6), once b is a candidate (point 1: it stays a
// drowsy candidate until then); it resolves the doubt from the model only if
// the start comes to contend for a minimum, by replaying the doubtful
// verdicts exactly.
//
// 6. Sleeping starts. A sleeping start the plain search pruned is in neither
// list. One it kept is in the plain list only: its walk goes to its host
// (slack within R) and on; with a witness step it gains M as a dropped
// start's does, and without one it ends at a live start c with q_k >= q_c -
// R, so T(k) >= T'(c) - beta(c) - R - 2E. Hosts pass their sleeping starts on
// along chains (to the end that pruned them) and to the end that puts them
// to sleep, and drop them with their region (their walks then have a witness
// step). Whenever a live start's T' - beta - R - 2E comes within the
// minimum's upper end, the starts it hosts wake: their verdicts at the ends
// they slept through are replayed from their estimates against each end's
// recorded thr, as the plain search gave them (a surely pruned start stays
// gone; the slack of a doubtful one is added to R after the fact, as a sum,
// which bounds every walk through them), and they rejoin the list in
// position order.
//
// 7. Families with exact totals that sweep (l2). The family's sweep gives
// each start an estimate T' within E/2 of T and a value U' within E of
// tau, where E is the global bound of the recorded F so far; the other half
// of E covers the roundings of the comparisons below. The end's first
// minimum: the candidates whose T' - E reaches below the smallest T' + E
// contend, every other one totals strictly more than the smallest T; the
// contenders' T are formed (the family's total(), the plain bits) and the
// first smallest taken, so the choice and its recorded F are the plain
// ones. A verdict is taken from T' when T' + E <= thr (keep) or T' - E > thr
// (prune), otherwise from T. The check of point 3 reads max (T - U') <=
// max (T' - U') + E, where T' stands for T once formed.
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
    std::size_t swept = 0;     // the count of starts they were taken of

    // Only ever grown: an end reads the first `size` entries, and resizing
    // a handful of arrays at every end showed.
    void resize(std::size_t size) {
        if (total.size() >= size) return;
        total.resize(size);
        value.resize(size);
        bracket.resize(size);
    }
    void resize_sweep(std::size_t size) {
        if (inv.size() >= size) return;
        inv.resize(size);
        roots.resize(2 * size);
        ends.resize(4 * size);
    }
};

// A family with exact totals that sweeps an end first (point 7).
template <class Family>
concept Sweeps = requires(const Family& f, const typename Family::Starts& starts, double* out) {
    { f.sweep(starts, std::size_t{}, out, 0.0, out, out, out) } -> std::same_as<cost::SweepSummary>;
    f.total(starts, std::size_t{}, std::size_t{}, out, 0.0);
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

template <class Family>
class FunctionalSearch {
public:
    using Model = typename Family::Model;
    using Region = RegionOf<Family>;
    static constexpr bool kExact = Family::kExactTotals;
    static constexpr bool kSweep = kExact && Sweeps<Family>;
    static constexpr bool kBudgeted = kExact && !kSweep && cost::StepBudgeted<Family>;

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

    bool run() {
        append(0, 0.0, Region::everything());
        // The plain search visits the grid ends of at least min_size, then n.
        const std::size_t first = grid_count(min_size_, jump_);
        std::size_t held = 0;  // entries over the probe's ends
        for (std::size_t slot = first; slot < n_slot_; ++slot) {
            if (!settle_grid_end(slot)) return false;
            ticker_.tick(live_.size(), 1);
            // Where a start costs the family far more than an evaluation costs
            // the plain search, short lists early on (segments short enough
            // for the recursion's own pruning) hand over to the plain search.
            if constexpr (Family::kPlainBelow > 0) {
                if (slot - first < kProbe) {
                    held += live_.size();
                } else if (slot - first == kProbe && held < Family::kPlainBelow * kProbe) {
                    return false;
                }
            }
        }
        ticker_.tick(live_.size(), 1);
        if (!settle_last_end()) return false;
        // The returned segmentation's F, the plain bits from n down.
        if constexpr (!kExact) exact_prefix(n_slot_);
        return true;
    }

private:
    static constexpr std::size_t kProbe = 4096;  // ends

    // Where an entry stands beyond its region (points 1 and 3): `dead` (its
    // region is empty), `ghost` (the threshold pruned it) and `drowsy` (its
    // verdict was doubtful) take effect at `until_`, once every start a walk
    // from it may end at is a candidate; until then a dead or drowsy entry is
    // still a candidate and a ghost stands for the start that pruned it.
    enum class Status : unsigned char { live, dead, ghost, drowsy };

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

    void append(std::size_t slot, double chain, const Region& region) {
        live_.push_back(family_, slot, slot * jump_, tables_.best[slot], region);
        chain_.push_back(chain);
        status_.push_back(Status::live);
        until_.push_back(0);
        if constexpr (!kExact) {
            estimates_.prefix_bound.push_back(estimates_.slot_bound[slot]);
            estimates_.doubts.emplace_back();
            estimates_.dormant.emplace_back();
            estimates_.host.push_back(0);
        }
    }

    // Moves entry k to index `to` during a compaction, and cuts the list at
    // `size` after one; entries cut take the starts they host with them: a
    // start dropped by its region hosts only starts its witnesses beat too.
    void keep_at(std::size_t k, std::size_t to) {
        live_.move(k, to);
        chain_[to] = chain_[k];
        status_[to] = status_[k];
        until_[to] = until_[k];
        if constexpr (!kExact) {
            estimates_.prefix_bound[to] = estimates_.prefix_bound[k];
            estimates_.host[to] = estimates_.host[k];
            std::swap(estimates_.doubts[to], estimates_.doubts[k]);
            std::swap(estimates_.dormant[to], estimates_.dormant[k]);
        }
    }
    void cut_list(std::size_t size) {
        live_.resize(size);
        cost::resize_to(chain_, size);
        cost::resize_to(status_, size);
        cost::resize_to(until_, size);
        if constexpr (!kExact) {
            estimates_.prefix_bound.resize(size);
            estimates_.host.resize(size);
            for (std::size_t k = size; k < estimates_.doubts.size(); ++k) estimates_.doubts[k].clear();
            estimates_.doubts.resize(size);
            estimates_.dormant.resize(size);
        }
    }

    // Carries out the transitions due at `end`: dead entries and ghosts
    // leave, drowsy ones go to sleep.
    void expire(std::size_t end, std::size_t end_slot) {
        if (pending_ == 0) return;
        std::size_t kept = 0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (status_[k] != Status::live && until_[k] <= end) {
                --pending_;
                if (status_[k] != Status::drowsy) continue;
                if constexpr (!kExact) {
                    if (fall_asleep(k, end_slot)) continue;
                }
                status_[k] = Status::live;  // no host left: it stays awake
            }
            if (kept != k) keep_at(k, kept);
            ++kept;
        }
        cut_list(kept);
    }

    // T and U of every entry at `end` (estimates with their bounds for a
    // family that estimates); returns the index of the first candidate with
    // the smallest T.
    std::size_t evaluate(std::size_t end) {
        const std::size_t count = live_.size();
        scratch_.resize(count);
        if (evaluations_ != nullptr) *evaluations_ += count;
        if constexpr (kSweep) {
            return sweep(end);
        } else if constexpr (kExact) {
            family_.evaluate(live_.state, end, PeltRest{live_.prefix.data(), pen_}, scratch_.total.data(),
                             scratch_.value.data());
            const double* total = scratch_.total.data();
            std::size_t chosen = count;
            for (std::size_t k = 0; k < count; ++k) {
                if (candidate(k, end) && (chosen == count || total[k] < total[chosen])) chosen = k;
            }
            return chosen;
        } else {
            estimate(end);
            return estimated_minimum(end);
        }
    }

    // Point 7: T' and U' of every entry, the plain T of the contenders for
    // the minimum; returns the first candidate with the smallest T.
    std::size_t sweep(std::size_t end) {
        const std::size_t count = live_.size();
        scratch_.resize_sweep(count);
        double* total = scratch_.total.data();
        const double* value = scratch_.value.data();
        const cost::SweepSummary summary =
            family_.sweep(live_.state, end, live_.prefix.data(), pen_, total, scratch_.value.data(),
                          scratch_.inv.data());
        const double beta = family_.error(pen_, largest_prefix_);
        sweep_bound_ = beta;
        // At a grid end with nothing waiting, every entry is a candidate:
        // the newest is min_size <= jump behind it, and the sweep found the
        // smallest estimate (a zero's sign does not change reach: beta > 0).
        const bool every = pending_ == 0 && min_size_ <= jump_ && end != n_;
        double low = summary.lowest;
        if (!every) {
            low = kInf;
            for (std::size_t k = 0; k < count; ++k) {
                if (candidate(k, end)) low = std::min(low, total[k]);
            }
        }
        // decide()'s largest T - U' over the list (point 7): with T' for
        // every entry, then T for those whose T is formed, over the same
        // entries, so at least what the argument needs.
        clamped_ = summary.clamped;
        const double reach = low + beta;
        // Without a branch on the data: which start is near the minimum
        // changes from end to end.
        std::size_t first = count, contenders = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const bool near = (every || candidate(k, end)) && total[k] - beta <= reach;
            first = near && contenders == 0 ? k : first;
            contenders += near ? 1 : 0;
        }
        if (contenders == 1) {
            total[first] = plain_total(first, end);
            clamped_ = std::max(clamped_, total[first] - value[first]);
            return first;
        }
        std::size_t chosen = count;
        for (std::size_t k = first; k < count; ++k) {
            if (!((every || candidate(k, end)) && total[k] - beta <= reach)) continue;
            total[k] = plain_total(k, end);
            clamped_ = std::max(clamped_, total[k] - value[k]);
            if (chosen == count || total[k] < total[chosen]) chosen = k;
        }
        return chosen;
    }

    // Entry k's total at `end` as the plain search forms it.
    double plain_total(std::size_t k, std::size_t end) const noexcept {
        return family_.total(live_.state, k, end, live_.prefix.data(), pen_);
    }

    // Records the end's best split; false when the argument no longer covers
    // this end's decision. Leaves thr and its bounds for the pruning.
    bool decide(std::size_t end_slot, std::size_t chosen) {
        const double best = scratch_.total[chosen];
        record(tables_, end_slot, best, live_.parent[chosen]);
        largest_prefix_ = std::max(largest_prefix_, std::fabs(best));
        threshold_ = best + pen_;
        if (!(std::fabs(threshold_) < cost::kEnvelopeLargest)) return false;
        const double e = family_.error(pen_, largest_prefix_);
        error_ = e + 0x1p-51 * std::fabs(threshold_);
        if (!ghosts_clear(best, e)) return false;
        if constexpr (kSweep) {
            // Point 7: estimates stand for T within sweep_bound_.
            return decision_holds(chains(), e, clamped_ + sweep_bound_, margin_);
        } else if constexpr (kExact) {
            // Two accumulators: a chain of dependent maxima showed.
            const double* total = scratch_.total.data();
            const double* value = scratch_.value.data();
            const std::size_t count = live_.size();
            double clamped = 0.0, other = 0.0;
            std::size_t k = 0;
            for (; k + 2 <= count; k += 2) {
                clamped = std::max(clamped, total[k] - value[k]);
                other = std::max(other, total[k + 1] - value[k + 1]);
            }
            if (k < count) clamped = std::max(clamped, total[k] - value[k]);
            clamped = std::max(clamped, other);
            // Only candidates can end a walk (point 1), so only their T - U
            // counts; a family may leave U unknown (-inf) for a segment
            // shorter than any candidate's (normal on one sample).
            if (!(clamped < kInf)) clamped = candidates_clamp(position(end_slot));
            return decision_holds(chains(), e, clamped, margin_);
        } else {
            const double bound = estimates_.bound[chosen];
            tables_.estimated[end_slot] = bound > 0.0 ? 1 : 0;
            estimates_.slot_bound[end_slot] = bound;
            // thr computed from an exact F is the plain search's own.
            estimates_.threshold_bound = bound > 0.0 ? up(bound + 0x1p-50 * (std::fabs(threshold_) + bound)) : 0.0;
            double largest = 0.0;
            for (std::size_t k = 0; k < live_.size(); ++k) largest = std::max(largest, estimates_.bound[k]);
            // Point 4: T(c') - tau(c') and tau(c') - U(c') are each at most its bound.
            return (chains() + e + 2.0 * largest) * (1.0 + 0x1p-40) < margin_;
        }
    }

    // The largest T - U over the candidates at `end`.
    double candidates_clamp(std::size_t end) const noexcept {
        double clamped = 0.0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (candidate(k, end)) clamped = std::max(clamped, scratch_.total[k] - scratch_.value[k]);
        }
        return clamped;
    }

    // Point 1: a walk that ends at a ghost g had a witness step, so a start
    // it leaves from totals at least tau(g) + M - R - E; each ghost must keep
    // that above the choice.
    bool ghosts_clear(double best, double e) const noexcept {
        if (pending_ == 0 || hold_) return true;  // point 8: every ghost is a candidate
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (status_[k] != Status::ghost) continue;
            double low = 0.0;  // tau(g) is at least this
            if constexpr (kExact) {
                low = scratch_.value[k] - e;
            } else {
                low = scratch_.total[k] - estimates_.bound[k];
            }
            if (!((low - e) + (margin_ - chains()) > up(best) + 0x1p-50 * std::fabs(low))) return false;
        }
        return true;
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

    // Entry k's bracket against the end just settled.
    typename Family::Bracket bracket(std::size_t k, std::size_t end, double allowance) const noexcept {
        const StepLevels levels = step_levels(threshold_, scratch_.value[k], allowance);
        return family_.bracket(live_.state, k, end, levels.up, levels.down);
    }

    // Every entry's bracket, in one loop, for a family whose brackets cost a
    // few operations; the others are bracketed once they pass the threshold.
    void measure(std::size_t end) {
        if constexpr (kSweep) {
            family_.brackets(live_.state, end, scratch_.inv.data(), scratch_.value.data(), threshold_,
                             step_allowance(margin_, error_), scratch_.roots.data(), scratch_.ends.data());
            scratch_.swept = live_.size();
        } else if constexpr (kExact) {
            const double w = step_allowance(margin_, error_);
            plan_steps(end);
            for (std::size_t k = 0; k < live_.size(); ++k) {
                if (stepped(k)) scratch_.bracket[k] = bracket(k, end, w);
            }
        }
    }

    // Which entries take a region step at this end, for a family with a
    // budget: a window of that many entries that moves along the list from
    // end to end (so each start in turn), and always the newest, whose region
    // is widest, the end's choice, whose cover is, and each start at the ages
    // that are powers of two (young starts are the likeliest to go).
    void plan_steps(std::size_t end) noexcept {
        if constexpr (kBudgeted) {
            const std::size_t count = live_.size(), budget = family_.step_budget();
            step_every_ = budget == 0 || count <= budget;
            step_budget_ = budget;
            step_from_ = step_every_ ? 0 : step_next_ % count;
            step_next_ = step_from_ + budget;
            step_turn_ = end / jump_;
        }
    }
    bool stepped(std::size_t k) const noexcept {
        if constexpr (kBudgeted) {
            const std::size_t age = step_turn_ - live_.parent[k];
            const std::size_t offset = k >= step_from_ ? k - step_from_ : k + live_.size() - step_from_;
            return step_every_ || offset < step_budget_ || k + 1 == live_.size() || k == chosen_ ||
                   (age & (age - 1)) == 0;
        } else {
            return true;
        }
    }

    typename Family::Bracket measured(std::size_t k, std::size_t end) const noexcept {
        if constexpr (kSweep) {
            const double* ends = scratch_.ends.data();
            const std::size_t n = scratch_.swept;
            return {{ends[k], ends[n + k]}, {ends[2 * n + k], ends[3 * n + k]}};
        } else if constexpr (kExact) {
            return scratch_.bracket[k];
        } else {
            return bracket(k, end, step_allowance(margin_, step_error(k)));
        }
    }

    enum class Verdict { keep, prune, doubt };

    // Whether the plain search keeps candidate k at this end (thr >= T), or,
    // for a family that estimates, whether the estimates cannot tell (point 5).
    Verdict verdict(std::size_t k, std::size_t end_slot) {
        if constexpr (kSweep) {
            // Point 7: from T' where it is clear.
            double& total = scratch_.total[k];
            if (total + sweep_bound_ <= threshold_) return Verdict::keep;
            if (total - sweep_bound_ > threshold_) return Verdict::prune;
            total = plain_total(k, position(end_slot));
            return threshold_ >= total ? Verdict::keep : Verdict::prune;
        } else if constexpr (kExact) {
            return threshold_ >= scratch_.total[k] ? Verdict::keep : Verdict::prune;
        } else {
            if (estimates_.gone[k]) return Verdict::prune;
            const double total = scratch_.total[k], bound = estimates_.bound[k];
            const double thr_bound = estimates_.threshold_bound;
            if (total + bound <= threshold_ - thr_bound) return Verdict::keep;
            if (total - bound > threshold_ + thr_bound) return Verdict::prune;
            estimates_.doubts[k].push_back(end_slot);
            return Verdict::doubt;
        }
    }

    // Puts a transition of entry k in wait until `until`.
    void defer(std::size_t k, Status status, std::size_t until) {
        if (status_[k] == Status::live) ++pending_;
        status_[k] = status;
        until_[k] = until;
    }

    bool settle_grid_end(std::size_t end_slot) {
        const std::size_t end = end_slot * jump_;
        expire(end, end_slot);
        const std::size_t chosen = evaluate(end);
        if (!decide(end_slot, chosen)) return false;
        chosen_ = chosen;
        measure(end);
        // The start appended now is a candidate from end + min_size on: when
        // the next end comes before, what it witnesses waits (point 1).
        const std::size_t next = end_slot + 1 < n_slot_ ? end + jump_ : n_;
        const bool lagging = next < end + min_size_;
        if constexpr (kSweep) {
            if (!lagging && pending_ == 0 && min_size_ <= jump_) {
                prune_swept(end, end_slot);
                return true;
            }
        }
        covers_.clear();
        double chain = 0.0;  // rho of this end
        std::size_t kept = 0;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (tested(k, end)) {
                // A doubtful start counts as pruned for the chains.
                const Verdict v = verdict(k, end_slot);
                if (v != Verdict::keep) chain = std::max(chain, (chain_[k] + slack(k, end)) * (1.0 + 0x1p-52));
                if (v == Verdict::prune) {
                    if constexpr (!kExact) pass_on(k);
                    if (!lagging) continue;
                    if (status_[k] == Status::live) ++pending_;
                    status_[k] = Status::ghost;
                    until_[k] = end + min_size_;
                } else if constexpr (!kExact) {
                    if (v == Verdict::doubt && status_[k] != Status::dead) {
                        if (!lagging) {
                            leave(k, end_slot);
                            continue;
                        }
                        estimates_.host[k] = end_slot;
                        defer(k, Status::drowsy, end + min_size_);
                    }
                }
            }
            if (status_[k] == Status::ghost || status_[k] == Status::dead) {
                if (kept != k) keep_at(k, kept);
                ++kept;
                continue;
            }
            if (stepped(k) && !take_step(measured(k, end), live_.region[k], covers_)) {
                if (!lagging) {
                    if (status_[k] != Status::live) --pending_;
                    continue;
                }
                defer(k, Status::dead, end + min_size_);
            }
            if (kept != k) keep_at(k, kept);
            ++kept;
        }
        cut_list(kept);
        longest_chain_ = std::max(longest_chain_, chain);
        append(end_slot, chain, Region::outside(covers_));
        if constexpr (!kExact) std::swap(estimates_.dormant.back(), estimates_.pending);
        return true;
    }

    // The loop above where nothing waits and every entry is live and tested
    // (min_size <= jump, the next end min_size or more away), as most ends
    // of a sweep are: the same verdicts and steps, in the same order, with
    // the entries kept moved up without a branch and only what such an entry
    // has (its status and wait are those of every entry).
    void prune_swept(std::size_t end, std::size_t end_slot) {
        const std::size_t count = live_.size();
        const double* reach_lo = scratch_.ends.data();
        const double* reach_hi = reach_lo + count;
        const double* cover_lo = reach_hi + count;
        const double* cover_hi = cover_lo + count;
        covers_.resize(std::max(covers_.size(), count));
        Interval* covers = covers_.data();
        typename Region::CoverChain linked;  // their union, found as they come
        std::size_t n_covers = 0, kept = 0;
        double chain = 0.0;  // rho of this end
        for (std::size_t k = 0; k < count; ++k) {
            if (verdict(k, end_slot) != Verdict::keep) {
                chain = std::max(chain, (chain_[k] + slack(k, end)) * (1.0 + 0x1p-52));
                continue;
            }
            const Interval cover{cover_lo[k], cover_hi[k]};
            covers[n_covers] = cover;
            n_covers += cover.empty() ? 0 : 1;
            linked.add(cover);
            const bool alive = live_.region[k].clip({reach_lo[k], reach_hi[k]});
            if (kept != k) {
                live_.move(k, kept);
                chain_[kept] = chain_[k];
            }
            kept += alive ? 1 : 0;
        }
        cut_list(kept);
        longest_chain_ = std::max(longest_chain_, chain);
        const std::optional<Interval> hull = linked.hull();
        append(end_slot, chain,
               hull ? Region::outside(*hull) : Region::outside(std::span<Interval>(covers, n_covers)));
    }

    // R with the slack of the verdicts settled late.
    double chains() const noexcept {
        if constexpr (kExact) {
            return longest_chain_;
        } else {
            return longest_chain_ + estimates_.late_chain;
        }
    }

    // What the prune of start k at this end may cost a walk of point 2, with
    // the family's local bound.
    double slack(std::size_t k, std::size_t end) const noexcept {
        double local = 0.0;
        if constexpr (kExact) {
            local = family_.local_error(live_.state, k, end, std::fabs(pen_), std::fabs(live_.prefix[k])) +
                    0x1p-51 * std::fabs(threshold_);
        } else {
            local = step_error(k);
        }
        const double slack = step_levels(threshold_, scratch_.value[k], local).up;
        return slack > 0.0 ? slack * (1.0 + 0x1p-50) : 0.0;
    }

    // The end n: the candidates are the starts at least min_size before it;
    // when the one the plain search appends for n was appended before, it
    // comes again as a fresh copy (the old one may have been pruned).
    bool settle_last_end() {
        expire(n_, n_slot_);
        // Under the optimum's rule the end n admits only what no end did.
        if (n_ >= min_size_ && !hold_) {
            const std::size_t fresh = (n_ - min_size_) / jump_, last = n_slot_ - 1;
            // (A position before min_size has no F: the plain search skips it.)
            if (tables_.known[fresh] && last * jump_ >= min_size_ && (last * jump_ - min_size_) / jump_ == fresh) {
                append(fresh, 0.0, Region::everything());
                repeat_in_ = true;
            }
        }
        return decide(n_slot_, evaluate(n_));
    }

    // Point 4 for families that estimate.
    void estimate(std::size_t end) {
        const std::size_t count = live_.size();
        estimates_.cost.resize(count);
        estimates_.bound.resize(count);
        family_.estimate(live_.state, end, estimates_.cost.data());
        for (std::size_t k = 0; k < count; ++k) {
            const auto& c = estimates_.cost[k];
            const double prefix = live_.prefix[k], prefix_bound = estimates_.prefix_bound[k];
            const double t = prefix + (c.cost + pen_);
            scratch_.total[k] = t;
            scratch_.value[k] = t;
            estimates_.bound[k] = total_bound(prefix, prefix_bound, c, t);
        }
    }

    // |T - t| for the estimate t = prefix + (c.cost + pen): the prefix's and
    // the cost's bounds, the model's rounding, and the roundings of the two
    // additions on both sides, with room.
    double total_bound(double prefix, double prefix_bound, const auto& c, double t) const noexcept {
        const double spread = (prefix_bound + c.bound) + c.rounding;
        return up(spread + 0x1p-50 * (std::fabs(prefix) + prefix_bound + std::fabs(t) +
                                      2.0 * (std::fabs(c.cost) + spread + std::fabs(pen_))));
    }

    // The first smallest plain total among the candidates: when one
    // candidate's estimate is clear of every other's, that one, with its
    // estimate; otherwise the plain totals of the candidates within reach of
    // the minimum, from the model.
    std::size_t estimated_minimum(std::size_t end) {
        std::size_t count = live_.size();
        estimates_.gone.assign(count, 0);
        double highest = kInf;  // every minimum total is at most this
        std::size_t first = count, contenders = 0;
        // Dormant starts come back when their host nears the minimum, and
        // doubtful contenders settle whether the plain list holds them.
        for (bool settled = false; !settled;) {
            highest = kInf;
            for (std::size_t k = 0; k < count; ++k) {
                if (!estimates_.gone[k] && candidate(k, end)) {
                    highest = std::min(highest, up(scratch_.total[k] + estimates_.bound[k]));
                }
            }
            if (wake(end, highest)) {
                count = live_.size();
                continue;
            }
            settled = true;
            first = count;
            contenders = 0;
            for (std::size_t k = 0; k < count; ++k) {
                if (!contends(k, end, highest)) continue;
                if (!estimates_.doubts[k].empty() && !held(k, end)) {
                    estimates_.gone[k] = 1;
                    scratch_.total[k] = scratch_.value[k] = kInf;
                    estimates_.bound[k] = 0.0;
                    settled = false;
                    break;
                }
                first = contenders == 0 ? k : first;
                ++contenders;
            }
        }
        if (contenders == 1) return first;
        std::size_t chosen = count;
        for (std::size_t k = first; k < count; ++k) {
            if (!contends(k, end, highest)) continue;
            scratch_.total[k] = exact_total(k, end);
            scratch_.value[k] = scratch_.total[k];
            estimates_.bound[k] = 0.0;
            if (chosen == count || scratch_.total[k] < scratch_.total[chosen]) chosen = k;
        }
        return chosen;
    }

    bool contends(std::size_t k, std::size_t end, double highest) const noexcept {
        return !estimates_.gone[k] && candidate(k, end) && scratch_.total[k] - estimates_.bound[k] <= highest;
    }

    // Entry k leaves the list at this end, pruned or doubtful (point 6): the
    // starts it hosts move to the start appended at this end.
    void pass_on(std::size_t k) {
        auto& pending = estimates_.pending;
        for (auto& d : estimates_.dormant[k]) pending.push_back(std::move(d));
        estimates_.dormant[k].clear();
    }

    // Doubtful entry k goes to sleep now, hosted by the start appended at this
    // end, with the starts it hosts.
    void leave(std::size_t k, std::size_t end_slot) {
        pass_on(k);
        if (status_[k] != Status::live) --pending_;
        estimates_.pending.push_back({live_.parent[k], end_slot, live_.prefix[k], estimates_.prefix_bound[k],
                                      chain_[k], live_.state.take(k), live_.region[k],
                                      std::move(estimates_.doubts[k])});
        estimates_.doubts[k].clear();
    }

    // Drowsy entry k goes to sleep at the end of slot end_slot, hosted by the
    // entry of its host, if that is still there; false otherwise.
    bool fall_asleep(std::size_t k, std::size_t end_slot) {
        const std::size_t host = estimates_.host[k];
        std::size_t h = live_.size();
        while (h > 0 && live_.parent[h - 1] > host) --h;
        if (h == 0 || live_.parent[h - 1] != host || h - 1 == k) return false;
        auto& hosted = estimates_.dormant[h - 1];
        for (auto& d : estimates_.dormant[k]) hosted.push_back(std::move(d));
        estimates_.dormant[k].clear();
        hosted.push_back({live_.parent[k], end_slot - 1, live_.prefix[k], estimates_.prefix_bound[k], chain_[k],
                          live_.state.take(k), live_.region[k], std::move(estimates_.doubts[k])});
        estimates_.doubts[k].clear();
        return true;
    }

    // Brings back the starts hosted by every entry that nears the minimum: a
    // dormant start totals at least its host's exact total less the chains'
    // slack (point 6). True when any came back; the end is then estimated
    // afresh.
    bool wake(std::size_t end, double highest) {
        const double reach = chains() + 2.0 * family_.error(pen_, largest_prefix_);
        std::remove_reference_t<decltype(estimates_.pending)> woken;
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (estimates_.dormant[k].empty() || estimates_.gone[k]) continue;
            if (!(scratch_.total[k] - estimates_.bound[k] - reach <= highest)) continue;
            for (auto& d : estimates_.dormant[k]) woken.push_back(std::move(d));
            estimates_.dormant[k].clear();
        }
        if (woken.empty()) return false;
        std::vector<char> gone = std::move(estimates_.gone);
        for (auto& d : woken) {
            std::size_t marked_until = 0;
            if (replayed(d, end, marked_until)) insert_start(std::move(d), marked_until, gone);
        }
        estimates_.gone = std::move(gone);
        scratch_.resize(live_.size());
        estimate(end);
        return true;
    }

    // The verdicts the plain search gave dormant start d at the grid ends it
    // slept through, from its estimates: false when it surely pruned d.
    // Under the optimum's rule a sure mark takes effect min_size after its
    // end: until then d comes back as a ghost, leaving at `marked_until`.
    bool replayed(auto& d, std::size_t end, std::size_t& marked_until) {
        const std::size_t end_slot = end == n_ ? n_slot_ : end / jump_;
        auto& replay = estimates_.replay;
        replay.insert(0, std::move(d.state));
        std::remove_reference_t<decltype(estimates_.cost[0])> c;
        bool held = true;
        for (std::size_t e = d.seen + 1; e < end_slot && held; ++e) {
            if (evaluations_ != nullptr) ++*evaluations_;
            family_.estimate(replay, e * jump_, &c);
            const double t = d.prefix + (c.cost + pen_);
            const double bound = total_bound(d.prefix, d.prefix_bound, c, t);
            const double thr = tables_.best[e] + pen_;
            const double slot_bound = estimates_.slot_bound[e];
            const double thr_bound = slot_bound > 0.0 ? up(slot_bound + 0x1p-50 * (std::fabs(thr) + slot_bound)) : 0.0;
            if (t + bound <= thr - thr_bound) continue;
            if (t - bound > thr + thr_bound) {
                if (hold_ && e * jump_ + min_size_ > end) {
                    marked_until = e * jump_ + min_size_;
                    break;
                }
                held = false;
                continue;
            }
            d.doubts.push_back(e);
            const double local = bound + thr_bound + 0x1p-51 * std::fabs(thr);
            const double slack = step_levels(thr, t, local).up;
            if (slack > 0.0) estimates_.late_chain += slack * (1.0 + 0x1p-50);
        }
        d.state = replay.take(0);
        replay.resize(0);
        d.seen = end_slot - 1;
        return held;
    }

    // Puts a woken start back in the list, in position order as the plain
    // list keeps it (before the fresh copy the end n appends, if that is in).
    void insert_start(auto&& d, std::size_t marked_until, std::vector<char>& gone) {
        std::size_t at = 0;
        const std::size_t last = live_.size() - (repeat_in_ ? 1 : 0);
        while (at < last && live_.parent[at] < d.slot) ++at;
        const auto i = static_cast<std::ptrdiff_t>(at);
        live_.parent.insert(live_.parent.begin() + i, d.slot);
        live_.prefix.insert(live_.prefix.begin() + i, d.prefix);
        live_.region.insert(live_.region.begin() + i, d.region);
        live_.state.insert(at, std::move(d.state));
        chain_.insert(chain_.begin() + i, d.chain);
        status_.insert(status_.begin() + i, marked_until != 0 ? Status::ghost : Status::live);
        until_.insert(until_.begin() + i, marked_until);
        if (marked_until != 0) ++pending_;
        estimates_.prefix_bound.insert(estimates_.prefix_bound.begin() + i, d.prefix_bound);
        estimates_.host.insert(estimates_.host.begin() + i, 0);
        estimates_.doubts.insert(estimates_.doubts.begin() + i, std::move(d.doubts));
        estimates_.dormant.emplace(estimates_.dormant.begin() + i);
        gone.insert(gone.begin() + i, 0);
    }

    // Whether the plain list still holds doubtful start k at `end`: its
    // verdicts replayed from the model at every end where they were too close
    // to call. Under the optimum's rule a mark at an end less than min_size
    // before `end` has not taken effect: those doubts stay for later.
    bool held(std::size_t k, std::size_t end) {
        auto& doubts = estimates_.doubts[k];
        std::size_t kept = 0;
        for (const std::size_t end_slot : doubts) {
            if (hold_ && end_slot * jump_ + min_size_ > end) {
                doubts[kept++] = end_slot;
                continue;
            }
            const double thr = exact_prefix(end_slot) + pen_;
            if (!(thr >= exact_total(k, end_slot * jump_))) return false;
        }
        doubts.resize(kept);
        return true;
    }

    // Start k's plain total at `end`, from the model.
    double exact_total(std::size_t k, std::size_t end) {
        if (evaluations_ != nullptr) ++*evaluations_;
        const std::size_t slot = live_.parent[k];
        return exact_prefix(slot) + (model_.error(slot * jump_, end) + pen_);
    }

    // The plain F of an end, from the model along the parents down to an
    // end whose F is known exactly; each end it passes is then exact too.
    double exact_prefix(std::size_t slot) {
        std::vector<std::size_t>& path = path_;
        path.clear();
        for (std::size_t s = slot; tables_.estimated[s]; s = tables_.parent[s]) path.push_back(s);
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            const std::size_t s = *it, p = tables_.parent[s];
            if (evaluations_ != nullptr) ++*evaluations_;
            tables_.best[s] = tables_.best[p] + (model_.error(p * jump_, position(s)) + pen_);
            tables_.estimated[s] = 0;
            estimates_.slot_bound[s] = 0.0;
        }
        return tables_.best[slot];
    }

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
    Estimates<Family> estimates_;
    std::vector<typename Region::Cover> covers_;
    std::vector<std::size_t> path_;
    double largest_prefix_ = 0.0;
    double threshold_ = 0.0;
    double error_ = 0.0;          // the global E2 of the current end
    double sweep_bound_ = 0.0;    // point 7: |T - T'| of the current end, with room
    double clamped_ = 0.0;        // point 7: the largest T - U' of the current end (T' where T is not formed)
    double longest_chain_ = 0.0;  // R
    std::size_t chosen_ = 0;  // the entry the current end chose
    // Which entries step at the current end (plan_steps).
    bool step_every_ = true;
    std::size_t step_from_ = 0, step_next_ = 0, step_budget_ = 0, step_turn_ = 0;
    bool repeat_in_ = false;      // the last entry is the fresh copy of the end n
    bool hold_;                   // the optimum's rule for marked starts (point 8)
};

}  // namespace

template <class Family>
bool functional_pelt_with(const Family& family, const typename Family::Model& model, std::size_t n, std::size_t jump,
                          std::size_t min_size, double pen, PeltTables& tables, std::size_t* evaluations,
                          Control* control, bool hold_marked) {
    // Every end but n on the grid past the first; a penalty the bounds cover.
    if (min_size == 0 || n <= jump || n < min_size || n >= kExactPositions) return false;
    if (!(pen > 0.0 && pen < cost::kEnvelopeLargest)) return false;
    tables = start_tables(grid_count(n, jump));
    return FunctionalSearch(family, model, n, jump, min_size, pen, tables, evaluations, control, hold_marked).run();
}

template <class Model>
bool functional_pelt(const Model& model, std::size_t n, std::size_t jump, std::size_t min_size, double pen,
                     PeltTables& tables, std::size_t* evaluations, Control* control, bool hold_marked) {
    return cost::with_pruning_family(model, n, [&](const auto& family) {
        return functional_pelt_with(family, model, n, jump, min_size, pen, tables, evaluations, control,
                                    hold_marked);
    });
}

template bool functional_pelt(const cost::CostL2&, std::size_t, std::size_t, std::size_t, double, PeltTables&,
                              std::size_t*, Control*, bool);
template bool functional_pelt(const cost::CostL1&, std::size_t, std::size_t, std::size_t, double, PeltTables&,
                              std::size_t*, Control*, bool);

template bool functional_pelt_with(const cost::NormalColumnFamily&, const cost::CostNormal&, std::size_t,
                                   std::size_t, std::size_t, double, PeltTables&, std::size_t*, Control*, bool);

}  // namespace marbolt::detect
