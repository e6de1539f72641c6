// SHA-256 one-shot throughput at 16 KiB: sha256_digest against a bare
// EVP_Digest loop in this process (the floor) and against the crypto
// library's own figure from `openssl speed`, when the tool is there.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>
#include <vector>

#include "bench_timing.h"
#include "digest/cpu_features.h"
#include "digest/sha256.h"

namespace {

// GB/s from `openssl speed -evp sha256 -bytes 16384`, or 0.
double openssl_speed_gbps() {
  FILE *f = popen("openssl speed -evp sha256 -bytes 16384 -seconds 1 2>/dev/null", "r");
  if (f == nullptr)
    return 0.0;
  char line[512];
  double kbps = 0.0;
  while (fgets(line, sizeof line, f) != nullptr) {
    // The result line: "sha256  <rate>k" in thousands of bytes per second.
    char name[64];
    double v = 0.0;
    if (sscanf(line, "%63s %lfk", name, &v) == 2 && strstr(name, "sha256") != nullptr)
      kbps = v;
  }
  pclose(f);
  return kbps * 1000.0 / 1e9;
}

} // namespace

int main() {
  constexpr size_t kLen = 16384;
  // 64-byte aligned, as openssl speed's own buffers are.
  struct alignas(64) Block {
    uint8_t bytes[kLen];
  };
  static Block block;
  memset(block.bytes, 0x5a, kLen);
  uint8_t *const data = block.bytes;
  uint8_t out[SHA256_DIGEST_BYTES];
  EVP_MD *md = EVP_MD_fetch(nullptr, "SHA256", nullptr);

  // Alternating rounds of the three, medians: the machine's load changes
  // over seconds, so no contender may run all its rounds in one stretch.
  std::vector<double> r_ours, r_bare, r_speed;
  for (int round = 0; round < 5; round++) {
    r_ours.push_back(zb::median_gbps(
        [&] {
          sha256_digest(data, kLen, out);
          zb::keep(out[0]);
        },
        kLen, 5));
    r_bare.push_back(zb::median_gbps(
        [&] {
          EVP_Digest(data, kLen, out, nullptr, md, nullptr);
          zb::keep(out[0]);
        },
        kLen, 5));
    double sp = openssl_speed_gbps();
    if (sp > 0)
      r_speed.push_back(sp);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  const double ours = median(r_ours), bare = median(r_bare), speed = median(r_speed);
  printf("sha256 at %zu bytes (label %s)\n", kLen, sha256_impl_label());
  printf("  bare EVP_Digest   %7.3f GB/s\n", bare);
  printf("  sha256_digest     %7.3f GB/s   x bare %.3f\n", ours, ours / bare);
  if (speed > 0)
    printf("  openssl speed     %7.3f GB/s   x speed %.3f\n", speed, ours / speed);
  EVP_MD_free(md);
  return 0;
}
