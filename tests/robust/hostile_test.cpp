// The real zpr_monitor, live in a terminal and in dump mode, against
// writers that misbehave: an object shrunk under the mapping, a writer that
// died inside an update, random records at a high rate, and things in
// /dev/shm that carry a segment's name without being one.  In the
// sanitizer build the monitor under test is the instrumented one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "support/tmux_session.h"

namespace {

const std::string MONITOR = zt::build_dir() + "/monitor/zpr_monitor";
const std::string WAITING = "zpr_monitor - waiting for a consistent snapshot...";

std::string object(uint32_t pid) { return "/dev/shm/zpr_progress." + std::to_string(pid); }

pid_t dump(uint32_t pid, const zt::TempDir &dir) {
  return zt::spawn_program({MONITOR, "--no-log", "--no-syslog", "--dump", "--pid", std::to_string(pid),
                            "--interval", "20"}, dir.path + "/out", dir.path + "/err");
}

bool view(zt::TmuxSession &tmux, uint32_t pid, int rows = 30) {
  return tmux.start({MONITOR, "--no-log", "--no-syslog", "--pid", std::to_string(pid)}, 80, rows);
}

bool quits(zt::TmuxSession &tmux) {
  int status = -1;
  return tmux.send_keys("q") && tmux.wait_exit(&status) && status == 0;
}

TEST(Hostile, ShrunkObjectAndOddCounter) {
  zt::FakeTool shrunk, odd;
  ProgressSegment r = zt::fake_record(shrunk.pid(), TOOL_AGENT);
  r.state = STATE_RUNNING, r.blocks_done = 7;
  ASSERT_TRUE(shrunk.publish(r));
  zt::TempDir dir;
  zt::TmuxSession tmux;
  pid_t d = dump(shrunk.pid(), dir);
  ASSERT_TRUE(view(tmux, shrunk.pid()));
  ASSERT_TRUE(tmux.wait_text("Block:   7 / 0"));
  ASSERT_EQ(truncate(object(shrunk.pid()).c_str(), 0), 0);
  EXPECT_TRUE(tmux.wait_text(WAITING)) << tmux.screen_text();
  r.blocks_done = 8; // sized and written again: the same mappings read it
  ASSERT_TRUE(zt::fake_segment_create(shrunk.pid(), &r, sizeof r));
  EXPECT_TRUE(tmux.wait_text("Block:   8 / 0")) << tmux.screen_text();
  EXPECT_TRUE(zt::wait_until([&] { return zt::read_file(dir.path + "/out").find("\t8\t0\t") != std::string::npos; }));
  ASSERT_EQ(truncate(object(shrunk.pid()).c_str(), 0), 0);
  shrunk.stop();
  EXPECT_EQ(zt::wait_exit(d), 0);
  EXPECT_TRUE(quits(tmux));
  r = zt::fake_record(odd.pid(), TOOL_AGENT);
  r.seq = 5; // died inside an update: no line ever, and the end with the process
  ASSERT_TRUE(odd.publish(r));
  d = dump(odd.pid(), dir);
  EXPECT_TRUE(zt::wait_until([&] { return !zt::read_file(dir.path + "/out").empty(); }));
  odd.stop();
  EXPECT_EQ(zt::wait_exit(d), 0);
  EXPECT_EQ(zt::read_file(dir.path + "/out").find('\n'), zt::read_file(dir.path + "/out").size() - 1);
}

// Whole records of random bytes under a correct counter, magic and version
// kept, so the monitor stays attached and shows whatever they say.
TEST(Hostile, RandomRecords) {
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    std::mt19937_64 rng(getpid());
    ProgressSegment r = zt::fake_record(getpid(), TOOL_AGENT);
    zt::fake_segment_create(getpid(), &r, sizeof r);
    for (uint64_t n = 0;; n++) {
      for (size_t i = 0; i < sizeof r / 8; i++)
        reinterpret_cast<uint64_t *>(&r)[i] = rng();
      r.magic = PROGRESS_MAGIC, r.version = PROGRESS_VERSION;
      r.state = n < 3000 ? r.state % 3 : STATE_DONE; // a dump ends for certain
      zt::fake_segment_write(getpid(), r);
      usleep(200);
    }
  }
  ASSERT_TRUE(zt::wait_until([&] { return zt::fake_segment_exists(writer); }));
  zt::TmuxSession tmux;
  ASSERT_TRUE(view(tmux, writer));
  for (int i = 0; i < 40; i++) {
    tmux.send_keys("x"); // each key redraws at once
    if (i == 20)
      tmux.resize(30, 8);
  }
  EXPECT_FALSE(tmux.exited());
  EXPECT_TRUE(quits(tmux));
  zt::TempDir dir;
  EXPECT_EQ(zt::wait_exit(dump(writer, dir)), 0);
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  unlink(object(writer).c_str());
}

TEST(Hostile, TextFieldsAreShownPrintable) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), 200, "a\033[2Jb\nc");
  r.state = 200;
  memset(r.path, 'p', sizeof r.path); // no terminator
  ASSERT_TRUE(tool.publish(r));
  zt::TmuxSession tmux;
  ASSERT_TRUE(view(tmux, tool.pid()));
  EXPECT_TRUE(tmux.wait_equal(zt::screen_of(30, {{0, "zpr_monitor - PID " + std::to_string(tool.pid()) + " (a^[[2Jb^Jc, ?)"},
                                                 {1, "Status: ?"}, {2, "Elapsed: 00:00:00"}, {5, "Press 'q' to quit"}})))
      << tmux.screen_text();
  EXPECT_TRUE(quits(tmux));
}

TEST(Hostile, ThingsNamedLikeSegments) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT);
  zt::write_file("/dev/shm/valid-record", std::string(reinterpret_cast<char *>(&r), sizeof r));
  const std::string path = object(tool.pid()), p = std::to_string(tool.pid());
  for (int kind = 0; kind < 3; kind++) {
    SCOPED_TRACE(kind);
    ASSERT_EQ(kind == 0 ? mkdir(path.c_str(), 0755) : kind == 1 ? symlink("valid-record", path.c_str())
                                                                 : mkfifo(path.c_str(), 0600), 0);
    zt::RunResult scan = zt::run_program(MONITOR, {"--no-syslog", "--no-log"});
    EXPECT_EQ(scan.err, "no running zpr_agent/zpr_restore found\n");
    zt::RunResult d = zt::run_program(MONITOR, {"--dump", "--pid", p.c_str(), "--wait", "0", "--no-syslog", "--no-log"});
    EXPECT_EQ(d.status, 1);
    EXPECT_EQ(d.err, "error: no progress segment for PID " + p + "\n");
    if (unlink(path.c_str()) != 0)
      rmdir(path.c_str());
  }
}

} // namespace
