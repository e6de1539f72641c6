#include "support/tmux_session.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zt {

namespace {

constexpr char SESSION[] = "zt";

// Runs argv with standard output into *out (or /dev/null) and standard
// input from /dev/null; returns the exit status or -1.
int run_command(const std::vector<std::string> &argv, std::string *out) {
  int fds[2] = {-1, -1};
  if (out != nullptr && pipe2(fds, O_CLOEXEC) != 0)
    return -1;
  std::vector<char *> args;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t child = fork();
  if (child < 0)
    return -1;
  if (child == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(out != nullptr ? fds[1] : null_fd, 1);
    // The server outlives this client: it must not keep any descriptor of
    // the test (a pipe held open would never report its end).
    closefrom(3);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (out != nullptr) {
    close(fds[1]);
    out->clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
      if (n > 0)
        out->append(buf, static_cast<size_t>(n));
    close(fds[0]);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos)
      nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::string rstrip(const std::string &s) {
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

} // namespace

TmuxSession::TmuxSession() : socket(dir.path + "/sock") {
  // No status line (the pane is the whole terminal), and the pane stays
  // after its program ends, without a notice that would scroll it, so the
  // last screen and the exit status can be read.
  write_file(dir.path + "/tmux.conf", "set -g status off\n"
                                      "set -g remain-on-exit on\n"
                                      "set -g remain-on-exit-format ''\n"
                                      "set -g history-limit 0\n");
}

TmuxSession::~TmuxSession() { kill(); }

int TmuxSession::tmux(const std::vector<std::string> &args, std::string *out) {
  std::vector<std::string> argv = {"tmux", "-f", dir.path + "/tmux.conf", "-S", socket};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, out);
}

bool TmuxSession::start(const std::vector<std::string> &argv, int width, int height,
                        const std::vector<std::string> &env) {
  // Run through env(1): it sets and removes variables, and with more than
  // one word tmux executes the command directly instead of through a shell.
  std::vector<std::string> args = {"new-session", "-d", "-s", SESSION, "-x",
                                   std::to_string(width), "-y", std::to_string(height),
                                   "env", "-u", "TMUX"};
  for (const std::string &e : env) {
    if (!e.empty() && e[0] == '-') {
      args.push_back("-u");
      args.push_back(e.substr(1));
    }
  }
  for (const std::string &e : env)
    if (!e.empty() && e[0] != '-')
      args.push_back(e);
  const std::string status_path = dir.path + "/status";
  args.insert(args.end(), {"sh", "-c", "\"$@\"; echo $? >'" + status_path + ".new' && mv '" +
                                          status_path + ".new' '" + status_path + "'",
                           "sh"});
  args.insert(args.end(), argv.begin(), argv.end());
  started = tmux(args) == 0;
  return started;
}

bool TmuxSession::send_keys(const std::string &key) {
  return tmux({"send-keys", "-t", SESSION, key}) == 0;
}

bool TmuxSession::send_text(const std::string &text) {
  return tmux({"send-keys", "-t", SESSION, "-l", text}) == 0;
}

std::vector<std::string> TmuxSession::screen() {
  std::string out;
  if (tmux({"capture-pane", "-p", "-t", SESSION}, &out) != 0)
    return {};
  return split_lines(out);
}

std::string TmuxSession::screen_text() {
  std::string text;
  std::vector<std::string> rows = screen();
  char label[32];
  for (size_t i = 0; i < rows.size(); i++) {
    snprintf(label, sizeof label, "%2zu|", i);
    text.append(label).append(rows[i]).append("\n");
  }
  return text;
}

bool TmuxSession::wait_screen(const std::function<bool(const std::vector<std::string> &)> &cond,
                              int timeout_ms) {
  return wait_until([&] { return cond(screen()); }, timeout_ms);
}

bool TmuxSession::wait_text(const std::string &text, int timeout_ms) {
  return wait_screen(
      [&](const std::vector<std::string> &rows) {
        for (const std::string &r : rows)
          if (r.find(text) != std::string::npos)
            return true;
        return false;
      },
      timeout_ms);
}

bool TmuxSession::wait_equal(const std::vector<std::string> &expected, int timeout_ms) {
  return wait_screen(
      [&](const std::vector<std::string> &rows) {
        size_t n = std::max(rows.size(), expected.size());
        for (size_t i = 0; i < n; i++) {
          std::string got = i < rows.size() ? rstrip(rows[i]) : std::string();
          std::string want = i < expected.size() ? rstrip(expected[i]) : std::string();
          if (got != want)
            return false;
        }
        return true;
      },
      timeout_ms);
}

bool TmuxSession::resize(int width, int height) {
  return tmux({"resize-window", "-t", SESSION, "-x", std::to_string(width), "-y",
               std::to_string(height)}) == 0;
}

bool TmuxSession::exited(int *status) {
  // tmux may mark the pane dead without ever recording the status, so the
  // wrapping shell writes it to a file once the program has ended.
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

int TmuxSession::pane_pid() {
  std::string out;
  if (tmux({"display-message", "-p", "-t", SESSION, "#{pane_pid}"}, &out) != 0)
    return 0;
  return atoi(out.c_str());
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
