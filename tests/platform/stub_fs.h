// A one-file FUSE file system served by a thread of a forked test child, for
// what local file systems never do: reads that come back short in mid-file
// and writes that a signal interrupts part-way.  Everything runs in a
// private mount namespace, so the mount ends with the child.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zt {

struct StubFs {
  // Set up before the body runs.
  uint32_t read_piece = 0;             // a READ returns at most this many bytes (0: all)
  std::vector<int> interrupted_writes; // 1-based WRITE requests to interrupt

  // What the file system saw; lock mu to read from the body.
  std::mutex mu;
  std::vector<unsigned char> content;  // the file "data"
  std::vector<uint64_t> write_offsets; // every WRITE request, in order
  int reads = 0;                       // READ requests
  int interrupts = 0;                  // FUSE_INTERRUPT requests
};

// The body's result when the stub could not be mounted here.
inline constexpr int STUB_FS_UNAVAILABLE = 77;

// Number of SIGUSR1 deliveries in the child (handler without SA_RESTART).
int stub_fs_signals();

// Runs body(path of "data", fs) in a forked child where the stub is mounted
// and "data" holds content.  Returns the body's result (0 for success by
// convention), STUB_FS_UNAVAILABLE, or nothing if the child died.
std::optional<int> with_stub_fs(const std::string &content, uint32_t read_piece,
                                std::vector<int> interrupted_writes,
                                const std::function<int(const std::string &, StubFs &)> &body);

} // namespace zt
