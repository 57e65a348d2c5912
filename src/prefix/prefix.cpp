// Builds the prefix tables row by row, one compensated accumulator per stored
// quantity, so that each stored row is the read-out after adding that row.
#include "prefix/prefix.hpp"

#include "prefix/accumulator.hpp"

namespace marbolt::prefix {

Prefix1 Prefix1::build(std::span<const double> x, std::size_t n, std::size_t d) {
    return build_from(n, d, [&](std::size_t i, std::size_t j) { return x[i * d + j]; });
}

Prefix1 Prefix1::build_centred(std::span<const double> x, std::size_t n, std::size_t d,
                               std::span<const double> means) {
    return build_from(n, d, [&](std::size_t i, std::size_t j) { return x[i * d + j] - means[j]; });
}

namespace {

// One column with its two accumulators in locals. With accumulators in an
// array, the table stores go through pointers the compiler cannot tell apart
// from them, which puts a store and a reload into every link of the chains of
// dependent additions: for one column that doubles the build time.
void fill_one_column(std::span<const double> x, std::size_t n, double mean,
                     std::vector<double>& sum, std::vector<double>& sq) noexcept {
    CompensatedSum acc, acc_sq;
    for (std::size_t i = 0; i < n; ++i) {
        const double c = x[i] - mean;
        acc.add(c);
        acc_sq.add(c * c);
        sum[i + 1] = acc.value();
        sq[i + 1] = acc_sq.value();
    }
}

}  // namespace

// Both tables in one loop: each compensated sum is a chain of dependent
// additions, and the two independent chains overlap in the pipeline.
std::pair<Prefix1, Prefix1> Prefix1::build_centred_with_squares(std::span<const double> x,
                                                                std::size_t n, std::size_t d,
                                                                std::span<const double> means) {
    std::pair<Prefix1, Prefix1> p;
    auto& [sum, sq] = p;
    sum.data.assign((n + 1) * d, 0.0);
    sq.data.assign((n + 1) * d, 0.0);
    sum.stride = sq.stride = d;
    if (d == 0) return p;
    if (d == 1) {
        fill_one_column(x, n, means[0], sum.data, sq.data);
        return p;
    }
    std::vector<CompensatedSum> acc(d), acc_sq(d);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const double c = x[i * d + j] - means[j];
            acc[j].add(c);
            acc_sq[j].add(c * c);
            sum.data[(i + 1) * d + j] = acc[j].value();
            sq.data[(i + 1) * d + j] = acc_sq[j].value();
        }
    }
    return p;
}

PrefixOuter PrefixOuter::build(std::span<const double> x, std::size_t n, std::size_t d) {
    return build_centred(x, n, d, {});
}

// Without means the rows are read as they are; with them each row is centred
// into a d-entry buffer first, with the subtraction a centred copy would do.
PrefixOuter PrefixOuter::build_centred(std::span<const double> x, std::size_t n, std::size_t d,
                                       std::span<const double> means) {
    const std::size_t dd = d * d;
    PrefixOuter p;
    p.data.assign((n + 1) * dd, 0.0);
    p.stride = dd;
    if (dd == 0) return p;
    std::vector<CompensatedSum> acc(dd);
    std::vector<double> centred(means.empty() ? 0 : d);
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = x.data() + i * d;
        if (!means.empty()) {
            for (std::size_t j = 0; j < d; ++j) centred[j] = row[j] - means[j];
            row = centred.data();
        }
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

std::pair<Prefix1, PrefixOuter> centred_sums_and_outer(std::span<const double> x, std::size_t n,
                                                       std::size_t d, std::span<const double> means) {
    if (d == 1) {
        auto [sum, squares] = Prefix1::build_centred_with_squares(x, n, d, means);
        return {std::move(sum), PrefixOuter{std::move(squares.data), 1}};
    }
    return {Prefix1::build_centred(x, n, d, means), PrefixOuter::build_centred(x, n, d, means)};
}

}  // namespace marbolt::prefix
