// Each vector tier's CRC-32C kernel built on SIMDe's portable intrinsics,
// without the tier's target attributes: the same cross-check as the native
// kernels get, on any processor.
#include "crc32c_check.h"
#include "digest/crc32c_internal.h"

const std::vector<zt::CrcKernel> &zt::kernels_under_test() {
  static const std::vector<CrcKernel> kernels = {
      {"pclmul", crc32c_fold_pclmul}, {"avx2", crc32c_fold_avx2}, {"avx512", crc32c_fold_avx512}};
  return kernels;
}

// Emulated carry-less multiplication is slow: lengths past every switch
// between methods in the kernels, but not the native sweep's.
zt::CrcReach zt::reach_under_test() { return {1100, 1 << 20}; }
