#include "cost/budget.hpp"

#include <cstdio>
#include <string>

namespace marbolt::cost {

Status check_alloc(std::uint64_t entries, std::string_view what, std::string_view advice) {
    if (entries <= kEntryBudget) return Ok{};
    const std::uint64_t bytes = saturating_mul(entries, 8);
    const double gib = static_cast<double>(bytes) * 0x1p-30;
    char size[64];
    std::snprintf(size, sizeof size, "%.1f", gib);
    std::string message(what);
    message += " needs ";
    message += size;
    message += " GiB, over the 4 GiB limit. ";
    message += advice;
    return value_error(std::move(message));
}

Status check_outer_memory(std::uint64_t n, std::uint64_t d, std::string_view model) {
    const std::uint64_t entries = saturating_mul(saturating_mul(d, d), saturating_inc(n));
    const std::string what = "the `" + std::string(model) + "` model needs prefix sums of " +
                             std::to_string(n) + "x" + std::to_string(d) + "x" +
                             std::to_string(d) + " covariance blocks, which";
    return check_alloc(entries, what,
                       "Reduce the number of columns, subsample the signal, or use a model whose "
                       "cost does not depend on a covariance, such as `l1` or `l2`.");
}

Status check_kernel_memory(std::uint64_t n, std::string_view model) {
    const std::uint64_t side = saturating_inc(n);
    const std::string what = "the `" + std::string(model) + "` model needs a kernel table of " +
                             std::to_string(n) + "x" + std::to_string(n) + ", which";
    return check_alloc(saturating_mul(side, side), what,
                       "Subsample the signal, or use a non-kernel model such as `l2` or `normal`, "
                       "which need no quadratic memory.");
}

}  // namespace marbolt::cost
