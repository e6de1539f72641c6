// Crafted progress segments and programs under test as real processes.
// Use only in test programs registered with PRIVATE_SHM.
//
//   zt::FakeTool tool;                 // a forked stand-in process
//   ProgressSegment rec = zt::fake_record(tool.pid(), TOOL_AGENT);
//   tool.publish(rec);                 // creates or rewrites its segment
//   tool.stop();                       // the stand-in exits and is reaped
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "progress/segment.h"
#include "support/test_support.h"

namespace zt {

// A record as creation leaves it: magic, version, pid, tool, name, state
// starting, eta_s -1, every worker slot -1, start_wall now; the rest zero.
ProgressSegment fake_record(uint32_t pid, uint8_t tool, const char *name = "job");

// Creates (or truncates) "/zpr_progress.<pid>" with `size` bytes and
// copies min(size, len) bytes of `bytes` into it.
bool fake_segment_create(uint32_t pid, const void *bytes, size_t len,
                         size_t size = PROGRESS_SEGMENT_SIZE);
// Rewrites a whole record of an existing segment under the sequence
// counter, as a writer does.
bool fake_segment_write(uint32_t pid, const ProgressSegment &record);
void fake_segment_remove(uint32_t pid);
bool fake_segment_exists(uint32_t pid);

// A forked child that only waits (alive for process_alive) until stop()
// (exit and reap) or zombie() (exit, not reaped).  It dies with the test;
// the destructor stops it and removes its segment name.
class FakeTool {
public:
  explicit FakeTool(const char *comm = nullptr); // comm: its process name
  ~FakeTool();
  FakeTool(const FakeTool &) = delete;
  FakeTool &operator=(const FakeTool &) = delete;
  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  // Creates the segment on first use, then rewrites it under the counter.
  bool publish(const ProgressSegment &record);
  ProgressSegment &record() { return record_; } // as last published
  bool republish() { return publish(record_); }
  void stop();
  void zombie();

private:
  pid_t pid_ = -1;
  int control_fd_ = -1; // closing it tells the child to exit
  bool exited_ = false;
  bool published_ = false;
  ProgressSegment record_{};
};

// Starts argv (argv[0] is the path) with stdin from /dev/null and
// stdout/stderr into files; returns the pid or -1.
pid_t spawn_program(const std::string &path, const char *const *argv,
                    const std::string &out_path, const std::string &err_path);
pid_t spawn_program(const std::vector<std::string> &argv, const std::string &out_path,
                    const std::string &err_path);

// Waits for pid: its exit status, 128 + n after signal n, or -1 when it
// did not end within timeout_ms (it is then killed).
int wait_exit(pid_t pid, int timeout_ms = 30000);

// Runs a program to its end: status as wait_exit gives it, and its output.
struct RunResult {
  int status;
  std::string out;
  std::string err;
};
RunResult run_program(const std::string &path, std::initializer_list<const char *> args,
                      int timeout_ms = 30000);
RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      int timeout_ms = 30000);

} // namespace zt
