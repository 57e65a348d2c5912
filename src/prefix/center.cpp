// Column means by compensated summation and the centred copy of a signal.
#include "prefix/center.hpp"

#include "prefix/accumulator.hpp"

namespace marbolt::prefix {

std::vector<double> column_means(std::span<const double> x, std::size_t n, std::size_t d) {
    std::vector<double> means(d, 0.0);
    // An empty signal has mean 0, not 0/0; without columns there is nothing to
    // visit, however many rows there are.
    if (n == 0 || d == 0) return means;
    // One column at a time, its accumulator in locals, so the chain of
    // dependent additions is the only latency in the loop.
    const double count = static_cast<double>(n);
    for (std::size_t j = 0; j < d; ++j) {
        CompensatedSum acc;
        for (std::size_t i = 0; i < n; ++i) acc.add(x[i * d + j]);
        means[j] = acc.value() / count;
    }
    return means;
}

std::vector<double> subtract_means(std::span<const double> x, std::size_t n, std::size_t d,
                                   std::span<const double> means) {
    std::vector<double> out(n * d);
    if (d == 0) return out;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) out[i * d + j] = x[i * d + j] - means[j];
    }
    return out;
}

std::vector<double> center(std::span<const double> x, std::size_t n, std::size_t d) {
    return subtract_means(x, n, d, column_means(x, n, d));
}

}  // namespace marbolt::prefix
