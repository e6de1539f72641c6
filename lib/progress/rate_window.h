// A job's recent rate and the ETA it gives, for readers that watch a
// record over time (the monitor's table; the exporter can show the same
// figures).  A record's own eta_s is an average since the job's first
// update: after a fast start it promises too much, and after a stall it
// keeps counting down.  The window keeps the positions seen over the last
// RATE_WINDOW_MS of the reader's clock instead, so the rate is the change
// of position over that span and falls to nothing when the job stops.
//
// A plain record and free functions; the caller passes the time, so the
// figures can be worked out for any schedule of samples without waiting.
// Nothing is allocated.
#pragma once

#include <cstdint>

#include "progress/segment.h"

inline constexpr int64_t RATE_WINDOW_MS = 10000;
// Samples closer together than this replace the newest one, so frequent
// redraws (a key held down) neither crowd the window out nor overflow it.
inline constexpr int64_t RATE_SAMPLE_SPACING_MS = 250;
// Less than this span of observation gives no rate yet.
inline constexpr int64_t RATE_MIN_SPAN_MS = 1000;
// The ETA is worked out again at most this often and counts down between.
inline constexpr int64_t RATE_ETA_REFRESH_MS = 1000;
// The samples of one window and the one just before it, spaced as above,
// with room to spare.
inline constexpr uint32_t RATE_WINDOW_SLOTS = RATE_WINDOW_MS / RATE_SAMPLE_SPACING_MS + 8;

struct RateSample {
  int64_t at_ms;   // the reader's monotonic clock
  uint64_t blocks; // blocks_done
  uint64_t bytes;  // bytes_raw
};

// Samples in a ring, oldest at `first`; the oldest is the latest one taken
// at or before the window's start, once the window is full.
struct RateWindow {
  RateSample samples[RATE_WINDOW_SLOTS];
  uint32_t first;
  uint32_t count;
  bool eta_valid;
  int64_t eta_at_ms; // when the estimate was last worked out
  uint64_t eta_ms;   // the estimate then
};

enum RateEta : uint8_t {
  RATE_ETA_UNKNOWN, // nothing to go by
  RATE_ETA_RECORD,  // the record's own estimate, while the window has no figure yet
  RATE_ETA_WINDOW,  // from the windowed block rate
  RATE_ETA_STALLED, // no progress over a whole window: the job is not moving
};

struct RateFigures {
  bool have_rate; // the rates below are valid
  double blocks_per_s;
  double bytes_per_s;
  RateEta eta_kind;
  uint64_t eta_ms; // for RATE_ETA_RECORD and RATE_ETA_WINDOW
};

// Empties the window: the next update starts a new history (for another
// record, or a record whose counters went back).
void rate_window_reset(RateWindow *window);

// Adds the position of `record` as seen at now_ms and returns the figures:
// the rates over the samples in the window (when it spans at least
// RATE_MIN_SPAN_MS and shows progress), the ETA as remaining blocks over
// the block rate (refreshed at most every RATE_ETA_REFRESH_MS, counting
// down between), "stalled" after a full window without progress, and
// else the record's own eta_s when it has one.  Counters that went back,
// or a clock that did, restart the window.
RateFigures rate_window_update(RateWindow *window, int64_t now_ms, const ProgressSegment &record);
