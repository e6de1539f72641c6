// CRC-32C throughput per input size: the single CRC32 chain (the floor),
// the path crc32c takes on this machine, the forced 128-bit folding path,
// and, when it is installed, ISA-L's crc32_iscsi as the outside yardstick.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench_timing.h"
#include "digest/crc32c.h"
#include "digest/crc32c_internal.h"

#ifdef ZPR_HAVE_ISAL
#include <isa-l/crc.h>
#endif

namespace {

double median(std::vector<double> v) {
  if (v.empty())
    return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  // Sizes may be given on the command line; these by default.
  std::vector<size_t> sizes = {8,   16,   32,   48,   64,    96,    128,   192,    256,
                         512, 1024, 2048, 4096, 16384, 65536, 1u << 20};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; i++)
      sizes.push_back(std::min<size_t>(strtoul(argv[i], nullptr, 0), 1u << 20));
  }
  std::vector<uint8_t> buf((1u << 20) + 64);
  std::mt19937 rng(1);
  for (auto &b : buf)
    b = static_cast<uint8_t>(rng());
  const uint8_t *p = buf.data();

  printf("crc32c path: %s\n", crc32c_path_name());
  printf("%8s %10s %10s %10s %10s %8s %8s\n", "bytes", "chain", "crc32c", "pclmul", "isa-l",
         "x chain", "x isa-l");
  for (size_t n : sizes) {
    // Alternating rounds, medians of medians: a noisy neighbour or a change
    // of clock speed hits every contender alike.
    uint32_t c = 0;
    std::vector<double> r_chain, r_ours, r_pcl, r_isal;
    for (int round = 0; round < 7; round++) {
      r_chain.push_back(zb::median_gbps([&] { c = crc32c_single_chain(c, p, n); zb::keep(c); }, n, 5));
      r_ours.push_back(zb::median_gbps([&] { c = crc32c(c, p, n); zb::keep(c); }, n, 5));
      if (crc32c_can_pclmul())
        r_pcl.push_back(zb::median_gbps([&] { c = crc32c_fold_pclmul(c, p, n); zb::keep(c); }, n, 5));
#ifdef ZPR_HAVE_ISAL
      // The standard CRC-32C of running value c is ~crc32_iscsi(buf, len, ~c).
      uint8_t *mp = buf.data();
      r_isal.push_back(zb::median_gbps(
          [&] { c = ~crc32_iscsi(mp, static_cast<int>(n), ~c); zb::keep(c); }, n, 5));
#endif
    }
    const double chain = median(r_chain), ours = median(r_ours), pcl = median(r_pcl),
                 isal = median(r_isal);
    printf("%8zu %10.2f %10.2f %10.2f %10.2f %8.2f %8.2f\n", n, chain, ours, pcl, isal,
           ours / chain, isal > 0 ? ours / isal : 0.0);
  }
#ifdef ZPR_HAVE_ISAL
  // The same values, or the comparison means nothing.
  for (size_t n : sizes)
    if (~crc32_iscsi(buf.data() + 3, static_cast<int>(n), ~0x1234u) != crc32c(0x1234u, p + 3, n)) {
      printf("MISMATCH against isa-l at %zu bytes\n", n);
      return 1;
    }
#endif
  printf("(GB/s, medians of 7 alternating rounds; ratios: crc32c against the chain and against isa-l)\n");
  return 0;
}
