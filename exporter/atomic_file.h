// Replacing a file so that a reader sees the old or the new content,
// never a part: write a temporary file in the same directory, then rename
// it over the target.  Each version is therefore a new inode.
#pragma once

#include <string>

#include "runtime/status.h"

// Writes data to "<path>.tmp.<pid>" with mode 0600 whatever the umask (a
// private file such as the state file) and renames it to path.  With
// durable, the file is fsynced before the rename and its directory after
// it, so the new content survives a crash.  On failure the temporary file
// is removed, the old content stays, and errno names the cause (for the
// caller's message: a full disk, a read-only file system, a directory).
StatusCode atomic_file_write(const char *path, const std::string &data, bool durable);

// The same with mode 0644 whatever the umask and without fsync: a file that
// other users' programs read (node_exporter's textfile collector), replaced
// every interval.
StatusCode atomic_file_publish(const char *path, const std::string &data);

// ST_OK when the directory path would be written in exists and is a
// directory; otherwise a reason ("directory D: <the system's text>") in why.
StatusCode atomic_file_check_directory(const char *path, char *why, size_t why_size);
