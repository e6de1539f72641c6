// The full-screen live view of one attached tool.
#pragma once

#include <cstdint>

#include "progress/segment.h"

// Sets the terminal up for the monitor's curses screens (noecho, cbreak,
// hidden cursor, keypad).  Returns 0 when the screen exists (also when it
// already existed); otherwise prints one "error: " line on standard error
// and returns non-zero, and the terminal is left as it was (also for a
// terminal that cannot address the cursor).  While the screen exists,
// SIGINT, SIGTERM, SIGHUP and SIGQUIT make its loops return, and
// end_curses then ends the program (monitor/ending_signals.h).
int init_curses();

// True once init_curses has set a screen up and it has not been ended.
bool curses_active();

// Ends the curses screen if one is active: the terminal is restored, and
// when an ending signal came, the program ends with status 1 after the run
// log's end entry.
void end_curses();

// Shows pid until the user presses q or Q, the terminal goes away or an
// ending signal comes (the caller keeps the screen, and should check
// ending_signal_received before drawing on it again); the
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

// Draws text at (row, col), cut at the right edge: a long line must not
// wrap into the rows below.  Rows outside the screen are not drawn.
void screen_put_text(int row, int col, const char *text);

// True when pid is gone.  A process that exists but may not be signalled,
// or a zombie, is present.
bool process_vanished(uint32_t pid);
