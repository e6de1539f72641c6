#include "exporter/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/file.h"

namespace {

std::string directory_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

StatusCode fsync_directory(const std::string &dir) {
  int fd = -1;
  StatusCode st = file_open_read(dir.c_str(), &fd);
  if (st != ST_OK)
    return st;
  st = file_fsync(fd);
  int err = errno;
  file_close(fd);
  errno = err;
  return st;
}

// Writes, sets the mode (the umask only ever narrows what open creates) and
// closes the temporary file; errno is the cause of a failure.
StatusCode write_temporary(const std::string &tmp, const std::string &data, mode_t mode,
                           bool durable) {
  int fd = -1;
  StatusCode st = file_open_write(tmp.c_str(), mode, &fd);
  if (st != ST_OK)
    return st;
  if (fchmod(fd, mode) != 0)
    st = status_from_errno(errno);
  uint64_t written = 0;
  if (st == ST_OK)
    st = file_pwrite_all(fd, data.data(), data.size(), 0, &written);
  if (st == ST_OK && written != data.size()) {
    errno = ENOSPC; // a write of 0 bytes: no room left
    st = ST_IO;
  }
  if (st == ST_OK && durable)
    st = file_fsync(fd);
  int err = errno;
  StatusCode closed = file_close(fd);
  if (st == ST_OK)
    return closed; // errno from close
  errno = err;
  return st;
}

StatusCode replace(const char *path, const std::string &data, mode_t mode, bool durable) {
  // The temporary name does not end in ".prom", so the textfile collector
  // never picks it up.
  const std::string tmp = std::string(path) + ".tmp." + std::to_string(getpid());
  StatusCode st = write_temporary(tmp, data, mode, durable);
  if (st == ST_OK)
    st = file_rename(tmp.c_str(), path);
  if (st != ST_OK) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    return st;
  }
  return durable ? fsync_directory(directory_of(path)) : ST_OK;
}

} // namespace

StatusCode atomic_file_write(const char *path, const std::string &data, bool durable) {
  return replace(path, data, 0600, durable);
}

StatusCode atomic_file_publish(const char *path, const std::string &data) {
  return replace(path, data, 0644, false);
}

StatusCode atomic_file_check_directory(const char *path, char *why, size_t why_size) {
  const std::string dir = directory_of(path);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    const StatusCode code = status_from_errno(errno);
    char text[128];
    snprintf(why, why_size, "directory %s: %s", dir.c_str(), errno_text(text, sizeof text));
    return code;
  }
  if (!S_ISDIR(st.st_mode)) {
    snprintf(why, why_size, "%s is not a directory", dir.c_str());
    return ST_INVAL;
  }
  return ST_OK;
}
