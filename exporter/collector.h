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
// means the run failed; so does a leftover record of a dead process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "exporter/last_runs.h"
#include "exporter/model.h"

// Beyond this many segments new ones are not tracked (each costs a mapping).
inline constexpr size_t COLLECTOR_MAX_JOBS = 10000;

struct TrackedJob {
  const ProgressSegment *mapping;
  ProgressSegment last; // the last consistent snapshot
  bool have_snapshot;
  bool recorded; // its end went into the last runs
  uint64_t last_seq;
  double last_change_time;
  double last_progress_time;
  bool name_present; // named in /dev/shm at this tick
  bool alive;
};

struct Collector {
  std::map<uint32_t, TrackedJob> jobs;
  LastRuns last_runs;
  bool last_runs_changed; // since the owner last saved them
  uint64_t snapshot_failures;
  uint64_t collections;
};

// One collection.  Returns the new model (never null).
ModelPtr collector_tick(Collector *c);

// Detaches every mapping.
void collector_release(Collector *c);
