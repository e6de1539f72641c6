// Replacing a file so that a reader sees the old or the new content,
// never a part: write a temporary file in the same directory, then rename
// it over the target.
#pragma once

#include <string>

#include "runtime/status.h"

// Writes data to "<path>.tmp.<pid>" (mode 0644) and renames it to path.
// With durable, the file is fsynced before the rename and its directory
// after it, so the new content survives a crash.  On failure the temporary
// file is removed and the old content stays.
StatusCode atomic_file_write(const char *path, const std::string &data, bool durable);
