// Block handles: the block-level source and target of a backup or restore.
// A handle is opened on a path (block device or regular file), read or
// written block by block through its operation table, and closed.  Callers
// use only the dispatch functions below and never touch the descriptor.
//
// Reads never report a short object as an error: bytes past the end come
// back as zeros and the out counts say how many were real.  Operations keep
// no state beyond the descriptor and use positioned I/O, so several threads
// may read (or write) through one handle at once; open and close must not
// overlap any other call on the same handle.
#pragma once

#include <cstdint>

#include "runtime/status.h"

inline constexpr int BLOCK_PATH_MAX = 1024;

// Caller-owned; the same record serves readers and writers.
struct BlockHandle {
  int32_t is_block;          // reader: opened through device_reader_ops;
                             // writer: the target is a block device
  int32_t fd;                // -1 when not open
  const void *ops;           // BlockReaderOps or BlockWriterOps; null until chosen
  char path[BLOCK_PATH_MAX]; // the path given to open, cut at 1023 characters
};

struct BlockReaderOps {
  StatusCode (*open)(BlockHandle *h, const char *path);
  // Always fills the whole block; out_count (may be null) gets the real bytes.
  StatusCode (*read_block)(BlockHandle *h, uint64_t index, uint32_t block_size, void *buf,
                           int32_t *out_count);
  StatusCode (*size)(BlockHandle *h, uint64_t *out_size);
  StatusCode (*query_flag)(BlockHandle *h, int *out_value);
  void (*close)(BlockHandle *h);
  // Optional (null): the dispatcher then reads the range itself.
  StatusCode (*read_at)(BlockHandle *h, uint64_t offset, uint64_t length, void *buf,
                        uint64_t *out_count);
};

struct BlockWriterOps {
  StatusCode (*open)(BlockHandle *h, const char *path);
  StatusCode (*write_block)(BlockHandle *h, uint64_t index, uint32_t block_size, const void *data,
                            uint32_t length);
  StatusCode (*truncate)(BlockHandle *h, uint64_t length);
  StatusCode (*close)(BlockHandle *h);
};

// Readers of block devices and of anything else (files, character devices).
extern const BlockReaderOps device_reader_ops;
extern const BlockReaderOps file_reader_ops;
// The one writer table; it records whether the target is a block device.
extern const BlockWriterOps block_writer_ops;

// Resets the handle, picks the table by stat(path) and opens the full path.
// A failed stat leaves no table; a failed open leaves the table and fd -1.
StatusCode block_reader_open(BlockHandle *h, const char *path);

// Reads block index (byte offset index * block_size, at most INT32_MAX
// bytes); the tail past the end of the object is zero-filled.
StatusCode block_reader_read(BlockHandle *h, uint64_t index, uint32_t block_size, void *buf,
                             int32_t *out_count);

// Reads length bytes at offset, zero-filling past the end; out_count gets
// the real bytes.  Uses the table's read_at, or a built-in loop of preads.
StatusCode block_reader_read_at(BlockHandle *h, uint64_t offset, uint64_t length, void *buf,
                                uint64_t *out_count);

// Device size for a block device, file length otherwise.
StatusCode block_reader_size(BlockHandle *h, uint64_t *out_size);

// A yes/no property of the source; both built-in readers answer 1.
StatusCode block_reader_query_flag(BlockHandle *h, int *out_value);

// Closes through the table; a handle without a table is left alone.
void block_reader_close(BlockHandle *h);

// Resets the handle and opens path read-write, creating it with mode 0644
// (before umask) and keeping existing content.
StatusCode block_writer_open(BlockHandle *h, const char *path);

// Writes length bytes at index * block_size; a shorter last block or several
// blocks may be written at a block's offset.
StatusCode block_writer_write(BlockHandle *h, uint64_t index, uint32_t block_size, const void *data,
                              uint32_t length);

// Sets a file's length; on a block device ST_OK without change.
StatusCode block_writer_truncate(BlockHandle *h, uint64_t length);

// Flushes and closes.  ST_IO when nothing was open, the flush failed or the
// close failed; ST_OK for a handle without a table.
StatusCode block_writer_close(BlockHandle *h);

// One byte range of a volume.
struct BlockRange {
  uint64_t offset;
  uint64_t length;
};

// Opens a reader on a point-in-time snapshot of a volume.  Linux offers no
// such snapshots here: always ST_UNSUPPORTED.
StatusCode block_reader_open_snapshot(BlockHandle *h, const char *volume, uint64_t snapshot_id);

// Lists the ranges changed since the backup that recorded since_change_id
// (changed-block tracking).  Not available on Linux: always ST_UNSUPPORTED.
StatusCode block_reader_changed_ranges(BlockHandle *h, uint64_t since_change_id, BlockRange *ranges,
                                       uint32_t capacity, uint32_t *out_count);
