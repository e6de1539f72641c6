// CRC-32C for processors with SSE4.2 and PCLMULQDQ: 128-bit folding beside
// three CRC32 chains from 512 bytes on, three joined chains from 160 bytes
// on, the single chain below.  The sizes are where each measured faster,
// also on a core shared with other work (on a quiet core the joined chains
// win from 96 bytes, but the carry-less multiplication suffers most there).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "digest/crc32c_internal.h"

#if defined(__x86_64__) || defined(ZPR_CRC32C_PORTABLE)
#include "digest/crc32c_intrinsics_internal.h"

// Everything from here to the matching pop is compiled for this tier (the
// portable test build has no tiers).
#if defined(ZPR_CRC32C_PORTABLE)
#elif defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.2,pclmul"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.2,pclmul")
#endif
#include "digest/crc32c_fold.h"

namespace {

// Two 128-bit accumulators (8 multiplications, about 8 cycles a step here)
// beside three chains of four words (about 12 cycles): the chains set the
// pace, and the folding keeps up even when another program on the same
// core slows the multiplier down.  Four accumulators beside chains of
// five words are as fast on a quiet core but a third slower on a busy one.
using Long = Hybrid<Xmm, 2, 4>;
constexpr size_t kStreamsMin = CRC32C_PCLMUL_MIN;
constexpr size_t kLongMin = 512;

} // namespace

// On a 64-byte line, like the single chain: at a few bytes a call costs
// about ten cycles, and where the code happens to fall moves that by one.
__attribute__((aligned(64))) uint32_t crc32c_fold_pclmul(uint32_t crc, const void *data,
                                                         size_t len) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  return ~(len < kStreamsMin ? chain(~crc, p, len)
                             : hybrid_longer<Long, kStreamsMin, kLongMin>(~crc, p, len));
}

#if defined(ZPR_CRC32C_PORTABLE)
#elif defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

uint32_t crc32c_fold_pclmul(uint32_t crc, const void *data, size_t len) {
  return crc32c_table(crc, data, len);
}

#endif
