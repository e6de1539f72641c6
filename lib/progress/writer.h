// Writer side of the progress segment, for the worker tools.  A process has
// at most one segment, its "current" segment; operations on it must be
// serialised by the tool (one reporting thread).  SIGINT, SIGTERM and
// SIGHUP remove the segment's name before the signal takes its course.
#pragma once

#include <cstdint>

#include "progress/segment.h"
#include "runtime/status.h"

// What a tool hands to progress_update; the writer only reads it.
struct ProgressSample {
  uint64_t blocks_done;
  uint64_t block_current;
  uint64_t written;
  uint64_t zero;
  uint64_t unchanged;
  uint64_t bytes_raw;
  uint64_t bytes_compressed;
  uint64_t fs_free;
  uint32_t q_raw_depth;
  uint32_t q_raw_cap;
  uint32_t q_out_depth;
  uint32_t q_out_cap;
  uint32_t workers_active;
  uint32_t workers_total;
  const int64_t *worker_blocks; // may be null: worker_block keeps its values
  uint32_t worker_count;
  uint8_t compression; // CodecId
  int32_t level;
  int32_t level_min;
  int32_t level_max;
  uint8_t bg_active;
  uint32_t bg_duty_pct;
  uint32_t bg_duty_min;
  uint32_t bg_duty_max;
  uint32_t bg_foreign_cpu;
  uint32_t bg_foreign_io;
  uint32_t bg_foreign_net;
  uint32_t bg_self_cpu;
  uint32_t bg_self_io;
  uint32_t bg_self_net;
};

// Creates "/zpr_progress.<getpid()>" (mode 0600, pages reserved), fills
// it, installs the signal handlers (a signal the tool ignores stays
// ignored) and makes it current; *out is emptied first and holds the
// segment on success.  Any failure (the name exists, /dev/shm full, ...) is
// ST_IO with nothing left behind and the current segment unchanged.
StatusCode progress_create(ProgressSegment **out, int tool, const char *name, int backup_type,
                           uint64_t blocks_total, const char *path);

// progress_create unless "--no-progress" is among the arguments; a failure
// becomes one warning through the console logger and the tool goes on.
void progress_create_from_args(int tool, const char *name, int argc, char **argv);

// Publishes a sample: state running, counters, worker table (when the
// sample has one), elapsed time and ETA.  The first update also starts the
// ETA's time base and empties the message.  Allocates nothing; one clock
// read.  Nothing happens without segment or sample.
void progress_update(ProgressSegment *segment, const ProgressSample *sample);

// Sets the state and, when given, the message (cut at 127 characters);
// refreshes the elapsed time.
void progress_set_state(ProgressSegment *segment, int state, const char *message);

// Sets the job name (when given, cut at 63), type and block total.
void progress_set_info(ProgressSegment *segment, const char *name, int backup_type,
                       uint64_t blocks_total);

// On the current segment (nothing happens without one, and progress_note
// then formats nothing): state plus formatted message; the current child's
// pid (0 for none); the final state (DONE when ok is non-zero, else FAILED)
// followed by progress_destroy.
void progress_note(int state, const char *format, ...) __attribute__((format(printf, 2, 3)));
void progress_set_child(uint32_t pid);
void progress_finish(int ok);

// Restores the signal actions, unmaps and removes the segment, empties *ref.
void progress_destroy(ProgressSegment **ref);

// The segment made by the last successful create and not yet finished or
// destroyed; null otherwise (also in a forked child of its owner).
ProgressSegment *progress_current();

// The handler installed for SIGINT, SIGTERM and SIGHUP while a segment
// exists: removes the segment's name, calls the previous plain handler, then
// lets the signal end the process with the default action.
void progress_on_signal(int sig);
