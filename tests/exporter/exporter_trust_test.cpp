// zpr_exporter about jobs and their last runs: records by hand and from
// zpr_demo, the state file, the limits and the records' owners.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "progress/writer.h"
#include "support/background.h"
#include "support/fake_segment.h"

namespace {

using nlohmann::json;
const std::string EXPORTER = zt::build_dir() + "/exporter/zpr_exporter";
constexpr size_t npos = std::string::npos;

// zpr_exporter --textfile, one collection a second, until stopped.
struct Running : zt::Background {
  explicit Running(std::vector<std::string> more = {}) {
    more.insert(more.begin(), {EXPORTER, "--textfile", dir.path + "/m.prom", "--interval", "1"});
    start(more);
  }
  std::string text() { return std::string("\n").append(zt::read_file(dir.path + "/m.prom")); }
  // Waits until the textfile has the sample line `sample` ("series value").
  bool shows(const std::string &sample) {
    return zt::wait_until([&] { return text().find("\n" + sample + "\n") != npos; }, 60000);
  }
};

// The value of one series in an exposition, NaN when absent.
double value(const std::string &text, const std::string &series) {
  const size_t at = text.find("\n" + series + " ");
  return at == npos ? NAN : strtod(text.c_str() + at + series.size() + 2, nullptr);
}

std::string run_series(const char *metric, const std::string &job, const char *tool) {
  return std::string(metric) + "{job_name=\"" + job + "\",tool=\"" + tool + "\"}";
}

// A record left in /dev/shm by a process that no longer exists (pids this
// high are never given).
void leftover(uint32_t pid, const char *name, uint8_t state, int64_t start, uint64_t elapsed_ms) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, name);
  r.state = state;
  r.start_wall = start;
  r.elapsed_ms = elapsed_ms;
  ASSERT_TRUE(zt::fake_segment_create(pid, &r, sizeof r));
}

// zpr_exporter --once, as root or as nobody (uid and gid 65534, no other groups).
zt::RunResult once(std::vector<std::string> args, bool as_nobody = false) {
  args.insert(args.begin(), {EXPORTER, "--once"});
  if (as_nobody)
    args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
  return zt::run_program("/usr/bin/setpriv", args);
}

} // namespace

// One process runs a job, finishes it and starts the next under the same
// name (its segment's name): the exporter follows the second record and
// records both ends, the failure keeping the first run's success time.
TEST(ExporterTrust, NextJobOfOneProcessIsFollowed) {
  Running exporter;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(go[1]); // a test that ends early ends it
    for (uint64_t blocks : {100, 200}) {
      ProgressSegment *seg = nullptr;
      char c;
      if (progress_create(&seg, TOOL_AGENT, "disk-1", BACKUP_FULL, blocks, "/dev/d1") != ST_OK ||
          read(go[0], &c, 1) != 1)
        _exit(1);
      progress_finish(blocks == 100);
    }
    _exit(0);
  }
  const std::string series =
      "{pid=\"" + std::to_string(child) + "\",job_name=\"disk-1\",tool=\"agent\"}";
  ASSERT_TRUE(exporter.shows("zpr_job_blocks" + series + " 100"));
  const double first_done = static_cast<double>(time(nullptr));
  ASSERT_EQ(write(go[1], "1", 1), 1); // DONE, and the next job at once
  ASSERT_TRUE(exporter.shows("zpr_job_blocks" + series + " 200"));
  EXPECT_TRUE(exporter.shows(run_series("zpr_last_run_success", "disk-1", "agent") + " 1"));
  const double second_done = static_cast<double>(time(nullptr)) + 1;
  ASSERT_EQ(write(go[1], "0", 1), 1); // FAILED
  EXPECT_EQ(zt::wait_exit(child), 0);
  ASSERT_TRUE(exporter.shows(run_series("zpr_last_run_success", "disk-1", "agent") + " 0"));
  const std::string text = exporter.text();
  const double success =
      value(text, run_series("zpr_last_success_timestamp_seconds", "disk-1", "agent"));
  EXPECT_GE(success, first_done - 1); // start times are whole seconds
  EXPECT_LE(success,
            value(text, run_series("zpr_last_run_end_timestamp_seconds", "disk-1", "agent")));
  EXPECT_LE(success, second_done);
}

// Runs that fail within a second, between two collections, are all
// recorded.
TEST(ExporterTrust, RunsShorterThanACollectionAreRecorded) {
  Running exporter;
  ASSERT_TRUE(exporter.shows("zpr_exporter_segments 0")); // watching
  const std::string demo = zt::build_dir() + "/demo/zpr_demo";
  const char *names[] = {"r-1", "r-2", "r-3", "r-4", "r-5"};
  for (const char *name : names) {
    const std::vector<std::string> args{"--tool",    "restore", "--name",          name,
                                        "--blocks",  "300",     "--corrupt-every", "5",
                                        "--seconds", "0",       "--no-log",        "--no-syslog"};
    EXPECT_EQ(zt::run_program(demo, args).status, 1);
  }
  for (const char *name : names)
    EXPECT_TRUE(exporter.shows(run_series("zpr_last_run_success", name, "restore") + " 0"));
}

// Records left in /dev/shm: each run ends when its record says; an older run never replaces a
// newer one, nor after a restart; an absurd figure is bounded; a state file that cannot be
// written yet is written once it can, and keeps a run whose record is gone.
TEST(ExporterTrust, LeftoversAcrossRestartsAndStateFileRetries) {
  const int64_t t0 = 1700000000;
  leftover(4300001, "vm-1", STATE_DONE, t0 + 10, 1000);
  leftover(4300002, "vm-1", STATE_RUNNING, t0, 5000); // killed, before the success
  leftover(4300003, "done", STATE_DONE, t0, 2500);
  leftover(4300004, "absurd", STATE_FAILED, t0, 1ull << 62);
  zt::TempDir dir;
  const std::string state = dir.path + "/state.json";
  ASSERT_EQ(mkdir(state.c_str(), 0700), 0); // saves fail until it is gone
  const std::string unwritable = "cannot write state file " + state + ": ";
  {
    Running exporter({"--state-file", state});
    ASSERT_TRUE(zt::wait_until([&] {
      return exporter.err().find(unwritable + strerror(EISDIR)) != npos;
    })) << exporter.err();
    ASSERT_EQ(rmdir(state.c_str()), 0);
    ASSERT_TRUE(zt::wait_until([&] { return zt::read_file(state).find("absurd") != npos; }, 60000));
    EXPECT_EQ(exporter.stop(), 0);
  }
  zt::fake_segment_remove(4300003); // "done" is known from the state file alone
  // A restart that sees the other leftovers again.
  const zt::RunResult r = once({"--format", "json", "--state-file", state});
  EXPECT_EQ(r.err, "");
  json runs = json::parse(r.out)["last_runs"];
  ASSERT_EQ(runs.size(), 3u) << runs;
  EXPECT_NEAR(runs[0]["end_time"].get<double>(), time(nullptr), 600); // when it was seen
  runs[0].erase("end_time");
  EXPECT_EQ(runs[0], json::parse(R"({"job_name": "absurd", "tool": "agent", "success": false,
    "duration_seconds": 999999999999999.0, "bytes_raw": 0, "last_success_time": null})"));
  EXPECT_EQ(runs[1], json::parse(R"({"job_name": "done", "tool": "agent", "end_time": 1700000002.5,
    "success": true, "duration_seconds": 2.5, "bytes_raw": 0,
    "last_success_time": 1700000002.5})"));
  EXPECT_EQ(runs[2], json::parse(R"({"job_name": "vm-1", "tool": "agent", "end_time": 1700000011,
    "success": true, "duration_seconds": 1, "bytes_raw": 0, "last_success_time": 1700000011})"));
}

// A state file that cannot be used is kept aside before anything replaces
// it; damaged entries are skipped, the others kept.
TEST(ExporterTrust, DamagedStateFileIsKeptAsideOrSkippedEntryByEntry) {
  const std::string good = R"({"job_name": "ok", "tool": "agent", "end_time": 5, "success": true,
    "duration_seconds": 1, "bytes_raw": 7, "last_success_time": 5})";
  const struct {
    const char *name;
    std::string text; // "": a directory instead of a file
    bool as_nobody;   // the exporter's user, owning the directory but not the file (0600)
    std::string warning;
    size_t runs;
    bool kept_aside;
  } rows[] = {
      {"not JSON", "{\"version\": 1,", false, ": not a JSON object; kept as ", 0, true},
      {"a directory", "", false, ": read error: Is a directory; not a regular file, left", 0,
       false},
      {"another user's", "{}", true, ": Permission denied; kept as ", 0, true},
      {"damaged entries",
       "{\"version\": 1, \"last_runs\": [" + good +
           R"(, {"job_name": 7}, {"job_name": "a", "tool": "agent", "end_time": -1,
       "success": true, "duration_seconds": 1, "bytes_raw": 0, "last_success_time": 0},
       {"job_name": "b", "tool": "agent", "end_time": 1, "success": true,
       "duration_seconds": 1e15, "bytes_raw": 0, "last_success_time": 0}]})",
       false, ": 3 damaged entries skipped (the first: entry 2)\n", 1, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    zt::TempDir dir;
    const std::string state = dir.path + "/state.json";
    if (row.text.empty())
      ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    else
      zt::write_file(state, row.text);
    ASSERT_EQ(chmod(state.c_str(), 0600), 0);
    ASSERT_EQ(chown(dir.path.c_str(), row.as_nobody ? 65534 : 0, 0), 0);
    const zt::RunResult r = once({"--format", "json", "--state-file", state}, row.as_nobody);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("WARN  state file " + state + row.warning), npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(json::parse(r.out)["last_runs"].size(), row.runs);
    EXPECT_EQ(access((state + ".bad").c_str(), F_OK) == 0, row.kept_aside);
    if (row.kept_aside && !row.text.empty()) {
      EXPECT_EQ(zt::read_file(state + ".bad"), row.text);
    }
  }
}

// Beyond its limits the exporter leaves segments out and drops the last
// run that ended first, counting both and warning once about each.
TEST(ExporterTrust, LimitsAreCountedAndWarnedOnce) {
  zt::TempDir dir;
  const std::string state = dir.path + "/state.json";
  std::string list;
  for (int i = 1000; i < 1000 + 4096; i++) // the last runs' documented limit
    list += std::string(i > 1000 ? ", " : "") + R"({"job_name": "old-)" + std::to_string(i) +
            R"(", "tool": "agent", "end_time": )" + std::to_string(i) +
            R"(, "success": true, "duration_seconds": 1, "bytes_raw": 0, "last_success_time": 0})";
  zt::write_file(state, "{\"version\": 1, \"last_runs\": [" + list + "]}");
  for (uint32_t i = 0; i <= 2048; i++) // one more than the segments' documented limit
    leftover(4300000 + i, "new", STATE_FAILED, time(nullptr) - 10, 1000);
  const std::string saved = zt::read_file(state);
  const zt::RunResult r = once({"--format", "json", "--state-file", state});
  EXPECT_EQ(zt::read_file(state), saved); // --once saves nothing
  EXPECT_NE(r.err.find("WARN  more than 2048 segments: the rest are left out\n"), npos) << r.err;
  EXPECT_NE(r.err.find("WARN  more than 4096 jobs seen: the oldest last runs are dropped\n"), npos);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
  const json doc = json::parse(r.out);
  EXPECT_EQ(doc["exporter"]["segments_left_out"]["limit"], 1);
  EXPECT_EQ(doc["exporter"]["last_runs_evicted"], 1); // one name for all: one run more
  ASSERT_EQ(doc["last_runs"].size(), 4096u);
  EXPECT_EQ(doc["last_runs"][0]["job_name"], "new");
  EXPECT_EQ(doc["last_runs"][1]["job_name"], "old-1001"); // sorted by name: old-1000 went
}

// Output that cannot be written is an error, not a success.
TEST(ExporterTrust, LostOutputIsAnError) {
  for (const char *args : {"--once", "--help", "--version"}) {
    SCOPED_TRACE(args);
    const zt::RunResult r =
        zt::run_program("/bin/sh", {"-c", EXPORTER + " " + args + " > /dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: cannot write to standard output: No space left on device\n");
  }
}

// Only records of root, of the exporter's own user and of users it is told
// to trust count; what it cannot open or list is said and counted.
TEST(ExporterTrust, RecordsOfUntrustedOrUnreadableOwnersAreLeftOutAndCounted) {
  const struct {
    const char *name;
    uid_t owner;
    mode_t mode;
    bool as_nobody;
    std::vector<std::string> args;
    const char *left_out; // the reason counted (and warned about), or none
  } rows[] = {
      {"another user's", 65534, 0644, false, {}, "untrusted"},
      {"a user trusted by name", 65534, 0644, false, {"--trust-user", "bin,nobody"}, nullptr},
      {"root's, read unprivileged", 0, 0600, true, {}, "unreadable"},
      {"the exporter's own user's", 65534, 0600, true, {}, nullptr},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    leftover(4300001, "vm-101", STATE_DONE, time(nullptr), 1000);
    const std::string path = "/dev/shm/zpr_progress.4300001";
    ASSERT_EQ(chown(path.c_str(), row.owner, row.owner), 0);
    ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
    const zt::RunResult r = once(row.args, row.as_nobody);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("job_name=\"vm-101\"") != npos, row.left_out == nullptr);
    for (const char *reason : {"untrusted", "unreadable"})
      EXPECT_EQ(value("\n" + r.out,
                      "zpr_exporter_segments_left_out{reason=\"" + std::string(reason) + "\"}"),
                row.left_out != nullptr && strcmp(reason, row.left_out) == 0 ? 1 : 0);
    const std::string warning =
        row.left_out == nullptr ? ""
        : row.as_nobody         ? " left out: permission denied\n"
                        : " left out: its owner (uid 65534) is not trusted (--trust-user)\n";
    EXPECT_EQ(r.err.substr(std::min(r.err.find("/dev/shm/"), r.err.size())),
              warning.empty() ? "" : path + warning);
    zt::fake_segment_remove(4300001);
  }
  ASSERT_EQ(chmod("/dev/shm", 0711), 0); // searchable, not listable
  const zt::RunResult r = once({}, true);
  ASSERT_EQ(chmod("/dev/shm", 01777), 0);
  EXPECT_NE(r.err.find("WARN  cannot list /dev/shm: Permission denied"), npos) << r.err;
  EXPECT_EQ(value("\n" + r.out, "zpr_exporter_scan_failures_total"), 1);
}

// Block-work series only for the tools doing it, background ones only while throttled, the
// ETA only while known; a stalled job keeps its last progress time; a pid reused after the
// job died (a process younger than the record) does not bring the job back.
TEST(ExporterTrust, SeriesOfEachKindOfJob) {
  zt::FakeTool agent, background, orchestrator;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  ProgressSegment a = zt::fake_record(agent.pid(), TOOL_AGENT, "a");
  a.start_mono_ms = now.tv_sec * 1000 + now.tv_nsec / 1000000 + 1000; // after the process
  ASSERT_TRUE(agent.publish(a));
  ProgressSegment b = zt::fake_record(background.pid(), TOOL_RESTORE, "b");
  b.bg_active = 1;
  b.eta_s = 5;
  ASSERT_TRUE(background.publish(b));
  ProgressSegment o = zt::fake_record(orchestrator.pid(), TOOL_PROXMOX, "o");
  o.eta_s = 9;
  o.start_mono_ms = 1; // long before its process: the pid was reused
  ASSERT_TRUE(orchestrator.publish(o));
  Running exporter;
  std::string text;
  ASSERT_TRUE(zt::wait_until([&] {
    text = exporter.text();
    return value(text, "zpr_exporter_collections_total") >= 4;
  }));
  const std::vector<std::string> block_work{"zpr_job_workers", "zpr_job_workers_busy",
                                            "zpr_job_compression_level", "zpr_job_queue_depth",
                                            "zpr_job_queue_capacity"};
  const std::vector<std::string> throttled{"zpr_job_background_duty_ratio",
                                           "zpr_job_background_load_ratio"};
  const struct {
    const char *name;
    uint32_t pid;
    std::vector<std::string> present, absent;
  } rows[] = {
      {"agent, ETA unknown",
       agent.pid(),
       block_work,
       {"zpr_job_eta_seconds", throttled[0], throttled[1]}},
      {"restore in background", background.pid(), throttled, {}},
      {"orchestrator", orchestrator.pid(), {"zpr_job_eta_seconds"}, block_work},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const std::string labels = "{pid=\"" + std::to_string(row.pid) + "\",";
    for (const std::string &m : row.present)
      EXPECT_NE(text.find("\n" + m + labels), npos) << m;
    for (const std::string &m : row.absent)
      EXPECT_EQ(text.find("\n" + m + labels), npos) << m;
  }
  const std::string agent_labels =
      "{pid=\"" + std::to_string(agent.pid()) + "\",job_name=\"a\",tool=\"agent\"}";
  EXPECT_EQ(value(text, "zpr_job_process_alive" + agent_labels), 1);
  EXPECT_EQ(value(text, "zpr_job_process_alive{pid=\"" + std::to_string(orchestrator.pid()) +
                            "\",job_name=\"o\",tool=\"proxmox\"}"),
            0);
  const double progress = value(text, "zpr_job_last_progress_timestamp_seconds" + agent_labels);
  EXPECT_LT(progress, value(text, "zpr_exporter_last_collection_timestamp_seconds") - 1);
}
