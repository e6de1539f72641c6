// Records of other processes (real segments of pids above the kernel's limit) as the monitor shows
// them: the dump line and one live-view frame (a tool's page, an orchestrator's summary with its
// child's, the waiting frame) on curses screens of assorted sizes, tiny ones too.  Input: two
// records of 1208 bytes (cut or padded), control bytes.
#include <curses.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monitor/dump.h"
#include "monitor/live_view.h"
#include "progress/segment.h"

namespace {

uint32_t g_pid[2];
ProgressSegment *g_seg[2];

const char *shm_name(uint32_t pid) {
  static char name[64];
  snprintf(name, sizeof name, "/%s%u", PROGRESS_NAME_PREFIX, pid);
  return name;
}

// An odd counter when waiting: the writer died inside an update.
void store(int which, const ProgressSegment &record, bool waiting) {
  ProgressSegment &seg = *g_seg[which] = record;
  seg.magic = PROGRESS_MAGIC;
  seg.version = PROGRESS_VERSION;
  seg.seq = waiting;
}

void frame_and_dump(int cols, int rows) {
  resize_term(rows, cols);
  flushinp();
  ungetch('q');
  run_live_view(g_pid[0]);
  run_dump(g_pid[0], 20, 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  for (int i = 0; i < 2; i++) {
    g_pid[i] = 4200000000u + static_cast<uint32_t>(getpid() % 1000000) * 2 + i;
    int fd = shm_open(shm_name(g_pid[i]), O_CREAT | O_RDWR | O_TRUNC, 0600);
    void *p = ftruncate(fd, PROGRESS_SEGMENT_SIZE) != 0
                  ? MAP_FAILED
                  : mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
      abort();
    g_seg[i] = static_cast<ProgressSegment *>(p);
  }
  atexit([] {
    shm_unlink(shm_name(g_pid[0]));
    shm_unlink(shm_name(g_pid[1]));
  });
  // Dump lines go nowhere; libFuzzer reports on standard error.
  SCREEN *screen = newterm("xterm", fopen("/dev/null", "w"), fopen("/dev/null", "r"));
  if (freopen("/dev/null", "w", stdout) == nullptr || screen == nullptr)
    abort();
  set_term(screen);
  noecho();
  cbreak();
  keypad(stdscr, TRUE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const size_t N = sizeof(ProgressSegment);
  ProgressSegment rec[2] = {};
  memcpy(&rec[0], data, size < N ? size : N);
  memcpy(&rec[1], data + (size < N ? size : N), size < N ? 0 : size - N < N ? size - N : N);
  auto ctl = [&](size_t i) -> uint8_t { return size > 2 * N + i ? data[2 * N + i] : 0; };
  static const int SIZES[][2] = {{1, 1}, {10, 3}, {80, 24}, {200, 60}, {40, 12}, {132, 30}};
  // The records as they are (the first naming the second as child if asked), then each as the
  // other's child.
  if ((ctl(3) & 4) != 0)
    rec[0].child_pid = g_pid[1];
  for (int round = 0; round < 3; round++) {
    if (round > 0) {
      rec[round - 1].tool = static_cast<uint8_t>(TOOL_PROXMOX + ctl(3 + round) % 4);
      rec[round - 1].child_pid = g_pid[1];
    }
    store(0, rec[round == 2], round == 0 && (ctl(3) & 1) != 0);
    store(1, rec[round != 2], round < 2 && (ctl(3) & 2) != 0);
    frame_and_dump(SIZES[ctl(0) % 6][0], SIZES[ctl(0) % 6][1]);
    frame_and_dump(1 + ctl(1) % 250, 1 + ctl(2) % 70);
  }
  return 0;
}
