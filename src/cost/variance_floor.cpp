#include "cost/variance_floor.hpp"

#include <algorithm>

namespace marbolt::cost {

// O(n log n) per column, once per engine: a sorted copy of the column.
std::vector<double> column_resolutions(std::span<const double> x, std::size_t n, std::size_t d) {
    std::vector<double> resolutions(d, 0.0);
    std::vector<double> column;
    column.reserve(n);
    for (std::size_t j = 0; j < d; ++j) {
        column.clear();
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(x[i * d + j])) column.push_back(x[i * d + j]);
        }
        std::sort(column.begin(), column.end());
        double smallest = 0.0;
        for (std::size_t i = 1; i < column.size(); ++i) {
            const double gap = column[i] - column[i - 1];
            // An overflowing gap (values of both signs near the largest double) says
            // nothing about a grid.
            if (gap > 0.0 && std::isfinite(gap) && (smallest == 0.0 || gap < smallest)) smallest = gap;
        }
        resolutions[j] = smallest;
    }
    return resolutions;
}

}  // namespace marbolt::cost
