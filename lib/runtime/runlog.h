// Run log: one entry when a tool starts and one when it ends, in syslog
// and in the tool's logfile (<log dir>/<name without "zpr_">.log).  Which
// entries go where is chosen per output by a bitmask on the command line:
//   --no-syslog  --no-log  --syslog MASK  --log MASK  --log-path DIR
// Process-wide state; runlog_init runs once, on the main thread, at
// start-up.  Problems setting it up are reported on standard error as
// "warning: zpr_runlog: ..." lines and never stop the program.
#pragma once

// Mask bit of the start and end entries (and of the option warnings).
inline constexpr unsigned long RUNLOG_STARTSTOP = 1;

// Reads the logging options, opens syslog (identity name, with the pid,
// facility LOG_DAEMON) and the logfile as they say, registers
// runlog_at_exit for process exit and writes the "started" entry.
// Later calls do nothing.
void runlog_init(int argc, char **argv, const char *name);

// 1 once runlog_init has begun, else 0.
int runlog_active();

// Writes one entry (cut at 511 characters) to each output whose mask
// shares a bit with mask.  Before runlog_init only syslog, with the C
// library's defaults, receives entries.
void runlog_msg(int mask, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Process-exit handler registered by runlog_init: writes "stopped exit=N"
// ("stopped" for a negative status) and closes both outputs.  arg is
// ignored.
void runlog_at_exit(int status, void *arg);
