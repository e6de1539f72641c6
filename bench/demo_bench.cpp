// Throughput of the demo agent without a pace limit, and what a block
// costs on its way through.
//
//  1. Floor: the generated source alone (the reader's fill), MiB/s.
//  2. The whole pipeline per codec (zstd adaptive 1..9, zstd 3, lz4, none),
//     one worker per processor, a real progress segment updated every
//     200 ms: median MiB/s over the runs, its ratio to the floor, the
//     per-block costs measured by the workers, and the share of the run
//     spent in progress_update (target: below 0.1 %).
//  3. Per-block costs on one thread, 64 KiB text and random blocks: zstd 3,
//     lz4, CRC32C, SHA-256, against a memcpy of the block as the floor.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_timing.h"
#include "digest/codec.h"
#include "digest/crc32c.h"
#include "digest/sha256.h"
#include "generated_source.h"
#include "pipeline.h"
#include "progress/writer.h"

namespace {

constexpr uint32_t BS = 65536;
constexpr uint64_t BLOCKS = 4096; // 256 MiB per run
constexpr int RUNS = 5;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double mib_per_s(double gbps) { return gbps * 1e9 / (1024.0 * 1024.0); }

double floor_fill() {
  std::vector<uint8_t> block(BS);
  uint64_t i = 0;
  return mib_per_s(zb::median_gbps(
      [&] {
        demo_fill_range((i++ % BLOCKS) * BS, BS, block.data());
        zb::keep(block[0]);
      },
      BS));
}

struct PipelineFigures {
  double mib_s, compress_us, crc_us, sha_us, update_share, update_us;
  int level_last;
};

PipelineFigures run_pipeline(CodecId codec, int level_min, int level_max) {
  DemoConfig cfg;
  demo_config_defaults(&cfg);
  cfg.blocks = BLOCKS;
  cfg.seconds = 0;
  cfg.codec = codec;
  cfg.level_min = level_min;
  cfg.level_max = level_max;
  cfg.level = std::clamp(3, level_min, level_max);
  char source_name[64];
  demo_generated_name(BLOCKS * BS, source_name, sizeof source_name);
  std::vector<double> rate, comp, crc, sha, share, upd;
  int level_last = 0;
  for (int r = 0; r < RUNS; r++) {
    BlockHandle h;
    ProgressSegment *seg = nullptr;
    if (demo_source_open(&h, source_name) != ST_OK)
      return {};
    progress_create(&seg, TOOL_AGENT, "demo-bench", 0, BLOCKS, source_name);
    DemoStats st{};
    StatusCode rc = demo_run(&cfg, &h, seg, &st);
    progress_destroy(&seg);
    block_reader_close(&h);
    if (rc != ST_OK)
      return {};
    double secs = static_cast<double>(st.run_ns) / 1e9;
    rate.push_back(static_cast<double>(st.bytes_raw) / (1024.0 * 1024.0) / secs);
    auto per = [](uint64_t ns, uint64_t n) {
      return n == 0 ? 0.0 : static_cast<double>(ns) / static_cast<double>(n) / 1000.0;
    };
    comp.push_back(per(st.codec_ns, st.codec_blocks));
    crc.push_back(per(st.crc_ns, st.hashed_blocks));
    sha.push_back(per(st.sha_ns, st.sha_blocks));
    share.push_back(100.0 * static_cast<double>(st.update_ns) / static_cast<double>(st.run_ns));
    upd.push_back(per(st.update_ns, st.updates));
    level_last = st.level_last;
  }
  return {median(rate),  median(comp), median(crc), median(sha),
          median(share), median(upd),  level_last};
}

// Median microseconds per call of fn over a block.
template <typename Fn> double us_per_block(Fn fn) {
  return static_cast<double>(BS) / zb::median_gbps(fn, BS, 9) / 1000.0;
}

void per_block_costs() {
  std::vector<uint8_t> text(BS), random(BS), out(codec_bound(CODEC_ZSTD, BS)), copy(BS);
  // Find one block of each kind in the generated stream.
  for (uint64_t i = 0, got = 0; got != 3 && i < 10000; i++) {
    unsigned mix = demo_block_mix(i, BS, UINT64_MAX / 2);
    if (mix == 1u << DEMO_BLOCK_TEXT && !(got & 1)) {
      demo_fill_range(i * BS, BS, text.data());
      got |= 1;
    } else if (mix == 1u << DEMO_BLOCK_RANDOM && !(got & 2)) {
      demo_fill_range(i * BS, BS, random.data());
      got |= 2;
    }
  }
  uint8_t digest[SHA256_DIGEST_BYTES];
  double floor = us_per_block([&] {
    memcpy(copy.data(), text.data(), BS);
    zb::keep(copy[0]);
  });
  struct Row {
    const char *what;
    double us;
  } rows[] = {
      {"memcpy (floor)", floor},
      {"zstd 1, text", us_per_block([&] {
         zb::keep(codec_compress(CODEC_ZSTD, 1, text.data(), BS, out.data(), out.size()));
       })},
      {"zstd 3, text", us_per_block([&] {
         zb::keep(codec_compress(CODEC_ZSTD, 3, text.data(), BS, out.data(), out.size()));
       })},
      {"zstd 9, text", us_per_block([&] {
         zb::keep(codec_compress(CODEC_ZSTD, 9, text.data(), BS, out.data(), out.size()));
       })},
      {"zstd 3, random", us_per_block([&] {
         zb::keep(codec_compress(CODEC_ZSTD, 3, random.data(), BS, out.data(), out.size()));
       })},
      {"lz4, text", us_per_block([&] {
         zb::keep(codec_compress(CODEC_LZ4, 0, text.data(), BS, out.data(), out.size()));
       })},
      {"crc32c", us_per_block([&] { zb::keep(crc32c(0, text.data(), BS)); })},
      {"sha256", us_per_block([&] {
         sha256_digest(text.data(), BS, digest);
         zb::keep(digest[0]);
       })},
  };
  printf("\nper 64 KiB block, one thread (median us, ratio to the memcpy floor):\n");
  for (const Row &r : rows)
    printf("  %-18s %9.1f us  %7.1fx\n", r.what, r.us, r.us / floor);
}

} // namespace

int main() {
  double floor = floor_fill();
  printf("demo_bench: %llu blocks of %u bytes per run, %d runs per row\n",
         static_cast<unsigned long long>(BLOCKS), BS, RUNS);
  printf("floor: generated source fill, one thread: %.0f MiB/s\n\n", floor);
  printf("%-16s %9s %7s %11s %9s %9s %10s %9s\n", "pipeline", "MiB/s", "/floor", "codec us",
         "crc us", "sha us", "update us", "update %");
  struct Case {
    const char *name;
    CodecId codec;
    int lo, hi;
  } cases[] = {{"zstd 1..9", CODEC_ZSTD, 1, 9},
               {"zstd 3", CODEC_ZSTD, 3, 3},
               {"lz4", CODEC_LZ4, 3, 3},
               {"none", CODEC_NONE, 3, 3}};
  for (const Case &c : cases) {
    PipelineFigures f = run_pipeline(c.codec, c.lo, c.hi);
    printf("%-16s %9.1f %7.2f %11.1f %9.1f %9.1f %10.2f %9.5f\n", c.name, f.mib_s, f.mib_s / floor,
           f.compress_us, f.crc_us, f.sha_us, f.update_us, f.update_share);
  }
  per_block_costs();
  return 0;
}
