// The cross-check every CRC-32C kernel goes through, in the native build
// and in the portable build of the vector tiers: published vectors, then
// agreement with the bitwise definition at every length and alignment near
// a guard page, and over inputs cut into chained calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zt {

struct CrcKernel {
  const char *name;
  uint32_t (*fn)(uint32_t crc, const void *data, size_t len);
};

// How far the checks go: every length up to sweep_max at 65 alignments,
// and chained calls over inputs up to chained_max bytes.
struct CrcReach {
  size_t sweep_max;
  size_t chained_max;
};

// Defined by each test program: the kernels it checks, and how far.
const std::vector<CrcKernel> &kernels_under_test();
CrcReach reach_under_test();

} // namespace zt
