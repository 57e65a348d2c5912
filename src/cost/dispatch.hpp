// Resolves a Cost to its concrete model class once per search, so that the
// search's inner loop is compiled for that class: its error calls are direct
// (the classes are final) and inlined where the header defines them, instead
// of one virtual call per segment. The arithmetic is the same code either way,
// so results do not depend on which path a search took.
#pragma once

#include <typeinfo>

#include "cost/cost.hpp"
#include "cost/cost_kernel.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_mahalanobis.hpp"
#include "cost/cost_normal.hpp"

namespace marbolt::cost {

// Calls f(model) with the model seen as its own class when it is one of the
// classes whose segment cost is a few table reads, or one with a pruning
// family (cost/pruning.hpp); any other Cost (the models dominated by their
// own arithmetic, wrappers, test fakes) is passed as the interface. f must
// return the same type for every class.
template <class F>
decltype(auto) visit_model(const Cost& cost, F&& f) {
    const std::type_info& type = typeid(cost);
    if (type == typeid(CostL2)) return f(static_cast<const CostL2&>(cost));
    if (type == typeid(CostL1)) return f(static_cast<const CostL1&>(cost));
    if (type == typeid(CostNormal)) return f(static_cast<const CostNormal&>(cost));
    if (type == typeid(CostMahalanobis)) return f(static_cast<const CostMahalanobis&>(cost));
    if (type == typeid(CostKernel)) return f(static_cast<const CostKernel&>(cost));
    if (type == typeid(CostKernelLinear)) return f(static_cast<const CostKernelLinear&>(cost));
    return f(cost);
}

}  // namespace marbolt::cost
