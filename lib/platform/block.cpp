#include "platform/block.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"

namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);

void reset(BlockHandle *h) {
  memset(h, 0, sizeof(*h));
  h->fd = -1;
}

void copy_path(BlockHandle *h, const char *path) { snprintf(h->path, sizeof(h->path), "%s", path); }

// Byte offset of a block, refused when the product would wrap or go past
// what the kernel accepts: a wrapped offset would silently read or write a
// different block.
bool block_offset(uint64_t index, uint32_t block_size, uint64_t *out) {
  if (block_size != 0 && index > kMaxOffset / block_size)
    return false;
  *out = index * block_size;
  return true;
}

// Reads up to length bytes at offset until the object ends; a short pread
// in mid-file (large requests, network and user-space file systems) is
// continued, so only bytes that do not exist are later zero-filled.
StatusCode read_range(int fd, uint64_t offset, uint64_t length, unsigned char *buf,
                      uint64_t *out_done) {
  if (offset > kMaxOffset || length > kMaxOffset - offset)
    return ST_INVAL;
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buf + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0)
      return status_from_errno(errno);
    if (n == 0)
      break;
    done += static_cast<uint64_t>(n);
  }
  memset(buf + done, 0, length - done);
  *out_done = done;
  return ST_OK;
}

StatusCode reader_open(BlockHandle *h, const char *path, int32_t is_block) {
  int fd = open(path, O_RDONLY);
  if (fd < 0)
    return status_from_errno(errno);
  h->fd = fd;
  (void)advise_sequential(fd);
  h->is_block = is_block;
  return ST_OK;
}

StatusCode device_open(BlockHandle *h, const char *path) { return reader_open(h, path, 1); }
StatusCode plain_open(BlockHandle *h, const char *path) { return reader_open(h, path, 0); }

StatusCode reader_read_block(BlockHandle *h, uint64_t index, uint32_t block_size, void *buf,
                             int32_t *out_count) {
  uint64_t offset = 0;
  if (block_size > static_cast<uint32_t>(INT32_MAX) || !block_offset(index, block_size, &offset))
    return ST_INVAL;
  uint64_t done = 0;
  StatusCode st = read_range(h->fd, offset, block_size, static_cast<unsigned char *>(buf), &done);
  if (st != ST_OK)
    return st;
  if (out_count != nullptr)
    *out_count = static_cast<int32_t>(done);
  return ST_OK;
}

StatusCode reader_size(BlockHandle *h, uint64_t *out_size) { return fd_size(h->fd, out_size); }

StatusCode reader_query_flag(BlockHandle *, int *out_value) {
  *out_value = 1;
  return ST_OK;
}

void reader_close(BlockHandle *h) {
  if (h->fd >= 0)
    close(h->fd);
  h->fd = -1;
}

// Steps 2 to 4 of opening a writer, on a handle already reset.
StatusCode writer_open(BlockHandle *h, const char *path) {
  int fd = open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0)
    return status_from_errno(errno);
  h->fd = fd;
  struct stat st {};
  h->is_block = (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) ? 1 : 0;
  return ST_OK;
}

StatusCode writer_write_block(BlockHandle *h, uint64_t index, uint32_t block_size, const void *data,
                              uint32_t length) {
  uint64_t offset = 0;
  if (!block_offset(index, block_size, &offset))
    return ST_INVAL;
  uint64_t done = 0;
  StatusCode st = file_pwrite_all(h->fd, data, length, offset, &done);
  if (st != ST_OK)
    return st;
  // No count goes back to the caller, so a write that stopped early must
  // not look like success.
  return done == length ? ST_OK : ST_IO;
}

StatusCode writer_truncate(BlockHandle *h, uint64_t length) {
  if (h->is_block == 1)
    return ST_OK;
  return file_truncate(h->fd, length);
}

// A failed fsync is how late write-back errors reach us, so it fails the
// close; objects that cannot be synced at all (EINVAL, EROFS: /dev/null,
// pipes, some special files) have nothing to flush and are not a failure.
StatusCode writer_close(BlockHandle *h) {
  if (h->fd < 0)
    return ST_IO;
  bool flushed = fsync(h->fd) == 0 || errno == EINVAL || errno == EROFS;
  bool closed = close(h->fd) == 0;
  h->fd = -1;
  return flushed && closed ? ST_OK : ST_IO;
}

} // namespace

const BlockReaderOps device_reader_ops = {
    device_open, reader_read_block, reader_size, reader_query_flag, reader_close, nullptr,
};

const BlockReaderOps file_reader_ops = {
    plain_open, reader_read_block, reader_size, reader_query_flag, reader_close, nullptr,
};

const BlockWriterOps block_writer_ops = {
    writer_open,
    writer_write_block,
    writer_truncate,
    writer_close,
};

namespace {

const BlockReaderOps *reader_table(const BlockHandle *h) {
  return h != nullptr ? static_cast<const BlockReaderOps *>(h->ops) : nullptr;
}

const BlockWriterOps *writer_table(const BlockHandle *h) {
  return h != nullptr ? static_cast<const BlockWriterOps *>(h->ops) : nullptr;
}

} // namespace

StatusCode block_reader_open(BlockHandle *h, const char *path) {
  if (h == nullptr)
    return ST_INVAL;
  reset(h);
  if (path == nullptr)
    return ST_INVAL;
  struct stat st {};
  if (stat(path, &st) != 0)
    return status_from_errno(errno);
  const BlockReaderOps *ops = S_ISBLK(st.st_mode) ? &device_reader_ops : &file_reader_ops;
  h->ops = ops;
  copy_path(h, path);
  return ops->open(h, path);
}

// The dispatchers below refuse a handle without a table (a failed or
// missing open) with ST_INVAL instead of calling through null.
StatusCode block_reader_read(BlockHandle *h, uint64_t index, uint32_t block_size, void *buf,
                             int32_t *out_count) {
  const BlockReaderOps *ops = reader_table(h);
  if (ops == nullptr)
    return ST_INVAL;
  return ops->read_block(h, index, block_size, buf, out_count);
}

StatusCode block_reader_read_at(BlockHandle *h, uint64_t offset, uint64_t length, void *buf,
                                uint64_t *out_count) {
  if (h == nullptr)
    return ST_INVAL;
  const BlockReaderOps *ops = reader_table(h);
  if (ops != nullptr && ops->read_at != nullptr)
    return ops->read_at(h, offset, length, buf, out_count);
  uint64_t done = 0;
  if (length > 0) {
    StatusCode st = read_range(h->fd, offset, length, static_cast<unsigned char *>(buf), &done);
    if (st != ST_OK)
      return st;
  }
  if (out_count != nullptr)
    *out_count = done;
  return ST_OK;
}

StatusCode block_reader_size(BlockHandle *h, uint64_t *out_size) {
  const BlockReaderOps *ops = reader_table(h);
  if (ops == nullptr || out_size == nullptr)
    return ST_INVAL;
  return ops->size(h, out_size);
}

StatusCode block_reader_query_flag(BlockHandle *h, int *out_value) {
  const BlockReaderOps *ops = reader_table(h);
  if (ops == nullptr || out_value == nullptr)
    return ST_INVAL;
  return ops->query_flag(h, out_value);
}

void block_reader_close(BlockHandle *h) {
  const BlockReaderOps *ops = reader_table(h);
  if (ops != nullptr)
    ops->close(h);
}

StatusCode block_writer_open(BlockHandle *h, const char *path) {
  if (h == nullptr)
    return ST_INVAL;
  reset(h);
  if (path == nullptr)
    return ST_INVAL;
  h->ops = &block_writer_ops;
  copy_path(h, path);
  return writer_open(h, path);
}

StatusCode block_writer_write(BlockHandle *h, uint64_t index, uint32_t block_size, const void *data,
                              uint32_t length) {
  const BlockWriterOps *ops = writer_table(h);
  if (ops == nullptr)
    return ST_INVAL;
  return ops->write_block(h, index, block_size, data, length);
}

StatusCode block_writer_truncate(BlockHandle *h, uint64_t length) {
  const BlockWriterOps *ops = writer_table(h);
  if (ops == nullptr)
    return ST_INVAL;
  return ops->truncate(h, length);
}

StatusCode block_writer_close(BlockHandle *h) {
  const BlockWriterOps *ops = writer_table(h);
  if (ops == nullptr)
    return ST_OK;
  return ops->close(h);
}

StatusCode block_reader_open_snapshot(BlockHandle *, const char *, uint64_t) {
  return ST_UNSUPPORTED;
}

StatusCode block_reader_changed_ranges(BlockHandle *, uint64_t, BlockRange *, uint32_t,
                                       uint32_t *) {
  return ST_UNSUPPORTED;
}
