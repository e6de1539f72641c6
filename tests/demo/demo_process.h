// Running the programs under test as real child processes, with their
// standard output and error captured through pipes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace demo_test {

inline std::string demo_bin() { return zt::build_dir() + "/demo/zpr_demo"; }
inline std::string monitor_bin() { return zt::build_dir() + "/monitor/zpr_monitor"; }

struct Child {
  pid_t pid = -1;
  int out = -1; // read ends, -1 when not captured
  int err = -1;
};

// Starts argv; captures standard output and error when asked, otherwise
// they go to /dev/null.
inline Child spawn(const std::vector<std::string> &argv, bool capture = true) {
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (capture && (pipe(out) != 0 || pipe(err) != 0))
    return {};
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    // The alarm survives exec: a program that hangs ends by SIGALRM after
    // two minutes instead of holding its test until ctest's limit.
    alarm(120);
    int null = open("/dev/null", O_RDWR);
    dup2(capture ? out[1] : null, 1);
    dup2(capture ? err[1] : null, 2);
    dup2(null, 0);
    std::vector<char *> args;
    for (const std::string &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (capture) {
    close(out[1]);
    close(err[1]);
    c.out = out[0];
    c.err = err[0];
  }
  return c;
}

inline std::string read_all(int fd) {
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

// Waits for the child and returns its raw wait status.
inline int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

struct Result {
  int status = 0; // raw wait status
  std::string out, err;
};

// Runs argv to its end, collecting both outputs.  Standard error is read
// after standard output, so keep it small.
inline Result run(const std::vector<std::string> &argv) {
  Child c = spawn(argv);
  Result r;
  r.out = read_all(c.out);
  r.err = read_all(c.err);
  r.status = wait_for(c.pid);
  return r;
}

inline std::string segment_path(pid_t pid) {
  return "/dev/shm/zpr_progress." + std::to_string(pid);
}

inline bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

inline std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  return parts;
}

} // namespace demo_test
