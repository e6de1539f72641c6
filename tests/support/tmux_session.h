// A program under test in a real terminal: a tmux server of its own with
// one session of a fixed size and no status line, started from the test
// process so the program shares its mount namespace (its /dev/shm).
#pragma once

#include <functional>
#include <utility>

#include "support/fake_segment.h"

namespace zt {

struct TmuxSession {
  TempDir dir; // the socket, the configuration and the exit status
  bool started = false;

  TmuxSession();
  ~TmuxSession() { kill(); }
  // Starts argv in a width x height terminal; env entries "NAME=value" are
  // added, "-NAME" removed.  The pane stays after the program ends.
  bool start(const std::vector<std::string> &argv, int width, int height, const std::vector<std::string> &env = {});
  bool send_keys(const std::string &key) { return tmux({"send-keys", "-t", "zt", key}) == 0; } // "q", "Up"
  std::vector<std::string> screen(); // one string per row, trailing spaces removed
  std::string screen_text();         // for failure messages
  bool wait_screen(const std::function<bool(const std::vector<std::string> &)> &cond, int timeout_ms = 20000);
  bool wait_text(const std::string &text, int timeout_ms = 20000); // in some row
  // Until the screen equals expected; an expected row starting with "~" is
  // a shell pattern (for figures that follow the wall clock).
  bool wait_equal(const std::vector<std::string> &expected, int timeout_ms = 20000);
  bool resize(int width, int height); // the program gets SIGWINCH
  bool exited(int *status = nullptr); // *status as a shell reports it
  bool wait_exit(int *status = nullptr, int timeout_ms = 20000);
  void kill();
  int tmux(const std::vector<std::string> &args, std::string *out = nullptr);
};

// An expected screen of height rows, empty except the given ones.
std::vector<std::string> screen_of(int height, const std::vector<std::pair<int, std::string>> &rows);

} // namespace zt
