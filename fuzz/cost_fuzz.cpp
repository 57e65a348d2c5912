// Every model built from hostile signals (NaN, infinities, extreme
// magnitudes, repeats, no columns, no rows) and evaluated on every non-empty
// segment, the lengths below the model's own minimum included: searches are
// given min_size by the caller, so any segment may be asked for. Each value
// must be defined and repeatable, and the models that promise a sign keep it.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cost/cost_l2.hpp"
#include "cost/pruning_l2.hpp"

#include "fuzz_check.hpp"
#include "fuzz_input.hpp"
#include "fuzz_model.hpp"

namespace marbolt::fuzz {
namespace {

// l1 sums absolute deviations and the linear-kernel l2 clamps at 0: neither
// can be negative (NaN is allowed).
bool never_negative(const ModelKind& kind) {
    return kind.is("l1") || kind.is("l2", true);
}

void check_every_segment(const CheckedCost& cost, const ModelKind& kind) {
    const std::size_t n = cost.n_samples();
    std::vector<double> first;
    for (std::size_t end = 1; end <= n; ++end) {
        for (std::size_t start = 0; start < end; ++start) {
            const double v = cost.error(start, end);
            if (never_negative(kind)) FUZZ_CHECK(!(v < 0.0));
            first.push_back(v);
        }
    }
    // Scratch reused across calls (l1's per-thread buffer, the regression
    // models' Gram matrices) must not leak one segment into the next.
    std::size_t k = 0;
    for (std::size_t end = 1; end <= n; ++end) {
        for (std::size_t start = 0; start < end; ++start) {
            FUZZ_CHECK(std::bit_cast<std::uint64_t>(cost.error(start, end)) ==
                       std::bit_cast<std::uint64_t>(first[k++]));
        }
    }
}

// sum_of_costs over an ascending list is the plain left-to-right sum.
void check_sum_of_costs(const CheckedCost& cost, FuzzInput& in) {
    const std::size_t n = cost.n_samples();
    std::vector<std::size_t> bkps;
    double total = 0.0;
    std::size_t prev = 0;
    while (prev < n && in.flag()) {
        const std::size_t b = prev + 1 + in.below_or(n - prev - 1);
        total = total + cost.error(prev, b);
        bkps.push_back(b);
        prev = b;
    }
    const double sum = cost.sum_of_costs(bkps);
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(sum) == std::bit_cast<std::uint64_t>(total));
}

// The l2 family's energy bound V of one column, from prefix tables of
// hostile values: the pass over adjacent rows gives the row-by-row loop's
// bits (read from an interleaved copy), or nothing as it does.
void check_l2_energy(FuzzInput& in) {
    const std::size_t n = in.below_or(40);
    const std::vector<double> x = in.reals(n);
    const cost::CostL2 model = cost::CostL2::build(x, n, 1);
    const double* s = model.sums().data.data();
    const double* q = model.sums_sq().data.data();
    std::vector<double> s2(2 * (n + 1)), q2(2 * (n + 1));
    for (std::size_t i = 0; i <= n; ++i) {
        s2[2 * i] = s[i];
        q2[2 * i] = q[i];
    }
    const std::optional<double> adjacent = cost::l2_energy(s, q, n);
    const std::optional<double> strided = cost::l2_energy(s2.data(), q2.data(), n, 2);
    FUZZ_CHECK(adjacent.has_value() == strided.has_value());
    if (adjacent) {
        FUZZ_CHECK(std::bit_cast<std::uint64_t>(*adjacent) == std::bit_cast<std::uint64_t>(*strided));
    }
}

}  // namespace
}  // namespace marbolt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace marbolt::fuzz;
    FuzzInput in(data, size);
    ModelKind kind;
    const auto cost = read_model(in, 48, kind);
    if (!cost) return 0;
    check_every_segment(*cost, kind);
    check_sum_of_costs(*cost, in);
    check_l2_energy(in);
    return 0;
}
