#include "runtime/runlog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

#include "platform/sysutil.h"
#include "runtime/clock.h"
#include "runtime/options.h"
#include "runtime/runlog_internal.h"

namespace {

constexpr char kDefaultLogDir[] = "/var/log/zpr/";
constexpr char kNamePrefix[] = "zpr_";
constexpr size_t kNamePrefixLength = sizeof kNamePrefix - 1;

// The name array is also the syslog identity, so it must outlive every
// syslog call: it is static and never changes after runlog_init.
char g_name[64] = "zpr";
int g_initialised = 0;
int g_syslog_on = 1;
unsigned long g_syslog_mask = 1;
unsigned long g_logfile_mask = 1;
FILE *g_logfile = nullptr;

bool shares_bit(unsigned long output_mask, int mask) {
  return (output_mask & static_cast<unsigned long>(mask)) != 0;
}

void write_logfile_entry(const char *text) {
  char stamp[32];
  time_t now = static_cast<time_t>(wall_clock_seconds());
  tm parts{};
  gmtime_r(&now, &parts);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
  fprintf(g_logfile, "%s [%s] pid=%ld %s\n", stamp, g_name, static_cast<long>(getpid()), text);
  fflush(g_logfile);
}

// Writes one start or end entry to the outputs whose mask has bit 0.
void write_startstop(const char *text) {
  if (g_logfile != nullptr && (g_logfile_mask & RUNLOG_STARTSTOP) != 0)
    write_logfile_entry(text);
  if (g_syslog_on && (g_syslog_mask & RUNLOG_STARTSTOP) != 0)
    syslog(LOG_INFO, "%s", text);
}

// Opens the logfile in dir for the program name; on failure warns and
// leaves the run without a logfile.
void open_logfile(const char *dir, const char *name) {
  if (make_dirs(dir) != ST_OK) {
    fprintf(stderr,
            "warning: zpr_runlog: could not create log directory '%s' -- continuing without "
            "logfile\n",
            dir);
    return;
  }
  size_t dir_length = strlen(dir);
  const char *separator = dir_length > 0 && dir[dir_length - 1] == '/' ? "" : "/";
  const char *base =
      strncmp(name, kNamePrefix, kNamePrefixLength) == 0 ? name + kNamePrefixLength : name;
  char path[1200];
  snprintf(path, sizeof path, "%s%s%s.log", dir, separator, base);
  // "e": the stream stays out of the programs an orchestrator starts.
  g_logfile = fopen(path, "ae");
  if (g_logfile == nullptr)
    fprintf(stderr,
            "warning: zpr_runlog: could not open logfile '%s' -- continuing without logfile\n",
            path);
}

} // namespace

// The mask given by option (absent or empty: 1).  A value that is not
// one whole number, as strtoul with base 0 reads it, draws a warning and
// gives 1 as well.
unsigned long runlog_parse_mask(const char *option, const char *value) {
  if (value == nullptr || value[0] == '\0')
    return 1;
  char *end = nullptr;
  unsigned long mask = strtoul(value, &end, 0);
  if (end == value || *end != '\0') {
    fprintf(stderr, "warning: zpr_runlog: invalid %s value '%s' -- using default 1\n", option,
            value);
    return 1;
  }
  return mask;
}

void runlog_init(int argc, char **argv, const char *name) {
  // A second start would register a second exit handler and leak the
  // first logfile stream.
  if (g_initialised)
    return;
  g_initialised = 1;
  if (name == nullptr)
    name = "";
  snprintf(g_name, sizeof g_name, "%s", name);

  int no_syslog = opt_flag(argc, argv, "--no-syslog", nullptr);
  int no_log = opt_flag(argc, argv, "--no-log", nullptr);
  const char *syslog_value = opt_value(argc, argv, "--syslog", nullptr, nullptr);
  const char *log_value = opt_value(argc, argv, "--log", nullptr, nullptr);
  const char *log_dir = opt_value(argc, argv, "--log-path", nullptr, kDefaultLogDir);

  g_syslog_mask = runlog_parse_mask("--syslog", syslog_value);
  g_logfile_mask = runlog_parse_mask("--log", log_value);

  g_syslog_on = no_syslog ? 0 : 1;
  if (g_syslog_on)
    openlog(g_name, LOG_PID, LOG_DAEMON);
  if (!no_log)
    open_logfile(log_dir, name);

  on_exit(runlog_at_exit, nullptr);
  write_startstop("started");
}

int runlog_active() { return g_initialised; }

void runlog_msg(int mask, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_logfile != nullptr && shares_bit(g_logfile_mask, mask))
    write_logfile_entry(text);
  if (g_syslog_on && shares_bit(g_syslog_mask, mask))
    syslog(LOG_INFO, "%s", text);
}

void runlog_at_exit(int status, void *arg) {
  (void)arg;
  char text[64];
  if (status < 0)
    snprintf(text, sizeof text, "%s", "stopped");
  else
    snprintf(text, sizeof text, "%s exit=%d", "stopped", status);
  write_startstop(text);
  if (g_logfile != nullptr) {
    fclose(g_logfile);
    g_logfile = nullptr;
  }
  if (g_syslog_on)
    closelog();
}
