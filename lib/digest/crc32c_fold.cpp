// CRC-32C by folding with carry-less multiplication.
//
// The register holding 16 message bytes, loaded little-endian, stands for a
// polynomial X of degree < 128 in the reflected bit order of the CRC (bit 0
// of the first byte is the highest power).  Moving X forward by D bits, to
// be added to the bytes D bits later, means replacing it by something
// congruent to X * x^D modulo the CRC polynomial P.  With X = H * x^64 + L
// (H in the low quadword):
//
//   X * x^D  ==  H * (x^(D+64) mod P)  +  L * (x^D mod P)        (mod P)
//
// A carry-less product of two reflected 64-bit values stands for their
// polynomial product times x, so the constants are x^(D+63) mod P and
// x^(D-1) mod P, bit-reversed into 64-bit reflected form.  Several
// accumulators fold independently over long stretches, are folded into one
// 128-bit value at the end, and that value is reduced to 32 bits by the
// CRC32 instruction itself: two 64-bit steps from state 0 give X * x^32
// mod P, which is the CRC state after the folded bytes.  The incoming CRC
// state is added into the first four message bytes, and the bytes after the
// last whole block go through the plain CRC32 chain.

#include <cstring>

#include "digest/crc32c_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The CRC polynomial without its x^32 term, bit i standing for x^i.
constexpr uint32_t kPolyNormal = 0x1EDC6F41u;

constexpr uint32_t xpow_mod(unsigned n) {
  uint32_t v = 1;
  for (unsigned i = 0; i < n; i++)
    v = (v & 0x80000000u) ? (v << 1) ^ kPolyNormal : v << 1;
  return v;
}

constexpr uint64_t bit_reverse64(uint64_t v) {
  uint64_t r = 0;
  for (int i = 0; i < 64; i++)
    r |= ((v >> i) & 1) << (63 - i);
  return r;
}

// Constants that move a 128-bit lane forward by `bits`: the first for the
// low (high-degree) quadword, the second for the high quadword.
struct FoldPair {
  uint64_t lo;
  uint64_t hi;
};

constexpr FoldPair fold_pair(unsigned bits) {
  return {bit_reverse64(xpow_mod(bits + 63)), bit_reverse64(xpow_mod(bits - 1))};
}

constexpr FoldPair kFold128 = fold_pair(128);
constexpr FoldPair kFold256 = fold_pair(256);
constexpr FoldPair kFold384 = fold_pair(384);
constexpr FoldPair kFold512 = fold_pair(512);
constexpr FoldPair kFold1024 = fold_pair(1024);
constexpr FoldPair kFold1536 = fold_pair(1536);
constexpr FoldPair kFold2048 = fold_pair(2048);

// x^32 mod P is the polynomial itself: a sanity check of the arithmetic.
static_assert(xpow_mod(32) == kPolyNormal);
static_assert(bit_reverse64(kPolyNormal) >> 32 == 0x82F63B78u);

// Folding has a fixed cost (constants, joining the accumulators, the final
// reduction).  Four 128-bit lanes beat the plain chain from one 64-byte
// block on; four 512-bit registers from one 256-byte block on.
constexpr size_t kPclmulMin = 64;
constexpr size_t kAvx512Min = 256;

} // namespace

#if defined(__x86_64__)

namespace {

__attribute__((target("sse4.2"))) inline uint32_t chain(uint32_t s, const uint8_t *p,
                                                        size_t len) {
  uint64_t s64 = s;
  for (; len >= 8; p += 8, len -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    s64 = _mm_crc32_u64(s64, w);
  }
  s = static_cast<uint32_t>(s64);
  if (len >= 4) {
    uint32_t w;
    memcpy(&w, p, 4);
    s = _mm_crc32_u32(s, w);
    p += 4;
    len -= 4;
  }
  for (; len > 0; p++, len--)
    s = _mm_crc32_u8(s, *p);
  return s;
}

__attribute__((target("sse4.2,pclmul"))) inline __m128i pair128(FoldPair k) {
  return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

// x moved forward by the distance of k, plus d.
__attribute__((target("sse4.2,pclmul"))) inline __m128i fold128(__m128i x, __m128i k,
                                                                __m128i d) {
  __m128i a = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i b = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(a, b), d);
}

__attribute__((target("sse4.2,pclmul"))) inline __m128i load128(const uint8_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// The CRC state after the bytes that x stands for.
__attribute__((target("sse4.2,pclmul"))) inline uint32_t reduce128(__m128i x) {
  uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
  uint64_t hi = static_cast<uint64_t>(_mm_extract_epi64(x, 1));
  return static_cast<uint32_t>(_mm_crc32_u64(_mm_crc32_u64(0, lo), hi));
}

// Folds the remaining whole 16-byte blocks into x and reduces it; the bytes
// left over stay at *pp / *plen.
__attribute__((target("sse4.2,pclmul"))) inline uint32_t finish128(__m128i x,
                                                                   const uint8_t **pp,
                                                                   size_t *plen) {
  const __m128i k128 = pair128(kFold128);
  const uint8_t *p = *pp;
  size_t len = *plen;
  for (; len >= 16; p += 16, len -= 16)
    x = fold128(x, k128, load128(p));
  *pp = p;
  *plen = len;
  return reduce128(x);
}

__attribute__((target("avx512f,vpclmulqdq,sse4.2,pclmul"))) inline __m512i
fold512(__m512i x, __m512i k, __m512i d) {
  __m512i a = _mm512_clmulepi64_epi128(x, k, 0x00);
  __m512i b = _mm512_clmulepi64_epi128(x, k, 0x11);
  return _mm512_ternarylogic_epi64(a, b, d, 0x96); // a ^ b ^ d
}

__attribute__((target("avx512f,vpclmulqdq,sse4.2,pclmul"))) inline __m512i
pair512(FoldPair k) {
  const auto lo = static_cast<long long>(k.lo), hi = static_cast<long long>(k.hi);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

__attribute__((target("avx512f,vpclmulqdq,sse4.2,pclmul"))) inline __m512i
load512(const uint8_t *p) {
  return _mm512_loadu_si512(p);
}

// Lane i of v.  The zero-masked form, because the plain one leaves a
// deliberately undefined source that g++ 12 warns about.
template <int I>
__attribute__((target("avx512f,vpclmulqdq,sse4.2,pclmul"))) inline __m128i lane128(__m512i v) {
  return _mm512_maskz_extracti32x4_epi32(0xF, v, I);
}

} // namespace

namespace {

// Four 128-bit accumulators over the whole 64-byte blocks, then the whole
// 16-byte blocks; returns the CRC state after them and leaves the rest
// (under 16 bytes) at *pp / *plen.  Needs len >= 64.
__attribute__((target("sse4.2,pclmul"))) inline uint32_t fold_by4(uint32_t s, const uint8_t **pp,
                                                                  size_t *plen) {
  const uint8_t *p = *pp;
  size_t len = *plen;
  __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(s)));
  __m128i x1 = load128(p + 16);
  __m128i x2 = load128(p + 32);
  __m128i x3 = load128(p + 48);
  p += 64;
  len -= 64;
  const __m128i k512 = pair128(kFold512);
  for (; len >= 64; p += 64, len -= 64) {
    x0 = fold128(x0, k512, load128(p));
    x1 = fold128(x1, k512, load128(p + 16));
    x2 = fold128(x2, k512, load128(p + 32));
    x3 = fold128(x3, k512, load128(p + 48));
  }
  __m128i x = fold128(x0, pair128(kFold384), x3);
  x = _mm_xor_si128(
      x, fold128(x1, pair128(kFold256), fold128(x2, pair128(kFold128), _mm_setzero_si128())));
  *pp = p;
  *plen = len;
  return finish128(x, pp, plen);
}

} // namespace

__attribute__((target("sse4.2,pclmul"))) uint32_t crc32c_fold_pclmul(uint32_t crc,
                                                                     const void *data,
                                                                     size_t len) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint32_t s = ~crc;
  if (len >= kPclmulMin)
    s = fold_by4(s, &p, &len);
  return ~chain(s, p, len);
}

__attribute__((target("avx512f,vpclmulqdq,sse4.2,pclmul"))) uint32_t
crc32c_fold_avx512(uint32_t crc, const void *data, size_t len) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint32_t s = ~crc;
  if (len >= kAvx512Min) {
    const __m512i seed =
        _mm512_inserti32x4(_mm512_setzero_si512(), _mm_cvtsi32_si128(static_cast<int>(s)), 0);
    __m512i x0 = _mm512_xor_si512(load512(p), seed);
    __m512i x1 = load512(p + 64);
    __m512i x2 = load512(p + 128);
    __m512i x3 = load512(p + 192);
    p += 256;
    len -= 256;
    const __m512i k2048 = pair512(kFold2048);
    for (; len >= 256; p += 256, len -= 256) {
      x0 = fold512(x0, k2048, load512(p));
      x1 = fold512(x1, k2048, load512(p + 64));
      x2 = fold512(x2, k2048, load512(p + 128));
      x3 = fold512(x3, k2048, load512(p + 192));
    }
    // Four accumulators into one, then the remaining whole 64-byte blocks.
    __m512i x = fold512(x0, pair512(kFold1536), x3);
    x = _mm512_xor_si512(x, fold512(x1, pair512(kFold1024),
                                    fold512(x2, pair512(kFold512), _mm512_setzero_si512())));
    const __m512i k512 = pair512(kFold512);
    for (; len >= 64; p += 64, len -= 64)
      x = fold512(x, k512, load512(p));
    // The four lanes into one: lanes 0 to 2 move forward by 384, 256 and
    // 128 bits onto lane 3.
    const __m512i lanes = _mm512_set_epi64(
        0, 0, static_cast<long long>(kFold128.hi), static_cast<long long>(kFold128.lo),
        static_cast<long long>(kFold256.hi), static_cast<long long>(kFold256.lo),
        static_cast<long long>(kFold384.hi), static_cast<long long>(kFold384.lo));
    __m512i t = fold512(x, lanes, _mm512_setzero_si512());
    __m128i y = _mm_xor_si128(lane128<0>(t), lane128<1>(t));
    y = _mm_xor_si128(y, lane128<2>(t));
    y = _mm_xor_si128(y, lane128<3>(x));
    s = finish128(y, &p, &len);
  } else if (len >= kPclmulMin) {
    s = fold_by4(s, &p, &len);
  }
  return ~chain(s, p, len);
}

bool crc32c_can_pclmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul");
}

bool crc32c_can_avx512() {
  // The compiler runtime reports AVX-512 only when the operating system
  // also saves the 512-bit register state.
  __builtin_cpu_init();
  return crc32c_can_pclmul() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("vpclmulqdq");
}

#else

uint32_t crc32c_fold_pclmul(uint32_t crc, const void *data, size_t len) {
  return crc32c_table(crc, data, len);
}
uint32_t crc32c_fold_avx512(uint32_t crc, const void *data, size_t len) {
  return crc32c_table(crc, data, len);
}
bool crc32c_can_pclmul() { return false; }
bool crc32c_can_avx512() { return false; }

#endif
