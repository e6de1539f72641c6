// CRC-32C (Castagnoli, as used by iSCSI): the suite's block checksum.
// Computed with the processor's CRC32 instruction (and carry-less
// multiplication where the processor has it) when SSE4.2 is present, with a
// byte-wise lookup table otherwise; every path gives the same results.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues the finished CRC `crc` over len bytes and returns the finished
// CRC (final inversion applied).  Start new data with 0.  Chaining holds:
// crc32c(crc32c(0, A), B) == crc32c(0, A followed by B).  len 0 returns crc.
// Safe from any thread; the implementation is chosen once per process.
uint32_t crc32c(uint32_t crc, const void *data, size_t len);

// 1 when the processor supports SSE4.2, else 0.  Asks the processor each
// time; does not change the path crc32c took.
int crc32c_hw_available();
