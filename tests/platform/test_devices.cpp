#include "platform/test_devices.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace zt {

LoopDevice::LoopDevice(const std::string &image, unsigned sector_size) {
  int ctl = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (ctl < 0) {
    why = "loop devices are not available on this machine (no /dev/loop-control)";
    return;
  }
  int backing = open(image.c_str(), O_RDWR | O_CLOEXEC);
  // Other processes attach loop devices at the same time: a free number
  // may be taken before we configure it, so try again.
  for (int attempt = 0; attempt < 50 && backing >= 0 && dev.empty(); attempt++) {
    int n = ioctl(ctl, LOOP_CTL_GET_FREE);
    if (n < 0)
      break;
    std::string name = "/dev/loop" + std::to_string(n);
    int fd = open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
      continue;
    loop_config cfg{};
    cfg.fd = static_cast<__u32>(backing);
    cfg.block_size = sector_size;
    cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
      dev = name;
      fd_ = fd;
    } else {
      close(fd);
    }
  }
  if (backing >= 0)
    close(backing);
  close(ctl);
  if (dev.empty())
    why = "loop devices are not available on this machine (no free device could be attached)";
}

LoopDevice::~LoopDevice() {
  if (fd_ >= 0) {
    ioctl(fd_, LOOP_CLR_FD, 0);
    close(fd_);
  }
}

unsigned char pattern_byte(size_t i) { return static_cast<unsigned char>((i * 7 + i / 4096) % 251 + 1); }

void make_image(const std::string &path, size_t size) {
  std::vector<unsigned char> data(size);
  for (size_t i = 0; i < size; i++)
    data[i] = pattern_byte(i);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  size_t done = 0;
  while (fd >= 0 && done < size) {
    ssize_t n = write(fd, data.data() + done, size - done);
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
  if (fd >= 0)
    close(fd);
}

namespace {

std::optional<int> run_forked(const std::function<int()> &fn, bool drop) {
  int p[2];
  if (pipe(p) != 0)
    return std::nullopt;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    if (drop && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(3);
    int result = fn();
    ssize_t n = write(p[1], &result, sizeof(result));
    _exit(n == sizeof(result) ? 0 : 4);
  }
  close(p[1]);
  int result = 0;
  ssize_t n = pid > 0 ? read(p[0], &result, sizeof(result)) : -1;
  close(p[0]);
  int status = 0;
  if (pid > 0)
    waitpid(pid, &status, 0);
  if (pid <= 0 || n != sizeof(result) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return result;
}

} // namespace

std::optional<int> run_as_nobody(const std::function<int()> &fn) { return run_forked(fn, true); }
std::optional<int> run_in_child(const std::function<int()> &fn) { return run_forked(fn, false); }

int open_fd_count() {
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr)
    return -1;
  int n = 0;
  while (readdir(d) != nullptr)
    n++;
  closedir(d);
  return n - 3; // ".", ".." and the directory's own descriptor
}

} // namespace zt
