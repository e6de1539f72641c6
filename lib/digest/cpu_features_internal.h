// The decision rules of the CPU feature report as functions of the
// processor facts, so that they can be checked with made-up processors.
// Internal to the library and its tests.
#pragma once

#include <cstdint>

// The processor facts both probes decide on.
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
  // Read for the CRC-32C kernels only; they never show in the report.
  bool sse42;
  bool pclmul;
  bool xcr0_zmm; // XCR0 bits 5 to 7 (AVX-512 state); only read with xcr0_xmm_ymm
  bool avx512f;
  bool vpclmulqdq;
};

// The registers the facts come from: CPUID leaf 0 EAX, leaf 1 ECX, leaf 7
// (subleaf 0) EBX and ECX, and XCR0.  Leaf 7 counts only when max_leaf is 7
// or more, XCR0 only when leaf 1 reports OSXSAVE and AVX (XGETBV faults
// otherwise, so the probe leaves it 0).
struct CpuRegs {
  uint32_t max_leaf;
  uint32_t leaf1_ecx;
  uint32_t leaf7_ebx;
  uint32_t leaf7_ecx;
  uint64_t xcr0;
};

CpuFacts cpu_facts_from_regs(const CpuRegs &regs);
CpuFacts cpu_read_facts();
unsigned cpu_flags_from_facts(const CpuFacts &facts);
const char *sha256_label_from_facts(const CpuFacts &facts, bool ia32cap_set);
