#include "digest/crc32c.h"

#include <array>
#include <atomic>
#include <cstring>

#include "digest/cpu_features.h"
#include "digest/cpu_features_internal.h"
#include "digest/crc32c_internal.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr uint32_t kPolyReflected = 0x82F63B78u;

// The table is a compile-time constant: nothing to build at run time, so
// there is nothing for concurrent first calls to race on.
constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = i;
    for (int k = 0; k < 8; k++)
      v = (v & 1) ? (v >> 1) ^ kPolyReflected : v >> 1;
    t[i] = v;
  }
  return t;
}

constexpr std::array<uint32_t, 256> kTable = make_table();
static_assert(kTable[1] == 0xF26B8303u && kTable[128] == 0x82F63B78u && kTable[255] == 0xAD7D5351u);

using Kernel = uint32_t (*)(uint32_t, const void *, size_t);

struct Path {
  Kernel kernel;
  const char *name;
  size_t short_input; // shorter inputs run the chain inside crc32c
};

Path choose_path() {
#if defined(__x86_64__)
  const Crc32cGates g = crc32c_gates_from_facts(cpu_read_facts());
  if (g.avx512)
    return {crc32c_fold_avx512, "avx512", CRC32C_AVX512_MIN};
  if (g.avx2)
    return {crc32c_fold_avx2, "avx2", CRC32C_AVX2_MIN};
  if (g.pclmul)
    return {crc32c_fold_pclmul, "pclmul", CRC32C_PCLMUL_MIN};
  if (g.sse42)
    return {crc32c_single_chain, "sse4.2", SIZE_MAX};
#endif
  return {crc32c_table, "table", 0};
}

// The path is chosen once per process.  A function-local static is
// initialised exactly once even when several threads arrive together, and
// none of them sees it before it holds its value.
const Path &chosen_path() {
  static const Path p = choose_path();
  return p;
}

uint32_t resolve_and_run(uint32_t crc, const void *data, size_t len);

// What crc32c jumps to: the resolver until the first call has chosen, the
// chosen kernel from then on.  Keeping the choice out of line leaves
// crc32c a load and a jump, which matters for short inputs.
std::atomic<Kernel> g_kernel{resolve_and_run};

// Set with the kernel: inputs shorter than this run the CRC32 chain right
// here, where the chosen kernel would run it too (0 without the
// instruction).  At a few bytes the jump into a kernel costs as much as the
// work itself.  One comparison decides both the length and the processor.
std::atomic<size_t> g_short_limit{0};

#if defined(__x86_64__)
// The chain in inline assembly, so that it can live in this function,
// which is compiled for every x86-64 processor and runs it only when the
// instruction is there.
inline uint32_t short_chain(uint32_t crc, const uint8_t *p, size_t len) {
  uint64_t s = static_cast<uint32_t>(~crc);
  // A loop: unrolled behind the bound on len it takes more branches.
#pragma GCC unroll 1
  for (; len >= 8; p += 8, len -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    __asm__("crc32q %1, %0" : "+r"(s) : "rm"(w));
  }
  uint32_t s32 = static_cast<uint32_t>(s);
  if (len >= 4) {
    uint32_t w;
    memcpy(&w, p, 4);
    __asm__("crc32l %1, %0" : "+r"(s32) : "rm"(w));
    p += 4;
    len -= 4;
  }
  for (; len > 0; p++, len--)
    __asm__("crc32b %1, %0" : "+r"(s32) : "rm"(*p));
  return ~s32;
}
#endif

uint32_t resolve_and_run(uint32_t crc, const void *data, size_t len) {
  const Path &p = chosen_path();
  g_kernel.store(p.kernel, std::memory_order_release);
  g_short_limit.store(p.short_input, std::memory_order_release);
  return p.kernel(crc, data, len);
}

} // namespace

uint32_t crc32c_table(uint32_t crc, const void *data, size_t len) {
  if (len == 0)
    return crc;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint32_t s = ~crc;
  for (size_t i = 0; i < len; i++)
    s = (s >> 8) ^ kTable[(s ^ p[i]) & 0xff];
  return ~s;
}

#if defined(__x86_64__)
// The entry points start on a 64-byte line: at a few bytes a call costs
// about ten cycles, and where the code happens to fall moves that by one.
__attribute__((target("sse4.2"), aligned(64))) uint32_t
crc32c_single_chain(uint32_t crc, const void *data, size_t len) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint64_t s = static_cast<uint32_t>(~crc);
  for (; len >= 8; p += 8, len -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    s = _mm_crc32_u64(s, w);
  }
  uint32_t s32 = static_cast<uint32_t>(s);
  if (len >= 4) {
    uint32_t w;
    memcpy(&w, p, 4);
    s32 = _mm_crc32_u32(s32, w);
    p += 4;
    len -= 4;
  }
  for (; len > 0; p++, len--)
    s32 = _mm_crc32_u8(s32, *p);
  return ~s32;
}
#else
uint32_t crc32c_single_chain(uint32_t crc, const void *data, size_t len) {
  return crc32c_table(crc, data, len);
}
#endif

const char *crc32c_path_name() { return chosen_path().name; }

__attribute__((aligned(64))) uint32_t crc32c(uint32_t crc, const void *data, size_t len) {
  // Every kernel returns crc unchanged for len 0.
#if defined(__x86_64__)
  if (len < g_short_limit.load(std::memory_order_relaxed))
    return short_chain(crc, static_cast<const uint8_t *>(data), len);
#endif
  return g_kernel.load(std::memory_order_acquire)(crc, data, len);
}

Crc32cGates crc32c_gates_from_facts(const CpuFacts &f) {
  Crc32cGates g{};
#if defined(__x86_64__)
  g.sse42 = f.max_leaf >= 1 && f.sse42;
  g.pclmul = g.sse42 && f.pclmul;
  // The 256-bit instructions need the YMM state kept by the operating
  // system, which the report's AVX2 bit includes.
  g.avx2 = g.pclmul && (cpu_flags_from_facts(f) & CPU_FLAG_AVX2) && f.vpclmulqdq;
  g.avx512 = g.pclmul && f.xcr0_zmm && f.avx512f && f.vpclmulqdq;
#else
  (void)f;
#endif
  return g;
}

int crc32c_hw_available() { return crc32c_gates_from_facts(cpu_read_facts()).sse42 ? 1 : 0; }

bool crc32c_can_pclmul() { return crc32c_gates_from_facts(cpu_read_facts()).pclmul; }

bool crc32c_can_avx2() { return crc32c_gates_from_facts(cpu_read_facts()).avx2; }

bool crc32c_can_avx512() { return crc32c_gates_from_facts(cpu_read_facts()).avx512; }
