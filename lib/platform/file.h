// File and device primitives: a thin layer over POSIX descriptors.
// Failures of system calls come back as StatusCode (errno translated by
// status_from_errno); the two advice calls pass posix_fadvise's own result
// through.  Out parameters are written only on success.  A descriptor of -1
// means none.  Every function is reentrant, and positioned I/O leaves the
// descriptor's file offset alone, so threads may share one descriptor.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "runtime/status.h"

// 1 when fd is 0 or more, else 0.
int fd_valid(int fd);

// open(path, O_RDONLY).
StatusCode file_open_read(const char *path, int *out_fd);

// open(path, O_WRONLY | O_CREAT | O_TRUNC, mode): an existing file is emptied.
StatusCode file_open_write(const char *path, mode_t mode, int *out_fd);

// open(path, O_RDWR | O_CREAT, mode): an existing file keeps its content.
StatusCode file_open_rw(const char *path, mode_t mode, int *out_fd);

// Closes fd; a negative fd is ST_OK without a system call.
StatusCode file_close(int fd);

// Exactly one pread of count bytes at offset.  A short count, or 0 at the
// end, is success; out_read (may be null) receives the bytes read.  EINTR
// is not retried.
StatusCode file_pread(int fd, void *buf, uint64_t count, uint64_t offset, uint64_t *out_read);

// Writes all of data at offset, repeating interrupted calls and continuing
// after partial ones.  out_written (may be null) is below len only when a
// call wrote 0 bytes.  len 0 makes no system call.
StatusCode file_pwrite_all(int fd, const void *data, uint64_t len, uint64_t offset,
                           uint64_t *out_written);

StatusCode file_fsync(int fd);

// ftruncate: shortens or extends (with zeros) to length.
StatusCode file_truncate(int fd, uint64_t length);

// rename(2): an existing target is replaced.
StatusCode file_rename(const char *old_path, const char *new_path);

// Size in bytes: BLKGETSIZE64 for a block device, st_size otherwise.
StatusCode fd_size(int fd, uint64_t *out_size);

// Logical sector size of the block device at path (BLKSSZGET).  Opens and
// closes a descriptor of its own; anything but a block device gives ST_IO.
StatusCode device_sector_size(const char *path, int32_t *out_size);

// posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL): 0 or a positive errno.
int advise_sequential(int fd);

// posix_fadvise(fd, offset, length, POSIX_FADV_WILLNEED): 0 or a positive errno.
int advise_willneed(int fd, uint64_t offset, uint64_t length);
