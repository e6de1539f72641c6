// The collection model: what one collection found, as plain records.  The
// collector builds a new model every tick; the outputs (HTTP exposition,
// textfile, JSON) only read finished models, never the segments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "progress/segment.h"

// The figures of a record that the outputs show, named as in
// ProgressSegment: a model keeps these rather than whole 1208-byte records
// (with a thousand jobs the records were most of a model, held twice while
// a collection replaces the last one).
struct JobFigures {
  uint8_t tool;
  uint8_t backup_type;
  uint8_t state;
  uint8_t bg_active;
  uint32_t child_pid;
  uint64_t blocks_total;
  uint64_t blocks_done;
  uint64_t written;
  uint64_t zero;
  uint64_t unchanged;
  uint64_t fs_free;
  uint64_t bytes_raw;
  uint64_t bytes_compressed;
  int64_t start_wall;
  int64_t eta_s;
  uint32_t q_raw_depth;
  uint32_t q_raw_cap;
  uint32_t q_out_depth;
  uint32_t q_out_cap;
  uint32_t workers_active;
  uint32_t workers_total;
  int32_t level;
  uint32_t bg_duty_pct;
  uint32_t bg_foreign_cpu;
  uint32_t bg_foreign_io;
  uint32_t bg_foreign_net;
  uint32_t bg_self_cpu;
  uint32_t bg_self_io;
  uint32_t bg_self_net;
};

// One job (segment) as the last collection saw it.
struct JobView {
  uint32_t pid;              // the pid its segment is named after: unique per model
  uint32_t orchestrator_pid; // the orchestrator whose current child it is; 0: none
  JobFigures record;         // from the last consistent snapshot
  std::string job_name;      // record texts as UTF-8 (each invalid byte U+FFFD)
  std::string path;
  std::string message;
  bool alive;                // its process exists (and is no zombie)
  uint64_t elapsed_ms;       // effective_elapsed_ms at collection time
  double last_change_time;   // wall seconds: the sequence counter last changed
  double last_progress_time; // wall seconds: blocks done or raw bytes last grew
};

// The last run of one job, keyed by (job_name, tool).
struct LastRun {
  std::string job_name;
  std::string tool;
  double start_time; // wall seconds, from the record: with the duration, which run this was
  double end_time;   // wall seconds
  bool success;      // DONE; a FAILED record or a vanished process is not
  double duration_s;
  uint64_t bytes_raw;
  double last_success_time; // wall seconds of the last successful run; 0: none known
};

// Why a segment in /dev/shm is not tracked.
enum LeftOutReason : uint8_t {
  LEFT_OUT_LIMIT,      // beyond the collector's limit of segments
  LEFT_OUT_UNREADABLE, // may not be opened by the exporter's user
  LEFT_OUT_UNTRUSTED,  // owned by a user that is not trusted
  LEFT_OUT_REASONS
};

// The exporter's own health.
struct CollectorHealth {
  double collected_at;                 // wall seconds of the end of the collection
  double duration_s;                   // how long it took
  uint64_t segments;                   // segments tracked after it
  uint64_t snapshot_failures;          // snapshots that failed since start (counter)
  uint64_t collections;                // collections since start (counter)
  uint64_t left_out[LEFT_OUT_REASONS]; // segments seen but not tracked, at this collection
  uint64_t runs_evicted;               // last runs dropped at their limit (counter)
  uint64_t scan_failures;              // collections that could not list /dev/shm (counter)
};

struct Model {
  CollectorHealth health;
  std::vector<JobView> jobs;      // sorted by pid
  std::vector<LastRun> last_runs; // sorted by (job_name, tool)
};

using ModelPtr = std::shared_ptr<const Model>;

// Wall-clock time in seconds with sub-second precision (CLOCK_REALTIME).
double exporter_wall_time();
