// A program under test in a real terminal: one tmux server of its own
// (socket in a private temporary directory), one session of a fixed size
// running one command.  The server is started from the test process, so
// the program shares the test's mount namespace (its private /dev/shm).
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace zt {

struct TmuxSession {
  TempDir dir;        // holds the socket and the server's configuration
  std::string socket; // dir.path + "/sock"
  bool started = false;

  TmuxSession();
  ~TmuxSession(); // kills the server
  TmuxSession(const TmuxSession &) = delete;
  TmuxSession &operator=(const TmuxSession &) = delete;

  // Starts argv (each word stays one argument) in a detached session of
  // width x height with no status line, so the pane is the whole terminal.  env
  // entries "NAME=value" are added to the program's environment; "-NAME"
  // removes NAME.  The pane stays after the program ends, so its last
  // screen and exit status can be read.  False when tmux failed.
  bool start(const std::vector<std::string> &argv, int width, int height,
             const std::vector<std::string> &env = {});

  // Sends keys as tmux key names ("q", "Enter", "Up", "C-c").
  bool send_keys(const std::string &key);
  // Sends text literally, character by character.
  bool send_text(const std::string &text);

  // The visible screen, one string per row (exactly the pane's height),
  // with trailing spaces removed by tmux.  Empty when tmux failed.
  std::vector<std::string> screen();
  // The screen joined with newlines, for failure messages.
  std::string screen_text();

  // Waits (generous default deadline) until cond holds for the screen.
  bool wait_screen(const std::function<bool(const std::vector<std::string> &)> &cond,
                   int timeout_ms = 20000);
  // Waits until some row contains text.
  bool wait_text(const std::string &text, int timeout_ms = 20000);
  // Waits until the screen equals expected (row by row, trailing spaces
  // ignored, missing rows taken as empty).
  bool wait_equal(const std::vector<std::string> &expected, int timeout_ms = 20000);

  // Changes the terminal size; the program receives SIGWINCH.
  bool resize(int width, int height);

  // True once the program in the pane has ended; *status gets its exit
  // status as a shell reports it (128 + n after signal n).
  bool exited(int *status = nullptr);
  bool wait_exit(int *status = nullptr, int timeout_ms = 20000);

  // Pid of the pane's first process, the shell that waits for the
  // program (0 if unknown).
  int pane_pid();

  // Kills the server and with it the program.
  void kill();

  // Runs tmux with args on this session's socket; *out gets its standard
  // output.  Returns tmux's exit status (-1 when it could not run).
  int tmux(const std::vector<std::string> &args, std::string *out = nullptr);
};

// An expected screen of height rows, all empty except the given ones.
std::vector<std::string> screen_of(int height,
                                   const std::vector<std::pair<int, std::string>> &rows);

} // namespace zt
