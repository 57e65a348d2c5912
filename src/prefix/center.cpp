// Column means by compensated summation and the centred copy of a signal.
#include "prefix/center.hpp"

#include "prefix/accumulator.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marbolt::prefix {

namespace {

// Compensated sum of column j from row 0 down, read out.
double column_sum(std::span<const double> x, std::size_t n, std::size_t d, std::size_t j) {
    CompensatedSum acc;
    for (std::size_t i = 0; i < n; ++i) acc.add(x[i * d + j]);
    return acc.value();
}

#if defined(__SSE2__)
// Columns j .. j + 3 in one pass, each with its own accumulator in a vector
// lane, so that four chains of dependent additions overlap and every row is
// read once instead of once per column. The bits are the scalar sums'.
void four_column_sums(std::span<const double> x, std::size_t n, std::size_t d, std::size_t j,
                      double* sums) {
    CompensatedPair low, high;
    for (std::size_t i = 0; i < n; ++i) {
        low.add(_mm_loadu_pd(x.data() + i * d + j));
        high.add(_mm_loadu_pd(x.data() + i * d + j + 2));
    }
    _mm_storeu_pd(sums, low.value());
    _mm_storeu_pd(sums + 2, high.value());
}
#endif

}  // namespace

std::vector<double> column_means(std::span<const double> x, std::size_t n, std::size_t d) {
    std::vector<double> means(d, 0.0);
    // An empty signal has mean 0, not 0/0; without columns there is nothing to
    // visit, however many rows there are.
    if (n == 0 || d == 0) return means;
    std::size_t j = 0;
#if defined(__SSE2__)
    for (; j + 4 <= d; j += 4) four_column_sums(x, n, d, j, means.data() + j);
#endif
    for (; j < d; ++j) means[j] = column_sum(x, n, d, j);
    const double count = static_cast<double>(n);
    for (double& mean : means) mean = mean / count;
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
