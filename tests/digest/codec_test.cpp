#include "digest/codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <lz4.h>
#include <random>
#include <vector>

#include "runtime/selftest.h"

namespace {

constexpr CodecId kRealCodecs[] = {CODEC_ZSTD, CODEC_LZ4};

std::vector<uint8_t> pattern() {
  std::vector<uint8_t> v(SELFTEST_PATTERN_BYTES);
  selftest_pattern(v.data(), v.size());
  return v;
}

std::vector<uint8_t> noise(size_t n) {
  std::mt19937 rng(11);
  std::vector<uint8_t> v(n);
  for (auto &b : v)
    b = static_cast<uint8_t>(rng());
  return v;
}

// A compressed block of src, trimmed to its length.
std::vector<uint8_t> packed(CodecId codec, const std::vector<uint8_t> &src) {
  std::vector<uint8_t> out(codec_bound(codec, src.size()));
  size_t n = codec_compress(codec, 3, src.data(), src.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

TEST(Codec, PatternRoundTrip) {
  const auto src = pattern();
  for (CodecId codec : kRealCodecs) {
    SCOPED_TRACE(codec);
    const auto block = packed(codec, src);
    ASSERT_GT(block.size(), 0u);
    ASSERT_LT(block.size(), src.size());
    std::vector<uint8_t> out(src.size());
    size_t produced = 0;
    ASSERT_EQ(codec_decompress(codec, block.data(), block.size(), out.data(), out.size(), &produced),
              ST_OK);
    EXPECT_EQ(produced, src.size());
    EXPECT_EQ(out, src);
    // A null out length is allowed on good data.
    EXPECT_EQ(codec_decompress(codec, block.data(), block.size(), out.data(), out.size(), nullptr),
              ST_OK);
  }
}

TEST(Codec, CompressDeclinesWhatDoesNotPay) {
  const auto src = pattern();
  const auto rnd = noise(65536);
  std::vector<uint8_t> dst(codec_bound(CODEC_ZSTD, src.size()) + codec_bound(CODEC_LZ4, src.size()));
  for (CodecId codec : {CODEC_NONE, CODEC_ZSTD, CODEC_LZ4, 7, -1}) {
    SCOPED_TRACE(codec);
    EXPECT_EQ(codec_compress(codec, 3, src.data(), 0, dst.data(), dst.size()), 0u); // empty
    EXPECT_EQ(codec_compress(codec, 3, rnd.data(), rnd.size(), dst.data(), dst.size()), 0u);
    EXPECT_EQ(codec_compress(codec, 3, src.data(), src.size(), dst.data(), 1), 0u);
    EXPECT_EQ(codec_compress(codec, 3, src.data(), src.size(), nullptr, dst.size()), 0u);
    EXPECT_EQ(codec_compress(codec, 3, nullptr, src.size(), dst.data(), dst.size()), 0u);
  }
  // Identity and unknown codecs never compress, even what would compress.
  EXPECT_EQ(codec_compress(CODEC_NONE, 3, src.data(), src.size(), dst.data(), dst.size()), 0u);
  EXPECT_EQ(codec_compress(7, 3, src.data(), src.size(), dst.data(), dst.size()), 0u);
}

TEST(Codec, Bounds) {
  EXPECT_EQ(codec_bound(CODEC_NONE, 4096), 4096u);
  EXPECT_EQ(codec_bound(7, 4096), 4096u);
  for (CodecId codec : kRealCodecs)
    for (size_t n : {size_t{0}, size_t{1}, size_t{4096}, size_t{1} << 20})
      EXPECT_GE(codec_bound(codec, n), n) << codec << " " << n;
}

TEST(Codec, IdentityDecompression) {
  const uint8_t src[5] = {1, 2, 3, 4, 5};
  uint8_t dst[5] = {};
  size_t produced = 99;
  ASSERT_EQ(codec_decompress(CODEC_NONE, src, 5, dst, 5, &produced), ST_OK);
  EXPECT_EQ(produced, 5u);
  EXPECT_EQ(memcmp(src, dst, 5), 0);
  uint8_t untouched[4] = {9, 9, 9, 9};
  produced = 99;
  EXPECT_EQ(codec_decompress(CODEC_NONE, src, 5, untouched, 4, &produced), ST_INVAL);
  EXPECT_EQ(produced, 99u);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(codec_decompress(CODEC_NONE, src, 0, dst, 0, &produced), ST_OK);
  EXPECT_EQ(produced, 0u);
  // Overlapping source and destination.
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(codec_decompress(CODEC_NONE, buf, 6, buf + 2, 6, &produced), ST_OK);
  const uint8_t moved[8] = {1, 2, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(memcmp(buf, moved, 8), 0);
}

TEST(Codec, UnknownCodecAndBadArguments) {
  const auto block = packed(CODEC_ZSTD, pattern());
  std::vector<uint8_t> out(SELFTEST_PATTERN_BYTES);
  size_t produced = 99;
  for (CodecId codec : {3, 7, -1})
    EXPECT_EQ(codec_decompress(codec, block.data(), block.size(), out.data(), out.size(), &produced),
              ST_INVAL);
  EXPECT_EQ(codec_decompress(CODEC_ZSTD, nullptr, 10, out.data(), out.size(), &produced), ST_INVAL);
  EXPECT_EQ(codec_decompress(CODEC_LZ4, block.data(), block.size(), nullptr, 10, &produced), ST_INVAL);
  EXPECT_EQ(produced, 99u);
}

TEST(Codec, DamagedDataIsCorrupt) {
  const auto src = pattern();
  std::vector<uint8_t> out(src.size());
  for (CodecId codec : kRealCodecs) {
    SCOPED_TRACE(codec);
    const auto block = packed(codec, src);
    size_t produced = 99;
    // Cut short.
    EXPECT_EQ(codec_decompress(codec, block.data(), block.size() / 2, out.data(), out.size(), &produced),
              ST_CORRUPT);
    // Garbage.
    const std::vector<uint8_t> junk(64, 0xFF);
    EXPECT_EQ(codec_decompress(codec, junk.data(), junk.size(), out.data(), out.size(), &produced),
              ST_CORRUPT);
    // Empty: no lz4 block, while zstd reads zero frames as no data.
    if (codec == CODEC_LZ4) {
      EXPECT_EQ(codec_decompress(codec, block.data(), 0, out.data(), out.size(), &produced), ST_CORRUPT);
    } else {
      size_t none = 99;
      EXPECT_EQ(codec_decompress(codec, block.data(), 0, out.data(), out.size(), &none), ST_OK);
      EXPECT_EQ(none, 0u);
    }
    // A valid block into a destination one byte too small.
    EXPECT_EQ(codec_decompress(codec, block.data(), block.size(), out.data(), out.size() - 1, &produced),
              ST_CORRUPT);
    EXPECT_EQ(produced, 99u);
  }
  // A zstd frame with a damaged byte inside is caught by its checks too.
  auto block = packed(CODEC_ZSTD, src);
  block[0] ^= 0x40; // magic number
  EXPECT_EQ(codec_decompress(CODEC_ZSTD, block.data(), block.size(), out.data(), out.size(), nullptr),
            ST_CORRUPT);
  // An lz4 match reaching back before the start of the output.
  const uint8_t bad_offset[] = {0x10, 'a', 0xFF, 0xFF, 0x00};
  EXPECT_EQ(codec_decompress(CODEC_LZ4, bad_offset, sizeof bad_offset, out.data(), out.size(), nullptr),
            ST_CORRUPT);
}

// Sizes the lz4 library cannot take as an int.  The guards answer before
// any library call, so a small real buffer stands in for the huge one
// wherever the length says more than the buffer holds.
TEST(Codec, Lz4SizesBeyondInt) {
  const size_t kHuge[] = {size_t{1} << 31, (size_t{1} << 32) + 16, (size_t{5} << 30),
                          static_cast<size_t>(LZ4_MAX_INPUT_SIZE) + 1};
  std::vector<uint8_t> small(4096, 'a');
  for (size_t n : kHuge) {
    SCOPED_TRACE(n);
    EXPECT_GE(codec_bound(CODEC_LZ4, n), n); // never smaller than the input
    EXPECT_EQ(codec_compress(CODEC_LZ4, 3, small.data(), n, small.data(), small.size()), 0u);
    size_t produced = 99;
    if (n > static_cast<size_t>(INT_MAX)) {
      EXPECT_EQ(codec_decompress(CODEC_LZ4, small.data(), n, small.data(), small.size(), &produced),
                ST_INVAL);
      EXPECT_EQ(produced, 99u);
    }
  }
  EXPECT_EQ(codec_bound(CODEC_LZ4, static_cast<size_t>(LZ4_MAX_INPUT_SIZE)),
            static_cast<size_t>(LZ4_COMPRESSBOUND(LZ4_MAX_INPUT_SIZE)));
  EXPECT_GE(codec_bound(CODEC_ZSTD, SIZE_MAX - 1), SIZE_MAX - 1);

  // A capacity beyond INT_MAX is clamped, not truncated: 4 GiB + 10 as an
  // int would be 10, too small for either call.  lz4 writes no more than
  // the data needs, which the real buffers hold.
  const auto src = pattern();
  std::vector<uint8_t> block(codec_bound(CODEC_LZ4, src.size()));
  const size_t big_cap = (size_t{1} << 32) + 10;
  size_t n = codec_compress(CODEC_LZ4, 3, src.data(), src.size(), block.data(), big_cap);
  ASSERT_GT(n, 10u);
  std::vector<uint8_t> out(src.size());
  size_t produced = 0;
  ASSERT_EQ(codec_decompress(CODEC_LZ4, block.data(), n, out.data(), big_cap, &produced), ST_OK);
  EXPECT_EQ(produced, src.size());
  EXPECT_EQ(out, src);
}

// Real data of all kinds, many sizes: whatever compresses comes back.
TEST(Codec, RandomisedRoundTrips) {
  std::mt19937 rng(21);
  const auto pat = pattern();
  const auto rnd = noise(1 << 16);
  for (int round = 0; round < 200; round++) {
    const size_t len = 1 + rng() % 20000;
    std::vector<uint8_t> src(len);
    for (size_t i = 0; i < len; i++) // stretches of pattern, noise and runs
      src[i] = (i / 997) % 3 == 0 ? pat[i] : (i / 997) % 3 == 1 ? rnd[i] : uint8_t(round);
    for (CodecId codec : kRealCodecs) {
      const int level = 1 + static_cast<int>(rng() % 9);
      std::vector<uint8_t> block(codec_bound(codec, len));
      size_t n = codec_compress(codec, level, src.data(), len, block.data(), block.size());
      if (n == 0)
        continue;
      ASSERT_LT(n, len);
      std::vector<uint8_t> out(len);
      size_t produced = 0;
      ASSERT_EQ(codec_decompress(codec, block.data(), n, out.data(), len, &produced), ST_OK);
      ASSERT_EQ(produced, len);
      ASSERT_EQ(out, src) << "codec " << codec << " len " << len;
    }
  }
}

} // namespace
