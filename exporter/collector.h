// Discovery and collection: one tick scans /dev/shm for new segments,
// snapshots every tracked segment, notices changes of its sequence
// counter, records the end of every run into the last runs, and builds a
// new model.  All segment reading happens here, in the caller's thread;
// nothing of a tick ever waits on a writer (snapshots are bounded).
//
// A job stays tracked, with its mapping, until its final state has been
// read, even after its name vanished: a writer removes the name right after
// writing DONE or FAILED, and the mapping still shows that record.  A name
// that vanished while the record is not final, with the process gone,
// means the run failed; so does a leftover record of a dead process.  A
// new object behind a tracked name (the same process's next job, or a
// reused pid) ends the tracked run and is tracked in its place.
//
// A run's end time is what its record says (start time plus elapsed time;
// for a run that never reached a final state, the last change seen if
// later), never the moment the exporter happened to notice it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>

#include "exporter/last_runs.h"
#include "exporter/model.h"
#include "exporter/segment_source.h"

// Beyond this many segments new ones are not tracked: each costs a mapping
// and its share of every model and scrape.  With this many the exporter
// peaked at 49 MiB resident (bench/exporter_bench.sh), within the service
// unit's MemoryMax of 64 MiB.
inline constexpr size_t COLLECTOR_MAX_JOBS = 2048;

struct TrackedJob {
  const ProgressSegment *mapping;
  dev_t dev; // the object mapped
  ino_t ino;
  ProgressSegment last; // the last consistent snapshot
  bool have_snapshot;
  bool recorded;    // its end went into the last runs
  bool change_seen; // the record changed while tracked
  uint64_t last_seq;
  double last_change_time;
  double last_progress_time;
  bool name_present; // its object is named in /dev/shm at this tick
  bool alive;
};

// A segment seen but not tracked because of its owner or permissions,
// remembered so that it is logged once and not opened at every tick.
struct LeftOutSegment {
  ino_t ino;
  LeftOutReason reason;
};

struct Collector {
  std::map<uint32_t, TrackedJob> jobs;
  LastRuns last_runs;
  bool last_runs_changed; // since the owner last saved them
  uint64_t snapshot_failures;
  uint64_t collections;
  // Set before the first tick: further trusted owners (root and the
  // exporter's user are added then), and whether to follow /dev/shm
  // between collections.
  TrustedOwners trusted;
  bool watch;
  SegmentWatch watcher;
  std::map<uint32_t, LeftOutSegment> left_out; // by the pid in the name
  uint64_t left_out_count[LEFT_OUT_REASONS];   // at the last tick
  uint64_t runs_evicted;
  uint64_t scan_failures;
  bool warned_limit, warned_evicted, warned_scan;
};

// One collection.  Returns the new model (never null).
ModelPtr collector_tick(Collector *c);

// Stops the watcher and detaches every mapping.
void collector_release(Collector *c);
