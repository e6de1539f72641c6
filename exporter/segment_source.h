// Where the collector's segments come from: attaching one by its name in
// /dev/shm together with the identity of the object behind the name and its
// owner, and a watcher that attaches new segments the moment they appear,
// so that a run shorter than a collection is still seen (a mapping stays
// readable after the writer removed the name).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "progress/segment.h"

// The owners whose records count: root and the exporter's own user always,
// and the users named on the command line.  Anyone else could forge a
// result under any job's name.
struct TrustedOwners {
  std::vector<uid_t> uids;
};

struct AttachedSegment {
  uint32_t pid; // from the name, and the pid its record claims
  const ProgressSegment *mapping;
  dev_t dev; // the object behind the name when it was attached
  ino_t ino;
  uid_t owner;
};

enum AttachResult {
  ATTACH_OK,
  ATTACH_NOT_READY,  // absent, not yet sized or published, or not a segment of this pid
  ATTACH_UNREADABLE, // exists but may not be opened by this user
  ATTACH_UNTRUSTED,  // its owner is not trusted (in *out: its identity and owner)
};

// The pid in a segment's name ("zpr_progress." and decimal digits), or 0.
uint32_t segment_name_pid(const char *name);

// Maps "/dev/shm/zpr_progress.<pid>" read-only when it is a complete segment
// of that pid owned by a trusted user.  On ATTACH_OK *out holds the mapping
// (released with progress_detach); on ATTACH_UNTRUSTED everything but it.
AttachResult segment_attach(uint32_t pid, const TrustedOwners &trusted, AttachedSegment *out);

// The watcher: a thread following /dev/shm with inotify.  Each segment name
// that appears is attached as soon as its writer has published the record
// (tried for about a second); the collector takes them with
// segment_watch_take.  Untrusted and unreadable ones are left to the
// collection's scan, which counts them.
struct SegmentWatch {
  int inotify_fd = -1;
  int stop_fd = -1;
  const TrustedOwners *trusted = nullptr;
  std::thread thread;
  std::mutex lock;
  std::vector<AttachedSegment> attached; // guarded by lock, in order of attachment
};

// Starts the watcher; false (nothing started) when inotify is not available.
bool segment_watch_start(SegmentWatch *w, const TrustedOwners *trusted);

// Moves the segments attached since the last call into *out, in order.
void segment_watch_take(SegmentWatch *w, std::vector<AttachedSegment> *out);

// Stops and joins the thread and detaches what was not taken.
void segment_watch_stop(SegmentWatch *w);
