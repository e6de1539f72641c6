#include "digest/crc32c.h"
#include "digest/crc32c_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <numeric>
#include <random>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Kernel {
  const char *name;
  uint32_t (*fn)(uint32_t, const void *, size_t);
  bool runs;
};

// Every path this processor runs: table, crc32c, then the kernels, best last.  Asked once: CPUID is slow in a VM.
const std::vector<Kernel> &kernels() {
  static const std::vector<Kernel> v = [] {
    std::vector<Kernel> r;
    for (const Kernel &k : {Kernel{"table", crc32c_table, true}, Kernel{"crc32c", crc32c, true},
                            Kernel{"sse4.2", crc32c_single_chain, crc32c_hw_available() == 1},
                            Kernel{"pclmul", crc32c_fold_pclmul, crc32c_can_pclmul()},
                            Kernel{"avx2", crc32c_fold_avx2, crc32c_can_avx2()},
                            Kernel{"avx512", crc32c_fold_avx512, crc32c_can_avx512()}})
      if (k.runs)
        r.push_back(k);
      else
        printf("kernel %s not checked: this processor lacks its instructions\n", k.name);
    return r;
  }();
  return v;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  std::generate(v.begin(), v.end(), [&] { return static_cast<uint8_t>(rng()); });
  return v;
}

TEST(Crc32c, StandardVectorsOnEveryKernel) {
  std::vector<uint8_t> up(32), down(32);
  std::iota(up.begin(), up.end(), 0), std::iota(down.rbegin(), down.rend(), 0);
  // The iSCSI test vectors (RFC 3720, B.4), the last a READ command PDU.
  const std::pair<std::vector<uint8_t>, uint32_t> cases[] = {
      {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xE3069283u},
      {std::vector<uint8_t>(32, 0x00), 0x8A9136AAu},
      {std::vector<uint8_t>(32, 0xFF), 0x62A8AB43u},
      {up, 0x46DD794Eu},
      {down, 0x113FDB5Cu},
      {{0x01, 0xC0, 0, 0, 0, 0, 0,    0, 0,    0, 0, 0,    0, 0, 0, 0,
        0x14, 0,    0, 0, 0, 0, 0x04, 0, 0,    0, 0, 0x14, 0, 0, 0, 0x18,
        0x28, 0,    0, 0, 0, 0, 0,    0, 0x02, 0, 0, 0,    0, 0, 0, 0},
       0xD9963A56u}};
  for (const auto &k : kernels()) {
    for (const auto &[data, crc] : cases)
      EXPECT_EQ(k.fn(0, data.data(), data.size()), crc) << k.name;
    // From raw state 0, one byte b leaves the table entry b, inverted.
    for (auto [b, entry] : {std::pair<uint8_t, uint32_t>{1, 0xF26B8303u}, {128, 0x82F63B78u}})
      EXPECT_EQ(~k.fn(0xFFFFFFFFu, &b, 1), entry) << k.name;
    for (uint32_t x : {0u, 0xDEADBEEFu})
      EXPECT_EQ(k.fn(x, "abc", 0), x) << k.name;
  }
  // crc32c takes the best path this processor runs.
  EXPECT_STREQ(crc32c_path_name(), kernels().size() > 2 ? kernels().back().name : "table");
}

// Every kernel matches the table path: at every length up to past 4 KiB and every alignment, from a
// running value not 0, in data ending 0 to 63 bytes before an inaccessible page (or just after one),
// reading nothing outside; and at lengths up to 1 MiB cut at random points into four chained calls.
TEST(Crc32c, EveryKernelMatchesTheTable) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)); // 2 pages hold 4264 bytes
  auto *base = static_cast<uint8_t *>(
      mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  uint8_t *first = base + page, *end = base + 3 * page;
  ASSERT_EQ(mprotect(base, page, PROT_NONE) | mprotect(end, page, PROT_NONE), 0);
  const auto data = random_bytes(2 * page, 3);
  std::copy(data.begin(), data.end(), first);
  for (size_t len = 0; len <= 4200; len++)
    for (size_t off = 0; off <= 64; off++) {
      const uint8_t *p = off < 64 ? end - len - off : first; // first: just after a guard
      const uint32_t want = crc32c_table(0xA5A5A5A5u, p, len);
      for (const auto &k : kernels())
        ASSERT_EQ(k.fn(0xA5A5A5A5u, p, len), want) << k.name << " len " << len << " off " << off;
    }
  munmap(base, 4 * page);
  const auto big = random_bytes((1u << 20) + 64, 4);
  std::mt19937 rng(4);
  for (int round = 0; round < 400; round++) {
    const size_t len = rng() % (round < 300 ? 16384 : 1u << 20);
    const uint8_t *p = big.data() + rng() % 64;
    size_t cut[5] = {0, rng() % (len + 1), rng() % (len + 1), rng() % (len + 1), len};
    std::sort(cut, cut + 5);
    const uint32_t want = crc32c_table(7, p, len);
    for (const auto &k : kernels()) {
      uint32_t c = 7;
      for (int i = 0; i < 4; i++)
        c = k.fn(c, p + cut[i], cut[i + 1] - cut[i]);
      ASSERT_EQ(c, want) << k.name << " len " << len << " cuts " << cut[1] << " " << cut[3];
    }
  }
}

// Threads making the very first calls at once, in a fresh copy of this program, all get the right value.
TEST(Crc32c, ConcurrentFirstCallsInFreshProcess) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(
      system(
          (self + " --gtest_filter=*DISABLED_ConcurrentFirstCalls --gtest_also_run_disabled_tests")
              .c_str()),
      0);
}

TEST(Crc32cChild, DISABLED_ConcurrentFirstCalls) {
  const auto data = random_bytes(8192, 6);
  std::atomic<int> ready{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++)
    threads.emplace_back([&, i] {
      for (ready++; ready.load() < 8;)
        std::this_thread::yield();
      // Long and short inputs take different ways through crc32c.
      if (i % 2 ? crc32c(0, data.data(), data.size()) != crc32c_table(0, data.data(), data.size())
                : crc32c(0, "123456789", 9) != 0xE3069283u)
        wrong++;
    });
  std::for_each(threads.begin(), threads.end(), [](std::thread &t) { t.join(); });
  EXPECT_EQ(wrong.load(), 0);
}

} // namespace
