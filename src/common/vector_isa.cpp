#include "common/vector_isa.hpp"

#include <algorithm>
#include <atomic>

namespace marbolt {

namespace {

VectorIsa detect_vector_isa() noexcept {
    // Idempotent; makes the answers valid even before the library's own
    // initialisers have run (a search started from another initialiser).
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return VectorIsa::kAvx512;
    if (__builtin_cpu_supports("avx2")) return VectorIsa::kAvx2;
    return VectorIsa::kNone;
}

std::atomic<VectorIsa> cap_{VectorIsa::kAvx512};

}  // namespace

VectorIsa best_vector_isa() noexcept {
    static const VectorIsa best = detect_vector_isa();
    return std::min(best, cap_.load(std::memory_order_relaxed));
}

VectorIsa cap_vector_isa(VectorIsa cap) noexcept { return cap_.exchange(cap, std::memory_order_relaxed); }

}  // namespace marbolt
