// Crafted progress segments for tests: a stand-in "tool" process that
// stays alive until told to exit, and its segment /dev/shm/zpr_progress.<pid>
// written byte for byte by the test.  Use only in test programs registered
// with PRIVATE_SHM, so no real segment is ever touched.
//
//   zt::FakeTool tool;                 // forks the stand-in process
//   ProgressSegment rec = zt::fake_record(tool.pid(), TOOL_AGENT);
//   rec.blocks_total = 100;
//   tool.publish(rec);                 // creates or rewrites the segment
//   ...
//   tool.finish(STATE_DONE);           // state DONE, name removed
//   tool.stop();                       // child exits and is reaped
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "progress/segment.h"

namespace zt {

// A well-formed record as a freshly created segment holds it: magic and
// version, pid, tool, state starting, eta_s -1, all worker slots -1,
// start_wall now and the given name; everything else zero.
ProgressSegment fake_record(uint32_t pid, uint8_t tool, const char *name = "job");

// Creates (or truncates) the object "/zpr_progress.<pid>" with `size` bytes
// (default a whole record) and copies min(size, len) bytes of `bytes` into it.
// Returns false when the object cannot be created.
bool fake_segment_create(uint32_t pid, const void *bytes, size_t len,
                         size_t size = PROGRESS_SEGMENT_SIZE);

// Writes a whole record into an existing segment under the sequence counter
// (odd while writing, then the next even value), as a writer would.
bool fake_segment_write(uint32_t pid, const ProgressSegment &record);

// Removes the name "/zpr_progress.<pid>" (existing mappings stay readable).
void fake_segment_remove(uint32_t pid);

// True while "/dev/shm/zpr_progress.<pid>" exists.
bool fake_segment_exists(uint32_t pid);

// A forked child that does nothing but wait, so that process_alive() holds
// for its pid until stop() (exit and reap) or zombie() (exit, not reaped).
// The child dies with the test process.  The destructor stops the child and
// removes its segment name.
class FakeTool {
public:
  // comm: the process name the child gives itself (prctl, at most 15 bytes),
  // or null to keep the test program's.
  explicit FakeTool(const char *comm = nullptr);
  ~FakeTool();
  FakeTool(const FakeTool &) = delete;
  FakeTool &operator=(const FakeTool &) = delete;

  uint32_t pid() const { return static_cast<uint32_t>(pid_); }

  // Creates the segment with this record on first use, afterwards rewrites
  // it under the sequence counter.  Returns false on failure.
  bool publish(const ProgressSegment &record);

  // The record as last published (for read-modify-publish steps).
  ProgressSegment &record() { return record_; }
  bool republish() { return publish(record_); }

  // Like a writer's finish: child_pid 0, the final state, then the name
  // removed.
  bool finish(uint8_t final_state);

  // Makes the child exit; stop() also reaps it, zombie() leaves it a zombie
  // until stop() is called.
  void stop();
  void zombie();

private:
  pid_t pid_ = -1;
  int control_fd_ = -1; // closing it tells the child to exit
  bool exited_ = false;
  bool published_ = false;
  ProgressSegment record_{};
};

// Starts `path` with argv (argv[0] included) in a new process with stdin
// from /dev/null and stdout/stderr into files; returns the pid or -1.
pid_t spawn_program(const std::string &path, const char *const *argv,
                    const std::string &out_path, const std::string &err_path);

// Waits for pid and returns its exit status, or -1 when it did not end
// normally within timeout_ms (it is then killed).
int wait_exit(pid_t pid, int timeout_ms = 30000);

// Runs a program to its end: exit status (or -1), standard output and
// standard error.
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
