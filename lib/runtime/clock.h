// The suite's two clocks.  Start times are wall-clock seconds; durations
// and time bases are monotonic milliseconds.
#pragma once

#include <cstdint>

// time() as a signed 64-bit count of seconds since the epoch.
int64_t wall_clock_seconds();

// CLOCK_MONOTONIC as seconds * 1000 + nanoseconds / 1000000 (truncated).
int64_t monotonic_ms();
