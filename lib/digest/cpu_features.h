// CPU feature report: which vector and hash instructions the processor
// offers, published by worker tools in their progress segment.  Both probes
// run CPUID (and XGETBV) on every call and keep no state.
#pragma once

inline constexpr unsigned CPU_FLAG_AVX2 = 1;
inline constexpr unsigned CPU_FLAG_SHA_NI = 2;

// AVX2 (usable: CPU and OS support) in bit 0, the SHA extensions in bit 1.
unsigned cpu_feature_flags();

// The SHA-256 code path the crypto library is expected to take: "SHA-NI",
// "AVX2", "SSSE3" or "scalar", with a star appended when OPENSSL_ia32cap is
// set in the environment.  A static string.
const char *sha256_impl_label();
