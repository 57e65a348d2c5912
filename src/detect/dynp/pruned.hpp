// One layer of the dynamic programming with functional pruning (pruned DP:
// Rigaill, "A pruned dynamic programming algorithm to recover the best
// segmentations with 1 to Kmax change-points", Journal de la Societe
// Francaise de Statistique 156(4), 2015): the ends are swept in order, and a
// start whose total, as a function of the last segment's parameter, lies
// above the other starts' lower envelope by a margin everywhere leaves the
// layer. On signals with few changes a few dozen starts stay alive per end
// instead of every one before it. Served for every model with a pruning
// family (cost/pruning.hpp).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "detect/dynp/layer.hpp"
#include "detect/pruning.hpp"

namespace marbolt::detect {

// One layer's sweep: starts enter in ascending order, each at the first end
// that can use it, and settle() gives each end's best split exactly as the
// plain layer fill does, bit for bit. enter() and settle() return false when
// the argument that makes the pruning exact does not cover this layer (a
// cost that is not finite or too large, a clamp that hid a large negative
// residue): the layer must then be filled by the plain recursion.
class LayerSweep {
public:
    virtual ~LayerSweep() = default;
    virtual bool enter(const Candidate& u) = 0;
    // items are `found` only where a start was live.
    virtual bool settle(std::size_t end, Item& item) = 0;
    // Segment costs evaluated so far.
    virtual std::size_t evaluations() const noexcept = 0;
};

// A fresh sweep for each layer.
using LayerSweeps = std::function<std::unique_ptr<LayerSweep>()>;

template <class Family>
class PrunedLayer final : public LayerSweep {
public:
    explicit PrunedLayer(const Family& family);

    bool enter(const Candidate& u) override;
    bool settle(std::size_t end, Item& item) override;
    std::size_t evaluations() const noexcept override { return evaluations_; }

private:
    const Family& family_;
    std::size_t evaluations_ = 0;
    double largest_cost_ = 0.0;  // Cmax
    double error_;               // E
    double margin_;              // M
    LiveStarts<Family> live_;
    std::vector<double> total_, value_;
    std::vector<typename RegionOf<Family>::Cover> covers_;
};

// Sweeps of the family's layers; the family must outlive them.
template <class Family>
LayerSweeps layer_sweeps(const Family& family) {
    return [&family] { return std::make_unique<PrunedLayer<Family>>(family); };
}

}  // namespace marbolt::detect
