// The signals that end the monitor's curses screens: SIGINT, SIGTERM,
// SIGHUP and SIGQUIT.  While a screen exists their handler only notes the
// signal.  The screen's loops see the note, return, and end_curses then
// restores the terminal and ends the program with status 1, through the
// normal exit that writes the run log's end entry.  Nothing else runs in
// the handler, so a signal at any moment (inside malloc, inside curses,
// while the screen is built or freed) can neither deadlock nor touch a
// half-built or freed screen.
#pragma once

// Holds the four signals back and puts the noting handler over each whose
// action is the default one: a signal ignored on purpose (nohup) stays
// ignored, and a handler of someone else's stays.  Installed before the
// screen, curses then keeps its own SIGINT and SIGTERM handlers out.  A
// second call while they are held does nothing.
void ending_signals_hold();

// Lets the held signals in: one that came meanwhile is noted now.
void ending_signals_release();

// Once the screen is gone: puts the actions found before back and, when an
// ending signal came (noted, or still held), ends the program with status
// 1.  Otherwise the signals stay held until the program ends, which it
// does right after its screen, so that a late one cannot cut the run log's
// end entry off.
void ending_signals_finish();

// True once an ending signal came while a screen existed.  Every curses
// loop checks it after each key read (a signal also interrupts a key read
// that is waiting) and returns when it is set.
bool ending_signal_received();

// One key from stdscr as wgetch gives it, waiting at most timeout_ms
// (negative: as long as it takes).  Returns ERR with errno EINTR at once
// when an ending signal came, also one that came just before the wait;
// ERR with errno 0 when the time ran out; ERR with another errno when the
// input is at its end or failed (the terminal has gone).  A resize arrives
// as KEY_RESIZE.  The window's own input timeout is left as it was.
int screen_key(int timeout_ms);
