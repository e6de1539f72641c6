// The progress segment: the 1208-byte record in POSIX shared memory
// "/zpr_progress.<pid>" through which a worker tool reports its progress.
// One writer (the owning process) under a sequence counter; any number of
// read-only readers.  Byte order and alignment are the host's (x86-64).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char PROGRESS_NAME_PREFIX[] = "zpr_progress.";
inline constexpr uint32_t PROGRESS_MAGIC = 0x50524F47; // "GORP" read little-endian
inline constexpr uint32_t PROGRESS_VERSION = 6;
// magic and version read together as one little-endian u64
inline constexpr uint64_t PROGRESS_MAGIC_VERSION = 0x0000000650524F47ull;
inline constexpr size_t PROGRESS_SEGMENT_SIZE = 1208;
inline constexpr int PROGRESS_MAX_WORKERS = 64;

// ToolKind: kinds above 1 are orchestrators, which run one child at a time.
enum ToolKind : uint8_t {
  TOOL_AGENT = 0,
  TOOL_RESTORE = 1,
  TOOL_PROXMOX = 2,
  TOOL_XENV = 3,
  TOOL_PVE_RST = 4,
  TOOL_XENV_RST = 5,
};

enum BackupType : uint8_t { BACKUP_FULL = 0, BACKUP_DIFF = 1, BACKUP_INC = 2 };

// States 3 and 4 are final.
enum RunState : uint8_t {
  STATE_STARTING = 0,
  STATE_RUNNING = 1,
  STATE_FINISHING = 2,
  STATE_DONE = 3,
  STATE_FAILED = 4,
};

// Fields hold raw bytes as another process wrote them: enumeration fields
// are plain bytes (any value may appear), and the character arrays are
// terminated only if the writer was well behaved.
struct ProgressSegment {
  uint32_t magic;
  uint32_t version;
  uint64_t seq;
  uint32_t pid;
  uint8_t tool;
  uint8_t backup_type;
  uint8_t state;
  uint8_t reserved0;
  char name[64];
  char path[256];
  uint64_t blocks_total;
  uint64_t blocks_done;
  uint64_t block_current;
  uint64_t written;
  uint64_t zero;
  uint64_t unchanged;
  uint64_t bytes_raw;
  uint64_t bytes_compressed;
  int64_t start_wall;
  int64_t start_mono_ms;
  uint64_t elapsed_ms;
  int64_t eta_s;
  char message[128];
  uint64_t fs_free;
  uint32_t q_raw_depth;
  uint32_t q_raw_cap;
  uint32_t q_out_depth;
  uint32_t q_out_cap;
  uint32_t workers_active;
  uint32_t workers_total;
  int64_t worker_block[PROGRESS_MAX_WORKERS];
  uint32_t cpu_flags;
  char sha_impl[16];
  uint8_t compression;
  uint8_t reserved1[3];
  int32_t level;
  int32_t level_min;
  int32_t level_max;
  uint8_t bg_active;
  uint8_t reserved2[3];
  uint32_t bg_duty_pct;
  uint32_t bg_duty_min;
  uint32_t bg_duty_max;
  uint32_t bg_foreign_cpu;
  uint32_t bg_foreign_io;
  uint32_t bg_foreign_net;
  uint32_t bg_self_cpu;
  uint32_t bg_self_io;
  uint32_t bg_self_net;
  uint8_t reserved3[4];
  int64_t eta_base_ms;
  uint32_t child_pid;
  uint8_t reserved4[4];
};

// The stored format: every offset is fixed, whatever the compiler.
static_assert(offsetof(ProgressSegment, magic) == 0);
static_assert(offsetof(ProgressSegment, version) == 4);
static_assert(offsetof(ProgressSegment, seq) == 8);
static_assert(offsetof(ProgressSegment, pid) == 16);
static_assert(offsetof(ProgressSegment, tool) == 20);
static_assert(offsetof(ProgressSegment, backup_type) == 21);
static_assert(offsetof(ProgressSegment, state) == 22);
static_assert(offsetof(ProgressSegment, reserved0) == 23);
static_assert(offsetof(ProgressSegment, name) == 24);
static_assert(offsetof(ProgressSegment, path) == 88);
static_assert(offsetof(ProgressSegment, blocks_total) == 344);
static_assert(offsetof(ProgressSegment, blocks_done) == 352);
static_assert(offsetof(ProgressSegment, block_current) == 360);
static_assert(offsetof(ProgressSegment, written) == 368);
static_assert(offsetof(ProgressSegment, zero) == 376);
static_assert(offsetof(ProgressSegment, unchanged) == 384);
static_assert(offsetof(ProgressSegment, bytes_raw) == 392);
static_assert(offsetof(ProgressSegment, bytes_compressed) == 400);
static_assert(offsetof(ProgressSegment, start_wall) == 408);
static_assert(offsetof(ProgressSegment, start_mono_ms) == 416);
static_assert(offsetof(ProgressSegment, elapsed_ms) == 424);
static_assert(offsetof(ProgressSegment, eta_s) == 432);
static_assert(offsetof(ProgressSegment, message) == 440);
static_assert(offsetof(ProgressSegment, fs_free) == 568);
static_assert(offsetof(ProgressSegment, q_raw_depth) == 576);
static_assert(offsetof(ProgressSegment, q_raw_cap) == 580);
static_assert(offsetof(ProgressSegment, q_out_depth) == 584);
static_assert(offsetof(ProgressSegment, q_out_cap) == 588);
static_assert(offsetof(ProgressSegment, workers_active) == 592);
static_assert(offsetof(ProgressSegment, workers_total) == 596);
static_assert(offsetof(ProgressSegment, worker_block) == 600);
static_assert(offsetof(ProgressSegment, cpu_flags) == 1112);
static_assert(offsetof(ProgressSegment, sha_impl) == 1116);
static_assert(offsetof(ProgressSegment, compression) == 1132);
static_assert(offsetof(ProgressSegment, reserved1) == 1133);
static_assert(offsetof(ProgressSegment, level) == 1136);
static_assert(offsetof(ProgressSegment, level_min) == 1140);
static_assert(offsetof(ProgressSegment, level_max) == 1144);
static_assert(offsetof(ProgressSegment, bg_active) == 1148);
static_assert(offsetof(ProgressSegment, reserved2) == 1149);
static_assert(offsetof(ProgressSegment, bg_duty_pct) == 1152);
static_assert(offsetof(ProgressSegment, bg_duty_min) == 1156);
static_assert(offsetof(ProgressSegment, bg_duty_max) == 1160);
static_assert(offsetof(ProgressSegment, bg_foreign_cpu) == 1164);
static_assert(offsetof(ProgressSegment, bg_foreign_io) == 1168);
static_assert(offsetof(ProgressSegment, bg_foreign_net) == 1172);
static_assert(offsetof(ProgressSegment, bg_self_cpu) == 1176);
static_assert(offsetof(ProgressSegment, bg_self_io) == 1180);
static_assert(offsetof(ProgressSegment, bg_self_net) == 1184);
static_assert(offsetof(ProgressSegment, reserved3) == 1188);
static_assert(offsetof(ProgressSegment, eta_base_ms) == 1192);
static_assert(offsetof(ProgressSegment, child_pid) == 1200);
static_assert(offsetof(ProgressSegment, reserved4) == 1204);
static_assert(sizeof(ProgressSegment) == PROGRESS_SEGMENT_SIZE);
static_assert(alignof(ProgressSegment) == 8);
static_assert(sizeof(ProgressSegment) % 8 == 0, "copied as whole 8-byte words");

// One row of the discovery scan, taken from one consistent snapshot.
struct ScanEntry {
  uint32_t pid; // the segment's pid field, not the number in its name
  uint8_t tool;
  uint8_t backup_type;
  uint8_t state;
  char name[64]; // always terminated
  uint32_t child_pid;
};
