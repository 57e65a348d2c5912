// What PELT with functional pruning adds for families that estimate their
// totals (l1): bounded estimates, the plain totals formed from the model
// only near a decision, and starts that sleep on a doubtful verdict.
#pragma once

#include "detect/pelt/functional_search.hpp"

namespace marbolt::detect::functional {
namespace {

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

// Point 4 for families that estimate.
template <class Family>
inline void FunctionalSearch<Family>::estimate(std::size_t end) {
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
template <class Family>
inline double FunctionalSearch<Family>::total_bound(double prefix, double prefix_bound, const auto& c, double t) const noexcept {
    const double spread = (prefix_bound + c.bound) + c.rounding;
    return up(spread + 0x1p-50 * (std::fabs(prefix) + prefix_bound + std::fabs(t) +
                                  2.0 * (std::fabs(c.cost) + spread + std::fabs(pen_))));
}

// The first smallest plain total among the candidates: when one
// candidate's estimate is clear of every other's, that one, with its
// estimate; otherwise the plain totals of the candidates within reach of
// the minimum, from the model.
template <class Family>
inline std::size_t FunctionalSearch<Family>::estimated_minimum(std::size_t end) {
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

template <class Family>
inline bool FunctionalSearch<Family>::contends(std::size_t k, std::size_t end, double highest) const noexcept {
    return !estimates_.gone[k] && candidate(k, end) && scratch_.total[k] - estimates_.bound[k] <= highest;
}

// Entry k leaves the list at this end, pruned or doubtful (point 6): the
// starts it hosts move to the start appended at this end.
template <class Family>
inline void FunctionalSearch<Family>::pass_on(std::size_t k) {
    auto& pending = estimates_.pending;
    for (auto& d : estimates_.dormant[k]) pending.push_back(std::move(d));
    estimates_.dormant[k].clear();
}

// Doubtful entry k goes to sleep now, hosted by the start appended at this
// end, with the starts it hosts.
template <class Family>
inline void FunctionalSearch<Family>::leave(std::size_t k, std::size_t end_slot) {
    pass_on(k);
    if (status_[k] != Status::live) --pending_;
    estimates_.pending.push_back({live_.parent[k], end_slot, live_.prefix[k], estimates_.prefix_bound[k],
                                  chain_[k], live_.state.take(k), live_.region[k],
                                  std::move(estimates_.doubts[k])});
    estimates_.doubts[k].clear();
}

// Drowsy entry k goes to sleep at the end of slot end_slot, hosted by the
// entry of its host, if that is still there; false otherwise.
template <class Family>
inline bool FunctionalSearch<Family>::fall_asleep(std::size_t k, std::size_t end_slot) {
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
template <class Family>
inline bool FunctionalSearch<Family>::wake(std::size_t end, double highest) {
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
template <class Family>
inline bool FunctionalSearch<Family>::replayed(auto& d, std::size_t end, std::size_t& marked_until) {
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
template <class Family>
inline void FunctionalSearch<Family>::insert_start(auto&& d, std::size_t marked_until, std::vector<char>& gone) {
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
template <class Family>
inline bool FunctionalSearch<Family>::held(std::size_t k, std::size_t end) {
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
template <class Family>
inline double FunctionalSearch<Family>::exact_total(std::size_t k, std::size_t end) {
    if (evaluations_ != nullptr) ++*evaluations_;
    const std::size_t slot = live_.parent[k];
    return exact_prefix(slot) + (model_.error(slot * jump_, end) + pen_);
}

// The plain F of an end, from the model along the parents down to an
// end whose F is known exactly; each end it passes is then exact too.
template <class Family>
inline double FunctionalSearch<Family>::exact_prefix(std::size_t slot) {
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

}  // namespace
}  // namespace marbolt::detect::functional
