// The windowed rate and ETA against writers on known schedules, sampled every 250 ms of an explicit
// clock: the expected figures come from the schedules themselves.
#include <gtest/gtest.h>

#include "progress/rate_window.h"

namespace {

constexpr uint64_t BLOCK = 65536;
constexpr uint64_t TOTAL = 50000;
constexpr int64_t FRAME_MS = 250;

// Blocks done at t ms.
uint64_t fast_then_stalled(int64_t t) { return t < 20000 ? t * 400 / 1000 : 8000; } // 400/s
uint64_t bursty(int64_t t) { return t / 2000 * 500; } // 500 at once every 2 s: 250/s

ProgressSegment record_at(uint64_t blocks) {
  ProgressSegment r{};
  r.blocks_total = TOTAL;
  r.blocks_done = blocks;
  r.bytes_raw = blocks * BLOCK;
  r.eta_s = 123;
  return r;
}

struct Check {
  int64_t at_ms;
  RateEta eta_kind;
  double rate_lo, rate_hi; // blocks/s; both 0: no rate
  double speed;            // the schedule's blocks/s, for the ETA; 0: not steady here
};

// The record's ETA (eta_s 123, an average since the start) for the first second; then a rate within
// a few percent of the schedule's, falling within the window after the stall, then stalled.
constexpr Check FAST_THEN_STALLED[] = {
    {750, RATE_ETA_RECORD, 0, 0, 0},
    {20000, RATE_ETA_WINDOW, 390, 410, 400},
    {29750, RATE_ETA_WINDOW, 1, 40, 0},
    {30250, RATE_ETA_STALLED, 0, 0, 0},
};

TEST(RateWindow, FastThenStalled) {
  RateWindow w;
  rate_window_reset(&w);
  int64_t t = 0;
  for (const Check &check : FAST_THEN_STALLED) {
    SCOPED_TRACE(check.at_ms);
    RateFigures f{};
    for (; t <= check.at_ms; t += FRAME_MS)
      f = rate_window_update(&w, 1000000 + t, record_at(fast_then_stalled(t)));
    EXPECT_EQ(f.eta_kind, check.eta_kind);
    EXPECT_EQ(f.have_rate, check.rate_hi != 0);
    if (f.have_rate) {
      EXPECT_GE(f.blocks_per_s, check.rate_lo);
      EXPECT_LE(f.blocks_per_s, check.rate_hi);
      EXPECT_DOUBLE_EQ(f.bytes_per_s, f.blocks_per_s * BLOCK);
    }
    if (check.speed != 0) { // within the second it counts down between updates
      const double eta_s =
          static_cast<double>(TOTAL - fast_then_stalled(check.at_ms)) / check.speed;
      EXPECT_NEAR(static_cast<double>(f.eta_ms) / 1000.0, eta_s, 1.0 + eta_s * 0.05);
    }
    if (f.eta_kind == RATE_ETA_RECORD) {
      EXPECT_EQ(f.eta_ms, 123000u);
    }
  }
}

// A writer that reports in bursts: once the window has filled, the ETA stays within a factor of
// 1.5 of the true remaining time at every frame, neither collapsing nor running off, and it counts
// down between its once-a-second updates rather than jumping with each frame.
TEST(RateWindow, BurstyWriterEtaStaysSteady) {
  RateWindow w;
  rate_window_reset(&w);
  uint64_t previous_ms = 0;
  for (int64_t t = 0; t < 150000; t += FRAME_MS) {
    const RateFigures f = rate_window_update(&w, t, record_at(bursty(t)));
    if (t < 10000)
      continue;
    SCOPED_TRACE(t);
    ASSERT_EQ(f.eta_kind, RATE_ETA_WINDOW);
    const double truth_s = static_cast<double>(TOTAL * 1000 - t * 250) / 250000.0;
    EXPECT_GE(static_cast<double>(f.eta_ms) / 1000.0, truth_s / 1.5);
    EXPECT_LE(static_cast<double>(f.eta_ms) / 1000.0, truth_s * 1.5 + 1);
    if (t % 1000 != 0) { // between updates: 250 ms less than a frame before
      EXPECT_EQ(f.eta_ms + FRAME_MS, previous_ms);
    }
    previous_ms = f.eta_ms;
  }
}

} // namespace
