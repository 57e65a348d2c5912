// The live list of PELT with functional pruning: the run over the ends,
// entries appended, moved up and cut, and the waits of points 1 and 3
// (functional_search.hpp) carried out when they fall due.
#pragma once

#include "detect/pelt/functional_search.hpp"

namespace marbolt::detect::functional {
namespace {

template <class Family>
inline bool FunctionalSearch<Family>::run() {
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

// The end n: the candidates are the starts at least min_size before it;
// when the one the plain search appends for n was appended before, it
// comes again as a fresh copy (the old one may have been pruned).
template <class Family>
inline bool FunctionalSearch<Family>::settle_last_end() {
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

template <class Family>
inline void FunctionalSearch<Family>::append(std::size_t slot, double chain, Region region) {
    live_.push_back(family_, slot, slot * jump_, tables_.best[slot], std::move(region));
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
template <class Family>
inline void FunctionalSearch<Family>::keep_at(std::size_t k, std::size_t to) {
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

template <class Family>
inline void FunctionalSearch<Family>::cut_list(std::size_t size) {
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
template <class Family>
inline void FunctionalSearch<Family>::expire(std::size_t end, std::size_t end_slot) {
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

}  // namespace
}  // namespace marbolt::detect::functional
