#include "runtime/selftest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/crc32c.h"
#include "digest/sha256.h"
#include "runtime/options.h"
#include "runtime/version.h"

namespace {

// SHA-256("abc"), FIPS 180-2 appendix B.1.
constexpr uint8_t kShaAbc[SHA256_DIGEST_BYTES] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};

constexpr uint32_t kCrcCheck = 0xE3069283u; // CRC-32C("123456789")
constexpr int kSelftestLevel = 3;
constexpr size_t kErrBytes = 256;

int fail(const char *text, char *errbuf, size_t size) {
  if (errbuf != nullptr && size != 0)
    snprintf(errbuf, size, "%s", text);
  return 1;
}

} // namespace

void selftest_pattern(uint8_t *buf, size_t len) {
  for (size_t i = 0; i < len; i++)
    buf[i] = static_cast<uint8_t>((i >> 5) ^ (7 * i));
}

int selftest_codec(CodecId codec, const char *failure_text, const uint8_t *data, char *errbuf,
                   size_t size) {
  const size_t n = SELFTEST_PATTERN_BYTES;
  const size_t cap = codec_bound(codec, n);
  auto *packed = static_cast<uint8_t *>(malloc(cap));
  auto *out = static_cast<uint8_t *>(malloc(n));
  const char *failure = nullptr;
  if (packed == nullptr || out == nullptr) {
    failure = "out of memory";
  } else {
    size_t packed_len = codec_compress(codec, kSelftestLevel, data, n, packed, cap);
    size_t produced = 0;
    if (packed_len == 0 ||
        codec_decompress(codec, packed, packed_len, out, n, &produced) != ST_OK || produced != n ||
        memcmp(out, data, n) != 0)
      failure = failure_text;
  }
  free(packed);
  free(out);
  return failure == nullptr ? 0 : fail(failure, errbuf, size);
}

int selftest_run(char *errbuf, size_t size) {
  uint8_t digest[SHA256_DIGEST_BYTES];
  sha256_digest("abc", 3, digest);
  if (memcmp(digest, kShaAbc, sizeof digest) != 0)
    return fail("SHA-256 gives a wrong result", errbuf, size);
  if (crc32c(0, "123456789", 9) != kCrcCheck)
    return fail("CRC32C gives a wrong result", errbuf, size);
  auto *pattern = static_cast<uint8_t *>(malloc(SELFTEST_PATTERN_BYTES));
  if (pattern == nullptr)
    return fail("out of memory", errbuf, size);
  selftest_pattern(pattern, SELFTEST_PATTERN_BYTES);
  int rc = selftest_codec(CODEC_ZSTD, "zstd round trip failed", pattern, errbuf, size);
  if (rc == 0)
    rc = selftest_codec(CODEC_LZ4, "lz4 round trip failed", pattern, errbuf, size);
  free(pattern);
  return rc;
}

int version_selftest(int argc, char **argv, const char *name) {
  if (opt_flag(argc, argv, "--version", nullptr)) {
    printf("%s %s\n", name, VERSION_STRING);
    fflush(stdout);
    return 0;
  }
  if (!opt_flag(argc, argv, "--selftest", nullptr))
    return -1;
  char err[kErrBytes];
  memset(err, 0, sizeof err);
  if (selftest_run(err, sizeof err) != 0) {
    fprintf(stderr, "%s: selftest failed: %s\n", name, err);
    return 1;
  }
  printf("%s %s: selftest ok\n", name, VERSION_STRING);
  fflush(stdout);
  return 0;
}
