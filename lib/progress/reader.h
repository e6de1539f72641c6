// Reader side of the progress segment: attach read-only by pid, take
// consistent copies under the sequence counter, detach; and the discovery
// scan of /dev/shm.  Never writes to a segment, takes no lock, prints
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "progress/segment.h"
#include "runtime/status.h"

// Maps the segment of pid read-only into *out (emptied first).
// ST_NOTFOUND: no such object (or no permission), or an object not yet
// sized to a whole record; ST_IO: mapping failed; ST_CORRUPT: wrong magic
// or version.  The mapping stays readable after the writer removed the name.
StatusCode progress_attach(uint32_t pid, const ProgressSegment **out);

// Copies a consistent record into *out: at most 100 attempts, no waiting.
// ST_INVAL without segment or buffer; ST_AGAIN when the writer stayed
// inside an update (or died there) for all attempts; ST_IO when the
// record can no longer be read because its writer shrank the object (the
// fault is caught, not fatal); *out is then not to be used.
StatusCode progress_snapshot(const ProgressSegment *segment, ProgressSegment *out);

// Unmaps *ref and empties it; nothing happens when ref or *ref is null.
void progress_detach(const ProgressSegment **ref);

// Lists the segments in /dev/shm, one entry per attachable and consistently
// readable segment of a non-zero pid, in directory order.  On ST_OK *entries
// is a malloc'ed array of *count entries (possibly none) that the caller
// frees.  Nothing stays mapped.
StatusCode scan_segments(ScanEntry **entries, size_t *count);

// scan_segments, and on ST_OK *denied gets the number of segments that
// exist but could not be opened for lack of permission (another user's),
// which the scan otherwise skips like absent ones.
StatusCode scan_segments_denied(ScanEntry **entries, size_t *count, size_t *denied);
