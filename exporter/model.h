// The collection model: what one collection found, as plain records.  The
// collector builds a new model every tick; the outputs (HTTP exposition,
// textfile, JSON) only read finished models, never the segments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "progress/segment.h"

// One job (segment) as the last collection saw it.
struct JobView {
  uint32_t pid;              // the pid its segment is named after: unique per model
  uint32_t orchestrator_pid; // the orchestrator whose current child it is; 0: none
  ProgressSegment record;    // the last consistent snapshot
  std::string job_name;      // record texts in printable form (printable_text)
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
  double end_time; // wall seconds
  bool success;    // DONE; a FAILED record or a vanished process is not
  double duration_s;
  uint64_t bytes_raw;
  double last_success_time; // wall seconds of the last successful run; 0: none known
};

// The exporter's own health.
struct CollectorHealth {
  double collected_at;        // wall seconds of the end of the collection
  double duration_s;          // how long it took
  uint64_t segments;          // segments tracked after it
  uint64_t snapshot_failures; // snapshots that failed since start (counter)
  uint64_t collections;       // collections since start (counter)
};

struct Model {
  CollectorHealth health;
  std::vector<JobView> jobs;      // sorted by pid
  std::vector<LastRun> last_runs; // sorted by (job_name, tool)
};

using ModelPtr = std::shared_ptr<const Model>;

// Wall-clock time in seconds with sub-second precision (CLOCK_REALTIME).
double exporter_wall_time();
