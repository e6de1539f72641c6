// The demo worker's pipeline: the real per-block work of a backup (or of a
// restore) without storing anything.
//
//   reader thread --raw queue--> N worker threads --out queue--> output stage
//        ^                                                          |
//        +------------------------- free pool <---------------------+
//
// Agent: the reader reads blocks; a worker detects zero blocks and, for the
// others, compresses (zstd at an adaptive level, lz4 or none) and computes
// CRC32C and SHA-256.  Restore: the reader produces what a backup would
// have stored (compressed data and both checksums); a worker decompresses
// and verifies.  The output stage runs on the calling thread, counts, and is
// the only one that publishes progress.  All buffers are allocated before
// the threads start; nothing is allocated per block.
#pragma once

#include <cstdint>

#include "digest/codec.h"
#include "platform/block.h"
#include "progress/segment.h"
#include "runtime/status.h"

inline constexpr uint32_t DEMO_MAX_WORKERS = 64;
inline constexpr uint32_t DEMO_MIN_BLOCK_SIZE = 512;
inline constexpr uint32_t DEMO_MAX_BLOCK_SIZE = 16u << 20;

struct DemoConfig {
  int tool;            // TOOL_AGENT or TOOL_RESTORE
  int backup_type;     // agent: BackupType; DIFF and INC skip unchanged blocks
  uint64_t blocks;     // blocks to handle, from block 0
  uint32_t block_size; // DEMO_MIN_BLOCK_SIZE .. DEMO_MAX_BLOCK_SIZE
  uint32_t seconds;    // pace: spread the run over this time; 0 = no pace
  CodecId codec;
  int level;     // zstd level to start with (restore: the stored data's level)
  int level_min; // the adaptive range; min == max is a fixed level
  int level_max;
  uint32_t workers;       // 1 .. DEMO_MAX_WORKERS
  uint32_t queue_cap;     // capacity of the raw and of the out queue
  int background;         // duty-cycle throttling driven by the load sampler
  uint32_t duty_min;      // percent, 1 .. duty_max
  uint32_t duty_max;      // percent, .. 100
  uint64_t corrupt_every; // restore: damage every n-th stored block; 0 = none
  uint32_t publish_ms;    // interval between progress updates
};

// What a run did, and where its time went (for --stats and the benchmark).
struct DemoStats {
  uint64_t blocks;
  uint64_t written;   // agent: non-zero blocks; restore: restored and verified
  uint64_t zero;      // zero blocks (restore: skipped)
  uint64_t unchanged; // agent: unchanged since the last backup; restore: verify failures
  uint64_t bytes_raw;
  uint64_t bytes_compressed;
  uint64_t run_ns;
  uint64_t codec_ns; // compression (agent) or decompression (restore) in the workers
  uint64_t codec_blocks;
  uint64_t crc_ns;
  uint64_t sha_ns;
  uint64_t hashed_blocks; // blocks given CRC32C (and SHA-256)
  uint64_t sha_blocks;    // blocks given SHA-256, unchanged ones included
  uint64_t update_ns;     // time spent in progress_update
  uint64_t updates;
  int level_last;
  uint64_t pauses; // background mode: waits for the next duty cycle, all threads
};

// The defaults of zpr_demo: agent, 49152 blocks of 64 KiB (3 GiB), zstd 1..9 starting at 3,
// one worker per processor, queues of 32, duty 10..90 %, 200 ms updates.
void demo_config_defaults(DemoConfig *cfg);

// ST_INVAL with a reason in *why when cfg is out of range, else ST_OK.
StatusCode demo_config_check(const DemoConfig *cfg, const char **why);

// Runs the pipeline over blocks [0, cfg->blocks) of an opened source and
// publishes through segment (may be null: no reporting).  Returns ST_OK,
// ST_NOMEM, or the source's read error (the blocks before it are counted).
// *out is written in every case except ST_INVAL and ST_NOMEM.
StatusCode demo_run(const DemoConfig *cfg, BlockHandle *source, ProgressSegment *segment,
                    DemoStats *out);

// Moves a zstd level one step with the raw queue's fill: down when the
// workers fall behind (fill at or above 75 %), up when they wait for work
// (fill at or below 25 %), within [level_min, level_max].
int demo_adapt_level(int level, int level_min, int level_max, uint32_t depth, uint32_t cap);

// Moves the duty cycle with the other processes' load (the highest of their
// CPU, storage and network figures): 10 points down above 50 %, 10 up
// below 20 %, within [duty_min, duty_max].
uint32_t demo_adapt_duty(uint32_t duty, uint32_t duty_min, uint32_t duty_max, uint32_t foreign);
