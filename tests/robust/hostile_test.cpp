// The real zpr_monitor, live in tmux and in dump mode, against writers that
// misbehave and things named like a segment (in the sanitizer build, the
// instrumented monitor).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <random>

#include "support/tmux_session.h"

namespace {

const std::string MONITOR = zt::build_dir() + "/monitor/zpr_monitor";
const std::string WAITING = "|zpr_monitor - waiting for a consistent snapshot...\n|\n|Press 'q' to quit\n";

struct Watch { // the live view in tmux and a dump, of one pid
  zt::TempDir dir;
  zt::TmuxSession tmux;
  pid_t dump;
  explicit Watch(uint32_t pid)
      : dump(zt::spawn_program({MONITOR, "--no-log", "--dump", "--pid", std::to_string(pid), "--interval", "20"},
                               dir.path + "/out", dir.path + "/err")) {
    tmux.start({MONITOR, "--no-log", "--no-syslog", "--pid", std::to_string(pid)}, 80, 30);
  }
  std::string out() { return zt::read_file(dir.path + "/out"); }
  bool ends() { // q for the view, the process's end for the dump
    int status = -1;
    return tmux.send_keys("q") && tmux.wait_exit(&status) && status == 0 && zt::wait_exit(dump) == 0;
  }
};

TEST(Hostile, ShrunkObjectOddCounterAndHostileText) {
  zt::FakeTool shrunk, odd;
  ProgressSegment r = zt::fake_record(shrunk.pid(), TOOL_AGENT);
  r.state = STATE_RUNNING, r.blocks_done = 7;
  ASSERT_TRUE(shrunk.publish(r));
  Watch w(shrunk.pid());
  ASSERT_TRUE(w.tmux.wait_text("Block:   7 / 0"));
  ASSERT_TRUE(zt::fake_segment_create(shrunk.pid(), &r, 0, 0)); // shrunk to nothing under both mappings
  EXPECT_TRUE(w.tmux.wait_text(WAITING)) << w.tmux.screen_text();
  r.blocks_done = 8; // sized and written again: the same mappings read it
  ASSERT_TRUE(zt::fake_segment_create(shrunk.pid(), &r, sizeof r));
  EXPECT_TRUE(w.tmux.wait_text("Block:   8 / 0")) << w.tmux.screen_text();
  EXPECT_TRUE(zt::wait_until([&] { return w.out().find("\t8\t0\t") != std::string::npos; }));
  shrunk.stop();
  EXPECT_TRUE(w.ends());
  // Died inside an update: the waiting frame and no data line.  Readable at
  // last: escapes and a path without end shown printable, within the field.
  r = zt::fake_record(odd.pid(), 200, "a\033[2Jb\nc\xe9");
  r.seq = 5, r.state = 200;
  memset(r.path, 'p', sizeof r.path);
  ASSERT_TRUE(odd.publish(r));
  Watch o(odd.pid());
  EXPECT_TRUE(o.tmux.wait_text(WAITING) && zt::wait_until([&] { return o.out().size() > 200; })); // the header
  EXPECT_EQ(o.out().find('\n'), o.out().size() - 1) << "no line while the counter is odd";
  ASSERT_TRUE(zt::fake_segment_write(odd.pid(), r));
  EXPECT_TRUE(o.tmux.wait_equal(zt::screen_of(30, {{0, "zpr_monitor - PID " + std::to_string(odd.pid()) + " (a^[[2Jb^JcM-i, ?)"},
                                                   {1, "Status: ?"}, {2, "~Elapsed: 00:00:[0-5][0-9]"}, {5, "Press 'q' to quit"}})))
      << o.tmux.screen_text();
  odd.stop();
  EXPECT_TRUE(o.ends());
}

// Whole records of random bytes under a correct counter, magic and version
// kept, so the monitor stays attached and shows whatever they say.
TEST(Hostile, RandomRecords) {
  fflush(nullptr);
  pid_t writer = fork();
  for (uint64_t n = 0; writer == 0; n++) {
    static std::mt19937_64 rng(getpid());
    ProgressSegment r;
    for (size_t i = 0; i < sizeof r / 8; i++)
      reinterpret_cast<uint64_t *>(&r)[i] = rng();
    r.magic = PROGRESS_MAGIC, r.version = PROGRESS_VERSION, r.state = n < 3000 ? r.state % 3 : STATE_DONE;
    n == 0 ? zt::fake_segment_create(getpid(), &r, sizeof r) : zt::fake_segment_write(getpid(), r);
    usleep(200);
  }
  ASSERT_TRUE(zt::wait_until([&] { return zt::fake_segment_exists(writer); }));
  Watch w(writer);
  for (int i = 0; i < 40; i++) // each key redraws at once; half of them in a small terminal
    i == 20 ? w.tmux.resize(30, 8) : w.tmux.send_keys("x");
  EXPECT_FALSE(w.tmux.exited());
  EXPECT_TRUE(w.ends()); // the dump on the first DONE
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  zt::fake_segment_remove(writer);
}

TEST(Hostile, ThingsNamedLikeSegments) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT);
  zt::write_file("/dev/shm/valid-record", std::string(reinterpret_cast<char *>(&r), sizeof r));
  const std::string p = std::to_string(tool.pid()), path = "/dev/shm/zpr_progress." + p;
  for (int kind = 0; kind < 3; kind++) { // a directory, a symbolic link to a record, a FIFO
    ASSERT_EQ(kind == 0 ? mkdir(path.c_str(), 0755) : kind == 1 ? symlink("valid-record", path.c_str()) : mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(zt::run_program(MONITOR, {"--no-syslog", "--no-log"}).err, "no running zpr_agent/zpr_restore found\n");
    EXPECT_EQ(zt::run_program(MONITOR, {"--dump", "--pid", p, "--wait", "0", "--no-log"}).err,
              "error: no progress segment for PID " + p + "\n") << kind;
    EXPECT_TRUE(unlink(path.c_str()) == 0 || rmdir(path.c_str()) == 0);
  }
}

} // namespace
