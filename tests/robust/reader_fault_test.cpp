// The reader's guard against a segment that its writer shrinks while a
// reader holds the mapping: the read fails, the reader lives on, and any
// other SIGBUS still meets the action that was there before the reader.
#include "progress/reader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "support/fake_segment.h"

namespace {

constexpr uint32_t PID = 4242;

std::string object_path(uint32_t pid) {
  return "/dev/shm/" + std::string(PROGRESS_NAME_PREFIX) + std::to_string(pid);
}

void resize_object(uint32_t pid, off_t size) {
  ASSERT_EQ(truncate(object_path(pid).c_str(), size), 0);
}

volatile sig_atomic_t g_user_handler_calls = 0;
void user_handler(int) { g_user_handler_calls = g_user_handler_calls + 1; }

struct ReaderFault : ::testing::Test {
  void SetUp() override {
    ProgressSegment r = zt::fake_record(PID, TOOL_AGENT);
    r.blocks_done = 7;
    ASSERT_TRUE(zt::fake_segment_create(PID, &r, sizeof r));
  }
  void TearDown() override { zt::fake_segment_remove(PID); }
};

// The reader's guard goes in once per process, over the handler found
// there, so this must be the first read of its process: it comes first in
// this file (ctest also runs every case in a process of its own).  A guard
// already in place would loop on the fault; the alarm turns that into a
// failure instead of a hang.
TEST_F(ReaderFault, OtherSigbusStillReachesThePreviousHandler) {
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);
    struct sigaction mine {};
    mine.sa_handler = user_handler;
    sigemptyset(&mine.sa_mask);
    if (sigaction(SIGBUS, &mine, nullptr) != 0)
      _exit(2);
    const ProgressSegment *seg = nullptr;
    ProgressSegment copy;
    if (progress_attach(PID, &seg) != ST_OK || progress_snapshot(seg, &copy) != ST_OK)
      _exit(3);
    if (truncate(object_path(PID).c_str(), 0) != 0)
      _exit(4);
    if (progress_snapshot(seg, &copy) != ST_IO || progress_snapshot(seg, &copy) != ST_IO)
      _exit(5);
    progress_detach(&seg);
    // The faults were the guard's, never the user's handler's.
    if (g_user_handler_calls != 0)
      _exit(6);
    raise(SIGBUS);
    if (g_user_handler_calls != 1)
      _exit(7);
    // SIGBUS is not left blocked by the jumps out of the guard's handler.
    sigset_t blocked;
    if (pthread_sigmask(SIG_SETMASK, nullptr, &blocked) != 0 || sigismember(&blocked, SIGBUS))
      _exit(8);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ReaderFault, ShrunkSegmentFailsTheSnapshotAndRecoversWhenRestored) {
  const ProgressSegment *seg = nullptr;
  ASSERT_EQ(progress_attach(PID, &seg), ST_OK);
  ProgressSegment copy;
  ASSERT_EQ(progress_snapshot(seg, &copy), ST_OK);
  EXPECT_EQ(copy.blocks_done, 7u);

  resize_object(PID, 0);
  // Repeated faults: SIGBUS must be usable again after each jump back.
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(progress_snapshot(seg, &copy), ST_IO) << "attempt " << i;

  // Sized again, the page reads as zeros: a consistent (if empty) record.
  resize_object(PID, PROGRESS_SEGMENT_SIZE);
  ASSERT_EQ(progress_snapshot(seg, &copy), ST_OK);
  EXPECT_EQ(copy.magic, 0u);
  progress_detach(&seg);
}

TEST_F(ReaderFault, ShrunkSegmentIsSkippedByTheScanAndNotAttached) {
  resize_object(PID, 100);
  const ProgressSegment *seg = nullptr;
  EXPECT_EQ(progress_attach(PID, &seg), ST_NOTFOUND);
  EXPECT_EQ(seg, nullptr);
  ScanEntry *entries = nullptr;
  size_t count = 99;
  ASSERT_EQ(scan_segments(&entries, &count), ST_OK);
  EXPECT_EQ(count, 0u);
  free(entries);
}

// Outside a snapshot a fault on the shrunk mapping still ends the process
// with SIGBUS, as without the reader: the guard catches only its own reads.
TEST_F(ReaderFault, FaultOutsideTheGuardKeepsTheDefaultAction) {
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The default action, not the sanitizers' SIGBUS report, is what the
    // guard is to pass such a fault on to.
    signal(SIGBUS, SIG_DFL);
    const ProgressSegment *seg = nullptr;
    ProgressSegment copy;
    if (progress_attach(PID, &seg) != ST_OK || progress_snapshot(seg, &copy) != ST_OK)
      _exit(2);
    if (truncate(object_path(PID).c_str(), 0) != 0)
      _exit(3);
    if (progress_snapshot(seg, &copy) != ST_IO)
      _exit(4);
    volatile uint64_t v = *reinterpret_cast<const volatile uint64_t *>(&seg->blocks_done);
    (void)v;
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
}

// A snapshot from another thread while this one holds a shrunk mapping:
// each thread's guard answers only for its own reads.
TEST_F(ReaderFault, ThreadsFaultIndependently) {
  constexpr uint32_t OTHER = 4243;
  ProgressSegment r = zt::fake_record(OTHER, TOOL_AGENT);
  ASSERT_TRUE(zt::fake_segment_create(OTHER, &r, sizeof r));
  const ProgressSegment *shrunk = nullptr;
  const ProgressSegment *whole = nullptr;
  ASSERT_EQ(progress_attach(PID, &shrunk), ST_OK);
  ASSERT_EQ(progress_attach(OTHER, &whole), ST_OK);
  resize_object(PID, 0);
  int ok = 0;
  int failed = 0;
  std::thread t([&] {
    ProgressSegment c;
    for (int i = 0; i < 1000; i++)
      ok += progress_snapshot(whole, &c) == ST_OK;
  });
  ProgressSegment c;
  for (int i = 0; i < 1000; i++)
    failed += progress_snapshot(shrunk, &c) == ST_IO;
  t.join();
  EXPECT_EQ(ok, 1000);
  EXPECT_EQ(failed, 1000);
  progress_detach(&shrunk);
  progress_detach(&whole);
  zt::fake_segment_remove(OTHER);
}

} // namespace
