#include "digest/cpu_features.h"

#include "digest/cpu_features_internal.h"

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

bool avx2_usable(const CpuFacts &f) { return f.osxsave && f.avx && f.xcr0_xmm_ymm && f.avx2; }

} // namespace

CpuFacts cpu_facts_from_regs(const CpuRegs &r) {
  CpuFacts f{};
  f.max_leaf = r.max_leaf;
  if (f.max_leaf == 0)
    return f;
  f.ssse3 = (r.leaf1_ecx >> 9) & 1;
  f.osxsave = (r.leaf1_ecx >> 27) & 1;
  f.avx = (r.leaf1_ecx >> 28) & 1;
  f.sse42 = (r.leaf1_ecx >> 20) & 1;
  f.pclmul = (r.leaf1_ecx >> 1) & 1;
  if (f.osxsave && f.avx) {
    f.xcr0_xmm_ymm = (r.xcr0 & 6u) == 6u;
    f.xcr0_zmm = f.xcr0_xmm_ymm && (r.xcr0 & 0xE0u) == 0xE0u;
  }
  if (f.max_leaf >= 7) {
    f.bmi1 = (r.leaf7_ebx >> 3) & 1;
    f.avx2 = (r.leaf7_ebx >> 5) & 1;
    f.bmi2 = (r.leaf7_ebx >> 8) & 1;
    f.sha = (r.leaf7_ebx >> 29) & 1;
    f.avx512f = (r.leaf7_ebx >> 16) & 1;
    f.vpclmulqdq = (r.leaf7_ecx >> 10) & 1;
  }
  return f;
}

CpuFacts cpu_read_facts() {
  CpuRegs r{};
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(0, a, b, c, d);
  r.max_leaf = a;
  if (r.max_leaf == 0)
    return cpu_facts_from_regs(r);
  __cpuid(1, a, b, c, d);
  r.leaf1_ecx = c;
  // XGETBV is only valid once the OS has enabled it (OSXSAVE).
  const uint32_t osxsave_avx = (1u << 27) | (1u << 28);
  if ((c & osxsave_avx) == osxsave_avx) {
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    r.xcr0 = (uint64_t{hi} << 32) | lo;
  }
  if (r.max_leaf >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    r.leaf7_ebx = b;
    r.leaf7_ecx = c;
  }
#endif
  return cpu_facts_from_regs(r);
}

unsigned cpu_flags_from_facts(const CpuFacts &f) {
  if (f.max_leaf < 7)
    return 0;
  unsigned flags = 0;
  if (avx2_usable(f))
    flags |= CPU_FLAG_AVX2;
  if (f.sha)
    flags |= CPU_FLAG_SHA_NI;
  return flags;
}

const char *sha256_label_from_facts(const CpuFacts &f, bool ia32cap_set) {
  enum { SHA_NI, AVX2, SSSE3, SCALAR };
  static constexpr const char *kPlain[] = {"SHA-NI", "AVX2", "SSSE3", "scalar"};
  static constexpr const char *kStarred[] = {"SHA-NI*", "AVX2*", "SSSE3*", "scalar*"};
  int base;
  if (f.max_leaf == 0)
    base = SCALAR;
  else if (f.max_leaf < 7)
    base = f.ssse3 ? SSSE3 : SCALAR;
  else if (f.sha && f.ssse3)
    base = SHA_NI;
  else if (avx2_usable(f) && f.bmi1 && f.bmi2)
    base = AVX2;
  else if (f.ssse3)
    base = SSSE3;
  else
    base = SCALAR;
  return ia32cap_set ? kStarred[base] : kPlain[base];
}

unsigned cpu_feature_flags() { return cpu_flags_from_facts(cpu_read_facts()); }

const char *sha256_impl_label() {
  return sha256_label_from_facts(cpu_read_facts(), getenv("OPENSSL_ia32cap") != nullptr);
}
