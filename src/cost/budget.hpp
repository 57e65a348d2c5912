// Memory budgets tested before the large tables are allocated: the signal
// copy, the covariance prefix blocks and the kernel tables. They only count and
// format; a refusal says what would be built, how large, and what to do.
#pragma once

#include "common/numeric.hpp"
#include "common/result.hpp"

#include <cstdint>
#include <string_view>

namespace marbolt::cost {

// 2^29 64-bit floats: 4 GiB.
inline constexpr std::uint64_t kEntryBudget = std::uint64_t{1} << 29;

Status check_alloc(std::uint64_t entries, std::string_view what, std::string_view advice);
// A model that keeps prefix sums of d x d blocks for n + 1 rows.
Status check_outer_memory(std::uint64_t n, std::uint64_t d, std::string_view model);
// A kernel model's (n + 1) x (n + 1) table.
Status check_kernel_memory(std::uint64_t n, std::string_view model);

}  // namespace marbolt::cost
