#include "generated_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "digest/codec.h"

namespace {

std::vector<uint8_t> block_of(uint64_t index, uint32_t size) {
  std::vector<uint8_t> b(size);
  demo_fill_range(index * size, size, b.data());
  return b;
}

bool all_zero(const std::vector<uint8_t> &b) {
  for (uint8_t c : b)
    if (c != 0)
      return false;
  return true;
}

size_t zstd_size(const std::vector<uint8_t> &b) {
  std::vector<uint8_t> out(codec_bound(CODEC_ZSTD, b.size()));
  return codec_compress(CODEC_ZSTD, 1, b.data(), b.size(), out.data(), out.size());
}

TEST(GeneratedSource, KindsAreMixedInStretchesAndStable) {
  uint64_t counts[3] = {};
  for (uint64_t u = 0; u < 64 * DEMO_STRETCH_UNITS; u++) {
    DemoBlockKind k = demo_unit_kind(u);
    ASSERT_LE(k, DEMO_BLOCK_RANDOM);
    counts[k]++;
    EXPECT_EQ(k, demo_unit_kind(u - u % DEMO_STRETCH_UNITS)) << "unit " << u;
  }
  // 64 stretches: each kind shows up, none takes over.
  for (uint64_t c : counts) {
    EXPECT_GT(c, 4 * DEMO_STRETCH_UNITS);
    EXPECT_LT(c, 48 * DEMO_STRETCH_UNITS);
  }
  EXPECT_EQ(block_of(77, 65536), block_of(77, 65536));
  EXPECT_NE(block_of(77, 4096), block_of(78, 4096));
}

TEST(GeneratedSource, ContentMatchesKind) {
  const uint32_t bs = 65536;
  bool seen[3] = {};
  for (uint64_t i = 0; i < 200; i++) {
    unsigned mix = demo_block_mix(i, bs, UINT64_MAX / 2);
    ASSERT_EQ(mix & (mix - 1), 0u) << "64 KiB blocks lie inside one stretch";
    std::vector<uint8_t> b = block_of(i, bs);
    if (mix == 1u << DEMO_BLOCK_ZERO) {
      EXPECT_TRUE(all_zero(b));
      seen[0] = true;
    } else if (mix == 1u << DEMO_BLOCK_TEXT) {
      EXPECT_FALSE(all_zero(b));
      size_t n = zstd_size(b);
      EXPECT_GT(n, 0u);
      EXPECT_LT(n, bs / 2) << "text block " << i;
      seen[1] = true;
    } else {
      EXPECT_EQ(zstd_size(b), 0u) << "random block " << i << " must not compress";
      seen[2] = true;
    }
  }
  EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
}

TEST(GeneratedSource, RangesAgreeWhateverTheSplit) {
  std::vector<uint8_t> whole(3 * DEMO_UNIT_BYTES * DEMO_STRETCH_UNITS);
  demo_fill_range(0, whole.size(), whole.data());
  for (uint64_t off : {1ull, 4095ull, 4096ull, 12345ull, 600000ull}) {
    std::vector<uint8_t> part(10000);
    demo_fill_range(off, part.size(), part.data());
    EXPECT_EQ(0, memcmp(part.data(), whole.data() + off, part.size())) << "offset " << off;
  }
}

TEST(GeneratedSource, ZeroBlockCountFollowsTheMix) {
  // 1 MiB blocks span two stretches; a block is zero only if both are.
  const uint64_t total = 64ull << 20;
  uint64_t expect = 0;
  for (uint64_t i = 0; i < 64; i++)
    expect += demo_unit_kind(i * 256) == DEMO_BLOCK_ZERO &&
                      demo_unit_kind(i * 256 + 128) == DEMO_BLOCK_ZERO
                  ? 1
                  : 0;
  EXPECT_EQ(demo_count_zero_blocks(64, 1u << 20, total), expect);
  EXPECT_EQ(demo_block_mix(64, 1u << 20, total), 0u) << "past the end";
}

TEST(GeneratedSource, ReadsThroughTheBlockDispatchers) {
  BlockHandle h;
  ASSERT_EQ(demo_source_open(&h, "generated:5000"), ST_OK);
  EXPECT_EQ(h.ops, &generated_reader_ops);
  uint64_t size = 0;
  ASSERT_EQ(block_reader_size(&h, &size), ST_OK);
  EXPECT_EQ(size, 5000u);

  std::vector<uint8_t> got(4096, 0xEE), want(5000);
  demo_fill_range(0, want.size(), want.data());
  int32_t count = -1;
  ASSERT_EQ(block_reader_read(&h, 1, 4096, got.data(), &count), ST_OK);
  EXPECT_EQ(count, 904);
  EXPECT_EQ(0, memcmp(got.data(), want.data() + 4096, 904));
  for (size_t i = 904; i < got.size(); i++)
    ASSERT_EQ(got[i], 0) << "tail byte " << i;
  ASSERT_EQ(block_reader_read(&h, 2, 4096, got.data(), &count), ST_OK);
  EXPECT_EQ(count, 0);

  std::vector<uint8_t> range(150, 0xEE);
  uint64_t real = 0;
  ASSERT_EQ(block_reader_read_at(&h, 4900, 150, range.data(), &real), ST_OK);
  EXPECT_EQ(real, 100u);
  EXPECT_EQ(0, memcmp(range.data(), want.data() + 4900, 100));
  EXPECT_EQ(range[120], 0);
  int flag = 0;
  EXPECT_EQ(block_reader_query_flag(&h, &flag), ST_OK);
  EXPECT_EQ(flag, 1);
  block_reader_close(&h);
  EXPECT_EQ(h.fd, -1);
}

TEST(GeneratedSource, SizesAndSourceNames) {
  uint64_t v = 0;
  EXPECT_EQ(demo_parse_size("4096", &v), ST_OK);
  EXPECT_EQ(v, 4096u);
  EXPECT_EQ(demo_parse_size("64K", &v), ST_OK);
  EXPECT_EQ(v, 65536u);
  EXPECT_EQ(demo_parse_size("3GiB", &v), ST_OK);
  EXPECT_EQ(v, 3ull << 30);
  v = 7;
  for (const char *bad : {"", "G", "-1", "12X", "1GiBx", "99999999999999999999", "20000000T"})
    EXPECT_EQ(demo_parse_size(bad, &v), ST_INVAL) << bad;
  EXPECT_EQ(v, 7u) << "untouched on failure";

  char source_name[64];
  demo_generated_name(3ull << 30, source_name, sizeof source_name);
  EXPECT_STREQ(source_name, "generated:3GiB");
  demo_generated_name(5000, source_name, sizeof source_name);
  EXPECT_STREQ(source_name, "generated:5000");
  demo_generated_name(3ull << 20, source_name, sizeof source_name);
  ASSERT_EQ(demo_parse_size(source_name + 10, &v), ST_OK);
  EXPECT_EQ(v, 3ull << 20);

  BlockHandle h;
  EXPECT_EQ(demo_source_open(&h, "generated:lots"), ST_INVAL);
  EXPECT_EQ(demo_source_open(&h, "/nonexistent/zpr-demo-source"), ST_NOTFOUND);
}

} // namespace
