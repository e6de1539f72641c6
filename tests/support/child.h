// fn in a forked child, as nobody (65534) when asked: its exit status, 1000 plus the signal that
// ended it, or -1.  For process-wide state, privileges, namespaces and fatal endings.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

inline int in_child(const std::function<int()> &fn, bool nobody = false) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) { // through exit(), so coverage builds count what the child ran
    int rc = nobody && (setgid(65534) != 0 || setuid(65534) != 0) ? 120 : fn();
#ifdef __SANITIZE_ADDRESS__
    _exit(rc); // the leak check cannot run in every child
#endif
    exit(rc);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status)     ? WEXITSTATUS(status)
         : WIFSIGNALED(status) ? 1000 + WTERMSIG(status)
                               : -1;
}
