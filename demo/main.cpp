// zpr_demo: a demonstration worker of the suite.  It does the real
// per-block work of a backup or restore without storing anything, or, as an
// orchestrator, runs such workers one after another, and publishes its
// progress like every tool, so zpr_monitor has something real to show.
#include <cstdio>

#include "demo_args.h"
#include "orchestrator.h"
#include "progress/segment.h"
#include "runtime/log.h"
#include "runtime/option_check.h"
#include "runtime/options.h"
#include "runtime/runlog.h"
#include "runtime/selftest.h"
#include "worker.h"

int main(int argc, char **argv) {
  int early = version_selftest(argc, argv, "zpr_demo");
  if (early >= 0)
    return early;
  log_init("zpr_demo", LVL_INFO);
  runlog_init(argc, argv, "zpr_demo");
  opt_check_unknown(argc, argv, demo_options, 0);

  if (opt_flag(argc, argv, "--help", "-h")) {
    demo_print_help();
    return 0;
  }
  DemoArgs args;
  char why[256];
  if (demo_parse_args(argc, argv, &args, why, sizeof why) != ST_OK) {
    fprintf(stderr, "error: %s\n", why);
    return 2;
  }
  if (args.tool > TOOL_RESTORE)
    return demo_orchestrate(&args, argc, argv);
  return demo_worker_main(&args);
}
