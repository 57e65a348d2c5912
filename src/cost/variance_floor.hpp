// The variance a segment of rounded data can be known to have. A value
// rounded to a grid of step q is only known to lie in its bin, so its exact
// likelihood is the probability of that bin, at most 1, and in density terms
// -2 log-likelihood of a sample is at least 2 log q. A likelihood cost that
// takes a run of one repeated value at face value prices it at minus infinity
// (or at the small diagonal's log), and the search cuts such runs out for no
// other merit. Estimated under the constraint variance >= q^2 / (2 pi), the
// variance of a run of one repeated value is held at that floor and the run
// costs, per sample, log(q^2 / (2 pi)) - 1: in the costs' units (which drop
// log 2 pi + 1 per sample) exactly the bound above, the cost of a value known
// to its bin with certainty. Where the constraint does not bind the cost is
// the unconstrained one, bit for bit. (The floor is about twice the rounding
// error's own variance q^2 / 12: on seeded rounded Gaussian series that
// smaller floor still let runs of repeats through.)
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <vector>

namespace marbolt::cost {

// Per column, the smallest positive gap between two of its finite values: the
// step of the grid the data were rounded to (for counts, 1), or a tiny gap
// for data that were not rounded. 0 for a column with fewer than two distinct
// finite values, whose resolution cannot be seen.
std::vector<double> column_resolutions(std::span<const double> x, std::size_t n, std::size_t d);

// q^2 / (2 pi), the floor of a column of resolution q; 0 for none.
inline double resolution_floor(double resolution) noexcept {
    return resolution * resolution / (2.0 * std::numbers::pi);
}

// The log-likelihood term of a variance estimated as v under the constraint
// sigma^2 >= floor, so that L * held_log_variance(v, floor) is
// min over sigma^2 >= floor of (L log sigma^2 + L v / sigma^2) - L. Above the
// floor that is L log v; below it the variance is held at the floor and the
// likelihood keeps the slack v / floor - 1 (<= 0). A minimum over a parameter
// of a sum over samples, so splitting a segment never raises its cost, which
// PELT's pruning relies on. With floor 0 it is log v, bit for bit.
inline double held_log_variance(double v, double floor) noexcept {
    if (v < floor) return std::log(floor) + (v / floor - 1.0);
    return std::log(v);
}

}  // namespace marbolt::cost
