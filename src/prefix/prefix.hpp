// Prefix sums from which the moment-based costs read any segment in time
// independent of its length: per-column sums (Prefix1) and sums of row outer
// products (PrefixOuter), both accumulated with compensated summation.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "prefix/accumulator.hpp"

namespace marbolt::prefix {

// (n + 1) rows of d entries; row 0 is zeros and row r holds the column sums of
// rows 0 .. r-1, so a segment's sum is a difference of two rows.
struct Prefix1 {
    std::vector<double> data;
    std::size_t stride = 0;  // d

    // x is row-major with at least n * d entries.
    static Prefix1 build(std::span<const double> x, std::size_t n, std::size_t d);
    // Prefix sums of value(i, j) for every row i < n and column j < d, each
    // value formed when it is added: tables of derived quantities without an
    // n x d temporary.
    template <class Value>
    static Prefix1 build_from(std::size_t n, std::size_t d, Value value);
    // The same of the centred signal x - means (one mean per column), each
    // value formed as a centred copy would hold it, but without the copy: one
    // pass over x and no n x d temporary beside the table.
    static Prefix1 build_centred(std::span<const double> x, std::size_t n, std::size_t d,
                                 std::span<const double> means);
    // That table and the one of the element-wise squares of the centred
    // values, in a single pass.
    static std::pair<Prefix1, Prefix1> build_centred_with_squares(std::span<const double> x,
                                                                  std::size_t n, std::size_t d,
                                                                  std::span<const double> means);

    // Sum of column j over [start, end).
    double segment_sum(std::size_t start, std::size_t end, std::size_t j) const noexcept {
        return data[end * stride + j] - data[start * stride + j];
    }
};

template <class Value>
Prefix1 Prefix1::build_from(std::size_t n, std::size_t d, Value value) {
    Prefix1 p;
    p.data.assign((n + 1) * d, 0.0);
    p.stride = d;
    // Without columns there is nothing to sum, however many rows there are
    // (a (2**40, 0) signal is a valid input and must not loop over its rows).
    if (d == 0) return p;
    std::vector<CompensatedSum> acc(d);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            acc[j].add(value(i, j));
            p.data[(i + 1) * d + j] = acc[j].value();
        }
    }
    return p;
}

// (n + 1) blocks of d * d entries; block r holds the sums of x_i x_i^T over rows
// 0 .. r-1, entry (j, k) at j * d + k. Both triangles are accumulated on their
// own, so a block is symmetric because the products commute, not by copying.
struct PrefixOuter {
    std::vector<double> data;
    std::size_t stride = 0;  // d * d

    static PrefixOuter build(std::span<const double> x, std::size_t n, std::size_t d);
    // The same of the centred signal x - means, one row centred at a time.
    static PrefixOuter build_centred(std::span<const double> x, std::size_t n, std::size_t d,
                                     std::span<const double> means);

    // Entry m (= j * d + k) of the scatter matrix over [start, end).
    double segment_sum(std::size_t start, std::size_t end, std::size_t m) const noexcept {
        return data[end * stride + m] - data[start * stride + m];
    }
};

// The Prefix1 and the PrefixOuter of the centred signal x - means, without a
// centred copy. With one column the outer products are the squares, and both
// tables come from one pass whose two accumulator chains overlap.
std::pair<Prefix1, PrefixOuter> centred_sums_and_outer(std::span<const double> x, std::size_t n,
                                                       std::size_t d, std::span<const double> means);

}  // namespace marbolt::prefix
