// The pruning engine shared by PELT (pelt/functional.cpp) and the dynamic
// programming's layers (dynp/pruned.cpp): the live starts of a sweep, the
// rests of their totals, their regions, and the argument that makes dropping
// starts exact. What depends on the model comes from its pruning family
// (cost/pruning.hpp): each start's state, its exact total, the bracket of
// its level sets and the rounding bound of both.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "cost/pruning.hpp"
#include "detect/envelope.hpp"

namespace marbolt::detect {

// Why dropping a start never changes what the plain search records.
//
// Notation. Prefix tables, recorded costs and penalties are doubles, read
// from here on as exact reals; only what the code computes is rounded. A
// start t of an end b > t has the total
//     q_t(theta) = rest_t + C_tb(theta),
// where theta is the last segment's parameter (a mean, a median, ...),
// C_tb(theta) the sum over the samples of [t, b) of the family's loss at
// theta, and rest_t what the search adds: F[t] + pen for PELT, the previous
// layer's cost for dynp. Its exact total is tau(t, b) = min over theta of
// q_t, the model's cost of [t, b) plus the rest; the plain search computes
// T(t, b), that expression rounded as the model and the search round it. For
// t < u, q_t - q_u = rest_t - rest_u + C_tu(theta) does not depend on the
// end: a dominance shown once holds at every later end.
//
// 1. Rounding (the family's bound). The family gives a value U(t, b) within E
// of tau(t, b), and T(t, b) >= tau(t, b) - E, with a global E (that grows
// with the largest rest recorded so far, each step using the E of its time)
// and a far smaller local one for a pair it has evaluated.
//
// 2. Regions. Every live start k keeps a region, a set of theta containing
// every theta where no witness is sure to beat it by the margin M. A newer
// start w arrives at the level lambda = rest_w (PELT: the end just settled,
// F[b] + pen, computed as thr within 2^-52 |thr|; dynp: the entering start's
// cost). Then q_k - q_w = C_kw(theta) - min C_kw + minDelta with minDelta =
// tau(k, w) - lambda within E2 of U(k, w) - lambda, E2 the bound E plus the
// rounding of lambda. With the allowance a >= M + E2 (step_allowance):
//  - {theta : q_k - q_w < M} lies within the family's bracket of C_kw at
//    a_up = (lambda - U) + a, rounded up: k keeps only that much of its
//    region (its reach); outside it, w beats k by M;
//  - {theta : q_w - q_k >= M} holds the family's bracket at
//    a_down = (lambda - U) - a, rounded down (k's cover): there k beats w by
//    M, and w's region is what no cover holds.
// step_levels forms both with the roundings of the gap and the allowance
// covered. So when a region empties, every theta has a witness w, an older
// start or the newer one that cleared it, with q_k(theta) >= q_w(theta) + M
// in exact arithmetic, and k is dropped.
//
// 3. Dropped starts never win. Witnesses stay usable at every end where the
// start they beat is (an older witness since before, a newer one from the
// end it was made at on), so walk from a dropped start d at any theta to its
// witness, on from a dropped witness to its own, and so on: q falls by M at
// each step, positions never repeat, and the walk ends at a live start c with
// q_d(theta) >= q_c(theta) + M. A search that also drops starts by its own
// rule (PELT's threshold) adds to the walk a step from each start it pruned
// to a stand-in, with a slack in q that the search bounds (a chain,
// pelt/functional.cpp); with R the largest total slack of the chains a walk
// can take between two witness steps, q_d(theta) >= q_c(theta) + M - R. Over
// all theta,
//     T(d, b) >= tau(d, b) - E >= tau(c', b) + M - R - E
//             >= T(c', b) - (T - U)(c', b) - 2E + M - R,
// c' the live start with the smallest tau. Each end checks
//     R + 2E + max over the live list of (T - U) < M
// (decision_holds, with a rounding allowance) before it decides; then every
// dropped start totals strictly more than a live one, and the first minimum
// over the live list, which keeps the starts' order, is the plain one, ties
// and all. When the check fails (near ties along a chain, a clamp that hid a
// large negative residue), the search hands over to the plain one. M is far
// below the gaps that decide a start's fate (of the order of the penalty and
// of the noise) unless those are tiny against the family's scale, which only
// weakens the pruning.

// The rest of a PELT total: segment cost and penalty first, then the prefix cost.
struct PeltRest {
    const double* prefix;
    double pen;

    double total(std::size_t k, double cost) const noexcept { return prefix[k] + (cost + pen); }
    double value(std::size_t k, double residue) const noexcept { return prefix[k] + (residue + pen); }
};

// The rest of a dynp total: the segment cost, then the previous layer's cost.
struct LayerRest {
    const double* cost;

    double total(std::size_t k, double segment) const noexcept { return segment + cost[k]; }
    double value(std::size_t k, double residue) const noexcept { return cost[k] + residue; }
};

// The allowance a >= M + E2 of point 2, rounded up.
inline double step_allowance(double margin, double error) noexcept { return (margin + error) * (1.0 + 0x1p-50); }

// a_up and a_down of point 2 (cost::step_levels, which a family's vector
// loops form too).
using cost::step_levels;
using cost::StepLevels;

// The check of point 3: chains, twice the global E and the largest T - U of
// the live list, with a rounding allowance, below the margin.
inline bool decision_holds(double chains, double error, double largest_clamp, double margin) noexcept {
    return (chains + 2.0 * error + largest_clamp) * (1.0 + 0x1p-40) < margin;
}

// The region kind of a family, by the shape of its brackets.
template <class Family>
using RegionOf = typename RegionKind<Family>::type;

// The live starts of a sweep in list order, as parallel arrays so that an
// end's arithmetic runs as straight loops: what an end the start wins
// records as its parent, the best cost of the prefix before it (PELT's F,
// the previous layer's cost for dynp), its region, and the family's state
// of it.
template <class Family>
struct LiveStarts {
    std::vector<std::size_t> parent;
    std::vector<double> prefix;
    std::vector<RegionOf<Family>> region;
    typename Family::Starts state;

    std::size_t size() const noexcept { return parent.size(); }

    void push_back(const Family& family, std::size_t at, std::size_t position, double cost, RegionOf<Family> r) {
        parent.push_back(at);
        prefix.push_back(cost);
        region.push_back(std::move(r));
        family.push(state, position);
    }
    void move(std::size_t from, std::size_t to) noexcept {
        parent[to] = parent[from];
        prefix[to] = prefix[from];
        region[to] = std::move(region[from]);
        state.move(from, to);
    }
    void resize(std::size_t size) {
        cost::resize_to(parent, size);
        cost::resize_to(prefix, size);
        cost::resize_to(region, size);
        state.resize(size);
    }
};

}  // namespace marbolt::detect
