#include "detect/pelt/totals_filter.hpp"

namespace marbolt::detect {

namespace {

VectorIsa detect_vector_isa() noexcept {
    // Idempotent; makes the answers valid even before the library's own
    // initialisers have run (a search started from another initialiser).
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return VectorIsa::kAvx512;
    if (__builtin_cpu_supports("avx2")) return VectorIsa::kAvx2;
    return VectorIsa::kNone;
}

}  // namespace

VectorIsa best_vector_isa() noexcept {
    static const VectorIsa best = detect_vector_isa();
    return best;
}

}  // namespace marbolt::detect
