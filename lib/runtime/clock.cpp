#include "runtime/clock.h"

#include <ctime>

int64_t wall_clock_seconds() { return static_cast<int64_t>(time(nullptr)); }

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
