#include "monitor/startup.h"

#include "monitor/monitor_options.h"
#include "monitor/output.h"
#include "runtime/log.h"
#include "runtime/option_check.h"
#include "runtime/runlog.h"
#include "runtime/selftest.h"

namespace {

constexpr const char PROGRAM_NAME[] = "zpr_monitor";

} // namespace

// The order matters: "--version" and "--selftest" end the program before
// anything is logged; the run log is set up before the option check so
// that its own options count as known and the warnings reach it too.
// A version or self-test text that did not reach standard output is a
// failure like any other lost output.
int monitor_startup(int argc, char **argv) {
  int status = version_selftest(argc, argv, PROGRAM_NAME);
  if (status >= 0)
    return output_flush() ? status : 1;
  log_init(PROGRAM_NAME, LVL_INFO);
  runlog_init(argc, argv, PROGRAM_NAME);
  opt_check_unknown(argc, argv, monitor_options, 0);
  return -1;
}
