// Every job on the host, as the table of `zpr_monitor --all` shows them:
// found by the discovery scan, each kept attached and copied once a frame,
// with its windowed rate, its end noticed and kept for a while, and put in
// the order the rows are drawn (an orchestrator's children right under it).
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "progress/rate_window.h"
#include "progress/segment.h"

// How often the shared-memory directory is looked at (and the processes
// of the jobs tested), how often it is listed for new jobs even when its
// modification time says nothing changed, and how long an ended job stays
// in the table.
inline constexpr int64_t JOB_SCAN_INTERVAL_MS = 1000;
inline constexpr int64_t JOB_FULL_SCAN_MS = 5000;
inline constexpr int64_t JOB_KEEP_ENDED_MS = 60000;

enum JobSort : uint8_t { JOB_SORT_NAME, JOB_SORT_RATE, JOB_SORT_ETA };

struct Job {
  uint32_t pid;
  const ProgressSegment *mapping; // attached until the job leaves the table
  ProgressSegment record;         // the last consistent copy
  bool have_record;
  bool in_scan;    // listed by the latest scan
  bool vanished;   // the process is gone without a final state
  bool seen_live;  // seen not ended since the table started
  bool cleared;    // hidden by the user; forgotten once its segment is gone
  uint32_t parent; // the orchestrator that ran it as its child, or 0
  uint32_t root;   // its orchestrator's index while that is in the table, else its own
  int64_t ended_ms;
  RateWindow window;
  RateFigures figures; // for a plain tool that has not ended
};

struct JobTable {
  Job *jobs;
  size_t count;
  size_t capacity;
  uint32_t *rows; // indices into jobs, in drawing order
  size_t row_count;
  int64_t next_scan_ms;
  int64_t next_full_scan_ms;
  struct timespec listed_mtime; // of the directory at the last listing
  JobSort sort;
  // The summary: jobs not ended, their total byte rate, and the ends seen.
  size_t running;
  double bytes_per_s;
  uint32_t finished;
  uint32_t failed;
  size_t denied; // segments the last listing could not open (another user's)
};

void job_table_init(JobTable *table);

// Detaches every job and frees the table's memory.
void job_table_free(JobTable *table);

// One frame: lists the segments when a scan is due, copies every job's
// record, works out rates and ends, drops the ended jobs whose time is up,
// and orders the rows.  Memory is taken only when the table grows.
void job_table_refresh(JobTable *table, int64_t now_ms);

// Hides every ended job now.
void job_table_clear_ended(JobTable *table);

// True once the job's record says DONE or FAILED, or its process is gone.
bool job_ended(const Job &job);

// True when the job ended badly: FAILED, or gone without a final state.
bool job_failed(const Job &job);

// The row of `pid` in drawing order, or row_count when it has none.
size_t job_table_row_of(const JobTable &table, uint32_t pid);
