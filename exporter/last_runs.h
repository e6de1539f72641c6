// Last runs: the result of the last run of every job seen, keyed by
// (job name, tool), and the state file that keeps them across restarts.
//
// The state file is one JSON document:
//   {"version": 1, "last_runs": [{"job_name": "vm-101", "tool": "agent",
//     "start_time": 1764999939, "end_time": 1765000000.5, "success": true,
//     "duration_seconds": 61.2, "bytes_raw": 3221225472,
//     "last_success_time": 1765000000.5}, ...]}
// written atomically (temporary file in the same directory, fsync, rename,
// fsync of the directory).  Times and durations lie in [0, 1e15); files
// written before start_time was kept lack it (0).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "exporter/model.h"
#include "runtime/status.h"

inline constexpr int LAST_RUNS_FILE_VERSION = 1;
// Hostile records could invent any number of job names; beyond this the
// oldest result is dropped.
inline constexpr size_t LAST_RUNS_MAX = 4096;
// Times and durations are kept below this (seconds), when recorded and when
// loaded alike: a record's absurd figure must not make the file unreadable.
inline constexpr double LAST_RUNS_VALUE_LIMIT = 1e15;

using LastRunKey = std::pair<std::string, std::string>;
using LastRuns = std::map<LastRunKey, LastRun>;

// Records one ended run (its last_success_time is ignored) with its times
// and duration brought into [0, LAST_RUNS_VALUE_LIMIT).  The job's last run
// is replaced only by a run that ended no earlier and is not the same run
// (same start time and duration); a success that ended before the last run
// still counts as the last success if it is newer.  The job's last success
// time is kept across failures.  Beyond LAST_RUNS_MAX jobs the result that
// ended first is dropped and *evicted counted up.  True when *runs changed.
bool last_runs_record(LastRuns *runs, LastRun run, uint64_t *evicted);

std::vector<LastRun> last_runs_list(const LastRuns &runs);

// Reads the state file into *out; damaged entries are skipped with one
// warning.  ST_NOTFOUND: no file; ST_CORRUPT: not a version-1 document;
// ST_IO: unreadable.  A file that exists but cannot be used is renamed to
// "<path>.bad" (said in why, with the reason), so the next save does not
// destroy it.  *out is written only on ST_OK.
StatusCode last_runs_load(const char *path, LastRuns *out, char *why, size_t why_size);

// Writes the state file atomically.
StatusCode last_runs_save(const char *path, const LastRuns &runs);
