#include "support/tmux_session.h"

#include <cstdlib>
#include <sstream>

namespace zt {

namespace {

std::string rstrip(const std::string &s) { return s.substr(0, s.find_last_not_of(' ') + 1); }

} // namespace

TmuxSession::TmuxSession() : socket(dir.path + "/sock") {
  write_file(dir.path + "/tmux.conf", "set -g status off\nset -g remain-on-exit on\n"
                                      "set -g remain-on-exit-format ''\nset -g history-limit 0\n");
}

TmuxSession::~TmuxSession() { kill(); }

int TmuxSession::tmux(const std::vector<std::string> &args, std::string *out) {
  std::vector<std::string> argv = {"/usr/bin/tmux", "-f", dir.path + "/tmux.conf", "-S", socket};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = spawn_program(argv, dir.path + "/out", dir.path + "/err");
  int status = pid > 0 ? zt::wait_exit(pid) : -1;
  if (out != nullptr)
    *out = read_file(dir.path + "/out");
  return status;
}

bool TmuxSession::start(const std::vector<std::string> &argv, int width, int height,
                        const std::vector<std::string> &env) {
  std::vector<std::string> args = {"new-session", "-d", "-s", "zt", "-x", std::to_string(width),
                                   "-y", std::to_string(height), "env", "-u", "TMUX"};
  for (const std::string &e : env)
    if (e[0] == '-')
      args.insert(args.end(), {"-u", e.substr(1)});
  for (const std::string &e : env)
    if (e[0] != '-')
      args.push_back(e);
  // tmux may mark the pane dead before it has the status: a file has it.
  const std::string st = dir.path + "/status";
  args.insert(args.end(), {"sh", "-c", std::string("\"$@\"; echo $? >").append(st).append(".new && mv ").append(st).append(".new ").append(st), "sh"});
  args.insert(args.end(), argv.begin(), argv.end());
  return started = tmux(args) == 0;
}

bool TmuxSession::send_keys(const std::string &key) { return tmux({"send-keys", "-t", "zt", key}) == 0; }

std::vector<std::string> TmuxSession::screen() {
  std::string out, line;
  std::vector<std::string> rows;
  if (tmux({"capture-pane", "-p", "-t", "zt"}, &out) != 0)
    return rows;
  std::istringstream in(out);
  while (std::getline(in, line))
    rows.push_back(line);
  return rows;
}

std::string TmuxSession::screen_text() {
  std::string text;
  std::vector<std::string> rows = screen();
  for (size_t i = 0; i < rows.size(); i++)
    text.append(i < 10 ? " " : "").append(std::to_string(i)).append("|").append(rows[i]).append("\n");
  return text;
}

bool TmuxSession::wait_screen(const std::function<bool(const std::vector<std::string> &)> &cond,
                              int timeout_ms) {
  return wait_until([&] { return cond(screen()); }, timeout_ms);
}

bool TmuxSession::wait_text(const std::string &text, int timeout_ms) {
  return wait_screen([&](const std::vector<std::string> &rows) {
    for (const std::string &r : rows)
      if (r.find(text) != std::string::npos)
        return true;
    return false;
  }, timeout_ms);
}

bool TmuxSession::wait_equal(const std::vector<std::string> &expected, int timeout_ms) {
  return wait_screen([&](const std::vector<std::string> &rows) {
    for (size_t i = 0; i < std::max(rows.size(), expected.size()); i++)
      if (rstrip(i < rows.size() ? rows[i] : "") != rstrip(i < expected.size() ? expected[i] : ""))
        return false;
    return true;
  }, timeout_ms);
}

bool TmuxSession::resize(int width, int height) {
  return tmux({"resize-window", "-t", "zt", "-x", std::to_string(width), "-y", std::to_string(height)}) == 0;
}

bool TmuxSession::exited(int *status) {
  std::string text = read_file(dir.path + "/status");
  if (text.empty() || text.back() != '\n')
    return false;
  if (status != nullptr)
    *status = atoi(text.c_str());
  return true;
}

bool TmuxSession::wait_exit(int *status, int timeout_ms) {
  return wait_until([&] { return exited(status); }, timeout_ms);
}

void TmuxSession::kill() {
  if (started)
    tmux({"kill-server"});
  started = false;
}

std::vector<std::string> screen_of(int height,
                                   const std::vector<std::pair<int, std::string>> &rows) {
  std::vector<std::string> screen(static_cast<size_t>(height));
  for (const auto &[row, text] : rows)
    if (row >= 0 && row < height)
      screen[static_cast<size_t>(row)] = text;
  return screen;
}

} // namespace zt
