#include "pipeline.h"

#include <gtest/gtest.h>

#include <string>

#include "generated_source.h"
#include "progress/writer.h"
#include "support/test_support.h"

namespace {

constexpr uint32_t BS = 65536;

DemoConfig small_config(int tool, uint64_t blocks) {
  DemoConfig cfg;
  demo_config_defaults(&cfg);
  cfg.tool = tool;
  cfg.blocks = blocks;
  cfg.block_size = BS;
  cfg.seconds = 0;
  cfg.workers = 3;
  cfg.queue_cap = 4;
  cfg.publish_ms = 20;
  return cfg;
}

// What the generated source holds in blocks [0, blocks).
struct Expected {
  uint64_t zero = 0, text = 0, random = 0;
};

Expected expected_of(uint64_t blocks) {
  Expected e;
  for (uint64_t i = 0; i < blocks; i++) {
    unsigned mix = demo_block_mix(i, BS, blocks * BS);
    if (mix == 1u << DEMO_BLOCK_ZERO)
      e.zero++;
    else if (mix == 1u << DEMO_BLOCK_TEXT)
      e.text++;
    else
      e.random++;
  }
  return e;
}

struct RunResult {
  StatusCode status = ST_IO;
  DemoStats stats{};
  ProgressSegment last{}; // the segment as the final update left it
};

RunResult run_generated(const DemoConfig &cfg) {
  RunResult r;
  char source_name[64];
  demo_generated_name(cfg.blocks * cfg.block_size, source_name, sizeof source_name);
  BlockHandle h;
  EXPECT_EQ(demo_source_open(&h, source_name), ST_OK);
  ProgressSegment *seg = nullptr;
  EXPECT_EQ(progress_create(&seg, cfg.tool, "pipeline-test", 0, cfg.blocks, source_name), ST_OK);
  r.status = demo_run(&cfg, &h, seg, &r.stats);
  if (seg != nullptr) {
    r.last = *seg;
    progress_destroy(&seg);
  }
  block_reader_close(&h);
  return r;
}

TEST(Pipeline, AgentFindsWhatTheGeneratedSourceHolds) {
  DemoConfig cfg = small_config(TOOL_AGENT, 600);
  Expected e = expected_of(cfg.blocks);
  ASSERT_GT(e.zero, 0u);
  ASSERT_GT(e.random, 0u);
  RunResult r = run_generated(cfg);
  ASSERT_EQ(r.status, ST_OK);
  EXPECT_EQ(r.stats.blocks, 600u);
  EXPECT_EQ(r.stats.zero, e.zero);
  EXPECT_EQ(r.stats.written, 600u - e.zero);
  EXPECT_EQ(r.stats.bytes_raw, 600ull * BS);
  // Random blocks are stored whole, text blocks shrink to under half, zero
  // blocks cost nothing.
  EXPECT_GE(r.stats.bytes_compressed, e.random * BS);
  EXPECT_LT(r.stats.bytes_compressed, e.random * BS + e.text * BS / 2);
  EXPECT_EQ(r.stats.hashed_blocks, 600u - e.zero);

  // The last update published the same totals and an idle pool.
  const ProgressSegment &s = r.last;
  EXPECT_EQ(s.blocks_done, 600u);
  EXPECT_EQ(s.zero, e.zero);
  EXPECT_EQ(s.written, 600u - e.zero);
  EXPECT_EQ(s.bytes_raw, r.stats.bytes_raw);
  EXPECT_EQ(s.bytes_compressed, r.stats.bytes_compressed);
  EXPECT_EQ(s.state, STATE_RUNNING);
  EXPECT_EQ(s.workers_total, 3u);
  EXPECT_EQ(s.workers_active, 0u);
  EXPECT_EQ(s.q_raw_cap, 4u);
  EXPECT_EQ(s.q_out_cap, 4u);
  EXPECT_EQ(s.q_raw_depth + s.q_out_depth, 0u);
  for (int w = 0; w < PROGRESS_MAX_WORKERS; w++)
    EXPECT_EQ(s.worker_block[w], -1) << "worker " << w;
  EXPECT_EQ(s.compression, CODEC_ZSTD);
  EXPECT_EQ(s.level_min, 1);
  EXPECT_EQ(s.level_max, 9);
  EXPECT_GE(s.level, 1);
  EXPECT_LE(s.level, 9);
  EXPECT_EQ(s.bg_active, 0);
  EXPECT_EQ(s.eta_s, 0) << "done equals total";
  EXPECT_GE(r.stats.updates, 1u);
}

TEST(Pipeline, IncrementalAndDifferentialSkipUnchangedBlocks) {
  for (int type : {BACKUP_DIFF, BACKUP_INC}) {
    DemoConfig cfg = small_config(TOOL_AGENT, 400);
    cfg.backup_type = type;
    uint64_t zero = 0, changed = 0;
    for (uint64_t i = 0; i < cfg.blocks; i++) {
      bool is_zero = demo_block_mix(i, BS, cfg.blocks * BS) == 1u << DEMO_BLOCK_ZERO;
      zero += is_zero ? 1 : 0;
      changed += !is_zero && demo_block_changed(i, type) ? 1 : 0;
    }
    ASSERT_GT(changed, 0u);
    RunResult r = run_generated(cfg);
    ASSERT_EQ(r.status, ST_OK);
    EXPECT_EQ(r.stats.zero, zero) << "type " << type;
    EXPECT_EQ(r.stats.written, changed) << "type " << type;
    EXPECT_EQ(r.stats.unchanged, 400 - zero - changed) << "type " << type;
    EXPECT_EQ(r.last.unchanged, r.stats.unchanged);
    EXPECT_LE(r.stats.bytes_compressed, changed * BS);
  }
  // A full backup takes everything.
  for (uint64_t i = 0; i < 1000; i++)
    ASSERT_TRUE(demo_block_changed(i, BACKUP_FULL));
}

TEST(Pipeline, CodecsChangeOnlyTheCompressedBytes) {
  DemoConfig cfg = small_config(TOOL_AGENT, 200);
  Expected e = expected_of(cfg.blocks);
  cfg.codec = CODEC_NONE;
  RunResult none = run_generated(cfg);
  cfg.codec = CODEC_LZ4;
  RunResult lz4 = run_generated(cfg);
  ASSERT_EQ(none.status, ST_OK);
  ASSERT_EQ(lz4.status, ST_OK);
  EXPECT_EQ(none.stats.bytes_compressed, (200 - e.zero) * BS);
  EXPECT_LT(lz4.stats.bytes_compressed, none.stats.bytes_compressed);
  EXPECT_EQ(lz4.stats.zero, none.stats.zero);
  EXPECT_EQ(none.last.compression, CODEC_NONE);
  EXPECT_EQ(lz4.last.compression, CODEC_LZ4);
  EXPECT_EQ(lz4.last.level_min, 0);
  EXPECT_EQ(lz4.last.level_max, 0);
}

TEST(Pipeline, RestoreVerifiesAndCountsDamagedBlocks) {
  for (CodecId codec : {CODEC_ZSTD, CODEC_LZ4, CODEC_NONE}) {
    DemoConfig cfg = small_config(TOOL_RESTORE, 300);
    cfg.codec = codec;
    cfg.corrupt_every = 7;
    uint64_t damaged = 0;
    uint64_t zero = 0;
    for (uint64_t i = 0; i < cfg.blocks; i++) {
      bool is_zero = demo_block_mix(i, BS, cfg.blocks * BS) == 1u << DEMO_BLOCK_ZERO;
      zero += is_zero ? 1 : 0;
      damaged += !is_zero && i % 7 == 6 ? 1 : 0;
    }
    RunResult r = run_generated(cfg);
    ASSERT_EQ(r.status, ST_OK) << "codec " << codec;
    EXPECT_EQ(r.stats.zero, zero) << "codec " << codec;
    EXPECT_EQ(r.stats.unchanged, damaged) << "codec " << codec;
    EXPECT_EQ(r.stats.written, 300 - zero - damaged) << "codec " << codec;
    EXPECT_EQ(r.last.unchanged, damaged);
    EXPECT_EQ(r.last.written, r.stats.written);
  }
}

TEST(Pipeline, RestoreWithoutDamageRestoresEverything) {
  DemoConfig cfg = small_config(TOOL_RESTORE, 200);
  RunResult r = run_generated(cfg);
  ASSERT_EQ(r.status, ST_OK);
  EXPECT_EQ(r.stats.unchanged, 0u);
  EXPECT_EQ(r.stats.written + r.stats.zero, 200u);
}

TEST(Pipeline, FileSourceWithShortLastBlock) {
  zt::TempDir dir;
  std::string path = dir.path + "/disk.img";
  // Two zero blocks, one block of text, then 100 bytes of text.
  std::string data(2 * 4096, '\0');
  for (int i = 0; data.size() < 3 * 4096 + 100; i++)
    data += "line " + std::to_string(i) + " of a text file\n";
  data.resize(3 * 4096 + 100);
  zt::write_file(path, data);

  DemoConfig cfg = small_config(TOOL_AGENT, 4);
  cfg.block_size = 4096;
  BlockHandle h;
  ASSERT_EQ(demo_source_open(&h, path.c_str()), ST_OK);
  DemoStats st{};
  ASSERT_EQ(demo_run(&cfg, &h, nullptr, &st), ST_OK);
  block_reader_close(&h);
  EXPECT_EQ(st.blocks, 4u);
  EXPECT_EQ(st.zero, 2u);
  EXPECT_EQ(st.written, 2u);
  EXPECT_EQ(st.bytes_raw, data.size()) << "only the real bytes count";
  EXPECT_GT(st.bytes_compressed, 0u);
  EXPECT_LT(st.bytes_compressed, 4096u + 100);
  EXPECT_EQ(st.updates, 0u) << "no segment, no updates";
}

// A source whose read of block 5 fails: the run stops with that error and
// counts the blocks before it.
StatusCode failing_read(BlockHandle *, uint64_t index, uint32_t block_size, void *buf,
                        int32_t *out_count) {
  if (index == 5)
    return ST_IO;
  memset(buf, 1, block_size);
  if (out_count != nullptr)
    *out_count = static_cast<int32_t>(block_size);
  return ST_OK;
}

TEST(Pipeline, ReadErrorStopsTheRunAndIsReturned) {
  BlockReaderOps ops = generated_reader_ops;
  ops.read_block = failing_read;
  BlockHandle h{};
  h.fd = -1;
  h.ops = &ops;
  DemoConfig cfg = small_config(TOOL_AGENT, 50);
  DemoStats st{};
  EXPECT_EQ(demo_run(&cfg, &h, nullptr, &st), ST_IO);
  EXPECT_EQ(st.blocks, 5u);
}

TEST(Pipeline, PaceSpreadsTheRunAndBackgroundPublishesItsDuty) {
  DemoConfig cfg = small_config(TOOL_AGENT, 40);
  cfg.seconds = 1;
  cfg.background = 1;
  cfg.duty_min = 30;
  cfg.duty_max = 70;
  RunResult r = run_generated(cfg);
  ASSERT_EQ(r.status, ST_OK);
  // Block 39 is not read before 39/40 of a second.
  EXPECT_GE(r.stats.run_ns, 975000000ull);
  EXPECT_EQ(r.last.bg_active, 1);
  EXPECT_EQ(r.last.bg_duty_min, 30u);
  EXPECT_EQ(r.last.bg_duty_max, 70u);
  EXPECT_GE(r.last.bg_duty_pct, 30u);
  EXPECT_LE(r.last.bg_duty_pct, 70u);
  for (uint32_t v : {r.last.bg_foreign_cpu, r.last.bg_foreign_io, r.last.bg_foreign_net,
                     r.last.bg_self_cpu, r.last.bg_self_io, r.last.bg_self_net})
    EXPECT_LE(v, 100u);
}

TEST(Pipeline, LevelFollowsTheRawQueue) {
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 8, 8), 4) << "workers behind: cheaper";
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 6, 8), 4);
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 4, 8), 5) << "half full: stay";
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 2, 8), 6) << "workers waiting: harder";
  EXPECT_EQ(demo_adapt_level(1, 1, 9, 8, 8), 1);
  EXPECT_EQ(demo_adapt_level(9, 1, 9, 0, 8), 9);
  EXPECT_EQ(demo_adapt_level(3, 3, 3, 0, 8), 3);
}

TEST(Pipeline, DutyFollowsForeignLoad) {
  EXPECT_EQ(demo_adapt_duty(50, 10, 90, 80), 40u);
  EXPECT_EQ(demo_adapt_duty(15, 10, 90, 80), 10u);
  EXPECT_EQ(demo_adapt_duty(50, 10, 90, 30), 50u);
  EXPECT_EQ(demo_adapt_duty(50, 10, 90, 5), 60u);
  EXPECT_EQ(demo_adapt_duty(85, 10, 90, 0), 90u);
}

TEST(Pipeline, RejectsConfigurationsOutOfRange) {
  DemoConfig good = small_config(TOOL_AGENT, 10);
  const char *why = nullptr;
  EXPECT_EQ(demo_config_check(&good, &why), ST_OK);
  auto rejected = [&](void (*change)(DemoConfig *)) {
    DemoConfig c = good;
    change(&c);
    why = nullptr;
    bool bad = demo_config_check(&c, &why) == ST_INVAL && why != nullptr;
    BlockHandle h{};
    DemoStats st{};
    st.blocks = 77;
    return bad && demo_run(&c, &h, nullptr, &st) == ST_INVAL && st.blocks == 77;
  };
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->tool = TOOL_PROXMOX; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->block_size = 100; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->workers = 0; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->workers = 65; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->queue_cap = 0; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->codec = 7; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->level = 12; }));
  EXPECT_TRUE(rejected([](DemoConfig *c) { c->duty_min = 0; }));
}

} // namespace
