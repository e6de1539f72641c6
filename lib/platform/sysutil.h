// System utilities: directories, processor count, host name, a one-line
// system description, free space, a millisecond sleep and lowering the
// process's priority.  Stateless wrappers; every StatusCode that comes from
// a failing system call is status_from_errno of its errno.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/status.h"

// 1 when stat succeeds on path (links are followed, so a dangling link
// gives 0), else 0.
int path_exists(const char *path);

// mkdir with mode 0777 (less the umask).  ST_OK also when path already is a
// directory; ST_EXISTS when it exists as anything else (a dangling link
// included); ST_INVAL for a null path; otherwise the converted errno.
StatusCode make_dir(const char *path);

// Creates path and its missing parents, as make_dir does for the last
// step.  Only the first 1099 characters of path are used.  A failure on an
// intermediate level shows as the failure of the last one.  ST_INVAL for a
// null path.
StatusCode make_dirs(const char *path);

// Processors online; never less than 1.
int64_t online_cpu_count();

// The host name in buf, always terminated (cut at size - 1).  A name
// longer than the buffer fails with the converted gethostname error;
// ST_INVAL for no buffer or a size of 0.
StatusCode host_name(char *buf, size_t size);

// One line describing the system, "<pretty name> (<sysname> <release>)",
// or "<sysname> <release>" when /etc/os-release names nothing, or "unknown"
// when uname fails.  Always terminated; a size of 0 receives nothing.
// Returns 0.
int os_description(char *buf, size_t size);

// Space available to unprivileged users on the file system of path, in
// bytes.  *bytes is written only on success; ST_INVAL for null arguments.
StatusCode free_space_bytes(const char *path, uint64_t *bytes);

// usleep for ms milliseconds; returns usleep's result (0, or -1 with
// errno).  Negative values sleep 0 ms; values above 2,147,483 ms are
// clamped to it, so the microsecond count always fits 32 bits.
int sleep_ms(int ms);

// Raises the niceness by 10 (capped at 19 by the kernel, result ignored)
// and sets the I/O priority to best effort, level 7.  Returns the result
// of the ioprio_set system call (0, or -1 with errno).
long lower_priority();
