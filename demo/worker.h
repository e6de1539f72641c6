// One agent or restore run of zpr_demo: opens the source, publishes the
// progress segment, runs the pipeline and reports.
#pragma once

#include "demo_args.h"

// Returns the exit status: 0 done, 1 failed (source, memory, read error).
int demo_worker_main(const DemoArgs *args);

// Prints what --stats reports about a run to standard output.
void demo_print_stats(const DemoConfig *cfg, const DemoStats *st);
