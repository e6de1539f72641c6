// The native CRC-32C paths: the cross-check on every one this processor
// runs, the path crc32c picks, and its first calls racing.
#include "crc32c_check.h"
#include "digest/crc32c.h"
#include "digest/crc32c_internal.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

// The kernel's view of the processor: the flags it leaves set only when
// the processor has the instruction and the OS keeps its register state.
bool cpu_has(const std::string &flag) {
  static const std::string cpuinfo = zt::read_file("/proc/cpuinfo");
  const size_t line = cpuinfo.find("\nflags");
  const std::string flags = cpuinfo.substr(line, cpuinfo.find('\n', line + 1) - line) + " ";
  return flags.find(" " + flag + " ") != std::string::npos;
}

struct Tier {
  const char *name;
  uint32_t (*fn)(uint32_t, const void *, size_t);
  std::vector<std::string> flags;
};

// From the best tier down; each runs where the processor has its flags.
const Tier kTiers[] = {
    {"avx512", crc32c_fold_avx512, {"avx512f", "vpclmulqdq", "pclmulqdq", "sse4_2"}},
    {"avx2", crc32c_fold_avx2, {"avx2", "vpclmulqdq", "pclmulqdq", "sse4_2"}},
    {"pclmul", crc32c_fold_pclmul, {"pclmulqdq", "sse4_2"}},
    {"sse4.2", crc32c_single_chain, {"sse4_2"}},
};

bool runs_here(const Tier &t) { return std::all_of(t.flags.begin(), t.flags.end(), cpu_has); }

TEST(Crc32c, TakesTheBestPathTheProcessorRuns) {
  const auto best = std::find_if(std::begin(kTiers), std::end(kTiers), runs_here);
  EXPECT_STREQ(crc32c_path_name(), best == std::end(kTiers) ? "table" : best->name);
}

// Threads making the very first calls at once, in a fresh copy of this
// program, all get the right value.
TEST(Crc32c, ConcurrentFirstCallsInFreshProcess) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string filter = " --gtest_filter=*DISABLED_ConcurrentFirstCalls";
  EXPECT_EQ(system((self + filter + " --gtest_also_run_disabled_tests").c_str()), 0);
}

TEST(Crc32cChild, DISABLED_ConcurrentFirstCalls) {
  std::vector<uint8_t> data(8192);
  for (size_t i = 0; i < data.size(); i++)
    data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  const uint32_t want_long = crc32c_table(0, data.data(), data.size());
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++)
    threads.emplace_back([&, i] {
      for (ready++; ready.load() < 8;)
        std::this_thread::yield();
      // Long and short inputs take different ways through crc32c.
      const bool ok = i % 2 ? crc32c(0, data.data(), data.size()) == want_long
                            : crc32c(0, "123456789", 9) == 0xE3069283u;
      if (!ok)
        wrong++;
    });
  for (std::thread &t : threads)
    t.join();
  EXPECT_EQ(wrong.load(), 0);
}

} // namespace

const std::vector<zt::CrcKernel> &zt::kernels_under_test() {
  static const std::vector<CrcKernel> kernels = [] {
    std::vector<CrcKernel> v = {{"table", crc32c_table}, {"crc32c", crc32c}};
    for (const Tier &t : kTiers)
      if (runs_here(t))
        v.push_back({t.name, t.fn});
      else
        printf("native %s kernel not run: this processor lacks its instructions\n", t.name);
    return v;
  }();
  return kernels;
}

zt::CrcReach zt::reach_under_test() { return {4200, 1 << 20}; }
