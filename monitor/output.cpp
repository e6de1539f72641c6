#include "monitor/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

void output_keep_standard_fds() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // open takes the lowest free descriptor, which is this one.
    int held = open("/dev/null", O_RDONLY);
    if (held != fd && held >= 0)
      close(held);
  }
}

bool output_flush() {
  // A failed flush sets errno now; a stream that failed earlier (a full
  // buffer written out in the middle of a line) still carries the error
  // flag, and errno from that write unless something changed it since.
  if (fflush(stdout) == 0 && ferror(stdout) == 0)
    return true;
  const int cause = errno != 0 ? errno : EIO;
  fprintf(stderr, "error: cannot write to standard output: %s\n", strerror(cause));
  return false;
}
