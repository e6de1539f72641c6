// Standard output of the monitor's text modes (dump lines, help, version
// and self-test): text that could not be written must not pass for
// written, or a script saving the dump on a full disk would believe it
// has it.
#pragma once

// Gives every standard descriptor that is closed (0 to 2) a read-only
// /dev/null, before anything else is opened: no logfile or segment can
// then land on descriptor 1 and receive the dump, and a write to a closed
// standard output still fails (EBADF) as it would have.
void output_keep_standard_fds();

// Flushes standard output.  True when everything written to it so far has
// reached it; otherwise prints "error: cannot write to standard output:
// <cause>" on standard error and returns false.
bool output_flush();
