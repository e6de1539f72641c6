// CRC-32C for processors with AVX2 and VPCLMULQDQ but without AVX-512:
// folding on 256-bit registers beside three CRC32 chains from 512 bytes on,
// three joined chains from 160 bytes on, the single chain below: the sizes
// where each measured faster, also on a shared core (see crc32c_pclmul.cpp).
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
#pragma clang attribute push(__attribute__((target("avx2,vpclmulqdq,sse4.2,pclmul"))),             \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,vpclmulqdq,sse4.2,pclmul")
#endif
#include "digest/crc32c_fold.h"

namespace {

struct Ymm {
  using T = __m256i;
  static constexpr size_t kBytes = 32;
  static T load(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const T *>(p)); }
  static T pair(FoldPair k) {
    const auto lo = static_cast<long long>(k.lo), hi = static_cast<long long>(k.hi);
    return _mm256_set_epi64x(hi, lo, hi, lo);
  }
  static T fold(T x, T k, T d) {
    const T a = _mm256_clmulepi64_epi128(x, k, 0x00);
    const T b = _mm256_clmulepi64_epi128(x, k, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(a, b), d);
  }
  static T bxor(T a, T b) { return _mm256_xor_si256(a, b); }
  static T widen(__m128i v) { return _mm256_inserti128_si256(_mm256_setzero_si256(), v, 0); }
  static __m128i narrow(T x) {
    return fold128(_mm256_castsi256_si128(x), pair128(kFold<128>), _mm256_extracti128_si256(x, 1));
  }
};

using Long = Hybrid<Ymm, 2, 4>;
constexpr size_t kStreamsMin = CRC32C_AVX2_MIN;
constexpr size_t kLongMin = 512;

} // namespace

// On a 64-byte line, like the single chain: at a few bytes a call costs
// about ten cycles, and where the code happens to fall moves that by one.
__attribute__((aligned(64))) uint32_t crc32c_fold_avx2(uint32_t crc, const void *data, size_t len) {
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

uint32_t crc32c_fold_avx2(uint32_t crc, const void *data, size_t len) {
  return crc32c_table(crc, data, len);
}

#endif
