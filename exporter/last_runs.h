// Last runs: the result of the last run of every job seen, keyed by
// (job name, tool), and the state file that keeps them across restarts.
//
// The state file is one JSON document:
//   {"version": 1, "last_runs": [{"job_name": "vm-101", "tool": "agent",
//     "end_time": 1765000000.5, "success": true, "duration_seconds": 61.2,
//     "bytes_raw": 3221225472, "last_success_time": 1765000000.5}, ...]}
// written atomically (temporary file in the same directory, fsync, rename,
// fsync of the directory).
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

using LastRunKey = std::pair<std::string, std::string>;
using LastRuns = std::map<LastRunKey, LastRun>;

// Records one ended run; keeps the job's last success time across failures.
void last_runs_record(LastRuns *runs, const std::string &job_name, const std::string &tool,
                      double end_time, bool success, double duration_s, uint64_t bytes_raw);

std::vector<LastRun> last_runs_list(const LastRuns &runs);

// Reads the state file into *out.  ST_NOTFOUND: no file; ST_CORRUPT: not
// a version-1 document of well-formed entries (reason in why); ST_IO:
// unreadable.  *out is written only on ST_OK.
StatusCode last_runs_load(const char *path, LastRuns *out, char *why, size_t why_size);

// Writes the state file atomically.
StatusCode last_runs_save(const char *path, const LastRuns &runs);
