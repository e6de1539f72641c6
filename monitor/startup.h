// The common runtime's start-up sequence of the monitor, run first thing
// in main: version and self-test switches, console logger, run log and the
// unknown-option check.
#pragma once

// Returns -1 to go on, or the exit status to end the program with at once.
int monitor_startup(int argc, char **argv);
