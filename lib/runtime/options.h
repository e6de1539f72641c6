// Argument lookup: options are read on demand from the raw argument vector,
// never collected into a structure.  argv[0] is never examined; texts are
// compared byte for byte.  Results point into argv (or are the caller's
// default); nothing is copied or allocated.
#pragma once

// One option of a tool: its long form with dashes ("--pid"), its short
// alias ("-p", or null) and whether it carries a value.  A table of them
// ends with an entry whose long_name is null.
struct OptionSpec {
  const char *long_name;
  const char *short_name;
  int takes_value;
};

// The value of an option: the text after "=" in "--name=value", or the
// argument after "--name" / the short alias; def when the option is absent
// or is the last argument.  The first occurrence decides.
const char *opt_value(int argc, char **argv, const char *long_name, const char *short_name,
                      const char *def);

// 1 when an argument equals long_name or short_name exactly, else 0.
int opt_flag(int argc, char **argv, const char *long_name, const char *short_name);
