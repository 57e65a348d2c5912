// Which vector instructions the loops that have vector versions may use,
// chosen once at run time. Every vector version returns the baseline's
// answer to the bit, so the choice changes speed only; tests cap it to run
// each version on one machine.
#pragma once

namespace marbolt {

enum class VectorIsa { kNone, kAvx2, kAvx512 };

// The widest this processor runs, at most the cap.
VectorIsa best_vector_isa() noexcept;

// Caps best_vector_isa() (tests only: not for use while a search runs) and
// returns the previous cap.
VectorIsa cap_vector_isa(VectorIsa cap) noexcept;

}  // namespace marbolt
