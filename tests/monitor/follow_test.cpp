#include "progress/follow.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#include "progress/reader.h"
#include "support/fake_segment.h"
#include "support/test_support.h"

namespace {

TEST(StateLabel, AllValues) {
  EXPECT_STREQ(state_label(0), "starting");
  EXPECT_STREQ(state_label(1), "running");
  EXPECT_STREQ(state_label(2), "finishing");
  EXPECT_STREQ(state_label(3), "DONE");
  EXPECT_STREQ(state_label(4), "FAILED");
  EXPECT_STREQ(state_label(5), "?");
  EXPECT_STREQ(state_label(7), "?");
  EXPECT_STREQ(state_label(255), "?");
}

// The wall-clock part is checked against the clock read before and after
// the call, so the test holds however slowly it runs.
struct WallBounds {
  uint64_t lo, hi;
};
WallBounds elapsed_bounds(const ProgressSegment &r, uint64_t *result) {
  int64_t before = time(nullptr);
  *result = effective_elapsed_ms(r);
  int64_t after = time(nullptr);
  return {static_cast<uint64_t>(before - r.start_wall) * 1000,
          static_cast<uint64_t>(after - r.start_wall) * 1000};
}

TEST(EffectiveElapsed, StartingCountsFromStartWall) {
  ProgressSegment r = zt::fake_record(1, TOOL_AGENT);
  r.start_wall = time(nullptr) - 5;
  r.elapsed_ms = 0;
  uint64_t got;
  WallBounds b = elapsed_bounds(r, &got);
  EXPECT_GE(got, b.lo);
  EXPECT_LE(got, b.hi);
  // A published value ahead of the wall clock wins.
  r.elapsed_ms = 60000;
  EXPECT_EQ(effective_elapsed_ms(r), 60000u);
}

TEST(EffectiveElapsed, PlainToolOnlyWhileStarting) {
  for (uint8_t tool : std::initializer_list<uint8_t>{TOOL_AGENT, TOOL_RESTORE}) {
    ProgressSegment r = zt::fake_record(1, tool);
    r.start_wall = time(nullptr) - 100;
    r.elapsed_ms = 1234;
    for (uint8_t state : std::initializer_list<uint8_t>{STATE_RUNNING, STATE_FINISHING, STATE_DONE, STATE_FAILED, uint8_t{9}}) {
      r.state = state;
      EXPECT_EQ(effective_elapsed_ms(r), 1234u) << int(tool) << " " << int(state);
    }
    r.state = STATE_STARTING;
    EXPECT_GE(effective_elapsed_ms(r), 100000u);
  }
}

TEST(EffectiveElapsed, OrchestratorUntilFinal) {
  for (uint8_t tool : std::initializer_list<uint8_t>{TOOL_PROXMOX, TOOL_XENV, TOOL_PVE_RST, TOOL_XENV_RST, uint8_t{9}}) {
    ProgressSegment r = zt::fake_record(1, tool);
    r.start_wall = time(nullptr) - 100;
    r.elapsed_ms = 1234;
    for (uint8_t state : std::initializer_list<uint8_t>{STATE_STARTING, STATE_RUNNING, STATE_FINISHING, uint8_t{7}}) {
      r.state = state;
      uint64_t got;
      WallBounds b = elapsed_bounds(r, &got);
      EXPECT_GE(got, b.lo) << int(tool) << " " << int(state);
      EXPECT_LE(got, b.hi) << int(tool) << " " << int(state);
    }
    for (uint8_t state : std::initializer_list<uint8_t>{STATE_DONE, STATE_FAILED}) {
      r.state = state;
      EXPECT_EQ(effective_elapsed_ms(r), 1234u);
    }
  }
}

TEST(EffectiveElapsed, FutureAndHostileStartTimes) {
  ProgressSegment r = zt::fake_record(1, TOOL_PROXMOX);
  r.state = STATE_RUNNING;
  r.elapsed_ms = 77;
  r.start_wall = time(nullptr) + 3600; // clock stepped back
  EXPECT_EQ(effective_elapsed_ms(r), 77u);
  r.start_wall = INT64_MAX;
  EXPECT_EQ(effective_elapsed_ms(r), 77u);
  // Differences that overflow saturate instead of wrapping.
  r.start_wall = INT64_MIN;
  EXPECT_EQ(effective_elapsed_ms(r), UINT64_MAX);
  r.start_wall = -(INT64_MAX / 1000) * 2;
  EXPECT_EQ(effective_elapsed_ms(r), UINT64_MAX);
}

TEST(ProcessAlive, LiveGoneAndZombie) {
  EXPECT_TRUE(process_alive(static_cast<uint32_t>(getpid())));
  zt::FakeTool tool;
  ASSERT_GT(tool.pid(), 0u);
  EXPECT_TRUE(process_alive(tool.pid()));
  tool.zombie();
  EXPECT_FALSE(process_alive(tool.pid()));
  tool.stop();
  EXPECT_FALSE(process_alive(tool.pid()));
  EXPECT_FALSE(process_alive(0));
  EXPECT_FALSE(process_alive(UINT32_MAX));
}

TEST(ProcessAlive, NameWithParentheses) {
  // The state letter follows the last ")": a name holding ") Z " must not
  // be taken for a zombie, nor a plain ")" confuse the search.
  zt::FakeTool tricky("a) Z b)");
  zt::FakeTool plain("a) b");
  ASSERT_TRUE(zt::wait_until([&] {
    return zt::read_file("/proc/" + std::to_string(tricky.pid()) + "/comm") == "a) Z b)\n" &&
           zt::read_file("/proc/" + std::to_string(plain.pid()) + "/comm") == "a) b\n";
  }));
  EXPECT_TRUE(process_alive(tricky.pid()));
  EXPECT_TRUE(process_alive(plain.pid()));
  tricky.zombie();
  EXPECT_FALSE(process_alive(tricky.pid()));
}

// Followed children are real segments of stand-in processes.
struct FollowFixture : ::testing::Test {
  zt::FakeTool orch_tool;
  zt::FakeTool child_a;
  zt::FakeTool child_b;
  ProgressSegment orch{};
  ChildFollow follow{0, nullptr};
  ProgressSegment buf{};

  void SetUp() override {
    orch = zt::fake_record(orch_tool.pid(), TOOL_PROXMOX, "orch");
    orch.state = STATE_RUNNING;
    ProgressSegment a = zt::fake_record(child_a.pid(), TOOL_AGENT, "a");
    a.blocks_done = 111;
    ProgressSegment b = zt::fake_record(child_b.pid(), TOOL_RESTORE, "b");
    b.blocks_done = 222;
    ASSERT_TRUE(child_a.publish(a));
    ASSERT_TRUE(child_b.publish(b));
  }
  void TearDown() override { follow_release(&follow); }
};

TEST_F(FollowFixture, NoChild) {
  FollowResult r = follow_child(&follow, orch, &buf);
  EXPECT_FALSE(r.have_child);
  EXPECT_FALSE(r.reset);
  EXPECT_EQ(follow.followed_pid, 0u);
  EXPECT_EQ(follow.mapping, nullptr);
}

TEST_F(FollowFixture, AttachFollowAndSwitch) {
  orch.child_pid = child_a.pid();
  FollowResult r = follow_child(&follow, orch, &buf);
  EXPECT_TRUE(r.reset);
  ASSERT_TRUE(r.have_child);
  EXPECT_EQ(follow.followed_pid, child_a.pid());
  EXPECT_EQ(buf.blocks_done, 111u);

  // Same child: no reset, and fresh values are read through the mapping.
  child_a.record().blocks_done = 112;
  ASSERT_TRUE(child_a.republish());
  r = follow_child(&follow, orch, &buf);
  EXPECT_FALSE(r.reset);
  ASSERT_TRUE(r.have_child);
  EXPECT_EQ(buf.blocks_done, 112u);

  // A new child: the old mapping is dropped and the new one read.
  orch.child_pid = child_b.pid();
  r = follow_child(&follow, orch, &buf);
  EXPECT_TRUE(r.reset);
  ASSERT_TRUE(r.have_child);
  EXPECT_EQ(follow.followed_pid, child_b.pid());
  EXPECT_EQ(buf.blocks_done, 222u);

  // Child gone from the orchestrator's record.
  orch.child_pid = 0;
  r = follow_child(&follow, orch, &buf);
  EXPECT_TRUE(r.reset);
  EXPECT_FALSE(r.have_child);
  EXPECT_EQ(follow.mapping, nullptr);
}

TEST_F(FollowFixture, FinishedChildStaysReadable) {
  orch.child_pid = child_a.pid();
  ASSERT_TRUE(follow_child(&follow, orch, &buf).have_child);
  ASSERT_TRUE(child_a.finish(STATE_DONE));
  EXPECT_FALSE(zt::fake_segment_exists(child_a.pid()));
  FollowResult r = follow_child(&follow, orch, &buf);
  EXPECT_FALSE(r.reset);
  ASSERT_TRUE(r.have_child);
  EXPECT_EQ(buf.state, STATE_DONE);
}

TEST_F(FollowFixture, FailedAttachRetriesUntilTheSegmentAppears) {
  zt::FakeTool late;
  orch.child_pid = late.pid();
  for (int i = 0; i < 3; i++) {
    FollowResult r = follow_child(&follow, orch, &buf);
    EXPECT_TRUE(r.reset); // followed_pid stays 0, so every call resets
    EXPECT_FALSE(r.have_child);
    EXPECT_EQ(follow.followed_pid, 0u);
    EXPECT_EQ(follow.mapping, nullptr);
  }
  ProgressSegment rec = zt::fake_record(late.pid(), TOOL_AGENT, "late");
  rec.blocks_done = 5;
  ASSERT_TRUE(late.publish(rec));
  FollowResult r = follow_child(&follow, orch, &buf);
  EXPECT_TRUE(r.reset);
  ASSERT_TRUE(r.have_child);
  EXPECT_EQ(buf.blocks_done, 5u);
  r = follow_child(&follow, orch, &buf);
  EXPECT_FALSE(r.reset);
  EXPECT_TRUE(r.have_child);
}

TEST_F(FollowFixture, UnreadableChildKeepsItsMapping) {
  zt::FakeTool stuck;
  ProgressSegment rec = zt::fake_record(stuck.pid(), TOOL_AGENT, "stuck");
  rec.seq = 7; // a writer that died inside an update
  ASSERT_TRUE(zt::fake_segment_create(stuck.pid(), &rec, sizeof rec));
  orch.child_pid = stuck.pid();
  FollowResult r = follow_child(&follow, orch, &buf);
  EXPECT_TRUE(r.reset);
  EXPECT_FALSE(r.have_child);
  EXPECT_NE(follow.mapping, nullptr);
  EXPECT_EQ(follow.followed_pid, stuck.pid());
  r = follow_child(&follow, orch, &buf);
  EXPECT_FALSE(r.reset);
  EXPECT_FALSE(r.have_child);
}

TEST_F(FollowFixture, OwnPidIsNotFollowed) {
  ASSERT_TRUE(orch_tool.publish(orch));
  orch.child_pid = orch.pid;
  for (int i = 0; i < 2; i++) {
    FollowResult r = follow_child(&follow, orch, &buf);
    EXPECT_FALSE(r.have_child);
    EXPECT_FALSE(r.reset);
    EXPECT_EQ(follow.mapping, nullptr);
  }
}

TEST_F(FollowFixture, ReleaseEmptiesAndIsIdempotent) {
  orch.child_pid = child_a.pid();
  ASSERT_TRUE(follow_child(&follow, orch, &buf).have_child);
  follow_release(&follow);
  EXPECT_EQ(follow.mapping, nullptr);
  EXPECT_EQ(follow.followed_pid, 0u);
  follow_release(&follow);
  EXPECT_EQ(follow.mapping, nullptr);
  // Following again after a release reports a fresh start.
  FollowResult r = follow_child(&follow, orch, &buf);
  EXPECT_TRUE(r.reset);
  EXPECT_TRUE(r.have_child);
}

} // namespace
