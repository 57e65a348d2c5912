// Builds the prefix tables row by row, one compensated accumulator per stored
// quantity, so that each stored row is the read-out after adding that row.
#include "prefix/prefix.hpp"

#include "prefix/accumulator.hpp"

namespace marbolt::prefix {

Prefix1 Prefix1::build(std::span<const double> x, std::size_t n, std::size_t d) {
    Prefix1 p;
    p.data.assign((n + 1) * d, 0.0);
    p.stride = d;
    // Without columns there is nothing to sum, however many rows there are
    // (a (2**40, 0) signal is a valid input and must not loop over its rows).
    if (d == 0) return p;
    std::vector<CompensatedSum> acc(d);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            acc[j].add(x[i * d + j]);
            p.data[(i + 1) * d + j] = acc[j].value();
        }
    }
    return p;
}

PrefixOuter PrefixOuter::build(std::span<const double> x, std::size_t n, std::size_t d) {
    const std::size_t dd = d * d;
    PrefixOuter p;
    p.data.assign((n + 1) * dd, 0.0);
    p.stride = dd;
    if (dd == 0) return p;
    std::vector<CompensatedSum> acc(dd);
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = x.data() + i * d;
        double* out = p.data.data() + (i + 1) * dd;
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < d; ++k) {
                // The product is rounded on its own before it is added.
                const double prod = row[j] * row[k];
                acc[j * d + k].add(prod);
                out[j * d + k] = acc[j * d + k].value();
            }
        }
    }
    return p;
}

}  // namespace marbolt::prefix
