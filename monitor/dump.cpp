#include "monitor/dump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "monitor/output.h"
#include "progress/follow.h"
#include "progress/reader.h"

namespace {

constexpr uint32_t ATTACH_STEP_MS = 20;

constexpr const char DUMP_HEADER[] =
    "#elapsed_ms\tblocks_done\tblocks_total\tbytes_raw\tbytes_compressed\tq_raw_depth\t"
    "q_raw_cap\tq_out_depth\tq_out_cap\tworkers_active\tworkers_total\tlevel\tbg_active\t"
    "bg_duty_pct\tbg_foreign_cpu\tbg_foreign_io\tbg_foreign_net\tbg_self_cpu\tbg_self_io\t"
    "bg_self_net\tstate\n";

// Sleeps whole milliseconds.  Computed in 64 bits, so every interval the
// command line can give is honoured instead of wrapping around (the
// library's sleep_ms stops at about 35 minutes).
void pause_ms(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Waits for the segment in 20 ms steps counted, not measured: wait_s 0 is
// exactly one attempt, and a process that is gone ends the wait at once.
bool wait_for_segment(uint32_t pid, uint32_t wait_s, const ProgressSegment **out) {
  const uint64_t limit_ms = static_cast<uint64_t>(wait_s) * 1000;
  for (uint64_t waited_ms = 0;; waited_ms += ATTACH_STEP_MS) {
    if (progress_attach(pid, out) == ST_OK)
      return true;
    if (waited_ms >= limit_ms || !process_alive(pid))
      return false;
    pause_ms(ATTACH_STEP_MS);
  }
}

// A data line is at most 5 x 20 + 14 x 10 + 11 characters of figures, 20
// tabs, a state text and the newline: about 280.
constexpr size_t LINE_TEXT = 512;

void format_line(const ProgressSegment &r, char (&line)[LINE_TEXT]) {
  snprintf(line, sizeof line,
           "%llu\t%llu\t%llu\t%llu\t%llu\t%u\t%u\t%u\t%u\t%u\t%u\t%d\t%u\t%u\t%u\t%u\t%u\t%"
           "u\t%u\t%u\t%s\n",
           static_cast<unsigned long long>(effective_elapsed_ms(r)),
           static_cast<unsigned long long>(r.blocks_done),
           static_cast<unsigned long long>(r.blocks_total),
           static_cast<unsigned long long>(r.bytes_raw),
           static_cast<unsigned long long>(r.bytes_compressed), r.q_raw_depth, r.q_raw_cap,
           r.q_out_depth, r.q_out_cap, r.workers_active, r.workers_total, r.level,
           static_cast<unsigned>(r.bg_active), r.bg_duty_pct, r.bg_foreign_cpu, r.bg_foreign_io,
           r.bg_foreign_net, r.bg_self_cpu, r.bg_self_io, r.bg_self_net, state_label(r.state));
}

} // namespace

int run_dump(uint32_t pid, uint32_t interval_ms, uint32_t wait_s) {
  const ProgressSegment *mapping = nullptr;
  if (!wait_for_segment(pid, wait_s, &mapping)) {
    fprintf(stderr, "error: no progress segment for PID %u\n", pid);
    return 1;
  }
  // The first line that cannot be written ends the dump as a failure.
  fputs(DUMP_HEADER, stdout);
  bool written = output_flush();

  // Every printed value comes from one of these copies, never from the
  // shared mapping; they live for the whole loop, so a tick allocates
  // nothing.
  ProgressSegment record;
  ProgressSegment child;
  ChildFollow follow{0, nullptr};
  char line[LINE_TEXT];
  char printed[LINE_TEXT] = "";
  bool gone = false;
  while (written) {
    if (progress_snapshot(mapping, &record) == ST_OK) {
      const ProgressSegment *shown = &record;
      if (record.tool > TOOL_RESTORE && follow_child(&follow, record, &child).have_child)
        shown = &child;
      format_line(*shown, line);
      // After the process has gone, only a line that says something new.
      if (!gone || strcmp(line, printed) != 0) {
        fputs(line, stdout);
        written = output_flush();
        memcpy(printed, line, sizeof line);
      }
      // Only the attached process's own final state ends the dump, never
      // its child's.
      if (!written || state_is_final(record.state))
        break;
    }
    if (gone)
      break;
    // The process may have written its final state and gone since the
    // snapshot above: one more snapshot (the mapping outlives the name)
    // still shows that state.
    gone = !process_alive(pid);
    if (!gone)
      pause_ms(interval_ms);
  }
  follow_release(&follow);
  progress_detach(&mapping);
  return written ? 0 : 1;
}
