// Kernel PELT: the penalised exact search of PELT (Killick, Fearnhead &
// Eckley 2012) specialised to kernel costs, as in the kernel change-point
// method of Arlot, Celisse & Harchaoui (2019). Every position is a candidate;
// state is three flat arrays over positions, and candidates are pruned only
// from the left end of the live range. Quadratic in n without pruning.
#pragma once

#include <cstddef>
#include <vector>

#include "common/control.hpp"
#include "cost/cost.hpp"

namespace marbolt::detect {

// The breakpoint list (ascending, ending with n, never containing 0) of the
// best penalised segmentation of [0, n) into segments of at least min_size
// samples; n = 0 gives the empty list. Segment costs are diag_sum - block_sum
// / L, never clamped. min_size 0 is served as 1 (the module function refuses
// it before calling); pen may be any double. Runs on the calling thread;
// throws only std::bad_alloc, and Stopped when `control` (polled when given,
// and told the ends settled) stops it.
std::vector<std::size_t> kernel_pelt(const cost::KernelBlocks& blocks, std::size_t n,
                                     std::size_t min_size, double pen, Control* control = nullptr);

}  // namespace marbolt::detect
