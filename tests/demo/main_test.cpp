// zpr_demo as a program: start-up, options, signals, and what a monitor
// shows of a restore in the live view.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "demo_process.h"
#include "progress/reader.h"
#include "support/tmux_session.h"

namespace {

using namespace demo_test;

int segment_count() {
  int n = 0;
  DIR *d = opendir("/dev/shm");
  if (d == nullptr)
    return -1;
  while (dirent *e = readdir(d))
    n += std::string(e->d_name).rfind("zpr_progress.", 0) == 0 ? 1 : 0;
  closedir(d);
  return n;
}

// A running demo has published at least one block.
bool has_progress(pid_t pid) {
  const ProgressSegment *map = nullptr;
  if (progress_attach(static_cast<uint32_t>(pid), &map) != ST_OK)
    return false;
  ProgressSegment copy{};
  bool ok = progress_snapshot(map, &copy) == ST_OK && copy.blocks_done > 0;
  progress_detach(&map);
  return ok;
}

// The child an orchestrator publishes, 0 if none (or no segment).
uint32_t child_of(pid_t pid) {
  const ProgressSegment *map = nullptr;
  if (progress_attach(static_cast<uint32_t>(pid), &map) != ST_OK)
    return 0;
  ProgressSegment copy{};
  uint32_t child = progress_snapshot(map, &copy) == ST_OK ? copy.child_pid : 0;
  progress_detach(&map);
  return child;
}

int thread_count(pid_t pid) {
  int n = 0;
  DIR *d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (d == nullptr)
    return 0;
  while (dirent *e = readdir(d))
    n += e->d_name[0] != '.' ? 1 : 0;
  closedir(d);
  return n;
}

TEST(DemoMain, CtrlCRemovesTheSegmentAndEndsBySigint) {
  Child demo = spawn({demo_bin(), "--no-log", "--no-syslog", "--seconds", "60"}, false);
  ASSERT_TRUE(zt::wait_until([&] { return has_progress(demo.pid); }));
  kill(demo.pid, SIGINT);
  int status = wait_for(demo.pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_FALSE(exists(segment_path(demo.pid)));
}

TEST(DemoMain, CtrlCOnAnOrchestratorTakesItsChildAlong) {
  Child demo = spawn({demo_bin(), "--no-log", "--no-syslog", "--tool", "pve-rst", "--seconds",
                      "60", "--blocks", "100000"},
                     false);
  // The child working: its handlers are in place.
  pid_t child = 0;
  ASSERT_TRUE(zt::wait_until([&] {
    child = static_cast<pid_t>(child_of(demo.pid));
    return child > 0 && has_progress(child);
  }));
  EXPECT_EQ(segment_count(), 2);
  kill(demo.pid, SIGINT);
  int status = wait_for(demo.pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_TRUE(zt::wait_until([] { return segment_count() == 0; }))
      << "the child's segment went with it";
}

TEST(DemoMain, NoProgressMeansNoSegment) {
  Child demo = spawn({demo_bin(), "--no-log", "--no-syslog", "--no-progress", "--seconds", "60",
                      "--workers", "2"},
                     false);
  // Reader and workers started: the run is under way.
  ASSERT_TRUE(zt::wait_until([&] { return thread_count(demo.pid) >= 4; }));
  EXPECT_EQ(segment_count(), 0);
  kill(demo.pid, SIGTERM);
  int status = wait_for(demo.pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

TEST(DemoMain, StartUpSequenceAndOptions) {
  Result version = run({demo_bin(), "--help", "--version"});
  EXPECT_EQ(version.out, "zpr_demo 1.0.2-alpha027\n");
  EXPECT_EQ(version.err, "");

  Result help = run({demo_bin(), "--no-log", "--no-syslog", "--frob", "--help"});
  ASSERT_TRUE(WIFEXITED(help.status));
  EXPECT_EQ(WEXITSTATUS(help.status), 0);
  EXPECT_NE(help.out.find("Usage: zpr_demo"), std::string::npos);
  EXPECT_NE(help.err.find("unknown option '--frob' ignored"), std::string::npos) << help.err;

  Result bad = run({demo_bin(), "--no-log", "--no-syslog", "--codec", "zip"});
  ASSERT_TRUE(WIFEXITED(bad.status));
  EXPECT_EQ(WEXITSTATUS(bad.status), 2);
  EXPECT_NE(bad.err.find("error: invalid value 'zip' for --codec"), std::string::npos) << bad.err;

  for (std::vector<std::string> args :
       {std::vector<std::string>{"--block-size", "100"}, {"--workers", "0"}, {"--blocks", "x"},
        {"--level-min", "9", "--level-max", "3"}, {"--tool", "vmware"}, {"--seconds", "-1"}}) {
    args.insert(args.begin(), {demo_bin(), "--no-log", "--no-syslog"});
    Result r = run(args);
    ASSERT_TRUE(WIFEXITED(r.status)) << args[3];
    EXPECT_EQ(WEXITSTATUS(r.status), 2) << args[3];
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
  }

  Result sizeless = run({demo_bin(), "--no-log", "--no-syslog", "--source", "/dev/zero"});
  ASSERT_TRUE(WIFEXITED(sizeless.status));
  EXPECT_EQ(WEXITSTATUS(sizeless.status), 1);
  EXPECT_NE(sizeless.err.find("source '/dev/zero' is empty or has no size; give --blocks"),
            std::string::npos)
      << sizeless.err;
  EXPECT_EQ(segment_count(), 0) << "the failed run removed its segment";

  Result quick = run({demo_bin(), "--no-log", "--no-syslog", "--no-progress", "--blocks", "64",
                      "--seconds", "0", "--codec", "lz4", "--stats"});
  ASSERT_TRUE(WIFEXITED(quick.status));
  EXPECT_EQ(WEXITSTATUS(quick.status), 0) << quick.err;
  EXPECT_NE(quick.out.find("stats: 64 blocks of 65536 bytes"), std::string::npos) << quick.out;

  // A restore whose blocks do not verify fails.
  Result damaged = run({demo_bin(), "--no-log", "--no-syslog", "--no-progress", "--tool",
                        "restore", "--blocks", "64", "--seconds", "0", "--corrupt-every", "4"});
  ASSERT_TRUE(WIFEXITED(damaged.status));
  EXPECT_EQ(WEXITSTATUS(damaged.status), 1) << damaged.err;
  EXPECT_NE(damaged.err.find("blocks failed verification"), std::string::npos) << damaged.err;
}

TEST(DemoMain, LiveViewOfARestoreListsItsWorkers) {
  Child demo = spawn({demo_bin(), "--no-log", "--no-syslog", "--tool", "restore", "--workers",
                      "3", "--seconds", "60", "--blocks", "20000"},
                     false);
  ASSERT_TRUE(zt::wait_until([&] { return has_progress(demo.pid); }));
  zt::TmuxSession tmux;
  ASSERT_TRUE(tmux.start({monitor_bin(), "--no-log", "--no-syslog", "--pid",
                          std::to_string(demo.pid)},
                         100, 30));
  bool shown = tmux.wait_screen([](const std::vector<std::string> &rows) {
    int cpu = -1, workers = -1;
    for (int i = 0; i < static_cast<int>(rows.size()); i++) {
      if (rows[i].rfind("CPU:", 0) == 0)
        cpu = i;
      if (rows[i].rfind("  W0:", 0) == 0 && rows[i].find("W2:") != std::string::npos)
        workers = i;
    }
    return cpu >= 0 && workers == cpu + 1;
  });
  EXPECT_TRUE(shown) << tmux.screen_text();
  std::string screen = tmux.screen_text();
  EXPECT_NE(screen.find("(demo-restore-1, restore FULL)"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Restored:"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Workers: "), std::string::npos) << screen;
  EXPECT_EQ(screen.find("W3:"), std::string::npos) << "three workers only\n" << screen;
  tmux.send_keys("q");
  EXPECT_TRUE(tmux.wait_exit());
  kill(demo.pid, SIGTERM);
  wait_for(demo.pid);
}

} // namespace
