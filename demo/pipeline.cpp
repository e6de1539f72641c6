#include "pipeline.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "block_queue.h"
#include "digest/crc32c.h"
#include "digest/sha256.h"
#include "generated_source.h"
#include "platform/sysutil.h"
#include "platform/thread.h"
#include "progress/writer.h"
#include "runtime/clock.h"
#include "sampler/load.h"

namespace {

constexpr uint32_t DUTY_CYCLE_MS = 100;
constexpr int SAMPLE_MS = 500;

// One block in flight.  `stored_*` is what a backup keeps about the block:
// filled by the agent's workers, or by the restore's reader.
struct DemoBlock {
  uint64_t index;
  uint8_t *raw;        // block_size bytes
  uint8_t *packed;     // codec_bound(block_size) bytes
  uint32_t real;       // bytes that came from the source
  uint32_t packed_len; // compressed length; 0 = stored as it is
  uint8_t is_zero;
  uint8_t verify_failed; // restore only
  uint8_t unchanged;     // agent: same digest as in the previous backup
  uint32_t stored_crc;
  uint8_t stored_sha[SHA256_DIGEST_BYTES];
};

// Written by its worker, read by the output stage for the busy list.  Kept
// on separate cache lines so workers do not slow each other down.
struct alignas(64) WorkerSlot {
  int64_t current; // block being handled, -1 idle; accessed through atomic_ref
  uint64_t codec_ns;
  uint64_t codec_blocks;
  uint64_t crc_ns;
  uint64_t sha_ns;
  uint64_t hashed_blocks;
  uint64_t sha_blocks;
  uint8_t *scratch; // restore: decompression target
};

struct Pipeline;

struct WorkerArg {
  Pipeline *p;
  uint32_t index;
};

struct Pipeline {
  const DemoConfig *cfg;
  BlockHandle *source;
  BlockQueue free_q;
  BlockQueue raw_q;
  BlockQueue out_q;
  DemoBlock *blocks;
  uint32_t block_count;
  uint8_t *arena;
  size_t packed_cap;
  WorkerSlot *slots;
  WorkerArg *args;
  int64_t start_ms;
  std::atomic<int> level;
  std::atomic<uint32_t> duty;
  std::atomic<uint32_t> workers_left;
  std::atomic<uint64_t> pauses; // background mode: times a thread waited out a duty cycle
  StatusCode read_status;       // written by the reader, read after it is joined
};

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool all_zero(const uint8_t *p, uint32_t n) {
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    memcpy(&v, p + i, 8);
    if (v != 0)
      return false;
  }
  for (; i < n; i++)
    if (p[i] != 0)
      return false;
  return true;
}

// Background mode: every DUTY_CYCLE_MS the pipeline works for duty percent
// of the cycle and pauses for the rest.  Reader and workers both pass this
// gate, so queued blocks wait through the pause too.
void duty_gate(Pipeline *p) {
  if (!p->cfg->background)
    return;
  uint32_t duty = p->duty.load(std::memory_order_relaxed);
  if (duty >= 100)
    return;
  uint64_t pos = static_cast<uint64_t>(monotonic_ms() - p->start_ms) % DUTY_CYCLE_MS;
  if (pos < duty)
    return;
  p->pauses.fetch_add(1, std::memory_order_relaxed);
  sleep_ms(static_cast<int>(DUTY_CYCLE_MS - pos));
}

// Pace: block i is not read before its share of the target duration (the
// end of the run for i at or past the last block).
void pace_wait(Pipeline *p, uint64_t i) {
  const DemoConfig *cfg = p->cfg;
  if (cfg->seconds == 0 || cfg->blocks == 0)
    return;
  if (i > cfg->blocks)
    i = cfg->blocks;
  int64_t due =
      p->start_ms + static_cast<int64_t>(static_cast<double>(cfg->seconds) * 1000.0 *
                                         static_cast<double>(i) / static_cast<double>(cfg->blocks));
  int64_t now = monotonic_ms();
  if (due > now)
    sleep_ms(static_cast<int>(due - now));
}

// A paced run spends its time as a real backup or restore does: a worker
// waits on storage for each block it handles (the write of what it made)
// rather than idling between blocks.  Block i is held until block
// i + workers + read-ahead is due, so that a few blocks read ahead wait in
// the raw queue (an eighth of it, too little to move the zstd level) when
// a worker comes back, even after the reader fell behind for a moment: the
// workers stay busy and the run keeps its pace, one block a share of the
// duration.
void storage_wait(Pipeline *p, uint64_t i) {
  const DemoConfig *cfg = p->cfg;
  uint32_t read_ahead = cfg->queue_cap / 8 > 1 ? cfg->queue_cap / 8 : 1;
  pace_wait(p, i + cfg->workers + read_ahead);
}

// Restore's reader: turn the source block into what the backup holds.
void make_stored(Pipeline *p, DemoBlock *b) {
  const DemoConfig *cfg = p->cfg;
  b->is_zero = all_zero(b->raw, cfg->block_size) ? 1 : 0;
  b->packed_len = 0;
  if (b->is_zero)
    return;
  b->stored_crc = crc32c(0, b->raw, cfg->block_size);
  sha256_digest(b->raw, cfg->block_size, b->stored_sha);
  b->packed_len = static_cast<uint32_t>(
      codec_compress(cfg->codec, cfg->level, b->raw, cfg->block_size, b->packed, p->packed_cap));
  if (cfg->corrupt_every != 0 && b->index % cfg->corrupt_every == cfg->corrupt_every - 1) {
    uint8_t *data = b->packed_len != 0 ? b->packed : b->raw;
    uint32_t len = b->packed_len != 0 ? b->packed_len : cfg->block_size;
    data[len / 2] ^= 0x5A;
  }
}

int reader_main(void *arg) {
  auto *p = static_cast<Pipeline *>(arg);
  const DemoConfig *cfg = p->cfg;
  p->read_status = ST_OK;
  for (uint64_t i = 0; i < cfg->blocks; i++) {
    pace_wait(p, i);
    duty_gate(p);
    auto *b = static_cast<DemoBlock *>(block_queue_pop(&p->free_q));
    if (b == nullptr)
      break;
    int32_t count = 0;
    StatusCode st = block_reader_read(p->source, i, cfg->block_size, b->raw, &count);
    if (st != ST_OK) {
      p->read_status = st;
      break;
    }
    b->index = i;
    b->real = static_cast<uint32_t>(count);
    b->verify_failed = 0;
    if (cfg->tool == TOOL_RESTORE)
      make_stored(p, b);
    block_queue_push(&p->raw_q, b);
  }
  block_queue_close(&p->raw_q);
  return 0;
}

// A differential or incremental backup hashes every block to compare it
// with the previous backup and keeps only the changed ones.  The previous
// digests are not at hand here; which blocks changed is the generated
// source's part.
void agent_skip_unchanged(WorkerSlot *slot, DemoBlock *b, uint32_t block_size) {
  uint64_t t0 = now_ns();
  sha256_digest(b->raw, block_size, b->stored_sha);
  slot->sha_ns += now_ns() - t0;
  slot->sha_blocks++;
  b->unchanged = 1;
}

void agent_work(Pipeline *p, WorkerSlot *slot, DemoBlock *b) {
  const DemoConfig *cfg = p->cfg;
  b->is_zero = all_zero(b->raw, cfg->block_size) ? 1 : 0;
  b->packed_len = 0;
  b->unchanged = 0;
  if (b->is_zero)
    return;
  if (!demo_block_changed(b->index, cfg->backup_type)) {
    agent_skip_unchanged(slot, b, cfg->block_size);
    return;
  }
  uint64_t t0 = now_ns();
  if (cfg->codec != CODEC_NONE) {
    int level = p->level.load(std::memory_order_relaxed);
    b->packed_len = static_cast<uint32_t>(
        codec_compress(cfg->codec, level, b->raw, cfg->block_size, b->packed, p->packed_cap));
    slot->codec_blocks++;
  }
  uint64_t t1 = now_ns();
  b->stored_crc = crc32c(0, b->raw, cfg->block_size);
  uint64_t t2 = now_ns();
  sha256_digest(b->raw, cfg->block_size, b->stored_sha);
  uint64_t t3 = now_ns();
  slot->codec_ns += t1 - t0;
  slot->crc_ns += t2 - t1;
  slot->sha_ns += t3 - t2;
  slot->hashed_blocks++;
  slot->sha_blocks++;
}

void restore_work(Pipeline *p, WorkerSlot *slot, DemoBlock *b) {
  const DemoConfig *cfg = p->cfg;
  if (b->is_zero)
    return;
  const uint8_t *data = b->raw;
  uint64_t t0 = now_ns();
  if (b->packed_len != 0) {
    size_t produced = 0;
    StatusCode st = codec_decompress(cfg->codec, b->packed, b->packed_len, slot->scratch,
                                     cfg->block_size, &produced);
    slot->codec_blocks++;
    if (st != ST_OK || produced != cfg->block_size) {
      slot->codec_ns += now_ns() - t0;
      b->verify_failed = 1;
      return;
    }
    data = slot->scratch;
  }
  uint64_t t1 = now_ns();
  uint32_t crc = crc32c(0, data, cfg->block_size);
  uint64_t t2 = now_ns();
  uint8_t sha[SHA256_DIGEST_BYTES];
  sha256_digest(data, cfg->block_size, sha);
  uint64_t t3 = now_ns();
  if (crc != b->stored_crc || !digest_equal(sha, b->stored_sha, sizeof sha))
    b->verify_failed = 1;
  slot->codec_ns += t1 - t0;
  slot->crc_ns += t2 - t1;
  slot->sha_ns += t3 - t2;
  slot->hashed_blocks++;
  slot->sha_blocks++;
}

int worker_main(void *arg) {
  auto *wa = static_cast<WorkerArg *>(arg);
  Pipeline *p = wa->p;
  WorkerSlot *slot = &p->slots[wa->index];
  std::atomic_ref<int64_t> current(slot->current);
  for (;;) {
    duty_gate(p);
    auto *b = static_cast<DemoBlock *>(block_queue_pop(&p->raw_q));
    if (b == nullptr)
      break;
    current.store(static_cast<int64_t>(b->index), std::memory_order_relaxed);
    if (p->cfg->tool == TOOL_RESTORE)
      restore_work(p, slot, b);
    else
      agent_work(p, slot, b);
    storage_wait(p, b->index);
    // Busy until the block is handed on: the output stage, woken by the
    // push, may publish before this thread runs again.
    block_queue_push(&p->out_q, b);
    current.store(-1, std::memory_order_relaxed);
  }
  // The last worker out tells the output stage that nothing more comes.
  if (p->workers_left.fetch_sub(1) == 1)
    block_queue_close(&p->out_q);
  return 0;
}

// Counts one finished block into the running totals.
void account(const DemoConfig *cfg, const DemoBlock *b, DemoStats *st) {
  st->blocks++;
  st->bytes_raw += b->real;
  if (b->is_zero) {
    st->zero++;
    return;
  }
  if (cfg->tool == TOOL_AGENT && b->unchanged) {
    st->unchanged++;
    return;
  }
  st->bytes_compressed += b->packed_len != 0 ? b->packed_len : b->real;
  if (cfg->tool == TOOL_RESTORE && b->verify_failed)
    st->unchanged++;
  else
    st->written++;
}

struct Reporter {
  ProgressSegment *segment;
  ProgressSample sample;
  int64_t worker_blocks[PROGRESS_MAX_WORKERS];
  BgSampler sampler;
  BgLoad load;
};

void publish(Pipeline *p, Reporter *r, const DemoStats *st, uint64_t block_current) {
  const DemoConfig *cfg = p->cfg;
  ProgressSample &s = r->sample;
  s.blocks_done = st->blocks;
  s.block_current = block_current;
  s.written = st->written;
  s.zero = st->zero;
  s.unchanged = st->unchanged;
  s.bytes_raw = st->bytes_raw;
  s.bytes_compressed = st->bytes_compressed;
  s.q_raw_depth = block_queue_depth(&p->raw_q);
  s.q_out_depth = block_queue_depth(&p->out_q);
  uint32_t busy = 0;
  for (uint32_t w = 0; w < cfg->workers; w++) {
    int64_t cur = std::atomic_ref<int64_t>(p->slots[w].current).load(std::memory_order_relaxed);
    r->worker_blocks[w] = cur;
    busy += cur >= 0 ? 1 : 0;
  }
  s.workers_active = busy;
  s.level = cfg->codec == CODEC_ZSTD ? p->level.load(std::memory_order_relaxed) : 0;
  s.bg_duty_pct = cfg->background ? p->duty.load(std::memory_order_relaxed) : 0;
  s.bg_foreign_cpu = r->load.foreign_cpu;
  s.bg_foreign_io = r->load.foreign_io;
  s.bg_foreign_net = r->load.foreign_net;
  s.bg_self_cpu = r->load.self_cpu;
  s.bg_self_io = r->load.self_io;
  s.bg_self_net = r->load.self_net;
}

void reporter_init(Pipeline *p, Reporter *r, ProgressSegment *segment) {
  const DemoConfig *cfg = p->cfg;
  memset(r, 0, sizeof *r);
  r->segment = segment;
  ProgressSample &s = r->sample;
  s.q_raw_cap = cfg->queue_cap;
  s.q_out_cap = cfg->queue_cap;
  s.workers_total = cfg->workers;
  s.worker_blocks = r->worker_blocks;
  s.worker_count = cfg->workers;
  s.compression = static_cast<uint8_t>(cfg->codec);
  bool zstd = cfg->codec == CODEC_ZSTD;
  s.level_min = zstd ? cfg->level_min : 0;
  s.level_max = zstd ? cfg->level_max : 0;
  s.bg_active = cfg->background ? 1 : 0;
  s.bg_duty_min = cfg->background ? cfg->duty_min : 0;
  s.bg_duty_max = cfg->background ? cfg->duty_max : 0;
}

void send_update(Reporter *r, DemoStats *st) {
  if (r->segment == nullptr)
    return;
  uint64_t t0 = now_ns();
  progress_update(r->segment, &r->sample);
  st->update_ns += now_ns() - t0;
  st->updates++;
}

// The output stage, on the calling thread: drains the out queue, returns
// blocks to the pool, publishes every publish_ms, steers the zstd level
// and, in background mode, the duty cycle.
void output_stage(Pipeline *p, Reporter *r, DemoStats *st) {
  const DemoConfig *cfg = p->cfg;
  bool adaptive =
      cfg->tool == TOOL_AGENT && cfg->codec == CODEC_ZSTD && cfg->level_min < cfg->level_max;
  int64_t next_publish = monotonic_ms();
  int64_t next_sample = next_publish;
  uint64_t block_current = 0;
  for (;;) {
    int timed_out = 0;
    auto *b = static_cast<DemoBlock *>(
        block_queue_pop_timed(&p->out_q, static_cast<int>(cfg->publish_ms / 2 + 1), &timed_out));
    if (b != nullptr) {
      account(cfg, b, st);
      block_current = b->index;
      block_queue_push(&p->free_q, b);
    } else if (!timed_out) {
      break; // closed and drained
    }
    int64_t now = monotonic_ms();
    if (cfg->background && now >= next_sample) {
      bg_sample(&r->sampler, &r->load);
      uint32_t foreign = r->load.foreign_cpu;
      if (r->load.foreign_io > foreign)
        foreign = r->load.foreign_io;
      if (r->load.foreign_net > foreign)
        foreign = r->load.foreign_net;
      p->duty.store(demo_adapt_duty(p->duty.load(), cfg->duty_min, cfg->duty_max, foreign));
      next_sample = now + SAMPLE_MS;
    }
    if (now >= next_publish) {
      if (adaptive)
        p->level.store(demo_adapt_level(p->level.load(), cfg->level_min, cfg->level_max,
                                        block_queue_depth(&p->raw_q), cfg->queue_cap));
      publish(p, r, st, block_current);
      send_update(r, st);
      next_publish = now + cfg->publish_ms;
    }
  }
  publish(p, r, st, block_current);
  send_update(r, st);
}

StatusCode pipeline_alloc(Pipeline *p) {
  const DemoConfig *cfg = p->cfg;
  // Enough blocks that every queue can be full while each worker holds one
  // and the reader waits with one more: the reader never starves the rest.
  p->block_count = 2 * cfg->queue_cap + cfg->workers + 1;
  p->packed_cap = codec_bound(cfg->codec, cfg->block_size);
  size_t per_block = cfg->block_size + p->packed_cap;
  size_t scratch = cfg->tool == TOOL_RESTORE ? cfg->block_size : 0;
  p->arena = static_cast<uint8_t *>(malloc(per_block * p->block_count + scratch * cfg->workers));
  p->blocks = static_cast<DemoBlock *>(calloc(p->block_count, sizeof(DemoBlock)));
  p->slots = new (std::nothrow) WorkerSlot[cfg->workers]();
  p->args = static_cast<WorkerArg *>(calloc(cfg->workers, sizeof(WorkerArg)));
  if (p->arena == nullptr || p->blocks == nullptr || p->slots == nullptr || p->args == nullptr)
    return ST_NOMEM;
  if (block_queue_init(&p->free_q, p->block_count) != ST_OK)
    return ST_NOMEM;
  if (block_queue_init(&p->raw_q, cfg->queue_cap) != ST_OK) {
    block_queue_destroy(&p->free_q);
    return ST_NOMEM;
  }
  if (block_queue_init(&p->out_q, cfg->queue_cap) != ST_OK) {
    block_queue_destroy(&p->free_q);
    block_queue_destroy(&p->raw_q);
    return ST_NOMEM;
  }
  uint8_t *at = p->arena;
  for (uint32_t i = 0; i < p->block_count; i++) {
    p->blocks[i].raw = at;
    p->blocks[i].packed = at + cfg->block_size;
    at += per_block;
    block_queue_push(&p->free_q, &p->blocks[i]);
  }
  for (uint32_t w = 0; w < cfg->workers; w++) {
    p->slots[w].current = -1;
    p->slots[w].scratch = scratch != 0 ? at + scratch * w : nullptr;
    p->args[w] = WorkerArg{p, w};
  }
  return ST_OK;
}

void pipeline_free(Pipeline *p, bool queues) {
  if (queues) {
    block_queue_destroy(&p->free_q);
    block_queue_destroy(&p->raw_q);
    block_queue_destroy(&p->out_q);
  }
  free(p->args);
  delete[] p->slots;
  free(p->blocks);
  free(p->arena);
}

void collect_worker_stats(const Pipeline *p, DemoStats *st) {
  for (uint32_t w = 0; w < p->cfg->workers; w++) {
    const WorkerSlot &s = p->slots[w];
    st->codec_ns += s.codec_ns;
    st->codec_blocks += s.codec_blocks;
    st->crc_ns += s.crc_ns;
    st->sha_ns += s.sha_ns;
    st->hashed_blocks += s.hashed_blocks;
    st->sha_blocks += s.sha_blocks;
  }
}

} // namespace

void demo_config_defaults(DemoConfig *cfg) {
  memset(cfg, 0, sizeof *cfg);
  cfg->tool = TOOL_AGENT;
  cfg->blocks = 49152; // 3 GiB of 64 KiB blocks
  cfg->block_size = 64 * 1024;
  cfg->seconds = 60;
  cfg->codec = CODEC_ZSTD;
  cfg->level = 3;
  cfg->level_min = 1;
  cfg->level_max = 9;
  int64_t cpus = online_cpu_count();
  cfg->workers = cpus > static_cast<int64_t>(DEMO_MAX_WORKERS) ? DEMO_MAX_WORKERS
                                                               : static_cast<uint32_t>(cpus);
  cfg->queue_cap = 32;
  cfg->duty_min = 10;
  cfg->duty_max = 90;
  cfg->publish_ms = 200;
}

StatusCode demo_config_check(const DemoConfig *cfg, const char **why) {
  const char *reason = nullptr;
  if (cfg->tool != TOOL_AGENT && cfg->tool != TOOL_RESTORE)
    reason = "the pipeline runs only agents and restores";
  else if (cfg->block_size < DEMO_MIN_BLOCK_SIZE || cfg->block_size > DEMO_MAX_BLOCK_SIZE)
    reason = "block size must be between 512 bytes and 16 MiB";
  else if (cfg->codec != CODEC_NONE && cfg->codec != CODEC_ZSTD && cfg->codec != CODEC_LZ4)
    reason = "unknown codec";
  else if (cfg->level_min > cfg->level_max || cfg->level < cfg->level_min ||
           cfg->level > cfg->level_max)
    reason = "zstd level must lie within level-min..level-max";
  else if (cfg->workers < 1 || cfg->workers > DEMO_MAX_WORKERS)
    reason = "workers must be between 1 and 64";
  else if (cfg->queue_cap < 1 || cfg->queue_cap > 4096)
    reason = "queue capacity must be between 1 and 4096";
  else if (cfg->duty_min < 1 || cfg->duty_min > cfg->duty_max || cfg->duty_max > 100)
    reason = "duty cycle must satisfy 1 <= duty-min <= duty-max <= 100";
  else if (cfg->publish_ms < 10 || cfg->publish_ms > 10000)
    reason = "update interval must be between 10 and 10000 ms";
  if (reason == nullptr)
    return ST_OK;
  if (why != nullptr)
    *why = reason;
  return ST_INVAL;
}

int demo_adapt_level(int level, int level_min, int level_max, uint32_t depth, uint32_t cap) {
  if (cap == 0)
    return level;
  uint64_t fill = static_cast<uint64_t>(depth) * 100 / cap;
  if (fill >= 75 && level > level_min)
    return level - 1;
  if (fill <= 25 && level < level_max)
    return level + 1;
  return level;
}

uint32_t demo_adapt_duty(uint32_t duty, uint32_t duty_min, uint32_t duty_max, uint32_t foreign) {
  if (foreign > 50)
    duty = duty > duty_min + 10 ? duty - 10 : duty_min;
  else if (foreign < 20)
    duty = duty + 10 < duty_max ? duty + 10 : duty_max;
  if (duty < duty_min)
    duty = duty_min;
  if (duty > duty_max)
    duty = duty_max;
  return duty;
}

StatusCode demo_run(const DemoConfig *cfg, BlockHandle *source, ProgressSegment *segment,
                    DemoStats *out) {
  if (cfg == nullptr || source == nullptr || out == nullptr ||
      demo_config_check(cfg, nullptr) != ST_OK)
    return ST_INVAL;
  Pipeline p{};
  p.cfg = cfg;
  p.source = source;
  StatusCode st = pipeline_alloc(&p);
  if (st != ST_OK) {
    pipeline_free(&p, false);
    return st;
  }
  p.level.store(cfg->level);
  p.duty.store(cfg->duty_max);
  p.workers_left.store(cfg->workers);
  p.start_ms = monotonic_ms();
  uint64_t t0 = now_ns();

  auto *r = static_cast<Reporter *>(malloc(sizeof(Reporter)));
  if (r == nullptr) {
    pipeline_free(&p, true);
    return ST_NOMEM;
  }
  reporter_init(&p, r, segment);
  if (cfg->background)
    bg_sample(&r->sampler, &r->load); // primes: the first figures come 500 ms later

  pthread_t reader{};
  bool reader_started = thread_start(&reader, reader_main, &p) == 0;
  pthread_t workers[DEMO_MAX_WORKERS];
  bool started[DEMO_MAX_WORKERS] = {};
  uint32_t running = 0;
  for (uint32_t w = 0; w < cfg->workers; w++) {
    started[w] = thread_start(&workers[w], worker_main, &p.args[w]) == 0;
    running += started[w] ? 1 : 0;
  }
  // Workers that never started are never going to leave; if the ones that
  // did have all left already, nobody else will close the output queue.
  const uint32_t never_started = cfg->workers - running;
  if (never_started > 0 && p.workers_left.fetch_sub(never_started) == never_started && running > 0)
    block_queue_close(&p.out_q);
  DemoStats stats{};
  if (!reader_started || running == 0) {
    // Closing every queue releases whichever threads did start.
    block_queue_close(&p.free_q);
    block_queue_close(&p.raw_q);
    block_queue_close(&p.out_q);
    st = ST_NOMEM;
  } else {
    output_stage(&p, r, &stats);
  }
  if (reader_started)
    thread_join(reader);
  for (uint32_t w = 0; w < cfg->workers; w++)
    if (started[w])
      thread_join(workers[w]);
  if (st == ST_OK)
    st = p.read_status;

  stats.run_ns = now_ns() - t0;
  stats.level_last = p.level.load();
  stats.pauses = p.pauses.load();
  collect_worker_stats(&p, &stats);
  free(r);
  pipeline_free(&p, true);
  if (st == ST_NOMEM)
    return st;
  *out = stats;
  return st;
}
