#include "worker.h"

#include <cinttypes>
#include <cstdio>

#include "generated_source.h"
#include "platform/sysutil.h"
#include "progress/writer.h"
#include "runtime/log.h"

namespace {

constexpr int FINISH_LINGER_MS = 500;

// The number of blocks to handle: the whole source unless --blocks asks
// for fewer.  A source without a size (a pipe, a character device) needs
// --blocks.
StatusCode source_blocks(const DemoArgs *a, BlockHandle *h, uint64_t *out) {
  uint64_t bytes = 0;
  StatusCode st = block_reader_size(h, &bytes);
  if (st != ST_OK)
    return st;
  uint64_t blocks = (bytes + a->cfg.block_size - 1) / a->cfg.block_size;
  if (a->blocks_given && (a->blocks < blocks || blocks == 0))
    blocks = a->blocks;
  if (blocks == 0)
    return ST_INVAL;
  *out = blocks;
  return ST_OK;
}

double per_block_us(uint64_t ns, uint64_t blocks) {
  return blocks == 0 ? 0.0 : static_cast<double>(ns) / static_cast<double>(blocks) / 1000.0;
}

} // namespace

void demo_print_stats(const DemoConfig *cfg, const DemoStats *st) {
  double secs = static_cast<double>(st->run_ns) / 1e9;
  double mib = static_cast<double>(st->bytes_raw) / (1024.0 * 1024.0);
  printf("stats: %" PRIu64 " blocks of %u bytes in %.3f s: %.1f MiB/s, %u workers\n", st->blocks,
         cfg->block_size, secs, secs > 0 ? mib / secs : 0.0, cfg->workers);
  bool restore = cfg->tool == TOOL_RESTORE;
  printf("stats: %" PRIu64 " zero, %" PRIu64 " %s, %" PRIu64 " %s; compressed to %.1f %% of raw\n",
         st->zero, st->written, restore ? "restored" : "written", st->unchanged,
         restore ? "verify failures" : "unchanged",
         st->bytes_raw == 0 ? 0.0
                            : 100.0 * static_cast<double>(st->bytes_compressed) /
                                  static_cast<double>(st->bytes_raw));
  const char *codec_verb = cfg->tool == TOOL_RESTORE ? "decompress" : "compress";
  printf("stats: per non-zero block: %s %.1f us, crc32c %.1f us, sha256 %.1f us\n", codec_verb,
         per_block_us(st->codec_ns, st->codec_blocks), per_block_us(st->crc_ns, st->hashed_blocks),
         per_block_us(st->sha_ns, st->sha_blocks));
  double share = st->run_ns == 0
                     ? 0.0
                     : 100.0 * static_cast<double>(st->update_ns) / static_cast<double>(st->run_ns);
  printf("stats: progress_update: %" PRIu64 " calls, %.2f us each, %.5f %% of the run\n",
         st->updates, per_block_us(st->update_ns, st->updates), share);
  if (cfg->background)
    printf("stats: background: duty %u..%u %%, %" PRIu64 " pauses\n", cfg->duty_min, cfg->duty_max,
           st->pauses);
  fflush(stdout);
}

int demo_worker_main(const DemoArgs *args) {
  DemoArgs a = *args;
  char generated[64];
  const char *source_name = a.source;
  if (source_name == nullptr) {
    demo_generated_name(a.cfg.blocks * a.cfg.block_size, generated, sizeof generated);
    if (a.blocks_given)
      demo_generated_name(a.blocks * a.cfg.block_size, generated, sizeof generated);
    source_name = generated;
  }
  char default_name[64];
  snprintf(default_name, sizeof default_name, "demo-%s-1", demo_tool_name(a.tool));
  const char *name = a.name != nullptr ? a.name : default_name;

  // The segment comes first, as in a real tool: the monitor sees the job
  // while it is still opening its source.
  ProgressSegment *segment = nullptr;
  if (!a.no_progress) {
    StatusCode st = progress_create(&segment, a.tool, name, a.backup_type, 0, source_name);
    if (st != ST_OK)
      log_msg(LVL_WARN, "progress reporting unavailable (%s, status=%d); continuing without it",
              status_name(st), st);
  }
  progress_set_state(segment, STATE_STARTING, "opening source");

  BlockHandle source;
  StatusCode st = demo_source_open(&source, source_name);
  bool opened = st == ST_OK;
  if (opened)
    st = source_blocks(&a, &source, &a.cfg.blocks);
  if (st != ST_OK) {
    if (opened && st == ST_INVAL)
      log_msg(LVL_ERROR, "source '%s' is empty or has no size; give --blocks", source_name);
    else
      log_msg(LVL_ERROR, "cannot use source '%s': %s", source_name, status_name(st));
    progress_set_state(segment, STATE_FAILED, "cannot open source");
    block_reader_close(&source);
    if (segment != nullptr)
      progress_finish(0);
    return 1;
  }
  progress_set_info(segment, name, a.backup_type, a.cfg.blocks);
  if (a.cfg.background)
    lower_priority();

  DemoStats stats{};
  st = demo_run(&a.cfg, &source, segment, &stats);
  block_reader_close(&source);
  if (st != ST_OK) {
    log_msg(LVL_ERROR, "%s failed: %s", name, status_name(st));
    if (segment != nullptr) {
      progress_note(STATE_FAILED, "read error: %s", status_name(st));
      progress_finish(0);
    }
    return 1;
  }
  // A restore whose blocks do not verify has not restored the disk.
  const uint64_t verify_failures = a.tool == TOOL_RESTORE ? stats.unchanged : 0;
  if (verify_failures > 0)
    log_msg(LVL_ERROR, "%llu blocks failed verification",
            static_cast<unsigned long long>(verify_failures));
  if (segment != nullptr) {
    // A paced run is watched by people: its final figures stay up for a
    // moment in the finishing state before the segment goes.
    progress_set_state(segment, STATE_FINISHING, "syncing");
    if (a.cfg.seconds != 0)
      sleep_ms(FINISH_LINGER_MS);
    // The message stays with the final record a monitor keeps showing.
    double stored = stats.bytes_raw == 0 ? 0.0
                                         : 100.0 * static_cast<double>(stats.bytes_compressed) /
                                               static_cast<double>(stats.bytes_raw);
    if (verify_failures > 0)
      progress_note(STATE_FINISHING, "%llu of %llu blocks failed verification",
                    static_cast<unsigned long long>(verify_failures),
                    static_cast<unsigned long long>(stats.blocks));
    else
      progress_note(STATE_FINISHING, "%llu blocks, %.1f%% of raw stored",
                    static_cast<unsigned long long>(stats.blocks), stored);
    progress_finish(verify_failures == 0);
  }
  if (a.stats)
    demo_print_stats(&a.cfg, &stats);
  return verify_failures == 0 ? 0 : 1;
}
