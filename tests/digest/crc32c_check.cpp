#include "crc32c_check.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <random>

namespace {

using zt::kernels_under_test;

// The definition: reflected CRC-32C, polynomial 0x82F63B78, one bit at a
// time.  Spread into a byte table once so that long inputs are quick.
uint32_t reference(uint32_t crc, const uint8_t *p, size_t len) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; b++) {
      uint32_t r = b;
      for (int bit = 0; bit < 8; bit++)
        r = (r >> 1) ^ (r & 1 ? 0x82F63B78u : 0);
      t[b] = r;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < len; i++)
    crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFF];
  return ~crc;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  std::generate(v.begin(), v.end(), [&] { return static_cast<uint8_t>(rng()); });
  return v;
}

struct Vector {
  const char *name;
  std::vector<uint8_t> data;
  uint32_t crc;
};

std::vector<uint8_t> counting(bool up) {
  std::vector<uint8_t> v(32);
  for (size_t i = 0; i < v.size(); i++)
    v[i] = static_cast<uint8_t>(up ? i : 31 - i);
  return v;
}

TEST(Crc32c, PublishedVectorsOnEveryKernel) {
  // The check value of the CRC catalogue, then the iSCSI vectors of RFC
  // 3720 (B.4), the last a READ command PDU.
  const Vector vectors[] = {
      {"123456789", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xE3069283u},
      {"32 zeros", std::vector<uint8_t>(32, 0x00), 0x8A9136AAu},
      {"32 ones", std::vector<uint8_t>(32, 0xFF), 0x62A8AB43u},
      {"0 to 31", counting(true), 0x46DD794Eu},
      {"31 to 0", counting(false), 0x113FDB5Cu},
      {"READ PDU",
       {0x01, 0xC0, 0, 0, 0, 0, 0,    0, 0,    0, 0, 0,    0, 0, 0, 0,
        0x14, 0,    0, 0, 0, 0, 0x04, 0, 0,    0, 0, 0x14, 0, 0, 0, 0x18,
        0x28, 0,    0, 0, 0, 0, 0,    0, 0x02, 0, 0, 0,    0, 0, 0, 0},
       0xD9963A56u}};
  for (const auto &k : kernels_under_test()) {
    SCOPED_TRACE(k.name);
    for (const Vector &v : vectors)
      EXPECT_EQ(k.fn(0, v.data.data(), v.data.size()), v.crc) << v.name;
    for (uint32_t running : {0u, 0xDEADBEEFu})
      EXPECT_EQ(k.fn(running, "abc", 0), running) << "empty input";
  }
}

// Every length up to the reach and every alignment, from a running value
// not 0, in data ending 0 to 63 bytes before an inaccessible page (or
// starting just after one): reading a byte outside the input crashes.
TEST(Crc32c, EveryKernelMatchesTheDefinitionNearGuardPages) {
  const size_t max_len = zt::reach_under_test().sweep_max;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t span = (max_len + 64 + page - 1) / page * page;
  auto *base = static_cast<uint8_t *>(
      mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  uint8_t *first = base + page;
  uint8_t *end = first + span;
  ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);
  const auto data = random_bytes(span, 3);
  std::copy(data.begin(), data.end(), first);
  for (size_t len = 0; len <= max_len; len++)
    for (size_t off = 0; off <= 64; off++) {
      const uint8_t *p = off < 64 ? end - len - off : first;
      const uint32_t want = reference(0xA5A5A5A5u, p, len);
      for (const auto &k : kernels_under_test())
        ASSERT_EQ(k.fn(0xA5A5A5A5u, p, len), want) << k.name << " len " << len << " off " << off;
    }
  munmap(base, span + 2 * page);
}

// Inputs cut at random points into four chained calls give the CRC of the
// whole: the running value carries over between calls.
TEST(Crc32c, ChainedCallsMatchOneCall) {
  const size_t max_len = zt::reach_under_test().chained_max;
  const auto big = random_bytes(max_len + 64, 4);
  std::mt19937 rng(4);
  for (int round = 0; round < 400; round++) {
    const size_t len = rng() % (round < 300 ? std::min<size_t>(16384, max_len) : max_len);
    const uint8_t *p = big.data() + rng() % 64;
    size_t cut[5] = {0, rng() % (len + 1), rng() % (len + 1), rng() % (len + 1), len};
    std::sort(cut, cut + 5);
    const uint32_t want = reference(7, p, len);
    for (const auto &k : kernels_under_test()) {
      uint32_t c = 7;
      for (int i = 0; i < 4; i++)
        c = k.fn(c, p + cut[i], cut[i + 1] - cut[i]);
      ASSERT_EQ(c, want) << k.name << " len " << len << " cuts " << cut[1] << " " << cut[3];
    }
  }
}

} // namespace
