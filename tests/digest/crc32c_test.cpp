// CRC-32C: published vectors, agreement with the bitwise definition at every
// length and alignment near guard pages and over chained calls, on every
// kernel; in the native build also the path crc32c picks.  The portable build
// compiles each vector tier's kernel on SIMDe's intrinsics, without the
// tier's target attributes, so that the same checks run every kernel on any
// processor.
#include "digest/crc32c.h"
#include "digest/crc32c_internal.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#if !defined(ZPR_CRC32C_PORTABLE)
#include "support/test_support.h"
#endif

namespace {

struct Kernel {
  const char *name;
  uint32_t (*fn)(uint32_t crc, const void *data, size_t len);
};

#if defined(ZPR_CRC32C_PORTABLE)
const std::vector<Kernel> kKernels = {
    {"pclmul", crc32c_fold_pclmul}, {"avx2", crc32c_fold_avx2}, {"avx512", crc32c_fold_avx512}};
// Emulated carry-less multiplication is slow: every length up to past the
// kernels' switches between methods, not up to the native reach.
constexpr size_t kSweepMax = 1100;
#else
// The kernel's view of the processor: the flags it leaves set only when
// the processor has the instruction and the OS keeps its register state.
bool cpu_has(const std::string &flag) {
  static const std::string cpuinfo = zt::read_file("/proc/cpuinfo");
  const size_t line = cpuinfo.find("\nflags");
  const std::string flags = cpuinfo.substr(line, cpuinfo.find('\n', line + 1) - line) + " ";
  return flags.find(" " + flag + " ") != std::string::npos;
}

struct Tier {
  Kernel kernel;
  std::vector<std::string> flags;
};

// From the best tier down; each runs where the processor has its flags.
const Tier kTiers[] = {
    {{"avx512", crc32c_fold_avx512}, {"avx512f", "vpclmulqdq", "pclmulqdq", "sse4_2"}},
    {{"avx2", crc32c_fold_avx2}, {"avx2", "vpclmulqdq", "pclmulqdq", "sse4_2"}},
    {{"pclmul", crc32c_fold_pclmul}, {"pclmulqdq", "sse4_2"}},
    {{"sse4.2", crc32c_single_chain}, {"sse4_2"}},
};

bool runs_here(const Tier &t) { return std::all_of(t.flags.begin(), t.flags.end(), cpu_has); }

const std::vector<Kernel> kKernels = [] {
  std::vector<Kernel> v = {{"table", crc32c_table}, {"crc32c", crc32c}};
  for (const Tier &t : kTiers)
    if (runs_here(t))
      v.push_back(t.kernel);
    else
      printf("native %s kernel not run: this processor lacks its instructions\n", t.kernel.name);
  return v;
}();
constexpr size_t kSweepMax = 4200;
#endif

// The definition: reflected CRC-32C, polynomial 0x82F63B78, one bit at a
// time, spread into a byte table once so that long inputs are quick.
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

TEST(Crc32c, PublishedVectorsOnEveryKernel) {
  // The CRC catalogue's check value, then iSCSI vectors of RFC 3720 (B.4).
  const struct {
    const char *name;
    std::vector<uint8_t> data;
    uint32_t crc;
  } vectors[] = {{"123456789", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xE3069283u},
                 {"32 zeros", std::vector<uint8_t>(32, 0x00), 0x8A9136AAu},
                 {"READ PDU",
                  {0x01, 0xC0, 0, 0, 0, 0, 0,    0, 0,    0, 0, 0,    0, 0, 0, 0,
                   0x14, 0,    0, 0, 0, 0, 0x04, 0, 0,    0, 0, 0x14, 0, 0, 0, 0x18,
                   0x28, 0,    0, 0, 0, 0, 0,    0, 0x02, 0, 0, 0,    0, 0, 0, 0},
                  0xD9963A56u}};
  for (const Kernel &k : kKernels) {
    SCOPED_TRACE(k.name);
    for (const auto &v : vectors)
      EXPECT_EQ(k.fn(0, v.data.data(), v.data.size()), v.crc) << v.name;
  }
}

// Every length up to the sweep's end and every alignment, from a running
// value not 0, in data ending 0 to 63 bytes before an inaccessible page (or
// starting just after one): reading a byte outside the input crashes.
TEST(Crc32c, EveryKernelMatchesTheDefinitionNearGuardPages) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t span = (kSweepMax + 64 + page - 1) / page * page;
  auto *base = static_cast<uint8_t *>(
      mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  uint8_t *first = base + page;
  uint8_t *end = first + span;
  ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);
  const auto data = random_bytes(span, 3);
  std::copy(data.begin(), data.end(), first);
  for (size_t len = 0; len <= kSweepMax; len++)
    for (size_t off = 0; off <= 64; off++) {
      const uint8_t *p = off < 64 ? end - len - off : first;
      const uint32_t want = reference(0xA5A5A5A5u, p, len);
      for (const Kernel &k : kKernels)
        ASSERT_EQ(k.fn(0xA5A5A5A5u, p, len), want) << k.name << " len " << len << " off " << off;
    }
  munmap(base, span + 2 * page);
}

// Inputs up to 1 MiB cut at random points into four chained calls give the
// CRC of the whole: the running value carries over between calls.
TEST(Crc32c, ChainedCallsMatchOneCall) {
  const auto big = random_bytes((1u << 20) + 64, 4);
  std::mt19937 rng(4);
  for (int round = 0; round < 400; round++) {
    const size_t len = rng() % (round < 300 ? 16384 : 1u << 20);
    const uint8_t *p = big.data() + rng() % 64;
    size_t cut[5] = {0, rng() % (len + 1), rng() % (len + 1), rng() % (len + 1), len};
    std::sort(cut, cut + 5);
    const uint32_t want = reference(7, p, len);
    for (const Kernel &k : kKernels) {
      uint32_t c = 7;
      for (int i = 0; i < 4; i++)
        c = k.fn(c, p + cut[i], cut[i + 1] - cut[i]);
      ASSERT_EQ(c, want) << k.name << " len " << len << " cuts " << cut[1] << " " << cut[3];
    }
  }
}

#if !defined(ZPR_CRC32C_PORTABLE)
TEST(Crc32c, TakesTheBestPathTheProcessorRuns) {
  const auto best = std::find_if(std::begin(kTiers), std::end(kTiers), runs_here);
  EXPECT_STREQ(crc32c_path_name(), best == std::end(kTiers) ? "table" : best->kernel.name);
}
#endif

} // namespace
