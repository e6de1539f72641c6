#include "digest/crc32c.h"
#include "digest/crc32c_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Fn = uint32_t (*)(uint32_t, const void *, size_t);

struct NamedPath {
  const char *name;
  Fn fn;
};

// Every path this processor can run, the public entry point included.
std::vector<NamedPath> runnable_paths() {
  std::vector<NamedPath> v{{"crc32c", crc32c}, {"table", crc32c_table}};
  if (crc32c_hw_available())
    v.push_back({"single_chain", crc32c_single_chain});
  if (crc32c_can_pclmul())
    v.push_back({"fold_pclmul", crc32c_fold_pclmul});
  if (crc32c_can_avx512())
    v.push_back({"fold_avx512", crc32c_fold_avx512});
  return v;
}

// The reference: the single chain where the processor has it, else the table.
uint32_t reference(uint32_t crc, const void *p, size_t n) {
  return crc32c_hw_available() ? crc32c_single_chain(crc, p, n) : crc32c_table(crc, p, n);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v)
    b = static_cast<uint8_t>(rng());
  return v;
}

TEST(Crc32c, CheckValuesOnEveryPath) {
  const std::vector<uint8_t> zeros(32, 0x00), ones(32, 0xFF);
  for (const auto &path : runnable_paths()) {
    SCOPED_TRACE(path.name);
    EXPECT_EQ(path.fn(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(path.fn(0, zeros.data(), 32), 0x8A9136AAu);
    EXPECT_EQ(path.fn(0, ones.data(), 32), 0x62A8AB43u);
    for (uint32_t x : {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu})
      EXPECT_EQ(path.fn(x, "abc", 0), x);
    // From a raw state of 0, one byte b leaves the inverted table entry b.
    const uint8_t b1 = 1, b128 = 128, b255 = 255;
    EXPECT_EQ(~path.fn(0xFFFFFFFFu, &b1, 1), 0xF26B8303u);
    EXPECT_EQ(~path.fn(0xFFFFFFFFu, &b128, 1), 0x82F63B78u);
    EXPECT_EQ(~path.fn(0xFFFFFFFFu, &b255, 1), 0xAD7D5351u);
  }
}

TEST(Crc32c, HardwareReportMatchesChosenPath) {
  __builtin_cpu_init();
  EXPECT_EQ(crc32c_hw_available(), __builtin_cpu_supports("sse4.2") ? 1 : 0);
  if (crc32c_hw_available())
    EXPECT_STRNE(crc32c_path_name(), "table");
  else
    EXPECT_STREQ(crc32c_path_name(), "table");
}

TEST(Crc32c, ShortLengthsAtEveryOffsetAgreeOnAllPaths) {
  alignas(64) uint8_t buf[64];
  auto data = random_bytes(sizeof buf, 1);
  memcpy(buf, data.data(), sizeof buf);
  for (size_t off = 0; off < 8; off++)
    for (size_t len = 0; len <= 16; len++) {
      uint32_t want = crc32c_table(0x12345678u, buf + off, len);
      for (const auto &path : runnable_paths())
        ASSERT_EQ(path.fn(0x12345678u, buf + off, len), want)
            << path.name << " off " << off << " len " << len;
    }
}

TEST(Crc32c, ChainingAtEverySplit) {
  auto data = random_bytes(1500, 2);
  for (const auto &path : runnable_paths()) {
    const uint32_t whole = path.fn(0, data.data(), data.size());
    for (size_t cut = 0; cut <= data.size(); cut++) {
      uint32_t first = path.fn(0, data.data(), cut);
      ASSERT_EQ(path.fn(first, data.data() + cut, data.size() - cut), whole)
          << path.name << " cut " << cut;
    }
  }
}

// The folding paths against the single chain for every length up to a few
// KiB at every offset within a 64-byte line, from a non-trivial running
// value; and the table for every length at every offset within a word.
TEST(Crc32c, EveryLengthAndAlignmentMatchesReference) {
  constexpr size_t kMax = 4200;
  auto data = random_bytes(kMax + 64, 3);
  for (size_t len = 0; len <= kMax; len++) {
    for (size_t off = 0; off < 64; off++) {
      const uint8_t *p = data.data() + off;
      const uint32_t want = reference(0xA5A5A5A5u, p, len);
      if (off < 8) {
        ASSERT_EQ(crc32c_table(0xA5A5A5A5u, p, len), want) << "len " << len << " off " << off;
      }
      if (crc32c_can_pclmul()) {
        ASSERT_EQ(crc32c_fold_pclmul(0xA5A5A5A5u, p, len), want) << "len " << len << " off " << off;
      }
      if (crc32c_can_avx512()) {
        ASSERT_EQ(crc32c_fold_avx512(0xA5A5A5A5u, p, len), want) << "len " << len << " off " << off;
      }
      ASSERT_EQ(crc32c(0xA5A5A5A5u, p, len), want) << "len " << len << " off " << off;
    }
  }
}

// Data that ends right before an inaccessible page, and data that starts
// right after one: no path may read a byte outside the buffer.
TEST(Crc32c, NoReadOutsideTheBuffer) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t span = 4 * page;
  auto *base = static_cast<uint8_t *>(
      mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  // Guard pages at both ends, two readable pages between them.
  ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(base + 3 * page, page, PROT_NONE), 0);
  uint8_t *first = base + page, *end = base + 3 * page;
  auto data = random_bytes(2 * page, 8);
  memcpy(first, data.data(), data.size());
  for (size_t len = 0; len <= 2 * page; len += (len < 1100 ? 1 : 61)) {
    const uint32_t want = crc32c_table(7, end - len, len);
    for (const auto &path : runnable_paths()) {
      ASSERT_EQ(path.fn(7, end - len, len), want) << path.name << " len " << len;
      ASSERT_EQ(path.fn(7, first, len), crc32c_table(7, first, len)) << path.name << " len " << len;
    }
  }
  munmap(base, span);
}

TEST(Crc32c, RandomLongBuffersChainedAtRandomPoints) {
  std::mt19937 rng(4);
  auto data = random_bytes((1u << 20) + 64, 5);
  for (int round = 0; round < 60; round++) {
    const size_t off = rng() % 64;
    const size_t len = rng() % (1u << 20);
    const uint8_t *p = data.data() + off;
    const uint32_t want = reference(0, p, len);
    for (const auto &path : runnable_paths()) {
      if (path.fn == crc32c_table && len > (64u << 10))
        continue; // slow, and covered by the shorter rounds
      ASSERT_EQ(path.fn(0, p, len), want) << path.name << " len " << len;
      // Three pieces cut at random points.
      size_t a = len ? rng() % (len + 1) : 0;
      size_t b = a + (len - a ? rng() % (len - a + 1) : 0);
      uint32_t c = path.fn(0, p, a);
      c = path.fn(c, p + a, b - a);
      c = path.fn(c, p + b, len - b);
      ASSERT_EQ(c, want) << path.name << " len " << len << " cuts " << a << "," << b;
    }
  }
}

// Threads making the very first call of a process at the same moment all
// get the right value.  The body runs in a freshly executed copy of this
// program, so that its calls really are the process's first.
TEST(Crc32c, ConcurrentFirstCallsInFreshProcess) {
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0)
      dup2(null, 1);
    execl("/proc/self/exe", "crc32c_test", "--gtest_filter=Crc32cChild.DISABLED_ConcurrentFirstCalls",
          "--gtest_also_run_disabled_tests", static_cast<char *>(nullptr));
    _exit(121);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Crc32cChild, DISABLED_ConcurrentFirstCalls) {
  auto data = random_bytes(8192, 6);
  const uint32_t want = crc32c_table(0, data.data(), data.size());
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; i++)
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load())
        std::this_thread::yield();
      // Long and short inputs, which take different ways through crc32c.
      if (i % 2 ? crc32c(0, data.data(), data.size()) != want
                : crc32c(0, "123456789", 9) != 0xE3069283u)
        wrong.fetch_add(1);
    });
  while (ready.load() < kThreads)
    std::this_thread::yield();
  go.store(true);
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(crc32c(0, data.data(), data.size()), want);
}

} // namespace
