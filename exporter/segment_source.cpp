#include "exporter/segment_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "progress/reader.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a new name is retried until its writer has published the record,
// and how often.
constexpr auto WATCH_RETRY_FOR = std::chrono::seconds(1);
constexpr int WATCH_RETRY_MS = 2;

bool is_trusted(const TrustedOwners &t, uid_t uid) {
  return std::find(t.uids.begin(), t.uids.end(), uid) != t.uids.end();
}

struct Waiting {
  uint32_t pid;
  Clock::time_point until;
};

// Reads the pending events into *waiting.  An overflow loses names; the next
// collection's scan finds them.
void read_events(int fd, std::vector<Waiting> *waiting) {
  alignas(inotify_event) char buf[8192];
  const ssize_t n = read(fd, buf, sizeof buf);
  for (ssize_t at = 0; n > 0 && at < n;) {
    const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
    const uint32_t pid = e->len > 0 ? segment_name_pid(e->name) : 0;
    if (pid != 0)
      waiting->push_back({pid, Clock::now() + WATCH_RETRY_FOR});
    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
  }
}

void watch_loop(SegmentWatch *w) {
  std::vector<Waiting> waiting;
  for (;;) {
    pollfd fds[2] = {{w->inotify_fd, POLLIN, 0}, {w->stop_fd, POLLIN, 0}};
    if (poll(fds, 2, waiting.empty() ? -1 : WATCH_RETRY_MS) < 0 && errno != EINTR)
      return;
    if (fds[1].revents != 0)
      return;
    if ((fds[0].revents & POLLIN) != 0)
      read_events(w->inotify_fd, &waiting);
    const auto now = Clock::now();
    auto settled = [&](const Waiting &name) {
      AttachedSegment a{};
      const AttachResult r = segment_attach(name.pid, *w->trusted, &a);
      if (r == ATTACH_OK) {
        std::lock_guard<std::mutex> guard(w->lock);
        w->attached.push_back(a);
      }
      return r != ATTACH_NOT_READY || now >= name.until;
    };
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(), settled), waiting.end());
  }
}

} // namespace

uint32_t segment_name_pid(const char *name) {
  const size_t prefix = strlen(PROGRESS_NAME_PREFIX);
  if (strncmp(name, PROGRESS_NAME_PREFIX, prefix) != 0)
    return 0;
  const char *digits = name + prefix;
  char *end = nullptr;
  errno = 0;
  const unsigned long pid = strtoul(digits, &end, 10);
  return digits[0] >= '0' && digits[0] <= '9' && *end == '\0' && errno == 0 && pid <= UINT32_MAX
             ? static_cast<uint32_t>(pid)
             : 0;
}

AttachResult segment_attach(uint32_t pid, const TrustedOwners &trusted, AttachedSegment *out) {
  char path[64];
  snprintf(path, sizeof path, "/dev/shm/%s%u", PROGRESS_NAME_PREFIX, pid);
  // O_NOFOLLOW and O_NONBLOCK: a symlink, FIFO or directory under a
  // segment's name is neither followed nor waited on.
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno == EACCES || errno == EPERM ? ATTACH_UNREADABLE : ATTACH_NOT_READY;
  // The owner first: an untrusted object is never retried, whatever its size.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ATTACH_NOT_READY;
  }
  AttachedSegment a{pid, nullptr, st.st_dev, st.st_ino, st.st_uid};
  if (!is_trusted(trusted, st.st_uid)) {
    close(fd);
    *out = a;
    return ATTACH_UNTRUSTED;
  }
  if (st.st_size < static_cast<off_t>(PROGRESS_SEGMENT_SIZE)) {
    close(fd);
    return ATTACH_NOT_READY;
  }
  // Mapped from the descriptor that was checked: the owner and identity are
  // those of the object mapped, whatever happens to the name meanwhile.
  void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED)
    return ATTACH_NOT_READY;
  a.mapping = static_cast<const ProgressSegment *>(map);
  ProgressSegment copy;
  if (progress_snapshot(a.mapping, &copy) != ST_OK || copy.magic != PROGRESS_MAGIC ||
      copy.version != PROGRESS_VERSION || copy.pid != pid) {
    progress_detach(&a.mapping);
    return ATTACH_NOT_READY;
  }
  *out = a;
  return ATTACH_OK;
}

bool segment_watch_start(SegmentWatch *w, const TrustedOwners *trusted) {
  w->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  w->stop_fd = eventfd(0, EFD_CLOEXEC);
  if (w->inotify_fd < 0 || w->stop_fd < 0 ||
      inotify_add_watch(w->inotify_fd, "/dev/shm", IN_CREATE | IN_MOVED_TO) < 0) {
    segment_watch_stop(w);
    return false;
  }
  w->trusted = trusted;
  w->thread = std::thread(watch_loop, w);
  return true;
}

void segment_watch_take(SegmentWatch *w, std::vector<AttachedSegment> *out) {
  std::lock_guard<std::mutex> guard(w->lock);
  out->clear();
  out->swap(w->attached);
}

void segment_watch_stop(SegmentWatch *w) {
  if (w->thread.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(w->stop_fd, &one, sizeof one); // cannot fail
    w->thread.join();
  }
  for (int *fd : {&w->inotify_fd, &w->stop_fd})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  for (AttachedSegment &a : w->attached)
    progress_detach(&a.mapping);
  w->attached.clear();
}
