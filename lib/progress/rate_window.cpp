#include "progress/rate_window.h"

namespace {

// Far-off estimates saturate (at some 285 million years).
constexpr double ETA_CAP_MS = 9.0e18;

RateSample &slot(RateWindow *w, uint32_t k) {
  return w->samples[(w->first + k) % RATE_WINDOW_SLOTS];
}

void drop_oldest(RateWindow *w) {
  w->first = (w->first + 1) % RATE_WINDOW_SLOTS;
  w->count--;
}

// The newest sample is provisional while it lies closer than the spacing
// to the one before it: a new sample then takes its place.
void add_sample(RateWindow *w, const RateSample &s) {
  if (w->count >= 2 &&
      slot(w, w->count - 1).at_ms - slot(w, w->count - 2).at_ms < RATE_SAMPLE_SPACING_MS) {
    slot(w, w->count - 1) = s;
    return;
  }
  if (w->count == RATE_WINDOW_SLOTS)
    drop_oldest(w);
  w->count++;
  slot(w, w->count - 1) = s;
}

// Keeps one sample at or before the window's start (the base the rate is
// measured from) and drops the older ones.
void trim(RateWindow *w, int64_t now_ms) {
  while (w->count >= 2 && slot(w, 1).at_ms <= now_ms - RATE_WINDOW_MS)
    drop_oldest(w);
}

RateFigures from_record(RateWindow *w, const ProgressSegment &record, RateEta when_none) {
  w->eta_valid = false;
  RateFigures f{false, 0.0, 0.0, when_none, 0};
  if (when_none == RATE_ETA_UNKNOWN && record.eta_s >= 0) {
    f.eta_kind = RATE_ETA_RECORD;
    const uint64_t s = static_cast<uint64_t>(record.eta_s);
    f.eta_ms = s <= UINT64_MAX / 1000 ? s * 1000 : UINT64_MAX;
  }
  return f;
}

} // namespace

void rate_window_reset(RateWindow *window) {
  window->first = 0;
  window->count = 0;
  window->eta_valid = false;
  window->eta_at_ms = 0;
  window->eta_ms = 0;
}

RateFigures rate_window_update(RateWindow *window, int64_t now_ms, const ProgressSegment &record) {
  RateWindow *w = window;
  const RateSample s{now_ms, record.blocks_done, record.bytes_raw};
  if (w->count != 0) {
    const RateSample &last = slot(w, w->count - 1);
    if (now_ms < last.at_ms || s.blocks < last.blocks || s.bytes < last.bytes)
      rate_window_reset(w);
  }
  add_sample(w, s);
  trim(w, now_ms);

  const RateSample &base = slot(w, 0);
  const int64_t span_ms = now_ms - base.at_ms;
  const uint64_t blocks = s.blocks - base.blocks;
  const uint64_t bytes = s.bytes - base.bytes;
  if (blocks == 0 && bytes == 0)
    return from_record(w, record,
                       base.at_ms <= now_ms - RATE_WINDOW_MS ? RATE_ETA_STALLED : RATE_ETA_UNKNOWN);
  if (span_ms < RATE_MIN_SPAN_MS)
    return from_record(w, record, RATE_ETA_UNKNOWN);

  const double seconds = static_cast<double>(span_ms) / 1000.0;
  RateFigures f{true, static_cast<double>(blocks) / seconds, static_cast<double>(bytes) / seconds,
                RATE_ETA_UNKNOWN, 0};
  if (record.blocks_total == 0 || blocks == 0) {
    // Bytes move but no block is counted: the rate, and no estimate of
    // our own.
    RateFigures r = from_record(w, record, RATE_ETA_UNKNOWN);
    r.have_rate = true;
    r.blocks_per_s = f.blocks_per_s;
    r.bytes_per_s = f.bytes_per_s;
    return r;
  }
  if (!w->eta_valid || now_ms - w->eta_at_ms >= RATE_ETA_REFRESH_MS) {
    const uint64_t left =
        record.blocks_total > record.blocks_done ? record.blocks_total - record.blocks_done : 0;
    const double eta = static_cast<double>(left) / f.blocks_per_s * 1000.0;
    w->eta_ms = eta < ETA_CAP_MS ? static_cast<uint64_t>(eta) : static_cast<uint64_t>(ETA_CAP_MS);
    w->eta_at_ms = now_ms;
    w->eta_valid = true;
  }
  const uint64_t since = static_cast<uint64_t>(now_ms - w->eta_at_ms);
  f.eta_kind = RATE_ETA_WINDOW;
  f.eta_ms = w->eta_ms > since ? w->eta_ms - since : 0;
  return f;
}
