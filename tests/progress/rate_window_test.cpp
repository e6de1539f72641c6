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
uint64_t bursty(int64_t t) { return t / 2000 * 500; }            // 500 at once every 2 s: 250/s
uint64_t restarted(int64_t t) { return t < 5000 ? t : t / 100; } // counters go back at 5 s

struct Check {
  int64_t at_ms;
  RateEta eta_kind;
  double rate_lo, rate_hi; // blocks/s; both 0: no rate
  double speed;            // the schedule's blocks/s, for the ETA; 0: not steady here
};

struct Row {
  const char *name;
  uint64_t (*blocks_at)(int64_t);
  Check checks[4];
};

// Rates within a few percent of the schedule's; eta_s 123 is the record's own, an average since the
// start that still promises 266 blocks/s after the stall.
constexpr Row ROWS[] = {
    {"fast, then stalled: the rate falls within the window, then stalled",
     fast_then_stalled,
     {{20000, RATE_ETA_WINDOW, 390, 410, 400},
      {25000, RATE_ETA_WINDOW, 180, 220, 0},
      {29750, RATE_ETA_WINDOW, 1, 40, 0},
      {30250, RATE_ETA_STALLED, 0, 0, 0}}},
    {"counters that go back restart the window: the record's ETA for its first second",
     restarted,
     {{4750, RATE_ETA_WINDOW, 950, 1050, 1000},
      {5000, RATE_ETA_RECORD, 0, 0, 0},
      {5750, RATE_ETA_RECORD, 0, 0, 0},
      {7000, RATE_ETA_WINDOW, 9, 11, 10}}},
};

ProgressSegment record_at(uint64_t blocks) {
  ProgressSegment r{};
  r.blocks_total = TOTAL;
  r.blocks_done = blocks;
  r.bytes_raw = blocks * BLOCK;
  r.eta_s = 123;
  return r;
}

TEST(RateWindow, KnownSchedules) {
  for (const Row &row : ROWS) {
    SCOPED_TRACE(row.name);
    RateWindow w;
    rate_window_reset(&w);
    const Check *next = row.checks;
    for (int64_t t = 0; next != row.checks + 4; t += FRAME_MS) {
      const uint64_t done = row.blocks_at(t);
      const RateFigures f = rate_window_update(&w, 1000000 + t, record_at(done));
      if (t != next->at_ms)
        continue;
      SCOPED_TRACE(t);
      EXPECT_EQ(f.eta_kind, next->eta_kind);
      EXPECT_EQ(f.have_rate, next->rate_hi != 0);
      if (f.have_rate) {
        EXPECT_GE(f.blocks_per_s, next->rate_lo);
        EXPECT_LE(f.blocks_per_s, next->rate_hi);
        EXPECT_DOUBLE_EQ(f.bytes_per_s, f.blocks_per_s * BLOCK);
      }
      if (next->speed != 0) { // within the second it counts down between updates
        const double eta_s = static_cast<double>(TOTAL - done) / next->speed;
        EXPECT_NEAR(static_cast<double>(f.eta_ms) / 1000.0, eta_s, 1.0 + eta_s * 0.05);
      }
      if (f.eta_kind == RATE_ETA_RECORD) {
        EXPECT_EQ(f.eta_ms, 123000u);
      }
      next++;
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
