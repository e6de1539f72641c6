// What every reader of the records shares (the monitor and the exporter):
// the liveness test, state texts, the elapsed-time rule and the step that
// follows an orchestrator's child.
#pragma once

#include <cstdint>

#include "progress/segment.h"

// True when /proc/<pid>/stat exists and its state letter is not "Z".
bool process_alive(uint32_t pid);

// "starting", "running", "finishing", "DONE", "FAILED", or "?".
const char *state_label(uint8_t state);

// True for the final states, DONE and FAILED.
bool state_is_final(uint8_t state);

// The elapsed time to show for one snapshot: the published elapsed_ms,
// or the wall-clock time since start_wall while the record is starting
// (and for an orchestrator while it is not final), whichever is larger.
// A start_wall too far in the past to count in 64 bits saturates.
uint64_t effective_elapsed_ms(const ProgressSegment &record);

// The child an orchestrator runs now, as followed by a reader.
struct ChildFollow {
  uint32_t followed_pid;          // 0: no child attached
  const ProgressSegment *mapping; // the child's read-only mapping, or null
};

struct FollowResult {
  bool have_child; // a consistent child snapshot is in the buffer
  bool reset;      // the followed child changed (or was dropped) in this call
};

// One step of child following for a snapshot of an orchestrator's record:
// a changed child_pid drops the old mapping and reports a reset; a child
// without mapping is attached (a failed attach is retried, and reset, on
// the next call); an attached child is snapshotted into child_buffer.  A
// child_pid equal to the record's own pid counts as no child.
FollowResult follow_child(ChildFollow *follow, const ProgressSegment &orchestrator,
                          ProgressSegment *child_buffer);

// Detaches the followed child, if any, and empties the state.
void follow_release(ChildFollow *follow);
