#include "platform/file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(BLKGETSIZE64 == 0x80081272, "BLKGETSIZE64 has a fixed request number");
static_assert(BLKSSZGET == 0x1268, "BLKSSZGET has a fixed request number");
static_assert(sizeof(off_t) == 8, "offsets are 64-bit");

namespace {

// Offsets and lengths are unsigned 64-bit here but signed for the kernel;
// a value above INT64_MAX would turn negative on the way down.
bool fits_offset(uint64_t value) { return value <= static_cast<uint64_t>(INT64_MAX); }

StatusCode open_with(const char *path, int flags, mode_t mode, int *out_fd) {
  if (path == nullptr || out_fd == nullptr)
    return ST_INVAL;
  int fd = open(path, flags, mode);
  if (fd < 0)
    return status_from_errno(errno);
  *out_fd = fd;
  return ST_OK;
}

} // namespace

int fd_valid(int fd) { return fd >= 0 ? 1 : 0; }

StatusCode file_open_read(const char *path, int *out_fd) {
  return open_with(path, O_RDONLY, 0, out_fd);
}

StatusCode file_open_write(const char *path, mode_t mode, int *out_fd) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, mode, out_fd);
}

StatusCode file_open_rw(const char *path, mode_t mode, int *out_fd) {
  return open_with(path, O_RDWR | O_CREAT, mode, out_fd);
}

StatusCode file_close(int fd) {
  if (fd < 0)
    return ST_OK;
  if (close(fd) != 0)
    return status_from_errno(errno);
  return ST_OK;
}

StatusCode file_pread(int fd, void *buf, uint64_t count, uint64_t offset, uint64_t *out_read) {
  if (!fits_offset(offset))
    return ST_INVAL;
  ssize_t n = pread(fd, buf, count, static_cast<off_t>(offset));
  if (n < 0)
    return status_from_errno(errno);
  if (out_read != nullptr)
    *out_read = static_cast<uint64_t>(n);
  return ST_OK;
}

StatusCode file_pwrite_all(int fd, const void *data, uint64_t len, uint64_t offset,
                           uint64_t *out_written) {
  if (len > 0 && (!fits_offset(offset) || len > static_cast<uint64_t>(INT64_MAX) - offset))
    return ST_INVAL;
  const auto *bytes = static_cast<const unsigned char *>(data);
  uint64_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, bytes + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return status_from_errno(errno);
    }
    if (n == 0)
      break;
    done += static_cast<uint64_t>(n);
  }
  if (out_written != nullptr)
    *out_written = done;
  return ST_OK;
}

StatusCode file_fsync(int fd) {
  if (fsync(fd) != 0)
    return status_from_errno(errno);
  return ST_OK;
}

StatusCode file_truncate(int fd, uint64_t length) {
  if (!fits_offset(length))
    return ST_INVAL;
  if (ftruncate(fd, static_cast<off_t>(length)) != 0)
    return status_from_errno(errno);
  return ST_OK;
}

StatusCode file_rename(const char *old_path, const char *new_path) {
  if (old_path == nullptr || new_path == nullptr)
    return ST_INVAL;
  if (rename(old_path, new_path) != 0)
    return status_from_errno(errno);
  return ST_OK;
}

StatusCode fd_size(int fd, uint64_t *out_size) {
  if (out_size == nullptr)
    return ST_INVAL;
  struct stat st {};
  if (fstat(fd, &st) != 0)
    return status_from_errno(errno);
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0)
      return status_from_errno(errno);
    *out_size = bytes;
    return ST_OK;
  }
  *out_size = static_cast<uint64_t>(st.st_size);
  return ST_OK;
}

StatusCode device_sector_size(const char *path, int32_t *out_size) {
  if (path == nullptr || out_size == nullptr)
    return ST_INVAL;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return status_from_errno(errno);
  int sector = 0;
  int rc = ioctl(fd, BLKSSZGET, &sector);
  // close may overwrite errno, and a "successful" ioctl that yields no
  // size leaves a stale one: decide the status before closing.
  StatusCode st = ST_OK;
  if (rc != 0)
    st = status_from_errno(errno);
  else if (sector <= 0)
    st = ST_IO;
  close(fd);
  if (st != ST_OK)
    return st;
  *out_size = sector;
  return ST_OK;
}

int advise_sequential(int fd) { return posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

int advise_willneed(int fd, uint64_t offset, uint64_t length) {
  return posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                       POSIX_FADV_WILLNEED);
}
