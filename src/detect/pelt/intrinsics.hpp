// The x86 vector intrinsics, for kernels compiled for an instruction set
// chosen at run time.
#pragma once

// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined vector and then warn about it wherever they are inlined.
#if defined(__clang__)
#include <immintrin.h>
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
