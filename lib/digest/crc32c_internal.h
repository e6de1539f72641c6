// The individual CRC-32C paths, for tests and benchmarks that must compare
// them on one processor.  Every function takes and returns a finished CRC,
// like crc32c.  The library itself only calls crc32c.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte-wise lookup table: works on every processor.
uint32_t crc32c_table(uint32_t crc, const void *data, size_t len);

// One dependent chain of the CRC32 instruction, 8 bytes at a time.  The
// reference the faster paths are checked against.  Needs SSE4.2.
uint32_t crc32c_single_chain(uint32_t crc, const void *data, size_t len);

// 128-bit carry-less folding beside three CRC32 chains.  Needs SSE4.2 and
// PCLMULQDQ.
uint32_t crc32c_fold_pclmul(uint32_t crc, const void *data, size_t len);

// 256-bit carry-less folding beside three CRC32 chains.  Needs SSE4.2,
// PCLMULQDQ, AVX2 and VPCLMULQDQ.
uint32_t crc32c_fold_avx2(uint32_t crc, const void *data, size_t len);

// 512-bit carry-less folding.  Needs SSE4.2, PCLMULQDQ, AVX-512F and
// VPCLMULQDQ.
uint32_t crc32c_fold_avx512(uint32_t crc, const void *data, size_t len);

// Each kernel runs the single chain itself on inputs shorter than its
// minimum; crc32c runs that chain in place there and saves the jump.
inline constexpr size_t CRC32C_PCLMUL_MIN = 160;
inline constexpr size_t CRC32C_AVX2_MIN = 160;
inline constexpr size_t CRC32C_AVX512_MIN = 64;

struct CpuFacts;

// Which paths a processor can run, given the facts of the CPU feature
// report: the instructions each needs, and for the vector tiers the
// register state the operating system keeps (XCR0).
struct Crc32cGates {
  bool sse42;
  bool pclmul;
  bool avx2;
  bool avx512;
};
Crc32cGates crc32c_gates_from_facts(const CpuFacts &facts);

// The same for this processor.
bool crc32c_can_pclmul();
bool crc32c_can_avx2();
bool crc32c_can_avx512();

// Name of the path crc32c uses in this process: "avx512", "avx2",
// "pclmul", "sse4.2" or "table".
const char *crc32c_path_name();
