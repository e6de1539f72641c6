// A program under test running in the background (a server, zpr_exporter),
// its output in a directory of its own, stopped with SIGTERM at the end.
#pragma once

#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/fake_segment.h"

namespace zt {

struct Background {
  TempDir dir;
  pid_t pid = -1;
  Background() = default;
  explicit Background(const std::vector<std::string> &argv) { start(argv); }
  ~Background() { stop(); }
  void start(const std::vector<std::string> &argv) {
    pid = spawn_program(argv, dir.path + "/out", dir.path + "/err");
  }
  std::string err() const { return read_file(dir.path + "/err"); }
  // The port that its standard error gives right after `marker`, once it does; 0 if it never does.
  int logged_port(const std::string &marker) const {
    int port = 0;
    wait_until([&] {
      const std::string e = err();
      const size_t at = e.find(marker);
      return at != std::string::npos && (port = atoi(e.c_str() + at + marker.size())) > 0;
    });
    return port;
  }
  // Its exit status (see wait_exit), or -1 when it was not running.
  int stop() {
    const int status = pid > 0 && kill(pid, SIGTERM) == 0 ? wait_exit(pid) : -1;
    pid = -1;
    return status;
  }
};

} // namespace zt
