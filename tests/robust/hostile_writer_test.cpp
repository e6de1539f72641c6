// The real zpr_monitor, live view in a terminal and dump mode, against
// writers that misbehave: one that shrinks its object to nothing, one that
// died inside an update, one that scribbles random bytes at a high rate
// under a valid counter, and things in /dev/shm that carry a segment's name
// without being one.  In the sanitizer build ZPR_BUILD_DIR points at that
// tree, so the monitor under test is the instrumented one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "progress/seqlock_internal.h"
#include "support/fake_segment.h"
#include "support/test_support.h"
#include "support/tmux_session.h"

namespace {

constexpr char WAITING[] = "zpr_monitor - waiting for a consistent snapshot...";

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

std::string object_path(uint32_t pid) {
  return "/dev/shm/" + std::string(PROGRESS_NAME_PREFIX) + std::to_string(pid);
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

size_t columns(const std::string &line) {
  size_t n = 1;
  for (char c : line)
    n += c == '\t';
  return n;
}

ProgressSegment running_agent(uint32_t pid, uint64_t blocks_done) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, "vm-7");
  r.state = STATE_RUNNING;
  r.blocks_total = 1000;
  r.blocks_done = blocks_done;
  return r;
}

// The live view of pid in an 80x30 terminal.
struct View {
  zt::TmuxSession tmux;
  explicit View(uint32_t pid) {
    started = tmux.start({monitor_path(), "--pid", std::to_string(pid), "--no-syslog", "--no-log"},
                         80, 30);
  }
  bool started = false;
  // q ends it with status 0: it was alive and in its loop until then.
  bool quits() {
    int status = -1;
    return tmux.send_keys("q") && tmux.wait_exit(&status) && status == 0;
  }
};

// A dump of pid running in the background, output read while it runs.
struct Dump {
  zt::TempDir dir;
  pid_t pid = -1;
  explicit Dump(uint32_t target, const char *wait = "10") {
    const std::string p = std::to_string(target);
    const std::string path = monitor_path();
    const char *argv[] = {path.c_str(), "--dump", "--pid", p.c_str(), "--interval", "20",
                          "--wait", wait, "--no-syslog", "--no-log", nullptr};
    pid = zt::spawn_program(path, argv, dir.path + "/out", dir.path + "/err");
  }
  ~Dump() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::vector<std::string> lines() { return lines_of(zt::read_file(dir.path + "/out")); }
  std::string err() { return zt::read_file(dir.path + "/err"); }
  // Exit status, or -1 when it did not end normally (a signal, a timeout).
  int finish() {
    int status = zt::wait_exit(pid);
    pid = -1;
    return status;
  }
};

// ---------------------------------------------------------------------------
// A writer that shrinks its object after the monitor attached.

TEST(HostileWriter, TruncatedObjectLiveViewWaitsAndStillQuits) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 250)));
  View view(tool.pid());
  ASSERT_TRUE(view.started);
  ASSERT_TRUE(view.tmux.wait_text("Block:   250 / 1000")) << view.tmux.screen_text();

  ASSERT_EQ(truncate(object_path(tool.pid()).c_str(), 0), 0);
  EXPECT_TRUE(view.tmux.wait_text(WAITING)) << view.tmux.screen_text();
  EXPECT_TRUE(view.tmux.wait_text("Press 'q' to quit"));
  // The process going away changes nothing: the view ends on q only.
  tool.stop();
  ASSERT_TRUE(view.tmux.send_keys("x"));
  EXPECT_TRUE(view.tmux.wait_text(WAITING)) << view.tmux.screen_text();
  EXPECT_FALSE(view.tmux.exited());
  EXPECT_TRUE(view.quits()) << view.tmux.screen_text();
}

TEST(HostileWriter, TruncatedObjectDumpSkipsTicksThenResumesAndEnds) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 250)));
  Dump dump(tool.pid());
  ASSERT_TRUE(zt::wait_until([&] { return dump.lines().size() >= 3; }));

  ASSERT_EQ(truncate(object_path(tool.pid()).c_str(), 0), 0);
  const size_t at_truncation = dump.lines().size();
  // Sized and written again: the same mapping reads the new record, so
  // the dump was alive all along and goes on printing.
  ASSERT_EQ(truncate(object_path(tool.pid()).c_str(), PROGRESS_SEGMENT_SIZE), 0);
  ASSERT_TRUE(zt::fake_segment_write(tool.pid(), running_agent(tool.pid(), 777)));
  ASSERT_TRUE(zt::wait_until([&] {
    std::vector<std::string> l = dump.lines();
    return !l.empty() && l.back().find("\t777\t1000\t") != std::string::npos;
  }));

  // Shrunk again, then the process goes: the dump ends by itself, cleanly.
  ASSERT_EQ(truncate(object_path(tool.pid()).c_str(), 0), 0);
  const size_t before_end = dump.lines().size();
  tool.stop();
  EXPECT_EQ(dump.finish(), 0);
  EXPECT_EQ(dump.err(), "");
  std::vector<std::string> lines = dump.lines();
  EXPECT_LE(lines.size(), before_end + 1); // at most a tick already under way
  EXPECT_GE(at_truncation, 3u); // the header and two lines
  for (size_t i = 1; i < lines.size(); i++)
    EXPECT_EQ(columns(lines[i]), 21u) << lines[i];
}

// An orchestrator whose child shrinks its object: the child's page gives
// way to the summary alone, the orchestrator's figures go on.
TEST(HostileWriter, TruncatedChildLeavesTheOrchestratorSummary) {
  zt::FakeTool orchestrator;
  zt::FakeTool child;
  ProgressSegment o = zt::fake_record(orchestrator.pid(), TOOL_PROXMOX, "nightly");
  o.state = STATE_RUNNING;
  o.child_pid = child.pid();
  ASSERT_TRUE(orchestrator.publish(o));
  ASSERT_TRUE(child.publish(running_agent(child.pid(), 250)));

  View view(orchestrator.pid());
  ASSERT_TRUE(view.started);
  Dump dump(orchestrator.pid());
  ASSERT_TRUE(view.tmux.wait_text("Block:   250 / 1000")) << view.tmux.screen_text();
  ASSERT_TRUE(zt::wait_until([&] {
    std::vector<std::string> l = dump.lines();
    return l.size() >= 2 && l.back().find("\t250\t1000\t") != std::string::npos;
  }));

  ASSERT_EQ(truncate(object_path(child.pid()).c_str(), 0), 0);
  EXPECT_TRUE(view.tmux.wait_screen([](const std::vector<std::string> &rows) {
    return rows.size() > 5 && rows[0].find("(nightly, proxmox)") != std::string::npos &&
           rows[5] == "Press 'q' to quit" && rows[8].empty();
  })) << view.tmux.screen_text();
  // The dump shows the orchestrator's own record instead: no blocks.
  ASSERT_TRUE(zt::wait_until([&] {
    std::vector<std::string> l = dump.lines();
    return l.back().rfind('\t') != std::string::npos &&
           l.back().substr(l.back().find('\t'), 5) == "\t0\t0\t";
  })) << dump.lines().back();
  EXPECT_TRUE(view.quits()) << view.tmux.screen_text();
  orchestrator.stop();
  EXPECT_EQ(dump.finish(), 0);
  EXPECT_EQ(dump.err(), "");
}

// ---------------------------------------------------------------------------
// A writer that died inside an update: the counter stays odd.

TEST(HostileWriter, DeadInsideAnUpdateLiveViewWaitsForever) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid(), 5);
  r.seq = 41;
  ASSERT_TRUE(tool.publish(r));
  tool.stop();
  View view(tool.pid());
  ASSERT_TRUE(view.started);
  EXPECT_TRUE(view.tmux.wait_text(WAITING)) << view.tmux.screen_text();
  // Several redraws later it still waits (each key redraws at once).
  for (int i = 0; i < 5; i++) {
    ASSERT_TRUE(view.tmux.send_keys("Enter"));
    EXPECT_TRUE(view.tmux.wait_text(WAITING));
  }
  EXPECT_FALSE(view.tmux.exited());
  EXPECT_TRUE(view.quits()) << view.tmux.screen_text();
}

TEST(HostileWriter, DeadInsideAnUpdateDumpPrintsNoDataAndEnds) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid(), 5);
  r.seq = 41;
  ASSERT_TRUE(tool.publish(r));
  Dump dump(tool.pid());
  ASSERT_TRUE(zt::wait_until([&] { return dump.lines().size() == 1; })); // the header
  EXPECT_EQ(dump.lines()[0].rfind("#elapsed_ms\t", 0), 0u);
  tool.stop();
  EXPECT_EQ(dump.finish(), 0);
  EXPECT_EQ(dump.lines().size(), 1u);
  EXPECT_EQ(dump.err(), "");
}

// ---------------------------------------------------------------------------
// A writer that rewrites its whole record with random bytes at a high rate,
// under a correct counter and with magic and version kept, so the monitor
// stays attached and shows whatever the bytes say.

struct RandomWriter {
  pid_t pid = -1;
  // keep_running: the state byte is held at "running", so a dump does not
  // end on a random final state.  final_after: from that many records on,
  // every record is final (DONE or FAILED), so a dump ends for certain.
  explicit RandomWriter(bool keep_running, unsigned seed, uint64_t final_after = 0) {
    fflush(nullptr);
    pid = fork();
    if (pid != 0)
      return;
    const uint32_t self = static_cast<uint32_t>(getpid());
    ProgressSegment r = running_agent(self, 0);
    if (!zt::fake_segment_create(self, &r, sizeof r))
      _exit(1);
    int fd = open(object_path(self).c_str(), O_RDWR);
    void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
      _exit(1);
    auto *live = static_cast<ProgressSegment *>(map);
    std::mt19937_64 rng(seed);
    ProgressSegment next;
    for (uint64_t n = 1;; n++) {
      auto *words = reinterpret_cast<uint64_t *>(&next);
      for (size_t i = 0; i < PROGRESS_WORDS; i++)
        words[i] = rng();
      // Now and then a record of printable text fields without terminator,
      // or of extreme numbers, instead of pure noise.
      if ((rng() & 7) == 0) {
        memset(next.name, 'N', sizeof next.name);
        memset(next.path, '/', sizeof next.path);
        memset(next.message, 'm', sizeof next.message);
        memset(next.sha_impl, 's', sizeof next.sha_impl);
      }
      if (keep_running)
        next.state = STATE_RUNNING;
      else if (final_after != 0 && n > final_after)
        next.state = (rng() & 1) != 0 ? STATE_DONE : STATE_FAILED;
      uint64_t s = seqlock_write_begin(live);
      seqlock_store_words(live, next, 2, PROGRESS_WORDS);
      seqlock_write_end(live, s);
      usleep(200);
    }
  }
  uint32_t id() const { return static_cast<uint32_t>(pid); }
  bool has_segment() const { return access(object_path(id()).c_str(), F_OK) == 0; }
  ~RandomWriter() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0); // fails harmlessly when already reaped
      unlink(object_path(id()).c_str());
    }
  }
};

TEST(HostileWriter, RandomRecordsLiveView) {
  RandomWriter writer(false, 1);
  ASSERT_GT(writer.pid, 0);
  ASSERT_TRUE(zt::wait_until([&] { return writer.has_segment(); }));
  View view(writer.id());
  ASSERT_TRUE(view.started);
  // Many frames of noise, each one different: keys make the redraws come
  // faster than the 250 ms timeout.
  std::set<std::string> seen;
  ASSERT_TRUE(zt::wait_until(
      [&] {
        view.tmux.send_keys("Enter");
        seen.insert(view.tmux.screen_text());
        return seen.size() >= 40 || view.tmux.exited();
      },
      60000));
  EXPECT_FALSE(view.tmux.exited()) << view.tmux.screen_text();
  // Now a small terminal, where most rows fall outside.
  ASSERT_TRUE(view.tmux.resize(12, 4));
  seen.clear();
  ASSERT_TRUE(zt::wait_until([&] {
    view.tmux.send_keys("Enter");
    seen.insert(view.tmux.screen_text());
    return seen.size() >= 10 || view.tmux.exited();
  }));
  EXPECT_TRUE(view.quits()) << view.tmux.screen_text();
}

TEST(HostileWriter, RandomRecordsDump) {
  RandomWriter writer(true, 2);
  ASSERT_GT(writer.pid, 0);
  ASSERT_TRUE(zt::wait_until([&] { return writer.has_segment(); }));
  Dump dump(writer.id());
  ASSERT_TRUE(zt::wait_until([&] { return dump.lines().size() >= 200; }, 60000));
  // Killed, the writer leaves its segment behind; the dump ends anyway.
  kill(writer.pid, SIGKILL);
  waitpid(writer.pid, nullptr, 0);
  EXPECT_EQ(dump.finish(), 0);
  EXPECT_EQ(dump.err(), "");
  std::vector<std::string> lines = dump.lines();
  std::set<std::string> distinct(lines.begin() + 1, lines.end());
  EXPECT_GE(distinct.size(), 100u); // the records really changed under it
  for (size_t i = 1; i < lines.size(); i++)
    ASSERT_EQ(columns(lines[i]), 21u) << lines[i];
}

TEST(HostileWriter, RandomRecordsDumpEndsOnARandomFinalState) {
  RandomWriter writer(false, 3, 2000);
  ASSERT_GT(writer.pid, 0);
  ASSERT_TRUE(zt::wait_until([&] { return writer.has_segment(); }));
  Dump dump(writer.id());
  // About one record in 128 says DONE or FAILED, and every one after the
  // 2000th; the dump stops on the first it sees.
  EXPECT_EQ(dump.finish(), 0);
  EXPECT_EQ(dump.err(), "");
  std::vector<std::string> lines = dump.lines();
  ASSERT_GE(lines.size(), 2u);
  const std::string &last = lines.back();
  const std::string state = last.substr(last.rfind('\t') + 1);
  EXPECT_TRUE(state == "DONE" || state == "FAILED") << last;
}

// ---------------------------------------------------------------------------
// Things named like a segment that are not one: a directory, a symbolic
// link to a valid record, a FIFO.  The scan skips them without blocking,
// and the dump finds no segment.

enum class Fake { directory, symlink, fifo };

void make_fake(Fake kind, uint32_t pid, const std::string &target) {
  const std::string path = object_path(pid);
  switch (kind) {
  case Fake::directory:
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    break;
  case Fake::symlink:
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    break;
  case Fake::fifo:
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    break;
  }
}

void remove_fake(uint32_t pid) {
  const std::string path = object_path(pid);
  if (unlink(path.c_str()) != 0)
    rmdir(path.c_str());
}

TEST(HostileWriter, NonRegularObjectsAreNeitherFoundNorFollowed) {
  // A valid record under a name the scan does not look at, as link target.
  const std::string target = "/dev/shm/valid-record";
  zt::FakeTool tool;
  {
    ProgressSegment r = running_agent(tool.pid(), 1);
    int fd = open(target.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, &r, sizeof r), static_cast<ssize_t>(sizeof r));
    close(fd);
  }
  const std::string p = std::to_string(tool.pid());
  for (Fake kind : {Fake::directory, Fake::symlink, Fake::fifo}) {
    SCOPED_TRACE(static_cast<int>(kind));
    make_fake(kind, tool.pid(), target);

    zt::RunResult scan = zt::run_program(monitor_path(), {"--no-syslog", "--no-log"}, 20000);
    EXPECT_EQ(scan.status, 1);
    EXPECT_EQ(scan.err, "no running zpr_agent/zpr_restore found\n");

    zt::RunResult dump = zt::run_program(
        monitor_path(), {"--dump", "--pid", p.c_str(), "--wait", "1", "--no-syslog", "--no-log"},
        20000);
    EXPECT_EQ(dump.status, 1);
    EXPECT_EQ(dump.out, "");
    EXPECT_EQ(dump.err, "error: no progress segment for PID " + p + "\n");
    remove_fake(tool.pid());
  }
  unlink(target.c_str());
}

} // namespace
