#include "detect/totals_filter.hpp"

namespace marbolt::detect {

VectorIsa best_vector_isa() noexcept {
    static const VectorIsa best = __builtin_cpu_supports("avx512f") ? VectorIsa::kAvx512
                                  : __builtin_cpu_supports("avx2")  ? VectorIsa::kAvx2
                                                                    : VectorIsa::kNone;
    return best;
}

}  // namespace marbolt::detect
