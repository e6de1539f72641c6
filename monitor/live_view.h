// The full-screen live view of one attached tool.
#pragma once

#include <cstdint>

#include "progress/segment.h"

// Sets the terminal up for the monitor's curses screens (noecho, cbreak,
// hidden cursor, keypad).  Returns 0 when the screen exists (also when it
// already existed); otherwise prints one "error: " line on standard error
// and returns non-zero, and the terminal is left as it was (also for a
// terminal that cannot address the cursor).  While the screen exists,
// SIGINT, SIGTERM, SIGHUP and SIGQUIT restore the terminal, write the run
// log's end entry and end the program with status 1.
int init_curses();

// True once init_curses has set a screen up and it has not been ended.
bool curses_active();

// Ends the curses screen if one is active.
void end_curses();

// Shows pid until the user presses q or Q (or the terminal goes away); the
// screen must be set up.  When the first attach fails, ends curses and
// prints the attach error.  Nothing is allocated per frame.
void run_live_view(uint32_t pid);

// The same page for a mapping the caller has attached and keeps (the table
// of every job opens its rows so, also after a job's segment is gone).
void run_live_page(const ProgressSegment *segment);

// For a key read with the live view's input timeout of 250 ms: true once
// reads keep failing long before their timeout, which means the terminal
// has gone (hung up while SIGHUP is ignored, input at its end).
bool live_terminal_gone(int key, int64_t waited_ms, int *early_errors);
