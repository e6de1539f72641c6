#include "exporter/atomic_file.h"

#include <unistd.h>

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
  file_close(fd);
  return st;
}

} // namespace

StatusCode atomic_file_write(const char *path, const std::string &data, bool durable) {
  // The temporary name does not end in ".prom", so the textfile collector
  // never picks it up.
  const std::string tmp = std::string(path) + ".tmp." + std::to_string(getpid());
  int fd = -1;
  StatusCode st = file_open_write(tmp.c_str(), 0644, &fd);
  if (st != ST_OK)
    return st;
  uint64_t written = 0;
  st = file_pwrite_all(fd, data.data(), data.size(), 0, &written);
  if (st == ST_OK && written != data.size())
    st = ST_IO;
  if (st == ST_OK && durable)
    st = file_fsync(fd);
  StatusCode closed = file_close(fd);
  if (st == ST_OK)
    st = closed;
  if (st == ST_OK)
    st = file_rename(tmp.c_str(), path);
  if (st != ST_OK) {
    unlink(tmp.c_str());
    return st;
  }
  return durable ? fsync_directory(directory_of(path)) : ST_OK;
}
