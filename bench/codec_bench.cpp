// Codec front end against the bare library calls, on the self-test pattern
// and on real program binaries: compression and decompression throughput
// (GB/s of uncompressed data), medians, and the ratio wrapper / bare.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <lz4.h>
#include <string>
#include <vector>
#include <zstd.h>

#include "bench_timing.h"
#include "digest/codec.h"
#include "runtime/selftest.h"

namespace {

// Up to `want` bytes of the files in /usr/bin, concatenated.
std::vector<uint8_t> binaries(size_t want) {
  std::vector<uint8_t> data;
  DIR *d = opendir("/usr/bin");
  if (d == nullptr)
    return data;
  while (dirent *e = readdir(d)) {
    if (data.size() >= want)
      break;
    std::string path = std::string("/usr/bin/") + e->d_name;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
      continue;
    uint8_t chunk[65536];
    size_t n;
    while (data.size() < want && (n = fread(chunk, 1, sizeof chunk, f)) > 0)
      data.insert(data.end(), chunk, chunk + std::min(n, want - data.size()));
    fclose(f);
  }
  closedir(d);
  return data;
}

void row(const char *what, zb::Pair p) {
  printf("  %-22s wrapper %8.3f GB/s   bare %8.3f GB/s   x %.3f\n", what, p.a, p.b, p.a / p.b);
}

void compare(const char *name, const std::vector<uint8_t> &src) {
  const size_t n = src.size();
  printf("%s: %zu bytes\n", name, n);
  std::vector<uint8_t> packed(codec_bound(CODEC_ZSTD, n) + codec_bound(CODEC_LZ4, n));
  std::vector<uint8_t> out(n);
  char *pc = reinterpret_cast<char *>(packed.data());
  char *oc = reinterpret_cast<char *>(out.data());
  const char *sc = reinterpret_cast<const char *>(src.data());
  const int in = static_cast<int>(n), cap = static_cast<int>(packed.size());
  size_t r = 0;
  int ri = 0;

  row("zstd compress", zb::compare_gbps(
                           [&] {
                             r = codec_compress(CODEC_ZSTD, 3, src.data(), n, packed.data(),
                                                packed.size());
                             zb::keep(r);
                           },
                           [&] {
                             r = ZSTD_compress(packed.data(), packed.size(), src.data(), n, 3);
                             zb::keep(r);
                           },
                           n));
  const size_t zlen = ZSTD_compress(packed.data(), packed.size(), src.data(), n, 3);
  row("zstd decompress", zb::compare_gbps(
                             [&] {
                               codec_decompress(CODEC_ZSTD, packed.data(), zlen, out.data(), n, &r);
                               zb::keep(r);
                             },
                             [&] {
                               r = ZSTD_decompress(out.data(), n, packed.data(), zlen);
                               zb::keep(r);
                             },
                             n));
  row("lz4 compress", zb::compare_gbps(
                          [&] {
                            r = codec_compress(CODEC_LZ4, 3, src.data(), n, packed.data(),
                                               packed.size());
                            zb::keep(r);
                          },
                          [&] {
                            ri = LZ4_compress_default(sc, pc, in, cap);
                            zb::keep(ri);
                          },
                          n));
  const int llen = LZ4_compress_default(sc, pc, in, cap);
  row("lz4 decompress", zb::compare_gbps(
                            [&] {
                              codec_decompress(CODEC_LZ4, packed.data(), static_cast<size_t>(llen),
                                               out.data(), n, &r);
                              zb::keep(r);
                            },
                            [&] {
                              ri = LZ4_decompress_safe(pc, oc, llen, in);
                              zb::keep(ri);
                            },
                            n));
}

} // namespace

int main() {
  std::vector<uint8_t> pattern(SELFTEST_PATTERN_BYTES);
  selftest_pattern(pattern.data(), pattern.size());
  compare("self-test pattern", pattern);
  auto bins = binaries(4u << 20);
  if (!bins.empty())
    compare("/usr/bin binaries", bins);
  return 0;
}
