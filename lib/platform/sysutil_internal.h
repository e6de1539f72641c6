// Pieces of the system utilities exposed for their tests only; tools use
// sysutil.h.
#pragma once

#include <cstddef>

// os_description with the os-release file given by path.
int os_description_from(const char *os_release_path, char *buf, size_t size);

// The microsecond count sleep_ms hands to usleep for ms.
unsigned int sleep_ms_micros(int ms);

// Longest sleep_ms honours; larger requests are clamped to it.
inline constexpr int SLEEP_MS_MAX = 2147483;
