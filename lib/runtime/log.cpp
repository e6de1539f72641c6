#include "runtime/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <syslog.h>

#include "platform/thread.h"
#include "runtime/clock.h"

namespace {

char g_tag[64] = "zpr";
LogLevel g_threshold = LVL_INFO;
int g_syslog_mirror = 0;
pthread_mutex_t g_lock;
int g_lock_ready = 0;

struct LevelInfo {
  const char *label;
  int priority;
};

constexpr LevelInfo kLevels[] = {
    {"DEBUG", LOG_DEBUG},
    {"INFO", LOG_INFO},
    {"WARN", LOG_WARNING},
    {"ERROR", LOG_ERR},
};
constexpr LevelInfo kUnknownLevel = {"?", LOG_ERR};

const LevelInfo &level_info(LogLevel level) {
  return level < sizeof kLevels / sizeof kLevels[0] ? kLevels[level] : kUnknownLevel;
}

} // namespace

void log_init(const char *name, LogLevel threshold) {
  snprintf(g_tag, sizeof g_tag, "%s", name != nullptr ? name : "");
  g_threshold = threshold;
  if (!g_lock_ready) {
    mutex_init(&g_lock);
    g_lock_ready = 1;
  }
}

void log_set_syslog(int on) { g_syslog_mirror = on; }

void log_msg(LogLevel level, const char *format, ...) {
  if (level < g_threshold)
    return;

  char stamp[32];
  time_t now = static_cast<time_t>(wall_clock_seconds());
  tm parts{};
  gmtime_r(&now, &parts);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);

  const LevelInfo &info = level_info(level);
  if (g_lock_ready)
    mutex_lock(&g_lock);

  fprintf(stderr, "%s [%s] %-5s ", stamp, g_tag, info.label);
  va_list args;
  va_start(args, format);
  // The syslog mirror formats the message a second time: a va_list that
  // vfprintf has consumed cannot be used again, so it gets its own copy.
  va_list mirror;
  va_copy(mirror, args);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  if (g_syslog_mirror)
    vsyslog(info.priority, format, mirror);
  va_end(mirror);
  va_end(args);

  if (g_lock_ready)
    mutex_unlock(&g_lock);
}
