// CPU feature report: which vector and hash instructions the processor
// offers, published by worker tools in their progress segment.  Both probes
// run CPUID (and XGETBV) on every call and keep no state.
#pragma once

#include <cstdint>

inline constexpr unsigned CPU_FLAG_AVX2 = 1;
inline constexpr unsigned CPU_FLAG_SHA_NI = 2;

// AVX2 (usable: CPU and OS support) in bit 0, the SHA extensions in bit 1.
unsigned cpu_feature_flags();

// The SHA-256 code path the crypto library is expected to take: "SHA-NI",
// "AVX2", "SSSE3" or "scalar", with a star appended when OPENSSL_ia32cap is
// set in the environment.  A static string.
const char *sha256_impl_label();

// The processor facts both probes decide on, so the rules can be checked
// with made-up processors.
struct CpuFacts {
  uint32_t max_leaf;
  bool ssse3;
  bool osxsave;
  bool avx;
  bool xcr0_xmm_ymm; // XCR0 bits 1 and 2; only read when osxsave and avx
  bool bmi1;         // leaf 7 facts count only when max_leaf >= 7
  bool avx2;
  bool bmi2;
  bool sha;
};

CpuFacts cpu_read_facts();
unsigned cpu_flags_from_facts(const CpuFacts &facts);
const char *sha256_label_from_facts(const CpuFacts &facts, bool ia32cap_set);
