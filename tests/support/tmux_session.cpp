#include "support/tmux_session.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace zt {

int TmuxSession::tmux(const std::vector<std::string> &args, std::string *out) {
  std::vector<std::string> argv = {"-f", dir.path + "/tmux.conf", "-S", dir.path + "/sock"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run_program("/usr/bin/tmux", argv);
  if (out != nullptr)
    *out = r.out;
  return r.status;
}

bool TmuxSession::start(const std::vector<std::string> &argv, int width, int height,
                        const std::vector<std::string> &env) {
  write_file(dir.path + "/tmux.conf", "set -g status off\nset -g remain-on-exit on\n"
                                      "set -g remain-on-exit-format ''\nset -g history-limit 0\n");
  std::vector<std::string> args = {
      "new-session",          "-d",  "-s", "zt",  "-x", std::to_string(width), "-y",
      std::to_string(height), "env", "-u", "TMUX"};
  for (const std::string &e : env)
    e[0] == '-' ? args.insert(args.end(), {"-u", e.substr(1)}) : args.insert(args.end(), e);
  // tmux may call the pane dead before it has the status: a file has it.
  const std::string st = dir.path + "/status";
  args.insert(args.end(),
              {"sh", "-c", "\"$@\"; echo $? >" + st + ".new && mv " + st + ".new " + st, "sh"});
  args.insert(args.end(), argv.begin(), argv.end());
  return started = tmux(args) == 0;
}

std::vector<std::string> TmuxSession::screen() {
  std::string out, line;
  std::vector<std::string> rows;
  std::istringstream in(tmux({"capture-pane", "-p", "-t", "zt"}, &out) == 0 ? out : "");
  while (std::getline(in, line))
    rows.push_back(line);
  return rows;
}

std::string TmuxSession::screen_text() {
  std::string text;
  for (const std::string &row : screen())
    text.append("|").append(row).append("\n");
  return text;
}

bool TmuxSession::wait_text(const std::string &text, int timeout_ms) {
  return wait_until([&] { return screen_text().find(text) != std::string::npos; }, timeout_ms);
}

bool TmuxSession::wait_equal(const std::vector<std::string> &expected, int timeout_ms) {
  return wait_until(
      [&] {
        const std::vector<std::string> rows = screen();
        for (size_t i = 0; i < std::max(rows.size(), expected.size()); i++) {
          std::string got = i < rows.size() ? rows[i] : "",
                      want = i < expected.size() ? expected[i] : "";
          if (want[0] == '~' ? fnmatch(want.c_str() + 1, got.c_str(), 0) != 0 : got != want)
            return false;
        }
        return true;
      },
      timeout_ms);
}

bool TmuxSession::exited() { return read_file(dir.path + "/status").ends_with('\n'); }
int TmuxSession::wait_exit(int timeout_ms) {
  return wait_until([&] { return exited(); }, timeout_ms)
             ? atoi(read_file(dir.path + "/status").c_str())
             : -1;
}

} // namespace zt
