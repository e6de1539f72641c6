// Console logger: one stamped line per message on standard error,
//   "2026-10-05T09:14:03Z [tag] WARN  message"
// filtered by a level threshold and optionally mirrored to syslog.
// Process-wide state; log_init and log_set_syslog belong to start-up.
#pragma once

using LogLevel = unsigned int;

inline constexpr LogLevel LVL_DEBUG = 0;
inline constexpr LogLevel LVL_INFO = 1;
inline constexpr LogLevel LVL_WARN = 2;
inline constexpr LogLevel LVL_ERROR = 3;

// Sets the tag (cut at 63 characters) and the threshold; the first call
// also creates the lock that keeps lines of different threads apart.
void log_init(const char *name, LogLevel threshold);

// Non-zero mirrors every written message to syslog (text only).
void log_set_syslog(int on);

// Writes one line if level is at or above the threshold; the logger adds
// the newline.
void log_msg(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));
