#include "progress/reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "progress/seqlock.h"

namespace {

constexpr size_t SCAN_INITIAL_CAPACITY = 8;

// Opens the object read-only and maps it when it is a regular object of at
// least a whole record.  O_NOFOLLOW and O_NONBLOCK keep a symlink, FIFO or
// directory that happens to carry a segment's name from being followed or
// from blocking; such things, and objects whose writer has created but not
// yet sized them, are "not there yet" rather than faults.
StatusCode map_segment(uint32_t pid, const ProgressSegment **out) {
  char name[64];
  snprintf(name, sizeof name, "/%s%u", PROGRESS_NAME_PREFIX, pid);
  int fd = shm_open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
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
  // The writer stores magic and version last (with release), so a record
  // that passes this check is completely filled.
  if (seqlock_word(seg, 0).load(std::memory_order_acquire) != PROGRESS_MAGIC_VERSION) {
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
  auto seq = seqlock_word(segment, PROGRESS_SEQ_WORD);
  for (int i = 1; i <= PROGRESS_SNAPSHOT_ATTEMPTS; i++) {
    uint64_t s0 = seq.load(std::memory_order_acquire);
    if (s0 & 1)
      continue;
    seqlock_load_words(segment, out, 0, PROGRESS_WORDS);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) == s0) {
      *attempts = i;
      return ST_OK;
    }
  }
  *attempts = PROGRESS_SNAPSHOT_ATTEMPTS;
  return ST_AGAIN;
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
  size_t cap = SCAN_INITIAL_CAPACITY;
  auto *arr = static_cast<ScanEntry *>(malloc(cap * sizeof(ScanEntry)));
  if (arr == nullptr)
    return ST_NOMEM;
  size_t n = 0;
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
      if (progress_attach(pid, &seg) != ST_OK)
        continue;
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
  return ST_OK;
}
