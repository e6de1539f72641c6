// The vector intrinsics the CRC-32C kernels are written in: the compiler's
// own, or with ZPR_CRC32C_PORTABLE defined, SIMDe's implementations of the
// same names in plain C++.  The test suite builds each tier's kernel the
// portable way, without the tier's target attributes, so that every kernel
// is checked on every processor, not only on those that have its
// instructions.
#pragma once

#if defined(ZPR_CRC32C_PORTABLE)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#include <simde/x86/clmul.h>
#include <simde/x86/sse4.2.h>
#else
#include <immintrin.h>
#endif
