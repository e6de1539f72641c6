// SHA-256 against published vectors and its fatal path, the codecs' edges (round trips run in
// zpr_demo and the codec fuzz target), and the CPU report's rules on made-up processors.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "support/child.h"
#include "digest/codec.h"
#include "digest/cpu_features.h"
#include "digest/cpu_features_internal.h"
#include "digest/sha256.h"
#include "support/test_support.h"

namespace {

std::string hex(const Sha256Context *inc, const char *data, size_t len) {
  uint8_t d[SHA256_DIGEST_BYTES];
  inc != nullptr ? sha256_final(const_cast<Sha256Context *>(inc), d) : sha256_digest(data, len, d);
  std::string out(SHA256_HEX_BYTES, 'X');
  sha256_hex(d, out.data());
  return out;
}

TEST(Sha256, PublishedDigestsWholeAndInPiecesAndFatalFailures) {
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string two = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
  const char *text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(hex(nullptr, "abc", 3), abc + '\0');
  EXPECT_EQ(hex(nullptr, nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" +
                std::string(1, '\0'));
  Sha256Context c{};
  for (size_t cut : {0, 1, 55, 56}) {
    sha256_init(&c);
    sha256_update(&c, text, cut);
    sha256_update(&c, nullptr, 0);
    sha256_update(&c, text + cut, strlen(text) - cut);
    EXPECT_EQ(hex(&c, nullptr, 0), two + '\0') << cut;
    EXPECT_EQ(c.ctx, nullptr);
  }
  const uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 5};
  EXPECT_EQ(digest_equal(a, b, 3) * 100 + digest_equal(a, b, 4) * 10 +
                digest_equal(nullptr, nullptr, 0),
            101);
  zt::TempDir dir; // a failure prints one line and aborts
  for (int use : {0, 1, 2}) {
    EXPECT_EQ(in_child([&] {
                Sha256Context c{};
                uint8_t d[SHA256_DIGEST_BYTES];
                if (freopen((dir.path + "/err").c_str(), "w", stderr) != nullptr)
                  use == 0   ? sha256_fatal()
                  : use == 1 ? sha256_final(&c, d)
                             : sha256_update(&c, "abc", 3);
                return 0;
              }),
              1000 + SIGABRT)
        << use;
    EXPECT_EQ(zt::read_file(dir.path + "/err"), "fatal: OpenSSL SHA-256 failed\n");
  }
}

using Statuses = std::vector<StatusCode>;

TEST(Codec, EdgesAndFailures) {
  std::vector<uint8_t> src(65536), out(65536), back(65536), noise(4096);
  for (size_t i = 0; i < src.size(); i++)
    src[i] = static_cast<uint8_t>((i >> 5) ^ (7 * i));
  uint32_t x = 1;
  for (uint8_t &byte : noise) // xorshift: nothing to gain for a compressor
    x ^= x << 13, x ^= x >> 17, x ^= x << 5, byte = static_cast<uint8_t>(x >> 24);
  for (CodecId codec : {CODEC_ZSTD, CODEC_LZ4}) {
    std::vector<uint8_t> block(codec_bound(codec, src.size()));
    size_t n = codec_compress(codec, 3, src.data(), src.size(), block.data(), block.size()),
           produced = 99;
    // Declined: no gain, no room, nothing to compress.
    EXPECT_EQ(codec_compress(codec, 3, noise.data(), noise.size(), back.data(), back.size()) +
                  codec_compress(codec, 3, src.data(), src.size(), out.data(), 1) +
                  codec_compress(codec, 3, src.data(), 0, out.data(), out.size()),
              0u)
        << codec;
    EXPECT_EQ(
        (Statuses{codec_decompress(codec, block.data(), n / 2, out.data(), out.size(), &produced),
                  codec_decompress(codec, block.data(), 1, out.data(), out.size(), &produced),
                  codec_decompress(codec, block.data(), n, out.data(), out.size() - 1, &produced),
                  codec_decompress(codec, nullptr, n, out.data(), out.size(), &produced),
                  codec_decompress(codec, block.data(), n, out.data(), out.size(), nullptr)}),
        (Statuses{ST_CORRUPT, ST_CORRUPT, ST_CORRUPT, ST_INVAL, ST_OK}))
        << codec;
    EXPECT_TRUE(n > 0 && produced == 99 && out == src) << codec;
  }
  // Identity: the destination must hold the source; overlap is allowed.
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  size_t produced = 99;
  EXPECT_EQ((Statuses{codec_decompress(CODEC_NONE, buf, 5, buf + 4, 4, &produced),
                      codec_decompress(CODEC_NONE, buf, 6, buf + 2, 6, &produced),
                      codec_decompress(3, buf, 4, out.data(), out.size(), &produced)}),
            (Statuses{ST_INVAL, ST_OK, ST_INVAL}));
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), (std::vector<uint8_t>{1, 2, 1, 2, 3, 4, 5, 6}));
  for (CodecId codec : {CODEC_NONE, 3, -1})
    EXPECT_EQ(codec_bound(codec, 4096) +
                  codec_compress(codec, 3, src.data(), src.size(), out.data(), out.size()),
              4096u);
  // Sizes lz4 cannot take as an int are refused before any call; a capacity beyond INT_MAX is clamped.
  const size_t huge = (size_t{1} << 32) + 16;
  EXPECT_GE(codec_bound(CODEC_LZ4, huge), huge);
  EXPECT_EQ(codec_compress(CODEC_LZ4, 3, src.data(), huge, out.data(), out.size()), 0u);
  EXPECT_EQ(codec_decompress(CODEC_LZ4, src.data(), huge, out.data(), out.size(), &produced),
            ST_INVAL);
  size_t n = codec_compress(CODEC_LZ4, 3, src.data(), src.size(), out.data(), huge - 6);
  EXPECT_EQ(codec_decompress(CODEC_LZ4, out.data(), n, back.data(), huge - 6, &produced), ST_OK);
  EXPECT_TRUE(n > 10 && produced == src.size() && back == src);
}

TEST(CpuReport, RulesOnMadeUpProcessors) {
  const unsigned AVX2 = CPU_FLAG_AVX2, SHA = CPU_FLAG_SHA_NI;
  // (leaf, the facts the report reads that the processor lacks) -> flags, label; the CRC kernels' facts false
  for (auto [leaf, lacking, flags, label] :
       std::initializer_list<std::tuple<uint32_t, std::string, unsigned, std::string>>{
           {0x1f, "", AVX2 | SHA, "SHA-NI"},
           {0, "", 0, "scalar"},
           {6, "", 0, "SSSE3"},
           {6, "ssse3", 0, "scalar"},
           {7, "sha", AVX2, "AVX2"},
           {7, "sha bmi2", AVX2, "SSSE3"},
           {7, "sha ymm", 0, "SSSE3"},
           {7, "sha avx", 0, "SSSE3"},
           {7, "sha osxsave ssse3", 0, "scalar"},
           {7, "ssse3", AVX2 | SHA, "AVX2"},
           {7, "ssse3 bmi1", AVX2 | SHA, "scalar"}}) {
    SCOPED_TRACE(std::to_string(leaf) + " lacking " + lacking);
    auto has = [&](std::string fact) {
      return (" " + lacking + " ").find(" " + fact + " ") == std::string::npos;
    };
    const CpuFacts facts{leaf,        has("ssse3"), has("osxsave"), has("avx"), has("ymm"),
                         has("bmi1"), has("avx2"),  has("bmi2"),    has("sha"), false,
                         false,       false,        false,          false};
    EXPECT_EQ(cpu_flags_from_facts(facts), flags);
    EXPECT_EQ(sha256_label_from_facts(facts, false), label);
    EXPECT_EQ(sha256_label_from_facts(facts, true), label + "*");
  }
  const std::string label = (unsetenv("OPENSSL_ia32cap"), sha256_impl_label());
  setenv("OPENSSL_ia32cap", "", 1); // presence alone counts
  EXPECT_EQ(sha256_impl_label(), label + "*");
  unsetenv("OPENSSL_ia32cap");
  const std::string kernel = zt::read_file("/proc/cpuinfo"); // the kernel's view of the processor
  EXPECT_EQ(cpu_feature_flags(), (kernel.find(" avx2") != std::string::npos ? AVX2 : 0) |
                                     (kernel.find(" sha_ni") != std::string::npos ? SHA : 0));
}

} // namespace
