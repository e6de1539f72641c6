// Real objects for the platform tests: loop block devices, forked children
// without root, and a count of the process's open descriptors.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zt {

// A loop device attached to an image file for the guard's lifetime.  It is
// configured to detach itself when the last descriptor goes, and the guard
// holds one, so even a crashing test leaves no device behind.
struct LoopDevice {
  std::string dev; // "/dev/loopN"; empty when no loop device could be had
  std::string why; // reason when dev is empty

  // sector_size 0 keeps the default (512).
  explicit LoopDevice(const std::string &image, unsigned sector_size = 0);
  ~LoopDevice();
  LoopDevice(const LoopDevice &) = delete;
  LoopDevice &operator=(const LoopDevice &) = delete;

private:
  int fd_ = -1;
};

// Creates path as a file of size bytes whose content is pattern_byte(i).
void make_image(const std::string &path, size_t size);
unsigned char pattern_byte(size_t i);

// Runs fn in a forked child that has given up root for nobody (65534) and
// returns its result, or nothing if the child could not drop privileges or
// did not finish normally.
std::optional<int> run_as_nobody(const std::function<int()> &fn);

// Runs fn in a forked child and returns its result, or nothing if the
// child died.
std::optional<int> run_in_child(const std::function<int()> &fn);

// Entries of /proc/self/fd.
int open_fd_count();

} // namespace zt
