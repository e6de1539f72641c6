// CRC-32C throughput per input size: the single CRC32 chain (the floor),
// every kernel this processor can run, forced through the internal
// interface, each beside ISA-L's function of the same tier when ISA-L is
// installed, and crc32c itself (the kernel chosen at run time).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "digest/crc32c.h"
#include "digest/crc32c_internal.h"

#ifdef ZPR_HAVE_ISAL
#include <isa-l/crc.h>
// Exported by the library, though its header declares only the dispatcher.
extern "C" unsigned int crc32_iscsi_01(unsigned char *buf, int len, unsigned int init);
extern "C" unsigned int crc32_iscsi_by16_10(unsigned char *buf, int len, unsigned int init);
#endif

namespace {

using Fn = uint32_t (*)(uint32_t, const void *, size_t);

#ifdef ZPR_HAVE_ISAL
using IsalFn = unsigned (*)(unsigned char *, int, unsigned);
// ISA-L's functions take and return the raw state: the finished CRC of
// running value c is ~f(buf, len, ~c).
template <IsalFn F> uint32_t isal(uint32_t crc, const void *data, size_t len) {
  return ~F(static_cast<unsigned char *>(const_cast<void *>(data)), static_cast<int>(len), ~crc);
}
#endif

struct Column {
  const char *name;
  Fn fn;
  int ours;   // index of the column this ISA-L one is compared with, or -1
  bool floor; // the single chain
};

constexpr int kRounds = 9;

double median(std::vector<double> v) {
  if (v.empty())
    return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  // Sizes may be given on the command line; these by default.
  std::vector<size_t> sizes = {8,   16,  32,   48,   64,   96,    128,   192,
                               256, 512, 1024, 2048, 4096, 16384, 65536, 1u << 20};
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

  std::vector<Column> cols = {{"chain", crc32c_single_chain, -1, true}};
  auto add = [&](const char *name, Fn ours, const char *isal_name, Fn isal_fn) {
    cols.push_back({name, ours, -1, false});
    if (isal_fn)
      cols.push_back({isal_name, isal_fn, static_cast<int>(cols.size()) - 1, false});
  };
  Fn i01 = nullptr, idisp = nullptr, i10 = nullptr;
#ifdef ZPR_HAVE_ISAL
  i01 = isal<crc32_iscsi_01>;
  idisp = isal<crc32_iscsi>;
  i10 = isal<crc32_iscsi_by16_10>;
#endif
  // ISA-L has no 256-bit kernel: its own dispatch is the yardstick there.
  if (crc32c_can_pclmul())
    add("pclmul", crc32c_fold_pclmul, "isa-l 01", i01);
  if (crc32c_can_avx2())
    add("avx2", crc32c_fold_avx2, "isa-l", idisp);
  if (crc32c_can_avx512())
    add("avx512", crc32c_fold_avx512, "isa-l 10", i10);
  add("crc32c", crc32c, "", nullptr);

  printf("crc32c path: %s; GB/s, medians of %d alternating rounds\n", crc32c_path_name(), kRounds);
  printf("%8s", "bytes");
  for (const auto &c : cols)
    printf(" %9s", c.name);
  for (const auto &c : cols)
    if (c.ours >= 0)
      printf(" %9s", (std::string(cols[c.ours].name) + "/isa").c_str());
  for (const auto &c : cols)
    if (c.ours < 0 && !c.floor)
      printf(" %9s", (std::string(c.name) + "/ch").c_str());
  printf("\n");

  for (size_t n : sizes) {
    // Alternating rounds, medians of medians: a noisy neighbour or a change
    // of clock speed hits every contender alike.  Short runs (0.2 ms), so
    // that most of them fall between two turns of another process on a
    // shared core, and the median sees those.
    std::vector<std::vector<double>> r(cols.size());
    uint32_t c = 0;
    for (int round = 0; round < kRounds; round++)
      for (size_t i = 0; i < cols.size(); i++) {
        const Fn fn = cols[i].fn;
        r[i].push_back(zb::median_gbps(
            [&] {
              c = fn(c, p, n);
              zb::keep(c);
            },
            n, 9, 200000));
      }
    std::vector<double> m;
    for (auto &v : r)
      m.push_back(median(v));
    printf("%8zu", n);
    for (double v : m)
      printf(" %9.2f", v);
    for (size_t i = 0; i < cols.size(); i++)
      if (cols[i].ours >= 0)
        printf(" %9.2f", m[cols[i].ours] / m[i]);
    for (size_t i = 0; i < cols.size(); i++)
      if (cols[i].ours < 0 && !cols[i].floor)
        printf(" %9.2f", m[i] / m[0]);
    printf("\n");
  }

  // The same values, or the comparison means nothing.
  for (const auto &col : cols)
    for (size_t n : sizes)
      if (col.fn(0x1234u, p + 3, n) != crc32c_table(0x1234u, p + 3, n)) {
        printf("MISMATCH: %s at %zu bytes\n", col.name, n);
        return 1;
      }
  printf("(x/isa: kernel against ISA-L's function of its tier; x/ch: against the chain)\n");
  return 0;
}
