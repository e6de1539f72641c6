// Dump mode: one tab-separated line per interval on standard output.
#pragma once

#include <cstdint>

// Returns the exit status: 0 once the segment was attached, 1 when none
// could be attached within wait_s or when a line could not be written
// (after one "error: " line naming the cause).
int run_dump(uint32_t pid, uint32_t interval_ms, uint32_t wait_s);
