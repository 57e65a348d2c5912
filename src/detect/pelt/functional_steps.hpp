// The region step of PELT with functional pruning: each start's bracket
// against the end just settled, the clip of its region to the reach, the
// covers' union that makes the region of the start appended.
#pragma once

#include "detect/pelt/functional_search.hpp"

namespace marbolt::detect::functional {
namespace {

// Entry k's bracket against the end just settled.
template <class Family>
inline typename Family::Bracket FunctionalSearch<Family>::bracket(std::size_t k, std::size_t end, double allowance) const noexcept {
    const StepLevels levels = step_levels(threshold_, scratch_.value[k], allowance);
    return family_.bracket(live_.state, k, end, levels.up, levels.down);
}

// Every entry's bracket, in one loop, for a family whose brackets cost a
// few operations; the others are bracketed once they pass the threshold.
template <class Family>
inline void FunctionalSearch<Family>::measure(std::size_t end) {
    if constexpr (kSweptBrackets) {
        family_.brackets(live_.state, end, scratch_.inv.data(), scratch_.value.data(), threshold_,
                         step_allowance(margin_, error_), scratch_.roots.data(), scratch_.ends.data());
        scratch_.stride = cost::whole_vectors(live_.size());
    } else if constexpr (kExact) {
        const double w = step_allowance(margin_, error_);
        plan_steps(end);
        for (std::size_t k = 0; k < live_.size(); ++k) {
            if (!stepped(k)) continue;
            form(k, end);
            scratch_.bracket[k] = bracket(k, end, w);
        }
    }
}

// Which entries take a region step at this end, for a family with a
// budget: a window of that many entries that moves along the list from
// end to end (so each start in turn), and always the newest, whose region
// is widest, the few with the lowest values, whose covers reach farthest
// into the newest's region, those whose regions the covers' union emptied
// at the last end, so that they leave at once, and each start at the ages
// that are powers of two (young starts are the likeliest to go).
template <class Family>
inline void FunctionalSearch<Family>::plan_steps(std::size_t end) noexcept {
    if constexpr (kBudgeted) {
        const std::size_t count = live_.size(), budget = family_.step_budget(count);
        step_every_ = budget == 0 || count <= budget;
        step_turn_ = end / jump_;
        if (step_every_) return;
        step_mark_.assign(count, 0);
        const std::size_t from = step_next_ % count;
        step_next_ = from + budget;
        for (std::size_t k = from; k < std::min(count, from + budget); ++k) step_mark_[k] = 1;
        for (std::size_t k = 0; k + count < from + budget; ++k) step_mark_[k] = 1;
        step_mark_[count - 1] = 1;
        step_mark_[chosen_] = 1;
        mark_lowest_values(count);
        if constexpr (kUnion) {
            const std::size_t* parent = live_.parent.data();
            for (std::size_t slot : union_.buried()) {
                const auto k = static_cast<std::size_t>(std::lower_bound(parent, parent + count, slot) - parent);
                if (k < count && parent[k] == slot) step_mark_[k] = 1;
            }
        }
    }
}

// Marks the family's step_lowest() entries of lowest value (none if it
// names none), found by insertion into a short list.
template <class Family>
inline void FunctionalSearch<Family>::mark_lowest_values(std::size_t count) noexcept {
    constexpr std::size_t kLowest = 8;
    std::size_t wanted = 0;
    if constexpr (requires { family_.step_lowest(); }) wanted = std::min(kLowest, family_.step_lowest());
    const double* value = scratch_.value.data();
    std::array<std::size_t, kLowest> low;
    std::size_t held = 0;
    for (std::size_t k = 0; k < count && wanted > 0; ++k) {
        if (held == wanted && !(value[k] < value[low[held - 1]])) continue;
        std::size_t at = held < wanted ? held++ : held - 1;
        for (; at > 0 && value[k] < value[low[at - 1]]; --at) low[at] = low[at - 1];
        low[at] = k;
    }
    for (std::size_t i = 0; i < held; ++i) step_mark_[low[i]] = 1;
}

template <class Family>
inline bool FunctionalSearch<Family>::stepped(std::size_t k) const noexcept {
    if constexpr (kBudgeted) {
        const std::size_t age = step_turn_ - live_.parent[k];
        return step_every_ || step_mark_[k] != 0 || (age & (age - 1)) == 0;
    } else {
        return true;
    }
}

template <class Family>
inline typename Family::Bracket FunctionalSearch<Family>::measured(std::size_t k, std::size_t end) const noexcept {
    if constexpr (kSweptBrackets) {
        const double* ends = scratch_.ends.data();
        const std::size_t n = scratch_.stride;
        return {{ends[k], ends[n + k]}, {ends[2 * n + k], ends[3 * n + k]}};
    } else if constexpr (kExact) {
        return scratch_.bracket[k];
    } else {
        return bracket(k, end, step_allowance(margin_, step_error(k)));
    }
}

template <class Family>
inline bool FunctionalSearch<Family>::settle_grid_end(std::size_t end_slot) {
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
    if constexpr (kSweptBrackets) {
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
    if constexpr (kUnion) {
        if (pending_ == 0) union_.run(family_, live_, tables_.best.data(), jump_, pen_, margin_,
                                        family_.error(pen_, largest_prefix_));
    }
    return true;
}

// The loop above where nothing waits and every entry is live and tested
// (min_size <= jump, the next end min_size or more away), as most ends
// of a sweep are: the same verdicts and steps, in the same order, with
// the entries kept moved up without a branch and only what such an entry
// has (its status and wait are those of every entry).
template <class Family>
inline void FunctionalSearch<Family>::prune_swept(std::size_t end, std::size_t end_slot) {
    const std::size_t count = live_.size();
    const double* reach_lo = scratch_.ends.data();
    const double* reach_hi = reach_lo + scratch_.stride;
    const double* cover_lo = reach_hi + scratch_.stride;
    const double* cover_hi = cover_lo + scratch_.stride;
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
            guess_ = k == guess_ ? kept : guess_;
        }
        kept += alive ? 1 : 0;
    }
    cut_list(kept);
    longest_chain_ = std::max(longest_chain_, chain);
    const std::optional<Interval> hull = linked.hull();
    append(end_slot, chain,
           hull ? Region::outside(*hull) : Region::outside(std::span<Interval>(covers, n_covers)));
}

}  // namespace
}  // namespace marbolt::detect::functional
