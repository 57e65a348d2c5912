#include "detect/dynp/pruned.hpp"

#include <algorithm>
#include <cmath>

#include "cost/pruning_l2.hpp"

namespace marbolt::detect {

// Why the pruned layer gives the plain layer's items, to the bit: the
// argument of detect/pruning.hpp, with these specifics. A start t enters at
// the first end f with f - t >= min_size (the plain fill skips it before) and
// is usable at every later end. Its rest is its cost c_t in the previous
// layer, and the newer start of a region step is the entering start u, at
// its cost c_u: E2 is the family's E for the costs entered so far. The layer
// has no other pruning, so R = 0 and nothing else can remove a witness. M is
// twice the family's margin without a penalty, at least 256 E as long as the
// costs stay below the family's scale (an l2 cost of a prefix is at most its
// sum of squares).

template <class Family>
PrunedLayer<Family>::PrunedLayer(const Family& family)
    : family_(family), error_(family.error(0.0, 0.0)), margin_(family.margin(0.0, 2.0)) {}

template <class Family>
bool PrunedLayer<Family>::enter(const Candidate& u) {
    if (!(std::fabs(u.cost) < cost::kEnvelopeLargest)) return false;
    largest_cost_ = std::max(largest_cost_, std::fabs(u.cost));
    error_ = family_.error(0.0, largest_cost_);
    const double w = step_allowance(margin_, error_);
    const LayerRest rest{live_.prefix.data()};
    covers_.clear();
    std::size_t kept = 0;
    for (std::size_t k = 0; k < live_.size(); ++k) {
        const double value = rest.value(k, family_.residue(live_.state, k, u.start));
        const StepLevels levels = step_levels(u.cost, value, w);
        if (!take_step(family_.bracket(live_.state, k, u.start, levels.up, levels.down), live_.region[k], covers_)) {
            continue;
        }
        if (kept != k) live_.move(k, kept);
        ++kept;
    }
    evaluations_ += live_.size();
    live_.resize(kept);
    live_.push_back(family_, u.start, u.start, u.cost, RegionOf<Family>::outside(covers_));
    return true;
}

template <class Family>
bool PrunedLayer<Family>::settle(std::size_t end, Item& item) {
    const std::size_t count = live_.size();
    item = {};
    if (count == 0) return true;
    total_.resize(count);
    value_.resize(count);
    family_.evaluate(live_.state, end, LayerRest{live_.prefix.data()}, total_.data(), value_.data());
    evaluations_ += count;
    std::size_t chosen = 0;
    double clamped = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        chosen = total_[k] < total_[chosen] ? k : chosen;
        clamped = std::max(clamped, total_[k] - value_[k]);
    }
    item = {total_[chosen], live_.parent[chosen], true};
    return decision_holds(0.0, error_, clamped, margin_);
}

template class PrunedLayer<cost::L2ColumnFamily>;
template class PrunedLayer<cost::L2ColumnsFamily>;

}  // namespace marbolt::detect
