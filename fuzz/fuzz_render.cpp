// Whole records of another process, as the monitor shows them: one dump
// line, and the live view's page (a plain tool's page, an orchestrator's
// summary with its child's page, the waiting frame) on an off-screen curses
// screen of assorted sizes, tiny ones included.
//
// Input: bytes 0..1207 are the first record, 1208..2415 the second (both
// padded with zeros or cut), then control bytes choosing the screen sizes
// and the frame.  Magic and version are made valid, or the monitor would
// not attach.  The records are put into real segments of pids above the
// kernel's pid limit, so no process of that pid exists, and the monitor's
// own run_live_view and run_dump read them as they would a tool's; the
// live view gets its "q" from the input queue and ends after one frame.
#include <curses.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "monitor/dump.h"
#include "monitor/live_view.h"
#include "progress/segment.h"

namespace {

struct Size {
  int cols;
  int rows;
};
constexpr Size SIZES[] = {{1, 1}, {10, 3}, {80, 24}, {200, 60}, {40, 12}, {132, 30}};
constexpr size_t NSIZES = sizeof SIZES / sizeof SIZES[0];

// Above /proc/sys/kernel/pid_max's ceiling (2^22), so never a live process.
uint32_t g_main_pid;
uint32_t g_child_pid;
ProgressSegment *g_main = nullptr;
ProgressSegment *g_child = nullptr;
SCREEN *g_screen = nullptr;

ProgressSegment *make_segment(uint32_t pid) {
  char name[64];
  snprintf(name, sizeof name, "/%s%u", PROGRESS_NAME_PREFIX, pid);
  int fd = shm_open(name, O_CREAT | O_RDWR | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, PROGRESS_SEGMENT_SIZE) != 0)
    abort();
  void *p = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED)
    abort();
  return static_cast<ProgressSegment *>(p);
}

void remove_segments() {
  char name[64];
  for (uint32_t pid : {g_main_pid, g_child_pid}) {
    snprintf(name, sizeof name, "/%s%u", PROGRESS_NAME_PREFIX, pid);
    shm_unlink(name);
  }
}

// Stores record into the live segment with a valid header; an odd counter
// when waiting is asked for (the writer died inside an update).
void store(ProgressSegment *live, const ProgressSegment &record, bool waiting) {
  memcpy(live, &record, sizeof record);
  live->magic = PROGRESS_MAGIC;
  live->version = PROGRESS_VERSION;
  live->seq = waiting ? 1 : 0;
}

// One live-view frame at size, then "q".
void live_frame(Size size) {
  resize_term(size.rows, size.cols);
  flushinp();
  ungetch('q');
  run_live_view(g_main_pid);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const uint32_t base = 4200000000u + static_cast<uint32_t>(getpid() % 1000000) * 2;
  g_main_pid = base;
  g_child_pid = base + 1;
  g_main = make_segment(g_main_pid);
  g_child = make_segment(g_child_pid);
  atexit(remove_segments);

  // Dump lines go nowhere; libFuzzer reports on standard error.
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0)
    abort();
  close(null_fd);

  setenv("TERM", "xterm", 1);
  FILE *out = fopen("/dev/null", "w");
  FILE *in = fopen("/dev/null", "r");
  g_screen = newterm("xterm", out, in);
  if (g_screen == nullptr)
    abort();
  set_term(g_screen);
  noecho();
  cbreak();
  keypad(stdscr, TRUE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ProgressSegment first{};
  ProgressSegment second{};
  memcpy(&first, data, size < sizeof first ? size : sizeof first);
  if (size > sizeof first)
    memcpy(&second, data + sizeof first,
           size - sizeof first < sizeof second ? size - sizeof first : sizeof second);
  const uint8_t *control = size > 2 * sizeof first ? data + 2 * sizeof first : nullptr;
  const size_t ncontrol = control != nullptr ? size - 2 * sizeof first : 0;
  auto ctl = [&](size_t i) -> uint8_t { return i < ncontrol ? control[i] : 0; };

  const Size fixed = SIZES[ctl(0) % NSIZES];
  const Size free_size{1 + ctl(1) % 250, 1 + ctl(2) % 70};
  const bool waiting = (ctl(3) & 1) != 0;
  const bool child_waiting = (ctl(3) & 2) != 0;

  // Layout as the records say: the first record as the main one; when it
  // is an orchestrator (or chooses to be) its child is the second record.
  if ((ctl(3) & 4) != 0)
    first.child_pid = g_child_pid;
  store(g_main, first, waiting);
  store(g_child, second, child_waiting);
  live_frame(fixed);
  live_frame(free_size);
  run_dump(g_main_pid, 20, 0);

  // The second record as the child of an orchestrator.
  first.tool = static_cast<uint8_t>(TOOL_PROXMOX + ctl(4) % 4);
  first.child_pid = g_child_pid;
  first.pid = g_main_pid;
  store(g_main, first, false);
  store(g_child, second, child_waiting);
  live_frame(fixed);
  run_dump(g_main_pid, 20, 0);

  // And the first record as that child.
  second.tool = static_cast<uint8_t>(TOOL_PROXMOX + ctl(5) % 4);
  second.child_pid = g_child_pid;
  store(g_main, second, false);
  store(g_child, first, false);
  live_frame(free_size);
  return 0;
}
