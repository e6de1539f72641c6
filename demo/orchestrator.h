// The orchestrator mode of zpr_demo (--tool proxmox, xenV, pve-rst,
// xenV-rst): runs --children child zpr_demo agents (or restores) one after
// another as real child processes, publishing the current child's pid in
// its own progress segment so a monitor follows it.
#pragma once

#include <sys/types.h>

#include "demo_args.h"

// Returns the exit status: 0 when every child succeeded, else 1.  A failed
// child does not stop the others.
int demo_orchestrate(const DemoArgs *args, int argc, char **argv);

// The kind of child an orchestrator runs: TOOL_AGENT for proxmox and xenV,
// TOOL_RESTORE for pve-rst and xenV-rst.
int demo_child_tool(int orchestrator_tool);

// Starts one child: /proc/self/exe with "--tool <kind> --name <name>" in
// front of the orchestrator's own arguments (the first occurrence of an
// option counts, so these win; --no-log, --no-syslog and the rest pass on
// as given).  Returns the pid, or -1 when fork failed.
pid_t demo_spawn_child(int child_tool, const char *name, int argc, char **argv);
