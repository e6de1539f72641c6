// A program under test in a real terminal: a tmux server of its own, one
// session of a fixed size, started from the test (and its /dev/shm).
#pragma once

#include "support/fake_segment.h"

namespace zt {

struct TmuxSession {
  TempDir dir; // the socket, the configuration and the exit status
  bool started = false;

  ~TmuxSession() {
    if (started)
      tmux({"kill-server"});
  }
  // Starts argv in a width x height terminal; env "NAME=value" adds, "-NAME" removes.
  bool start(const std::vector<std::string> &argv, int width, int height,
             const std::vector<std::string> &env = {});
  bool send_keys(const std::string &key) { return tmux({"send-keys", "-t", "zt", key}) == 0; }
  std::vector<std::string> screen(); // one string per row, trailing spaces removed
  std::string screen_text();         // for failure messages
  bool wait_text(const std::string &text, int timeout_ms = 20000); // in some row
  // Until the screen equals expected, rows past its end empty; a row "~pattern" is a shell pattern.
  bool wait_equal(const std::vector<std::string> &expected, int timeout_ms = 20000);
  bool exited();
  int wait_exit(int timeout_ms = 20000); // the status as a shell reports it, or -1 if still running
  int tmux(const std::vector<std::string> &args, std::string *out = nullptr);
};

} // namespace zt
