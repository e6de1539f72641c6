// The start-up check pass over the arguments: every argument that no
// option table knows, and every positional argument beyond those a tool
// accepts, draws a warning on the console (WARN) and in the run log
// (mask 1).  Unknown options never stop a program.
#pragma once

#include "runtime/options.h"

// Options every tool accepts: --help/-h, --version, --selftest.
extern const OptionSpec common_options[];

// The run log's options: --no-syslog, --no-log, --syslog, --log,
// --log-path.  Known to the check pass only once runlog_init has run.
extern const OptionSpec runlog_options[];

// The first entry of table (null: none) that arg names, or null.  On a
// match *value_out is the inline value (the text after "=", possibly
// empty) or null; it is not written when nothing matches.  A switch
// written with "=value" matches nothing.
const OptionSpec *opt_match(const OptionSpec *table, const char *arg, const char **value_out);

// Walks argv[1..argc-1] against table (may be null), common_options and,
// after runlog_init, runlog_options; stops at "--".  Returns the number of
// warnings issued.
int opt_check_unknown(int argc, char **argv, const OptionSpec *table, int max_positional);
