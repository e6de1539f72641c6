// SHA-256 against published vectors and its fatal path, the codecs' edges (round trips run in
// zpr_demo and the codec fuzz target), and the CPU report's rules on made-up processors.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/codec.h"
#include "digest/cpu_features_internal.h"
#include "digest/crc32c_internal.h"
#include "digest/sha256.h"
#include "support/child.h"
#include "support/test_support.h"

namespace {

std::string hex(const uint8_t (&digest)[SHA256_DIGEST_BYTES]) {
  std::string out(SHA256_HEX_BYTES, 'X');
  sha256_hex(digest, out.data());
  return out;
}

TEST(Sha256, PublishedDigestsWholeAndInPiecesAndFatalFailures) {
  // FIPS 180-2, appendix B; B.2 also in two pieces across the 64-byte block.
  const char *text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  uint8_t d[SHA256_DIGEST_BYTES];
  sha256_digest("abc", 3, d);
  EXPECT_EQ(hex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" +
                        std::string(1, '\0'));
  sha256_digest(nullptr, 0, d);
  EXPECT_EQ(hex(d), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" +
                        std::string(1, '\0'));
  Sha256Context c{};
  sha256_init(&c);
  sha256_update(&c, text, 56);
  sha256_update(&c, text + 56, strlen(text) - 56);
  sha256_final(&c, d);
  EXPECT_EQ(hex(d), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" +
                        std::string(1, '\0'));
  EXPECT_EQ(c.ctx, nullptr) << "final frees the context";
  const uint8_t a[4] = {1, 2, 3, 4};
  const uint8_t b[4] = {1, 2, 3, 5};
  EXPECT_TRUE(digest_equal(a, b, 3)) << "equal first 3 bytes";
  EXPECT_FALSE(digest_equal(a, b, 4)) << "last byte differs"; // a restore's verification
  // A failure of the library (here a context never set up) prints one line and aborts.
  zt::TempDir dir;
  EXPECT_EQ(in_child([&] {
              Sha256Context fresh{};
              if (freopen((dir.path + "/err").c_str(), "w", stderr) != nullptr)
                sha256_update(&fresh, "abc", 3);
              return 0;
            }),
            1000 + SIGABRT);
  EXPECT_EQ(zt::read_file(dir.path + "/err"), "fatal: OpenSSL SHA-256 failed\n");
}

TEST(Codec, EdgesAndFailures) {
  std::vector<uint8_t> src(65536);
  std::vector<uint8_t> out(65536);
  for (size_t i = 0; i < src.size(); i++)
    src[i] = static_cast<uint8_t>((i >> 5) ^ (7 * i));
  std::vector<uint8_t> noise(4096); // random: nothing to gain for a compressor
  std::mt19937 rng(1);
  std::generate(noise.begin(), noise.end(), [&] { return static_cast<uint8_t>(rng()); });
  for (CodecId codec : {CODEC_ZSTD, CODEC_LZ4}) {
    SCOPED_TRACE(codec);
    std::vector<uint8_t> block(codec_bound(codec, src.size()));
    const size_t n = codec_compress(codec, 3, src.data(), src.size(), block.data(), block.size());
    ASSERT_GT(n, 0u);
    // Declined: no gain, no room, nothing to compress.
    EXPECT_EQ(codec_compress(codec, 3, noise.data(), noise.size(), out.data(), out.size()), 0u);
    EXPECT_EQ(codec_compress(codec, 3, src.data(), src.size(), out.data(), 1), 0u);
    EXPECT_EQ(codec_compress(codec, 3, src.data(), 0, out.data(), out.size()), 0u);
    size_t produced = 99;
    uint8_t *o = out.data();
    const uint8_t *k = block.data();
    zt::expect_statuses({
        {"cut in half", codec_decompress(codec, k, n / 2, o, out.size(), &produced), ST_CORRUPT},
        {"no room", codec_decompress(codec, k, n, o, out.size() - 1, &produced), ST_CORRUPT},
        {"no source", codec_decompress(codec, nullptr, n, o, out.size(), &produced), ST_INVAL},
    });
    EXPECT_EQ(produced, 99u) << "written only on success";
  }
  size_t produced = 99;
  // Sizes lz4 cannot take as an int are refused, not cut short.
  const size_t huge = (size_t{1} << 32) + 16;
  EXPECT_GE(codec_bound(CODEC_LZ4, huge), huge);
  EXPECT_EQ(codec_compress(CODEC_LZ4, 3, src.data(), huge, out.data(), out.size()), 0u);
  EXPECT_EQ(codec_decompress(CODEC_LZ4, src.data(), huge, out.data(), out.size(), &produced),
            ST_INVAL);
}

// Bits from the processor manuals: CPUID leaf 1 ECX, leaf 7 EBX and ECX,
// and the XCR0 state components.
enum Leaf1Ecx : uint32_t {
  PCLMUL = 1u << 1,
  SSSE3 = 1u << 9,
  SSE42 = 1u << 20,
  OSXSAVE = 1u << 27,
  AVX = 1u << 28
};
enum Leaf7Ebx : uint32_t {
  BMI1 = 1u << 3,
  AVX2 = 1u << 5,
  BMI2 = 1u << 8,
  AVX512F = 1u << 16,
  SHA = 1u << 29
};
enum Leaf7Ecx : uint32_t { VPCLMUL = 1u << 10 };
enum Xcr0 : uint64_t { XMM_YMM = 0x7, ZMM = 0xE0, XCR0_ALL = XMM_YMM | ZMM };

constexpr uint32_t kLeaf1 = PCLMUL | SSSE3 | SSE42 | OSXSAVE | AVX;
constexpr uint32_t kLeaf7 = BMI1 | AVX2 | BMI2 | AVX512F | SHA;

struct Processor {
  const char *name;
  CpuRegs regs;
  unsigned flags; // the report: bit 0 AVX2, bit 1 SHA
  const char *sha256;
  const char *crc32c; // the paths its gates open
};

// Each row takes one thing away from a processor that has everything.
const Processor kProcessors[] = {
    {"everything", {0x1f, kLeaf1, kLeaf7, VPCLMUL, XCR0_ALL}, 3, "SHA-NI", "SPAZ"},
    {"no CPUID leaves", {0, kLeaf1, kLeaf7, VPCLMUL, XCR0_ALL}, 0, "scalar", ""},
    {"up to leaf 6", {6, kLeaf1, kLeaf7, VPCLMUL, XCR0_ALL}, 0, "SSSE3", "SP"},
    {"leaf 6, no SSSE3", {6, kLeaf1 & ~SSSE3, kLeaf7, VPCLMUL, XCR0_ALL}, 0, "scalar", "SP"},
    {"no SHA", {7, kLeaf1, kLeaf7 & ~SHA, VPCLMUL, XCR0_ALL}, 1, "AVX2", "SPAZ"},
    {"no SHA, BMI2", {7, kLeaf1, kLeaf7 & ~(SHA | BMI2), VPCLMUL, XCR0_ALL}, 1, "SSSE3", "SPAZ"},
    {"no SHA, YMM state", {7, kLeaf1, kLeaf7 & ~SHA, VPCLMUL, 0x3 | ZMM}, 0, "SSSE3", "SP"},
    {"no SHA, AVX", {7, kLeaf1 & ~AVX, kLeaf7 & ~SHA, VPCLMUL, XCR0_ALL}, 0, "SSSE3", "SP"},
    {"no SHA, XSAVE, SSSE3",
     {7, kLeaf1 & ~(OSXSAVE | SSSE3), kLeaf7 & ~SHA, VPCLMUL, XCR0_ALL},
     0,
     "scalar",
     "SP"},
    {"no SSSE3", {7, kLeaf1 & ~SSSE3, kLeaf7, VPCLMUL, XCR0_ALL}, 3, "AVX2", "SPAZ"},
    {"no SSSE3, BMI1",
     {7, kLeaf1 & ~SSSE3, kLeaf7 & ~BMI1, VPCLMUL, XCR0_ALL},
     3,
     "scalar",
     "SPAZ"},
    {"no ZMM state", {7, kLeaf1, kLeaf7, VPCLMUL, XMM_YMM}, 3, "SHA-NI", "SPA"},
    {"ZMM state in part", {7, kLeaf1, kLeaf7, VPCLMUL, XMM_YMM | 0x20}, 3, "SHA-NI", "SPA"},
    {"no VPCLMUL", {7, kLeaf1, kLeaf7, 0, XCR0_ALL}, 3, "SHA-NI", "SP"},
    {"no AVX-512F", {7, kLeaf1, kLeaf7 & ~AVX512F, VPCLMUL, XCR0_ALL}, 3, "SHA-NI", "SPA"},
    {"no AVX2", {7, kLeaf1, kLeaf7 & ~AVX2, VPCLMUL, XCR0_ALL}, 2, "SHA-NI", "SPZ"},
    {"no PCLMULQDQ", {7, kLeaf1 & ~PCLMUL, kLeaf7, VPCLMUL, XCR0_ALL}, 3, "SHA-NI", "S"},
    {"no SSE4.2", {7, kLeaf1 & ~SSE42, kLeaf7, VPCLMUL, XCR0_ALL}, 3, "SHA-NI", ""},
};

// The CRC-32C paths open to a processor: S (SSE4.2), P (PCLMULQDQ
// folding), A (AVX2), Z (AVX-512).
std::string open_paths(const Crc32cGates &g) {
  std::string s;
  for (auto [open, letter] :
       {std::pair{g.sse42, 'S'}, {g.pclmul, 'P'}, {g.avx2, 'A'}, {g.avx512, 'Z'}})
    if (open)
      s += letter;
  return s;
}

TEST(CpuReport, DecisionsOnMadeUpProcessors) {
  for (const Processor &p : kProcessors) {
    SCOPED_TRACE(p.name);
    const CpuFacts facts = cpu_facts_from_regs(p.regs);
    EXPECT_EQ(cpu_flags_from_facts(facts), p.flags);
    EXPECT_EQ(sha256_label_from_facts(facts, false), std::string(p.sha256));
    EXPECT_EQ(sha256_label_from_facts(facts, true), std::string(p.sha256) + "*");
    EXPECT_EQ(open_paths(crc32c_gates_from_facts(facts)), p.crc32c);
  }
}

} // namespace
