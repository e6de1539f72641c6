// Command line of zpr_demo.  Options are read on demand from argv (as in
// every tool of the suite) and checked once, here, into a DemoArgs.
#pragma once

#include <cstdint>

#include "pipeline.h"
#include "runtime/options.h"

// zpr_demo's own options, for the start-up check of unknown options.
extern const OptionSpec demo_options[];

struct DemoArgs {
  int tool;           // ToolKind: agent, restore or one of the orchestrators
  int backup_type;    // BackupType shown by the monitor
  uint32_t children;  // orchestrators: number of children, run one after another
  const char *name;   // job name; null = the default for the tool
  const char *source; // a path; null = the generated source
  uint64_t blocks;    // 0 = the whole source (the generated one: its default size)
  int blocks_given;
  int stats; // print throughput and per-block costs at the end
  int no_progress;
  DemoConfig cfg;
};

// Reads and checks every option.  On a bad value returns ST_INVAL and
// writes a one-line reason (without "error: ") into why.
StatusCode demo_parse_args(int argc, char **argv, DemoArgs *out, char *why, unsigned why_size);

// "agent", "restore", "proxmox", "xenV", "pve-rst", "xenV-rst"; -1 for
// anything else.
int demo_tool_from_name(const char *name);
const char *demo_tool_name(int tool);

// The usage text.
void demo_print_help();
