// One layer of the dynamic programming for one-column l2 with functional
// pruning (pruned DP: Rigaill, "A pruned dynamic programming algorithm to
// recover the best segmentations with 1 to Kmax change-points", Journal de la
// Societe Francaise de Statistique 156(4), 2015): the ends are swept in order,
// and a candidate start whose total, as a function of the last segment's mean,
// lies above the other candidates' lower envelope by a margin everywhere
// leaves the layer. On signals with few changes a few dozen starts stay alive
// per end instead of every one before it.
#pragma once

#include <cstddef>
#include <vector>

#include "cost/cost_l2.hpp"
#include "detect/dynp/layer.hpp"
#include "detect/envelope.hpp"

namespace marbolt::detect {

// One layer's sweep: candidates enter in ascending order, each at the first
// end that can use it, and settle() gives each end's best split exactly as
// the plain layer fill does, bit for bit. `energy` is l2_energy of the
// model's tables. enter() and settle() return false when the argument that
// makes the pruning exact does not cover this layer (a cost that is not
// finite or too large, a clamp that hid a large negative residue): the layer
// must then be filled by the plain recursion.
class PrunedLayer {
public:
    PrunedLayer(const cost::CostL2& model, double energy);

    bool enter(const Candidate& u);
    // items are `found` only where a candidate was live.
    bool settle(std::size_t end, Item& item);
    // Segment costs evaluated so far.
    std::size_t evaluations() const noexcept { return evaluations_; }

private:
    const double* s_;
    const double* q_;
    std::size_t evaluations_ = 0;
    double energy_;             // V
    double largest_cost_ = 0.0;  // Cmax
    double error_;              // E
    double margin_;             // M
    LiveStarts live_;
    std::vector<double> total_, unclamped_;
    std::vector<Interval> covers_;
};

}  // namespace marbolt::detect
