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

namespace marbolt::detect {

// Writes items[j], the best split of the prefix ending at closed[j], exactly
// as the plain layer fill does, bit for bit, and returns true; returns false,
// leaving `items` meaningless, when the argument that makes the pruning exact
// does not hold for this layer (a cost that is not finite, tables too large
// for the bounds, a clamp that hid a large negative residue). `energy` is
// l2_energy of the model's tables; `candidates` ascend.
bool pruned_layer(const cost::CostL2& model, double energy, const std::vector<Candidate>& candidates,
                  const std::vector<std::size_t>& closed, std::size_t min_size, std::vector<Item>& items,
                  std::size_t* evaluations);

}  // namespace marbolt::detect
