// CRC-32C by folding with carry-less multiplication, shared by the kernel of
// each processor tier (crc32c_pclmul.cpp, crc32c_avx2.cpp, crc32c_avx512.cpp).
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
// x^(D-1) mod P, bit-reversed into 64-bit reflected form.  A 128-bit value
// is reduced to 32 bits by the CRC32 instruction itself: two 64-bit steps
// from state 0 give the CRC state after the 16 bytes it stands for.  A CRC
// state s before some bytes is the same as state 0 with s added into their
// first four bytes; that is how the incoming state enters the folding.
//
// Stream combination: CRC32 instruction chains over separate stretches of
// the message run beside the folding, each from state 0.  A state S that
// must move forward by n bytes becomes the 64-bit carry-less product of S
// and x^(8n-33) mod P (32-bit reflected form): that product, added into the
// 8 bytes that end n bytes after S, contributes S * x^(8n) mod P there.
//
// This header is included inside each tier's target region, after the
// system headers (which keep the default target), so that every function
// here is compiled for that tier.  Everything is in an unnamed
// namespace: each tier gets its own copies, and the linker can never hand a
// tier the copy compiled with another tier's instructions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "digest/crc32c_intrinsics_internal.h"

namespace {

// The CRC polynomial without its x^32 term, bit i standing for x^i.
constexpr uint32_t kPolyNormal = 0x1EDC6F41u;

// a * b mod P, both below degree 32 in normal bit order.
constexpr uint32_t mul_mod(uint32_t a, uint32_t b) {
  uint32_t r = 0;
  for (int i = 31; i >= 0; i--) {
    r = (r & 0x80000000u) ? (r << 1) ^ kPolyNormal : r << 1;
    if ((b >> i) & 1)
      r ^= a;
  }
  return r;
}

// x^n mod P by squaring, so that distances of many KiB cost little at
// compile time.
constexpr uint32_t xpow_mod(uint64_t n) {
  uint32_t r = 1, base = 2;
  for (; n; n >>= 1, base = mul_mod(base, base))
    if (n & 1)
      r = mul_mod(r, base);
  return r;
}

// The same, one multiplication by x at a time: the definition, to check the
// fast form against.
constexpr uint32_t xpow_mod_slow(unsigned n) {
  uint32_t v = 1;
  for (unsigned i = 0; i < n; i++)
    v = (v & 0x80000000u) ? (v << 1) ^ kPolyNormal : v << 1;
  return v;
}

static_assert(xpow_mod(32) == kPolyNormal);
static_assert(xpow_mod(1000) == xpow_mod_slow(1000) && xpow_mod(4095) == xpow_mod_slow(4095));

constexpr uint64_t bit_reverse64(uint64_t v) {
  uint64_t r = 0;
  for (int i = 0; i < 64; i++)
    r |= ((v >> i) & 1) << (63 - i);
  return r;
}

static_assert(bit_reverse64(kPolyNormal) >> 32 == 0x82F63B78u);

// Constants that move a 128-bit lane forward by `bits`: the first for the
// low (high-degree) quadword, the second for the high quadword.
struct FoldPair {
  uint64_t lo;
  uint64_t hi;
};

constexpr FoldPair fold_pair(uint64_t bits) {
  return {bit_reverse64(xpow_mod(bits + 63)), bit_reverse64(xpow_mod(bits - 1))};
}

// As a variable, so that it is surely computed at compile time.
template <uint64_t Bits> constexpr FoldPair kFold = fold_pair(Bits);

// Multiplier that moves a CRC state forward by n bytes into the 8 bytes
// ending there (see the top of this file).  n >= 5.
constexpr uint32_t shift_const(uint64_t n) {
  return static_cast<uint32_t>(bit_reverse64(xpow_mod(8 * n - 33)) >> 32);
}

inline uint32_t chain(uint32_t s, const uint8_t *p, size_t len) {
  uint64_t s64 = s;
  // A loop, as in the single chain: unrolled behind a bound on len it takes
  // more branches than it saves on the shortest inputs.
#pragma GCC unroll 1
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

inline uint64_t load64(const uint8_t *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}

inline __m128i load128(const uint8_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline __m128i pair128(FoldPair k) {
  return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

// x moved forward by the distance of k, plus d.
inline __m128i fold128(__m128i x, __m128i k, __m128i d) {
  __m128i a = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i b = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(a, b), d);
}

// The CRC state after the 16 bytes that x stands for.
inline uint32_t reduce128(__m128i x) {
  uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
  uint64_t hi = static_cast<uint64_t>(_mm_extract_epi64(x, 1));
  return static_cast<uint32_t>(_mm_crc32_u64(_mm_crc32_u64(0, lo), hi));
}

// The 64-bit product of state s and a shift_const, in the low quadword.
inline __m128i shift_state(uint32_t s, uint32_t k) {
  return _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(s)),
                              _mm_cvtsi32_si128(static_cast<int>(k)), 0x00);
}

// 128-bit lanes: the operations every vector width provides.
struct Xmm {
  using T = __m128i;
  static constexpr size_t kBytes = 16;
  static T load(const uint8_t *p) { return load128(p); }
  static T pair(FoldPair k) { return pair128(k); }
  static T fold(T x, T k, T d) { return fold128(x, k, d); }
  static T bxor(T a, T b) { return _mm_xor_si128(a, b); }
  // A 128-bit value in lane 0, the other lanes 0.
  static T widen(__m128i v) { return v; }
  // The lanes of x folded onto its last lane.
  static __m128i narrow(T x) { return x; }
};

// Folds the K accumulators (consecutive in the message, each V::kBytes)
// onto the last one.
template <class V, int K> constexpr FoldPair join_pair(int i) {
  constexpr FoldPair k[] = {kFold<8 * V::kBytes * 1>, kFold<8 * V::kBytes * 2>,
                            kFold<8 * V::kBytes * 3>, kFold<8 * V::kBytes * 4>,
                            kFold<8 * V::kBytes * 5>, kFold<8 * V::kBytes * 6>,
                            kFold<8 * V::kBytes * 7>};
  static_assert(K <= 8);
  return k[K - 2 - i];
}

template <class V, int K> inline typename V::T join(const typename V::T (&acc)[K]) {
  typename V::T x = acc[K - 1];
  for (int i = K - 2; i >= 0; i--)
    x = V::fold(acc[i], V::pair(join_pair<V, K>(i)), x);
  return x;
}

// Folds the whole 16-byte blocks into x and reduces it; the bytes left
// over (under 16) stay at *pp / *plen.
inline uint32_t finish128(__m128i x, const uint8_t **pp, size_t *plen) {
  const __m128i k128 = pair128(kFold<128>);
  const uint8_t *p = *pp;
  size_t len = *plen;
  for (; len >= 16; p += 16, len -= 16)
    x = fold128(x, k128, load128(p));
  *pp = p;
  *plen = len;
  return reduce128(x);
}

// K accumulators of width V over the whole K * V::kBytes blocks, then the
// whole 16-byte blocks; returns the CRC state after them and leaves the rest
// (under 16 bytes) at *pp / *plen.  Needs *plen >= K * V::kBytes.  Folding
// alone, for the AVX-512 kernel, whose 512-bit registers take 64 bytes per
// multiplication: there the CRC32 chains would add little.
template <class V, int K> inline uint32_t fold_run(uint32_t s, const uint8_t **pp, size_t *plen) {
  constexpr size_t kBlock = K * V::kBytes;
  const uint8_t *p = *pp;
  size_t len = *plen;
  typename V::T acc[K];
  for (int i = 0; i < K; i++)
    acc[i] = V::load(p + i * V::kBytes);
  acc[0] = V::bxor(acc[0], V::widen(_mm_cvtsi32_si128(static_cast<int>(s))));
  const typename V::T k = V::pair(kFold<8 * kBlock>);
  for (p += kBlock, len -= kBlock; len >= kBlock; p += kBlock, len -= kBlock)
    for (int i = 0; i < K; i++)
      acc[i] = V::fold(acc[i], k, V::load(p + i * V::kBytes));
  typename V::T x = join<V, K>(acc);
  const typename V::T k1 = V::pair(kFold<8 * V::kBytes>);
  for (; len >= V::kBytes; p += V::kBytes, len -= V::kBytes)
    x = V::fold(x, k1, V::load(p));
  *pp = p;
  *plen = len;
  return finish128(V::narrow(x), pp, plen);
}

// Three CRC32 chains over three equal stretches of whole words, joined by
// carry-less multiplication: for inputs too short for folding to pay.
// Returns the CRC state after them and leaves the rest (under 24 bytes, or
// what lies beyond kStreamWords words a chain) at *pp / *plen.  Needs
// *plen >= 24.
constexpr int kStreamWords = 64;
struct StreamShifts {
  uint32_t k[kStreamWords + 1][2]; // chain 1 and 2 states onto the end
};
constexpr StreamShifts make_stream_shifts() {
  StreamShifts t{};
  for (int w = 1; w <= kStreamWords; w++)
    t.k[w][0] = shift_const(16 * w), t.k[w][1] = shift_const(8 * w);
  return t;
}
constexpr StreamShifts kStreamShifts = make_stream_shifts();

inline uint32_t streams3(uint32_t s, const uint8_t **pp, size_t *plen) {
  size_t w = *plen / 24;
  w = w < kStreamWords ? w : kStreamWords;
  const size_t ls = 8 * w;
  const uint8_t *p = *pp;
  uint64_t c1 = s, c2 = 0, c3 = 0;
  for (const uint8_t *end = p + ls; p < end; p += 8) {
    c1 = _mm_crc32_u64(c1, load64(p));
    c2 = _mm_crc32_u64(c2, load64(p + ls));
    c3 = _mm_crc32_u64(c3, load64(p + 2 * ls));
  }
  const __m128i v = _mm_xor_si128(shift_state(static_cast<uint32_t>(c1), kStreamShifts.k[w][0]),
                                  shift_state(static_cast<uint32_t>(c2), kStreamShifts.k[w][1]));
  *pp += 3 * ls;
  *plen -= 3 * ls;
  return static_cast<uint32_t>(c3 ^ _mm_crc32_u64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(v))));
}

// The hybrid: each step folds K accumulators of width V over the next
// K * V::kBytes bytes of a vector stretch while three CRC32 chains take M
// words each of three scalar stretches behind it.  The two kinds of work
// run on different execution units, so they overlap; on the AMD EPYC this
// was tuned on, each alone reaches about 8 bytes a cycle with 256-bit
// registers.  A chunk of I steps (at most S) is
//
//   [ vector: I*K*V::kBytes ][ scalar 1: I*8M ][ scalar 2: I*8M ][ scalar 3: I*8M ]
//
// The accumulators run on from chunk to chunk, jumping over the scalar
// stretches; the three chain states of a chunk enter the first bytes of the
// next chunk's vector stretch, or, after the last chunk, the final value.
// Chunks are long (32 to 40 KiB here): each one starts four new streams of
// reads that the prefetcher has to find again, which at 1 MiB cost a tenth
// of the speed with 8 KiB chunks and a third with 2 KiB ones.  The price is
// a table of 6 KiB per kernel.
template <class V, int K, int M, int S = 256> struct Hybrid {
  static constexpr size_t kVec = K * V::kBytes; // vector bytes per step
  static constexpr size_t kWords = 8 * M;       // bytes per step of each chain
  static constexpr size_t kStep = kVec + 3 * kWords;
  static constexpr int kMaxSteps = S;

  // Constants for a chunk of i steps.
  struct Ends {
    FoldPair over;   // the joined accumulator onto the chunk's last 16 bytes
    uint32_t k1, k2; // chain 1 and 2 states into the chunk's last 8 bytes
  };
  struct Table {
    Ends e[kMaxSteps + 1];
  };
  static constexpr Table make_table() {
    Table t{};
    for (int i = 1; i <= kMaxSteps; i++) {
      const size_t ls = i * kWords;
      t.e[i] = {fold_pair(8 * 3 * ls), shift_const(2 * ls), shift_const(ls)};
    }
    return t;
  }
  static constexpr Table kTable = make_table();
  // Between whole chunks: the accumulators over the scalar stretches onto
  // the next chunk, the chain states into its first 8 bytes.
  static constexpr size_t kLs = kMaxSteps * kWords;
  static constexpr FoldPair kJump = fold_pair(8 * (kVec + 3 * kLs));
  static constexpr uint32_t kNext1 = shift_const(2 * kLs + 8);
  static constexpr uint32_t kNext2 = shift_const(kLs + 8);

  // Whole steps from *pp; returns the CRC state after them and leaves the
  // rest (under kStep bytes) at *pp / *plen.  Needs *plen >= kStep.
  static uint32_t run(uint32_t s, const uint8_t **pp, size_t *plen) {
    const uint8_t *p = *pp;
    size_t steps = *plen / kStep;
    *plen -= steps * kStep;
    typename V::T acc[K];
    for (int i = 0; i < K; i++)
      acc[i] = V::load(p + i * V::kBytes);
    acc[0] = V::bxor(acc[0], V::widen(_mm_cvtsi32_si128(static_cast<int>(s))));
    const typename V::T kstep = V::pair(kFold<8 * kVec>);
    for (;;) {
      const size_t n = steps < kMaxSteps ? steps : kMaxSteps;
      steps -= n;
      const size_t ls = n * kWords;
      const uint8_t *v = p + kVec;
      const uint8_t *q = p + n * kVec;
      uint64_t c1 = 0, c2 = 0, c3 = 0;
      for (size_t j = 1; j < n; j++) {
        for (int m = 0; m < M; m++) {
          c1 = _mm_crc32_u64(c1, load64(q + 8 * m));
          c2 = _mm_crc32_u64(c2, load64(q + ls + 8 * m));
          c3 = _mm_crc32_u64(c3, load64(q + 2 * ls + 8 * m));
        }
        q += kWords;
        for (int i = 0; i < K; i++)
          acc[i] = V::fold(acc[i], kstep, V::load(v + i * V::kBytes));
        v += kVec;
      }
      for (int m = 0; m < M; m++) {
        c1 = _mm_crc32_u64(c1, load64(q + 8 * m));
        c2 = _mm_crc32_u64(c2, load64(q + ls + 8 * m));
        c3 = _mm_crc32_u64(c3, load64(q + 2 * ls + 8 * m));
      }
      p += n * kStep;
      const uint32_t s1 = static_cast<uint32_t>(c1), s2 = static_cast<uint32_t>(c2),
                     s3 = static_cast<uint32_t>(c3);
      if (steps == 0) {
        const Ends &e = kTable.e[n];
        __m128i x = fold128(V::narrow(join<V, K>(acc)), pair128(e.over), _mm_setzero_si128());
        const __m128i t = _mm_xor_si128(shift_state(s1, e.k1), shift_state(s2, e.k2));
        x = _mm_xor_si128(x, _mm_slli_si128(t, 8));
        *pp = p;
        return reduce128(x) ^ s3;
      }
      const __m128i t =
          _mm_xor_si128(_mm_xor_si128(shift_state(s1, kNext1), shift_state(s2, kNext2)),
                        _mm_cvtsi32_si128(static_cast<int>(s3)));
      const typename V::T kjump = V::pair(kJump);
      acc[0] = V::fold(acc[0], kjump, V::bxor(V::load(p), V::widen(t)));
      for (int i = 1; i < K; i++)
        acc[i] = V::fold(acc[i], kjump, V::load(p + i * V::kBytes));
    }
  }
};

// A tier's kernel above kStreamsMin bytes: Long::run from kLongMin bytes
// on, then joined chains, then the single chain.  Out of line, so that
// short inputs in the kernel do not pay for this function's registers.
template <class Long, size_t kStreamsMin, size_t kLongMin>
__attribute__((noinline)) uint32_t hybrid_longer(uint32_t s, const uint8_t *p, size_t len) {
  if (len >= kLongMin)
    s = Long::run(s, &p, &len);
  while (len >= kStreamsMin)
    s = streams3(s, &p, &len);
  return chain(s, p, len);
}

} // namespace
