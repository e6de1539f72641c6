// Pieces of the run log exposed for tests and fuzzing only; tools use
// runlog.h.
#pragma once

// The mask given by the value of option ("--syslog" or "--log"): absent or
// empty gives 1; a value that is not one whole number as strtoul base 0
// reads it draws a "warning: zpr_runlog: invalid ..." line on standard
// error and gives 1 as well.
unsigned long runlog_parse_mask(const char *option, const char *value);
