#include "digest/cpu_features.h"

#include <cstdlib>
#include <cstring>
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

TEST(CpuProbe, RealProcessorAgreesWithItsFacts) {
  CpuFacts f = cpu_read_facts();
  EXPECT_EQ(cpu_feature_flags(), cpu_flags_from_facts(f));
  unsetenv("OPENSSL_ia32cap");
  EXPECT_STREQ(sha256_impl_label(), sha256_label_from_facts(f, false));
  setenv("OPENSSL_ia32cap", "", 1); // presence alone counts
  const char *starred = sha256_impl_label();
  EXPECT_EQ(starred[strlen(starred) - 1], '*');
  EXPECT_LE(strlen(starred), 15u);
  unsetenv("OPENSSL_ia32cap");
}
