// A program under test in a real terminal: a tmux server of its own
// (socket in a private directory) with one session of a fixed size and no
// status line.  Started from the test process, so the program shares the
// test's mount namespace (its private /dev/shm).
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_segment.h"

namespace zt {

struct TmuxSession {
  TempDir dir; // the socket, the configuration and the exit status
  std::string socket;
  bool started = false;

  TmuxSession();
  ~TmuxSession(); // kills the server
  TmuxSession(const TmuxSession &) = delete;
  TmuxSession &operator=(const TmuxSession &) = delete;

  // Starts argv in a width x height terminal; env entries "NAME=value" are
  // added, "-NAME" removed.  The pane stays after the program ends.
  bool start(const std::vector<std::string> &argv, int width, int height,
             const std::vector<std::string> &env = {});
  bool send_keys(const std::string &key); // tmux key names: "q", "Enter", "Up"
  // The visible screen, one string per row, trailing spaces removed.
  std::vector<std::string> screen();
  std::string screen_text(); // numbered rows, for failure messages
  bool wait_screen(const std::function<bool(const std::vector<std::string> &)> &cond,
                   int timeout_ms = 20000);
  bool wait_text(const std::string &text, int timeout_ms = 20000);
  // Until the screen equals expected (missing rows taken as empty).
  bool wait_equal(const std::vector<std::string> &expected, int timeout_ms = 20000);
  bool resize(int width, int height); // the program gets SIGWINCH
  // Once the program has ended; *status as a shell reports it.
  bool exited(int *status = nullptr);
  bool wait_exit(int *status = nullptr, int timeout_ms = 20000);
  void kill();
  int tmux(const std::vector<std::string> &args, std::string *out = nullptr);
};

// An expected screen of height rows, empty except the given ones.
std::vector<std::string> screen_of(int height,
                                   const std::vector<std::pair<int, std::string>> &rows);

} // namespace zt
