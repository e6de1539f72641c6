#include "progress/reader.h"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "progress/seqlock_internal.h"

namespace {

constexpr size_t SCAN_INITIAL_CAPACITY = 8;

// A writer can shrink its object (ftruncate) while a reader holds the
// mapping; touching the vanished page then raises SIGBUS, which would end
// the monitor.  Every read of a live record therefore runs under a guard.
// The first guarded read installs a SIGBUS handler for the process, once
// (a sigaction pair around every copy would cost more than the copy); the
// handler jumps back to the faulting thread's guard, whose read then counts
// as failed, and passes any other SIGBUS to the action that was there
// before.  SA_NODEFER leaves SIGBUS unblocked after the jump, and sigsetjmp
// saves no mask, so a guarded read makes no system call.  The writer never
// takes this path.  A handler installed over ours later disables the guard.
thread_local sigjmp_buf *t_fault_jump = nullptr;
struct sigaction g_previous_action {};

void on_sigbus(int sig, siginfo_t *info, void *context) {
  if (t_fault_jump != nullptr)
    siglongjmp(*t_fault_jump, 1);
  // Not a guarded read: what would have happened without the guard.  A
  // fault the kernel raised cannot be ignored, so SIG_IGN ends like SIG_DFL.
  const struct sigaction &prev = g_previous_action;
  bool from_kernel = info != nullptr && info->si_code > 0;
  if ((prev.sa_flags & SA_SIGINFO) != 0) {
    prev.sa_sigaction(sig, info, context);
  } else if (prev.sa_handler == SIG_DFL || (prev.sa_handler == SIG_IGN && from_kernel)) {
    signal(sig, SIG_DFL);
    raise(sig);
  } else if (prev.sa_handler != SIG_IGN) {
    prev.sa_handler(sig);
  }
}

void install_guard() {
  struct sigaction guard {};
  guard.sa_sigaction = on_sigbus;
  guard.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&guard.sa_mask);
  sigaction(SIGBUS, &guard, &g_previous_action);
}

// Runs read(arg) under the guard; false when the read faulted.
bool read_guarded(void (*read)(void *), void *arg) {
  static std::once_flag installed;
  std::call_once(installed, install_guard);
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) {
    t_fault_jump = nullptr;
    return false;
  }
  t_fault_jump = &jump;
  // The handler must see the buffer before the first read of the record,
  // and until after the last (the compiler could move them).
  std::atomic_signal_fence(std::memory_order_seq_cst);
  read(arg);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_fault_jump = nullptr;
  return true;
}

struct SnapshotCall {
  const ProgressSegment *segment;
  ProgressSegment *out;
  int *attempts;
  StatusCode result;
};

// The attempts of one snapshot, on a segment and buffer known to exist.
void snapshot_attempts(void *arg) {
  auto *call = static_cast<SnapshotCall *>(arg);
  auto seq = seqlock_word(call->segment, PROGRESS_SEQ_WORD);
  for (int i = 1; i <= PROGRESS_SNAPSHOT_ATTEMPTS; i++) {
    *call->attempts = i;
    uint64_t s0 = seq.load(std::memory_order_acquire);
    if (s0 & 1)
      continue;
    seqlock_load_words(call->segment, call->out, 0, PROGRESS_WORDS);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) == s0) {
      call->result = ST_OK;
      return;
    }
  }
  call->result = ST_AGAIN;
}

struct HeaderCall {
  const ProgressSegment *segment;
  uint64_t head;
};

void read_header(void *arg) {
  auto *call = static_cast<HeaderCall *>(arg);
  // The writer stores magic and version last (with release), so a record
  // that passes the check on this word is completely filled.
  call->head = seqlock_word(call->segment, 0).load(std::memory_order_acquire);
}

// Opens the object read-only and maps it when it is a regular object of at
// least a whole record.  O_NOFOLLOW and O_NONBLOCK keep a symlink, FIFO or
// directory that happens to carry a segment's name from being followed or
// from blocking; such things, and objects whose writer has created but not
// yet sized them, are "not there yet" rather than faults.  *denied (when
// given) tells whether the object exists but may not be opened by this user.
StatusCode map_segment(uint32_t pid, const ProgressSegment **out, bool *denied = nullptr) {
  char name[64];
  snprintf(name, sizeof name, "/%s%u", PROGRESS_NAME_PREFIX, pid);
  int fd = shm_open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
  if (denied != nullptr)
    *denied = fd < 0 && errno == EACCES;
  if (fd < 0)
    return ST_NOTFOUND;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < static_cast<off_t>(PROGRESS_SEGMENT_SIZE)) {
    close(fd);
    return ST_NOTFOUND;
  }
  void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED)
    return ST_IO;
  auto *seg = static_cast<const ProgressSegment *>(map);
  HeaderCall header{seg, 0};
  if (!read_guarded(read_header, &header)) {
    // Shrunk between the size check and the first read.
    munmap(map, PROGRESS_SEGMENT_SIZE);
    return ST_NOTFOUND;
  }
  if (header.head != PROGRESS_MAGIC_VERSION) {
    munmap(map, PROGRESS_SEGMENT_SIZE);
    return ST_CORRUPT;
  }
  *out = seg;
  return ST_OK;
}

void fill_entry(ScanEntry *e, const ProgressSegment &copy) {
  e->pid = copy.pid;
  e->tool = copy.tool;
  e->backup_type = copy.backup_type;
  e->state = copy.state;
  snprintf(e->name, sizeof e->name, "%.*s", static_cast<int>(sizeof copy.name - 1), copy.name);
  e->child_pid = copy.child_pid;
}

// pid from the part of a directory entry's name after the prefix, parsed
// like strtoul base 10 (trailing characters ignored), low 32 bits kept.
uint32_t pid_from_name(const char *rest) {
  return static_cast<uint32_t>(strtoul(rest, nullptr, 10));
}

} // namespace

StatusCode progress_snapshot_counted(const ProgressSegment *segment, ProgressSegment *out,
                                     int *attempts) {
  *attempts = 0;
  if (segment == nullptr || out == nullptr)
    return ST_INVAL;
  SnapshotCall call{segment, out, attempts, ST_AGAIN};
  if (!read_guarded(snapshot_attempts, &call))
    return ST_IO;
  return call.result;
}

StatusCode progress_attach(uint32_t pid, const ProgressSegment **out) {
  *out = nullptr;
  return map_segment(pid, out);
}

StatusCode progress_snapshot(const ProgressSegment *segment, ProgressSegment *out) {
  int attempts;
  return progress_snapshot_counted(segment, out, &attempts);
}

void progress_detach(const ProgressSegment **ref) {
  if (ref == nullptr || *ref == nullptr)
    return;
  munmap(const_cast<ProgressSegment *>(*ref), PROGRESS_SEGMENT_SIZE);
  *ref = nullptr;
}

StatusCode scan_segments(ScanEntry **entries, size_t *count) {
  size_t denied = 0;
  return scan_segments_denied(entries, count, &denied);
}

StatusCode scan_segments_denied(ScanEntry **entries, size_t *count, size_t *denied) {
  size_t cap = SCAN_INITIAL_CAPACITY;
  auto *arr = static_cast<ScanEntry *>(malloc(cap * sizeof(ScanEntry)));
  if (arr == nullptr)
    return ST_NOMEM;
  size_t n = 0;
  size_t refused = 0;
  DIR *dir = opendir("/dev/shm");
  if (dir != nullptr) {
    const size_t plen = strlen(PROGRESS_NAME_PREFIX);
    while (const dirent *de = readdir(dir)) {
      if (strncmp(de->d_name, PROGRESS_NAME_PREFIX, plen) != 0)
        continue;
      uint32_t pid = pid_from_name(de->d_name + plen);
      if (pid == 0)
        continue;
      const ProgressSegment *seg = nullptr;
      bool no_permission = false;
      if (map_segment(pid, &seg, &no_permission) != ST_OK) {
        refused += no_permission ? 1 : 0;
        continue;
      }
      ProgressSegment copy;
      StatusCode st = progress_snapshot(seg, &copy);
      progress_detach(&seg);
      if (st != ST_OK)
        continue;
      if (n == cap) {
        // A failed doubling keeps what was collected and ends the scan.
        auto *grown = static_cast<ScanEntry *>(realloc(arr, 2 * cap * sizeof(ScanEntry)));
        if (grown == nullptr)
          break;
        arr = grown;
        cap *= 2;
      }
      fill_entry(&arr[n++], copy);
    }
    closedir(dir);
  }
  *entries = arr;
  *count = n;
  *denied = refused;
  return ST_OK;
}
