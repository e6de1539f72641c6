#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "monitor/all_view.h"
#include "monitor/discovery.h"
#include "monitor/dump.h"
#include "monitor/live_view.h"
#include "monitor/output.h"
#include "monitor/startup.h"
#include "runtime/options.h"
#include "runtime/version.h"

namespace {

constexpr const char BUILD_STRING[] = "20261005-1";
constexpr uint32_t DUMP_INTERVAL_FLOOR_MS = 20;

constexpr const char USAGE[] =
    "Usage: zpr_monitor [--pid <pid>]\n"
    "       zpr_monitor --dump --pid <pid> [--interval <ms>] [--wait <s>]\n"
    "       zpr_monitor --all   (every job on the host in one live table)\n"
    "Without --pid, scans for running zpr_agent/zpr_restore processes (and the\n"
    "zpr_proxmox/zpr_xenV orchestrators, whose current zpr_agent/zpr_restore child is\n"
    "followed automatically) and, if more than one is found, shows a selection box.\n"
    "--dump prints one tab-separated line per --interval (default 500 ms) instead of\n"
    "the ncurses view and stops when the process ends; --wait (default 10 s) is how\n"
    "long to wait for the process to create its progress segment.\n"
    "\n"
    "Logging: --no-syslog                syslog output disabled for this run\n"
    "         --no-log                   the program's own logfile disabled for this run\n"
    "         --syslog <bitmask>          what to log to syslog (default: 1)\n"
    "         --log <bitmask>             what to log to the own logfile (default: 1)\n"
    "         --log-path <dir>            directory for the logfile (default: /var/log/zpr/)\n"
    "         (bit 0 = one entry at program start and one at program end)\n";

// strtoul in base 10: text that is not a number gives 0 and trailing
// characters are ignored.  A negative value, or one that does not fit in
// 32 bits, counts as not a number too: wrapped round it would become an
// interval of weeks, an endless wait or another process's pid.
uint32_t to_u32(const char *text) {
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p)))
    p++;
  if (*p == '-')
    return 0;
  errno = 0;
  unsigned long long value = strtoull(p, nullptr, 10);
  if (errno == ERANGE || value > UINT32_MAX)
    return 0;
  return static_cast<uint32_t>(value);
}

} // namespace

int main(int argc, char **argv) {
  output_keep_standard_fds();
  // Common start-up: version and self-test switches, loggers, run log and
  // the unknown-option check.  -1 means go on.
  int startup_status = monitor_startup(argc, argv);
  if (startup_status >= 0)
    return startup_status;

  const char *pid_text = opt_value(argc, argv, "--pid", "-p", nullptr);

  if (opt_flag(argc, argv, "--help", "-h")) {
    printf("zpr_monitor %s (build %s)\n\n", VERSION_STRING, BUILD_STRING);
    fputs(USAGE, stdout);
    return output_flush() ? 0 : 1;
  }

  if (opt_flag(argc, argv, "--dump", nullptr)) {
    if (pid_text == nullptr) {
      fprintf(stderr, "error: --dump requires --pid\n");
      return 2;
    }
    uint32_t pid = to_u32(pid_text);
    uint32_t interval_ms = to_u32(opt_value(argc, argv, "--interval", nullptr, "500"));
    uint32_t wait_s = to_u32(opt_value(argc, argv, "--wait", nullptr, "10"));
    if (interval_ms < DUMP_INTERVAL_FLOOR_MS)
      interval_ms = DUMP_INTERVAL_FLOOR_MS;
    return run_dump(pid, interval_ms, wait_s);
  }

  if (opt_flag(argc, argv, "--all", nullptr))
    return run_all_view();

  if (pid_text != nullptr && to_u32(pid_text) != 0) {
    if (!curses_active() && init_curses() != 0)
      return 1;
    run_live_view(to_u32(pid_text));
    end_curses();
    return 0;
  }

  return run_discovery();
}
