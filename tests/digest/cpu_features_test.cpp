#include "digest/cpu_features.h"

#include "digest/cpu_features_internal.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <gtest/gtest.h>

namespace {

// A modern processor with everything; cases switch single facts off.
CpuFacts full() {
  CpuFacts f{};
  f.max_leaf = 0x1f;
  f.ssse3 = f.osxsave = f.avx = f.xcr0_xmm_ymm = true;
  f.bmi1 = f.avx2 = f.bmi2 = f.sha = true;
  return f;
}

} // namespace

TEST(CpuRules, NoBasicLeavesMeansNothing) {
  CpuFacts f = full();
  f.max_leaf = 0;
  EXPECT_EQ(cpu_flags_from_facts(f), 0u);
  EXPECT_STREQ(sha256_label_from_facts(f, false), "scalar");
  EXPECT_STREQ(sha256_label_from_facts(f, true), "scalar*");
}

TEST(CpuRules, BelowLeafSevenOnlySsse3Counts) {
  for (uint32_t leaf = 1; leaf < 7; leaf++) {
    CpuFacts f = full();
    f.max_leaf = leaf;
    EXPECT_EQ(cpu_flags_from_facts(f), 0u);
    EXPECT_STREQ(sha256_label_from_facts(f, false), "SSSE3");
    f.ssse3 = false;
    EXPECT_STREQ(sha256_label_from_facts(f, false), "scalar");
  }
}

TEST(CpuRules, EverythingPresentGivesBothBitsAndShaNi) {
  EXPECT_EQ(cpu_flags_from_facts(full()), CPU_FLAG_AVX2 | CPU_FLAG_SHA_NI);
  EXPECT_STREQ(sha256_label_from_facts(full(), false), "SHA-NI");
  EXPECT_STREQ(sha256_label_from_facts(full(), true), "SHA-NI*");
}

TEST(CpuRules, Avx2LabelNeedsBmi1AndBmi2ButTheBitDoesNot) {
  CpuFacts f = full();
  f.sha = false;
  EXPECT_EQ(cpu_flags_from_facts(f), CPU_FLAG_AVX2);
  EXPECT_STREQ(sha256_label_from_facts(f, false), "AVX2");
  f.bmi2 = false;
  EXPECT_EQ(cpu_flags_from_facts(f), CPU_FLAG_AVX2);
  EXPECT_STREQ(sha256_label_from_facts(f, false), "SSSE3");
  f.ssse3 = false;
  EXPECT_STREQ(sha256_label_from_facts(f, false), "scalar");
}

TEST(CpuRules, Avx2NeedsTheOsToKeepYmmState) {
  CpuFacts f = full();
  f.sha = false;
  f.xcr0_xmm_ymm = false;
  EXPECT_EQ(cpu_flags_from_facts(f) & CPU_FLAG_AVX2, 0u);
  EXPECT_STREQ(sha256_label_from_facts(f, false), "SSSE3");
  f = full();
  f.sha = false;
  f.osxsave = false;
  EXPECT_EQ(cpu_flags_from_facts(f), 0u);
  f = full();
  f.sha = false;
  f.avx = false;
  EXPECT_EQ(cpu_flags_from_facts(f), 0u);
}

TEST(CpuRules, ShaBitWithoutSsse3FallsToLaterLabelRules) {
  CpuFacts f = full();
  f.ssse3 = false;
  EXPECT_EQ(cpu_flags_from_facts(f), CPU_FLAG_AVX2 | CPU_FLAG_SHA_NI);
  EXPECT_STREQ(sha256_label_from_facts(f, false), "AVX2");
  f.bmi1 = false;
  EXPECT_STREQ(sha256_label_from_facts(f, false), "scalar");
}

// The kernel's view of the same processor: the flags line of /proc/cpuinfo
// names avx2 and sha_ni when the processor (and, for avx2, the kernel's
// register state) supports them.
bool cpuinfo_has(const std::string &flag) {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("flags", 0) == 0)
      return (line + " ").find(" " + flag + " ") != std::string::npos;
  return false;
}

TEST(CpuProbe, RealProcessorAgreesWithTheKernel) {
  if (!std::ifstream("/proc/cpuinfo"))
    GTEST_SKIP() << "no /proc/cpuinfo";
  unsigned flags = cpu_feature_flags();
  EXPECT_EQ((flags & CPU_FLAG_AVX2) != 0, cpuinfo_has("avx2"));
  EXPECT_EQ((flags & CPU_FLAG_SHA_NI) != 0, cpuinfo_has("sha_ni"));
  EXPECT_EQ(flags & ~(CPU_FLAG_AVX2 | CPU_FLAG_SHA_NI), 0u);

  unsetenv("OPENSSL_ia32cap");
  const std::string label = sha256_impl_label();
  const bool sha_label = cpuinfo_has("sha_ni") && cpuinfo_has("ssse3");
  EXPECT_EQ(label == "SHA-NI", sha_label) << label;
  EXPECT_TRUE(label == "SHA-NI" || label == "AVX2" || label == "SSSE3" || label == "scalar")
      << label;
  setenv("OPENSSL_ia32cap", "", 1); // presence alone counts
  EXPECT_EQ(std::string(sha256_impl_label()), label + "*");
  unsetenv("OPENSSL_ia32cap");
}
