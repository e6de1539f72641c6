// Running one case of process-wide start-up state (run log, option check)
// in a forked child that ends through a real exit, so exit handlers run.
// Optionally what the child sends to syslog is collected by a datagram
// socket at /dev/log, in a private mount namespace with an empty /dev and
// /var/log; the machine's own /dev/log is never touched.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zt {

struct ChildRun {
  bool ran = false;                 // the case ran (false: no namespace here)
  int exit_code = -1;               // WEXITSTATUS, -1 when it did not exit
  long pid = 0;                     // the child that ran the case
  std::string err;                  // its standard error
  std::vector<std::string> syslog;  // datagrams that reached /dev/log
  bool default_log_exists = false;  // /var/log/zpr/monitor.log in the namespace
  std::string default_log;          // and its contents
};

namespace child_detail {

// Forks; the child sends stderr to err_path and ends with exit(body()).
inline pid_t spawn(const std::function<int()> &body, const std::string &err_path) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // A case that hangs must not outlive a test program ended by timeout.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, 2) < 0)
      _exit(120);
    close(fd);
    exit(body());
  }
  return pid;
}

inline int wait_exit_code(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// A datagram socket bound at /dev/log, or -1.
inline int bind_dev_log() {
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0)
    return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", "/dev/log");
  if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

// Sets up the syslog socket of a case: in a private mount namespace with
// an empty /dev and /var/log when one can be made.  Otherwise, if the case
// allows it and the machine has no /dev/log at all, the socket is created
// there for the run (*on_machine, to be removed afterwards); an existing
// /dev/log is never used.  Returns the socket or -1.
inline int open_syslog_sink(bool allow_machine, bool *on_machine) {
  *on_machine = false;
  if (unshare(CLONE_NEWNS) == 0) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("zpr-test-dev", "/dev", "tmpfs", 0, "mode=755") != 0 ||
        mount("zpr-test-varlog", "/var/log", "tmpfs", 0, "mode=755") != 0)
      return -1;
    return bind_dev_log();
  }
  struct stat st;
  if (!allow_machine || lstat("/dev/log", &st) == 0 || errno != ENOENT)
    return -1;
  // bind fails if /dev/log has appeared in the meantime.
  int sock = bind_dev_log();
  *on_machine = sock >= 0;
  return sock;
}

// Collects datagrams until the child pid has exited and the queue is
// empty, and writes them, each followed by a NUL, to path.  The queue of a
// datagram socket is short, so collecting must go on while the child runs.
// Returns the child's exit code.
inline int collect(int sock, pid_t pid, const std::string &path) {
  std::string all;
  char buf[4096];
  int code = -1;
  bool exited = false;
  for (;;) {
    pollfd pfd{sock, POLLIN, 0};
    poll(&pfd, 1, exited ? 0 : 20);
    ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n >= 0) {
      all.append(buf, static_cast<size_t>(n));
      all.push_back('\0');
      continue;
    }
    if (exited)
      break;
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || done < 0) {
      exited = true;
      code = done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
  write_file(path, all);
  return code;
}

} // namespace child_detail

// Runs body in a forked child that ends with exit(body()).
inline ChildRun run_child(const std::function<int()> &body) {
  TempDir dir;
  ChildRun run;
  std::string err_path = dir.path + "/stderr";
  pid_t pid = child_detail::spawn(body, err_path);
  run.pid = pid;
  run.exit_code = child_detail::wait_exit_code(pid);
  run.ran = true;
  run.err = read_file(err_path);
  return run;
}

// As run_child, with what the child sends to syslog collected (see
// open_syslog_sink).  A case that leaves the default log directory alone
// (--no-log, or no runlog_init) may pass uses_default_log_dir = false and
// then also runs where no namespace can be made.  ran is false when the
// case could not run here.
inline ChildRun run_child_with_syslog(const std::function<int()> &body,
                                      bool uses_default_log_dir = true) {
  TempDir dir;
  ChildRun run;
  const std::string err_path = dir.path + "/stderr";
  const std::string out = dir.path + "/";
  fflush(nullptr);
  pid_t keeper = fork();
  if (keeper == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    bool on_machine = false;
    int sock = child_detail::open_syslog_sink(!uses_default_log_dir, &on_machine);
    if (sock < 0)
      _exit(77);
    pid_t pid = child_detail::spawn(body, err_path);
    int code = child_detail::collect(sock, pid, out + "syslog");
    if (on_machine)
      unlink("/dev/log");
    write_file(out + "pid", std::to_string(pid));
    write_file(out + "code", std::to_string(code));
    struct stat st;
    if (!on_machine && stat("/var/log/zpr/monitor.log", &st) == 0)
      write_file(out + "default_log", read_file("/var/log/zpr/monitor.log"));
    _exit(0);
  }
  if (child_detail::wait_exit_code(keeper) != 0)
    return run;
  run.ran = true;
  run.pid = std::atol(read_file(out + "pid").c_str());
  run.exit_code = std::atoi(read_file(out + "code").c_str());
  run.err = read_file(err_path);
  std::string all = read_file(out + "syslog");
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find('\0', start);
    run.syslog.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  struct stat st;
  run.default_log_exists = stat((out + "default_log").c_str(), &st) == 0;
  if (run.default_log_exists)
    run.default_log = read_file(out + "default_log");
  return run;
}

} // namespace zt
