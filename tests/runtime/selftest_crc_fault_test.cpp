// The self-test against a CRC32C that gives a wrong value.  This program
// has its own crc32c, which takes the library's place because the
// library's definition is only pulled in for calls that nothing here
// leaves unresolved.  It is weak, so should the library's ever be linked
// in too, the real one wins and the test below fails instead of the link.
#include "runtime/selftest.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "digest/crc32c.h"
#include "support/test_support.h"

namespace {
int g_codec_calls = 0;
} // namespace

__attribute__((weak)) uint32_t crc32c(uint32_t crc, const void *, size_t len) {
  return len == 0 ? crc : 0x12345678u;
}

extern "C" size_t ZSTD_compress(void *dst, size_t cap, const void *src, size_t len, int level) {
  static auto fn = reinterpret_cast<size_t (*)(void *, size_t, const void *, size_t, int)>(
      dlsym(RTLD_NEXT, "ZSTD_compress"));
  g_codec_calls++;
  return fn(dst, cap, src, len, level);
}

extern "C" int LZ4_compress_default(const char *src, char *dst, int len, int cap) {
  static auto fn =
      reinterpret_cast<int (*)(const char *, char *, int, int)>(dlsym(RTLD_NEXT, "LZ4_compress_default"));
  g_codec_calls++;
  return fn(src, dst, len, cap);
}

namespace {

TEST(SelftestCrcFault, RunNamesCrcAndStopsBeforeCodecs) {
  ASSERT_NE(crc32c(0, "123456789", 9), 0xE3069283u) << "the library's crc32c was linked in";
  char err[256];
  memset(err, 0, sizeof err);
  g_codec_calls = 0;
  EXPECT_EQ(selftest_run(err, sizeof err), 1);
  EXPECT_STREQ(err, "CRC32C gives a wrong result");
  EXPECT_EQ(g_codec_calls, 0);
}

TEST(SelftestCrcFault, SwitchPrintsFailureAndReturnsOne) {
  zt::TempDir dir;
  const std::string out_path = dir.path + "/out", err_path = dir.path + "/err";
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
      _exit(120);
    char prog[] = "zpr_monitor", opt[] = "--selftest";
    char *argv[] = {prog, opt, nullptr};
    int rc = version_selftest(2, argv, "zpr_monitor");
    fflush(nullptr);
    _exit(rc + 10);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 11);
  EXPECT_EQ(zt::read_file(out_path), "");
  EXPECT_EQ(zt::read_file(err_path), "zpr_monitor: selftest failed: CRC32C gives a wrong result\n");
}

} // namespace
