// The medians are taken on the centred signal: a median moves with a shift of
// its column, so the cost is that of the raw signal up to rounding, while the
// deviations stay small.
#include "cost/cost_l1.hpp"

#include <cmath>

#include "linalg/order.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// One selection buffer per thread, shared by every l1 model evaluated on it:
// the dynamic-programming fill calls error() from pool workers, and a buffer
// that keeps its capacity means a search allocates only while its segments
// grow. An evaluation never re-enters another, so one buffer is enough.
std::vector<double>& thread_scratch() {
    thread_local std::vector<double> scratch;
    return scratch;
}

}  // namespace

CostL1 CostL1::build(std::span<const double> x, std::size_t n, std::size_t d) {
    return CostL1(prefix::center(x, n, d), d);
}

double CostL1::error(std::size_t start, std::size_t end) const {
    // Without columns nothing is summed; returning before the resize keeps a
    // many-row, zero-column signal from asking for a scratch of its length.
    if (start == end || d_ == 0) return 0.0;
    const std::size_t len = end - start;
    // Every entry is written before it is read, so only growth is cleared.
    std::vector<double>& scratch = thread_scratch();
    scratch.resize(len);
    double total = 0.0;
    for (std::size_t j = 0; j < d_; ++j) {
        for (std::size_t i = start; i < end; ++i) scratch[i - start] = centred_[i * d_ + j];
        const double med = linalg::median_inplace(scratch);
        // The selection reordered the scratch; the deviations are read from
        // the centred rows so the sum runs in row order.
        for (std::size_t i = start; i < end; ++i) total = total + std::fabs(centred_[i * d_ + j] - med);
    }
    return total;
}

}  // namespace marbolt::cost
