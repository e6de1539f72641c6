// The self-test against a CRC32C that gives a wrong value.  This program's
// own crc32c takes the library's place, as nothing here needs the
// library's object; it is weak, so were the real one linked in too, the
// first check below fails instead of the link.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "digest/crc32c.h"
#include "runtime/selftest.h"
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

TEST(SelftestCrcFault, NamesCrcAndStopsBeforeTheCodecs) {
  ASSERT_NE(crc32c(0, "123456789", 9), 0xE3069283u) << "the library's crc32c was linked in";
  char err[64] = "";
  EXPECT_EQ(selftest_run(err, sizeof err), 1);
  EXPECT_STREQ(err, "CRC32C gives a wrong result");
  EXPECT_EQ(g_codec_calls, 0);
  char prog[] = "zpr_monitor", opt[] = "--selftest";
  char *argv[] = {prog, opt, nullptr};
  std::string err_text = zt::capture_stderr([&] { EXPECT_EQ(version_selftest(2, argv, "zpr_monitor"), 1); });
  EXPECT_EQ(err_text, "zpr_monitor: selftest failed: CRC32C gives a wrong result\n");
}
