#include "progress/follow.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "progress/reader.h"
#include "runtime/clock.h"

namespace {

constexpr const char *STATE_LABELS[] = {"starting", "running", "finishing", "DONE", "FAILED"};
static_assert(sizeof STATE_LABELS / sizeof STATE_LABELS[0] == STATE_FAILED + 1);

// now - start in seconds, saturated: start_wall comes from another
// process and may hold any value.
int64_t seconds_since(int64_t now, int64_t start) {
  int64_t d;
  if (__builtin_sub_overflow(now, start, &d))
    return start < 0 ? INT64_MAX : INT64_MIN;
  return d;
}

// The child a record names, unless it names the record's own process: a
// reader following that would show the orchestrator as its own child.
uint32_t child_of(const ProgressSegment &record) {
  return record.child_pid == record.pid ? 0 : record.child_pid;
}

} // namespace

bool process_alive(uint32_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char text[256];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n < 0)
    n = 0;
  text[n] = '\0';
  // The name field may itself contain ")", so the state letter follows the
  // last one.
  const char *close_paren = strrchr(text, ')');
  if (close_paren == nullptr || close_paren[1] != ' ')
    return true;
  return close_paren[2] != 'Z';
}

const char *state_label(uint8_t state) {
  return state < sizeof STATE_LABELS / sizeof STATE_LABELS[0] ? STATE_LABELS[state] : "?";
}

uint64_t effective_elapsed_ms(const ProgressSegment &record) {
  uint64_t elapsed = record.elapsed_ms;
  bool counting = record.state == STATE_STARTING ||
                  (record.tool > TOOL_RESTORE && !state_is_final(record.state));
  if (!counting)
    return elapsed;
  int64_t d = seconds_since(wall_clock_seconds(), record.start_wall);
  if (d <= 0)
    return elapsed;
  uint64_t wall_ms;
  if (__builtin_mul_overflow(static_cast<uint64_t>(d), uint64_t{1000}, &wall_ms))
    wall_ms = UINT64_MAX;
  return elapsed < wall_ms ? wall_ms : elapsed;
}

FollowResult follow_child(ChildFollow *follow, const ProgressSegment &orchestrator,
                          ProgressSegment *child_buffer) {
  FollowResult result{false, false};
  uint32_t child_pid = child_of(orchestrator);
  if (follow->followed_pid != child_pid) {
    progress_detach(&follow->mapping);
    follow->followed_pid = 0;
    result.reset = true;
  }
  if (child_pid != 0 && follow->mapping == nullptr) {
    // A failed attach leaves followed_pid at 0, so the next call resets and
    // tries again.
    if (progress_attach(child_pid, &follow->mapping) == ST_OK)
      follow->followed_pid = child_pid;
  }
  if (follow->mapping != nullptr)
    result.have_child = progress_snapshot(follow->mapping, child_buffer) == ST_OK;
  return result;
}

void follow_release(ChildFollow *follow) {
  progress_detach(&follow->mapping);
  follow->followed_pid = 0;
}

bool state_is_final(uint8_t state) { return state == STATE_DONE || state == STATE_FAILED; }
