#include "runtime/selftest.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <lz4.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

// The codec and digest libraries misbehaving on demand.  These definitions
// take the place of the shared libraries' functions for the library code
// linked into this program; each forwards to the real one and then spoils
// the result the way the current fault asks for.
namespace {

enum Fault { NONE, ZSTD_SHORT, ZSTD_FLIP, ZSTD_NO_GAIN, LZ4_SHORT, LZ4_FLIP, SHA_WRONG };
Fault g_fault = NONE;
int g_zstd_calls = 0;
int g_lz4_calls = 0;

template <typename Fn> Fn real(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

size_t ZSTD_compress(void *dst, size_t cap, const void *src, size_t len, int level) {
  static auto fn = real<size_t (*)(void *, size_t, const void *, size_t, int)>("ZSTD_compress");
  g_zstd_calls++;
  size_t n = fn(dst, cap, src, len, level);
  return g_fault == ZSTD_NO_GAIN ? len : n;
}

size_t ZSTD_decompress(void *dst, size_t cap, const void *src, size_t len) {
  static auto fn = real<size_t (*)(void *, size_t, const void *, size_t)>("ZSTD_decompress");
  size_t n = fn(dst, cap, src, len);
  if (!ZSTD_isError(n) && n > 100) {
    if (g_fault == ZSTD_SHORT)
      n -= 1;
    if (g_fault == ZSTD_FLIP)
      static_cast<uint8_t *>(dst)[100] ^= 1;
  }
  return n;
}

int LZ4_compress_default(const char *src, char *dst, int len, int cap) {
  static auto fn = real<int (*)(const char *, char *, int, int)>("LZ4_compress_default");
  g_lz4_calls++;
  return fn(src, dst, len, cap);
}

int LZ4_decompress_safe(const char *src, char *dst, int len, int cap) {
  static auto fn = real<int (*)(const char *, char *, int, int)>("LZ4_decompress_safe");
  int n = fn(src, dst, len, cap);
  if (n > 100) {
    if (g_fault == LZ4_SHORT)
      n -= 1;
    if (g_fault == LZ4_FLIP)
      dst[100] ^= 1;
  }
  return n;
}

int EVP_Digest(const void *data, size_t count, unsigned char *md, unsigned int *size,
               const EVP_MD *type, ENGINE *impl) {
  static auto fn = real<int (*)(const void *, size_t, unsigned char *, unsigned int *,
                                const EVP_MD *, ENGINE *)>("EVP_Digest");
  int rc = fn(data, count, md, size, type, impl);
  if (g_fault == SHA_WRONG)
    md[31] ^= 1;
  return rc;
}

} // extern "C"

namespace {

struct Outcome {
  int status = -1; // exit status of the child
  std::string out, err;
};

// version_selftest in a forked child with its standard output and error
// caught in files; the child ends with the result + 10 (so -1 shows as 9).
Outcome run_switch(std::vector<std::string> args, Fault fault = NONE) {
  zt::TempDir dir;
  const std::string out_path = dir.path + "/out", err_path = dir.path + "/err";
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
      _exit(120);
    g_fault = fault;
    args.insert(args.begin(), "zpr_test");
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = version_selftest(static_cast<int>(args.size()), argv.data(), "zpr_monitor");
    fflush(nullptr);
    _exit(rc + 10);
  }
  Outcome r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
    r.status = WEXITSTATUS(st) - 10;
  r.out = zt::read_file(out_path);
  r.err = zt::read_file(err_path);
  return r;
}

class Selftest : public ::testing::Test {
protected:
  void SetUp() override {
    g_fault = NONE;
    g_zstd_calls = g_lz4_calls = 0;
    pattern.resize(SELFTEST_PATTERN_BYTES);
    selftest_pattern(pattern.data(), pattern.size());
  }
  void TearDown() override { g_fault = NONE; }
  std::vector<uint8_t> pattern;
};

TEST_F(Selftest, PatternHasItsDocumentedBytes) {
  const uint8_t first[] = {0, 7, 14, 21, 28, 35, 42, 49};
  EXPECT_EQ(memcmp(pattern.data(), first, sizeof first), 0);
  EXPECT_EQ(pattern[31], 217);
  EXPECT_EQ(pattern[32], 225);
  for (size_t i = 8192; i < pattern.size(); i += 4093)
    ASSERT_EQ(pattern[i], pattern[i % 8192]) << i;
}

TEST_F(Selftest, RunPassesWithWorkingLibraries) {
  char err[256];
  memset(err, 0, sizeof err);
  EXPECT_EQ(selftest_run(err, sizeof err), 0);
  EXPECT_STREQ(err, "");
  EXPECT_EQ(g_zstd_calls, 1);
  EXPECT_EQ(g_lz4_calls, 1);
  EXPECT_EQ(selftest_run(nullptr, 0), 0);
}

TEST_F(Selftest, RunStopsAtFirstFailureWithItsText) {
  struct Case {
    Fault fault;
    const char *text;
    int lz4_calls;
  } cases[] = {
      {SHA_WRONG, "SHA-256 gives a wrong result", 0},
      {ZSTD_SHORT, "zstd round trip failed", 0},
      {ZSTD_FLIP, "zstd round trip failed", 0},
      {ZSTD_NO_GAIN, "zstd round trip failed", 0},
      {LZ4_SHORT, "lz4 round trip failed", 1},
      {LZ4_FLIP, "lz4 round trip failed", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    g_fault = c.fault;
    g_lz4_calls = 0;
    char err[256];
    memset(err, 0, sizeof err);
    EXPECT_EQ(selftest_run(err, sizeof err), 1);
    EXPECT_STREQ(err, c.text);
    EXPECT_EQ(g_lz4_calls, c.lz4_calls); // later checks do not run
    // No buffer, or no room: same result, nothing written.
    EXPECT_EQ(selftest_run(nullptr, 0), 1);
    memset(err, 'x', sizeof err);
    EXPECT_EQ(selftest_run(err, 0), 1);
    EXPECT_EQ(err[0], 'x');
  }
}

TEST_F(Selftest, CodecRoundTrips) {
  char err[64] = "";
  EXPECT_EQ(selftest_codec(CODEC_ZSTD, "zstd round trip failed", pattern.data(), err, sizeof err), 0);
  EXPECT_EQ(selftest_codec(CODEC_LZ4, "lz4 round trip failed", pattern.data(), err, sizeof err), 0);
  EXPECT_STREQ(err, "");
}

TEST_F(Selftest, CodecFailuresGiveTheCallersText) {
  char err[64];
  // The identity codec and an unknown one never compress.
  for (CodecId codec : {CODEC_NONE, 7, -1}) {
    memset(err, 0, sizeof err);
    EXPECT_EQ(selftest_codec(codec, "no such codec", pattern.data(), err, sizeof err), 1);
    EXPECT_STREQ(err, "no such codec");
  }
  // Incompressible data: compressed output not smaller than the input.
  std::vector<uint8_t> noise(SELFTEST_PATTERN_BYTES);
  uint32_t x = 12345;
  for (auto &b : noise) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  EXPECT_EQ(selftest_codec(CODEC_LZ4, "lz4 round trip failed", noise.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "lz4 round trip failed");
  // A short buffer gets the text cut, and terminated.
  char small[5];
  EXPECT_EQ(selftest_codec(CODEC_NONE, "zstd round trip failed", pattern.data(), small, sizeof small), 1);
  EXPECT_STREQ(small, "zstd");
}

TEST_F(Selftest, ShortOrWrongDecompressionFailsDespiteOkStatus) {
  char err[64];
  for (Fault f : {ZSTD_SHORT, ZSTD_FLIP}) {
    g_fault = f;
    memset(err, 0, sizeof err);
    EXPECT_EQ(selftest_codec(CODEC_ZSTD, "zstd round trip failed", pattern.data(), err, sizeof err), 1);
    EXPECT_STREQ(err, "zstd round trip failed");
  }
  for (Fault f : {LZ4_SHORT, LZ4_FLIP}) {
    g_fault = f;
    memset(err, 0, sizeof err);
    EXPECT_EQ(selftest_codec(CODEC_LZ4, "lz4 round trip failed", pattern.data(), err, sizeof err), 1);
    EXPECT_STREQ(err, "lz4 round trip failed");
  }
}

TEST(VersionSelftest, VersionPrintsNameAndVersion) {
  Outcome r = run_switch({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "zpr_monitor 1.0.2-alpha027\n");
  EXPECT_EQ(r.err, "");
}

TEST(VersionSelftest, SelftestPrintsOk) {
  Outcome r = run_switch({"--pid", "12", "--selftest"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "zpr_monitor 1.0.2-alpha027: selftest ok\n");
  EXPECT_EQ(r.err, "");
}

TEST(VersionSelftest, VersionWinsOverSelftest) {
  // A failing self-test would show if it ran.
  Outcome r = run_switch({"--selftest", "--version"}, ZSTD_FLIP);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "zpr_monitor 1.0.2-alpha027\n");
  EXPECT_EQ(r.err, "");
}

TEST(VersionSelftest, FailedSelftestReportsOnStderr) {
  Outcome r = run_switch({"--selftest"}, ZSTD_SHORT);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "zpr_monitor: selftest failed: zstd round trip failed\n");
  r = run_switch({"--selftest"}, SHA_WRONG);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zpr_monitor: selftest failed: SHA-256 gives a wrong result\n");
}

TEST(VersionSelftest, OnlyExactArgumentsCount) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"--version=1"}, {"--selftest=yes"}, {"-version"}, {"--dump", "--pid", "7"}}) {
    Outcome r = run_switch(args);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
}

} // namespace
