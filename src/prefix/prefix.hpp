// Prefix sums from which the moment-based costs read any segment in time
// independent of its length: per-column sums (Prefix1) and sums of row outer
// products (PrefixOuter), both accumulated with compensated summation.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace marbolt::prefix {

// (n + 1) rows of d entries; row 0 is zeros and row r holds the column sums of
// rows 0 .. r-1, so a segment's sum is a difference of two rows.
struct Prefix1 {
    std::vector<double> data;
    std::size_t stride = 0;  // d

    // x is row-major with at least n * d entries.
    static Prefix1 build(std::span<const double> x, std::size_t n, std::size_t d);

    // Sum of column j over [start, end).
    double segment_sum(std::size_t start, std::size_t end, std::size_t j) const noexcept {
        return data[end * stride + j] - data[start * stride + j];
    }
};

// (n + 1) blocks of d * d entries; block r holds the sums of x_i x_i^T over rows
// 0 .. r-1, entry (j, k) at j * d + k. Both triangles are accumulated on their
// own, so a block is symmetric because the products commute, not by copying.
struct PrefixOuter {
    std::vector<double> data;
    std::size_t stride = 0;  // d * d

    static PrefixOuter build(std::span<const double> x, std::size_t n, std::size_t d);

    // Entry m (= j * d + k) of the scatter matrix over [start, end).
    double segment_sum(std::size_t start, std::size_t end, std::size_t m) const noexcept {
        return data[end * stride + m] - data[start * stride + m];
    }
};

}  // namespace marbolt::prefix
