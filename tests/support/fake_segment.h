// Crafted progress segments and programs under test as real processes, for
// test programs registered with PRIVATE_SHM.
#pragma once

#include <sys/types.h>

#include <vector>

#include "progress/segment.h"
#include "support/test_support.h"

namespace zt {

// A record as creation leaves it: eta_s and worker slots -1, start_wall now.
ProgressSegment fake_record(uint32_t pid, uint8_t tool, const char *name = "job");
// Creates (or truncates) "/zpr_progress.<pid>" of `size` bytes, `len` of them from `bytes`.
bool fake_segment_create(uint32_t pid, const void *bytes, size_t len,
                         size_t size = PROGRESS_SEGMENT_SIZE);
// Rewrites a whole record but its counter, under the counter as a writer does.
bool fake_segment_write(uint32_t pid, const ProgressSegment &record);
void fake_segment_remove(uint32_t pid);
bool fake_segment_exists(uint32_t pid);

// A forked stand-in until stop() (killed, reaped) or zombie() (not reaped);
// it dies with the test, and the destructor removes its segment.
class FakeTool {
public:
  explicit FakeTool(const char *comm = nullptr); // comm: its process name
  ~FakeTool();
  FakeTool(const FakeTool &) = delete;
  FakeTool &operator=(const FakeTool &) = delete;
  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  bool publish(const ProgressSegment &record);  // creates, later rewrites, the segment
  ProgressSegment &record() { return record_; } // as last published
  bool republish() { return publish(record_); }
  void stop();
  void zombie();

private:
  pid_t pid_ = -1;
  bool exited_ = false, published_ = false;
  ProgressSegment record_{};
};

// Starts argv (argv[0] the path): stdin /dev/null, stdout and stderr into files.
pid_t spawn_program(const std::vector<std::string> &argv, const std::string &out_path,
                    const std::string &err_path);
// The exit status, 128 + n after signal n, or -1 (and killed) when not ended in time.
int wait_exit(pid_t pid, int timeout_ms = 30000);

struct RunResult {
  int status; // as wait_exit gives it
  std::string out, err;
};
RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      int timeout_ms = 30000);

} // namespace zt
