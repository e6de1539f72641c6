// CRC-32C for processors with AVX-512 and VPCLMULQDQ: four 512-bit folding
// accumulators on long inputs, four 128-bit ones on medium inputs, the
// CRC32 chain on short ones.
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
#pragma clang attribute push(__attribute__((target("avx512f,vpclmulqdq,sse4.2,pclmul"))),          \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,vpclmulqdq,sse4.2,pclmul")
#endif
#include "digest/crc32c_fold.h"

namespace {

// Lane i of v.  The zero-masked form, because the plain one leaves a
// deliberately undefined source that g++ 12 warns about.
template <int I> __m128i lane128(__m512i v) { return _mm512_maskz_extracti32x4_epi32(0xF, v, I); }

struct Zmm {
  using T = __m512i;
  static constexpr size_t kBytes = 64;
  static T load(const uint8_t *p) { return _mm512_loadu_si512(p); }
  static T pair(FoldPair k) {
    const auto lo = static_cast<long long>(k.lo), hi = static_cast<long long>(k.hi);
    return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
  }
  static T fold(T x, T k, T d) {
    const T a = _mm512_clmulepi64_epi128(x, k, 0x00);
    const T b = _mm512_clmulepi64_epi128(x, k, 0x11);
    return _mm512_ternarylogic_epi64(a, b, d, 0x96); // a ^ b ^ d
  }
  static T bxor(T a, T b) { return _mm512_xor_si512(a, b); }
  static T widen(__m128i v) { return _mm512_inserti32x4(_mm512_setzero_si512(), v, 0); }
  // Lanes 0 to 2 move forward by 384, 256 and 128 bits onto lane 3.
  static __m128i narrow(T x) {
    constexpr FoldPair k3 = fold_pair(384), k2 = fold_pair(256), k1 = fold_pair(128);
    const T k = _mm512_set_epi64(0, 0, static_cast<long long>(k1.hi), static_cast<long long>(k1.lo),
                                 static_cast<long long>(k2.hi), static_cast<long long>(k2.lo),
                                 static_cast<long long>(k3.hi), static_cast<long long>(k3.lo));
    const T t = fold(x, k, _mm512_setzero_si512());
    return _mm_xor_si128(_mm_xor_si128(lane128<0>(t), lane128<1>(t)),
                         _mm_xor_si128(lane128<2>(t), lane128<3>(x)));
  }
};

constexpr size_t kXmmMin = CRC32C_AVX512_MIN;
constexpr size_t kZmmMin = 256;

// Out of line, so that short inputs in the kernel below do not pay for
// this function's registers.
__attribute__((noinline)) uint32_t longer(uint32_t s, const uint8_t *p, size_t len) {
  if (len >= kZmmMin)
    s = fold_run<Zmm, 4>(s, &p, &len);
  else
    s = fold_run<Xmm, 4>(s, &p, &len);
  return chain(s, p, len);
}

} // namespace

// On a 64-byte line, like the single chain: at a few bytes a call costs
// about ten cycles, and where the code happens to fall moves that by one.
__attribute__((aligned(64))) uint32_t crc32c_fold_avx512(uint32_t crc, const void *data,
                                                         size_t len) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  return ~(len < kXmmMin ? chain(~crc, p, len) : longer(~crc, p, len));
}

#if defined(ZPR_CRC32C_PORTABLE)
#elif defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

uint32_t crc32c_fold_avx512(uint32_t crc, const void *data, size_t len) {
  return crc32c_table(crc, data, len);
}

#endif
