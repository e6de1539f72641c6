// The monitor under adverse conditions, through the real programs: lost output, wrapping
// numbers, more jobs than rows, signals, a dumb terminal, idle frames, others' segments.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/fake_segment.h"
#include "support/test_support.h"
#include "support/tmux_session.h"

namespace {

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

std::vector<std::string> monitor_argv(std::vector<std::string> args) {
  args.insert(args.begin(), {monitor_path(), "--no-log", "--no-syslog"});
  return args;
}

// The monitor (quiet run log) with standard output into out_path.
pid_t spawn_monitor(std::vector<std::string> args, const std::string &out_path,
                    const std::string &err_path) {
  args = monitor_argv(args);
  std::vector<const char *> argv;
  for (const std::string &a : args)
    argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return zt::spawn_program(monitor_path(), argv.data(), out_path, err_path);
}

ProgressSegment running_agent(uint32_t pid) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, "steady");
  r.state = STATE_RUNNING;
  return r;
}

// Dump, help and version into a full disk fail with the cause named.  A negative or
// over-32-bit number counts as not a number: a single attempt (pid 1 has no segment),
// pid 0, a 20 ms interval.  Wrapped, each would run for ever or watch another process.
TEST(AdverseConditions, LostOutputAndNumbersThatWouldWrap) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid()))); // never ends by itself
  const std::string pid = std::to_string(tool.pid());
  const std::string full = "error: cannot write to standard output: No space left on device\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--dump", "-p", pid}, full},
      {{"--help"}, full},
      {{"--version"}, full},
      {{"--dump", "-p", "1", "--wait", "-5"}, "error: no progress segment for PID 1\n"},
      {{"--dump", "-p", std::to_string(tool.pid() + 4294967296ULL), "--wait", "0"},
       "error: no progress segment for PID 0\n"},
  };
  zt::TempDir dir;
  for (const auto &[args, err] : cases) {
    SCOPED_TRACE(args.back());
    EXPECT_EQ(zt::wait_exit(spawn_monitor(args, "/dev/full", dir.path + "/err")), 1);
    EXPECT_EQ(zt::read_file(dir.path + "/err"), err);
  }
  const std::string out = dir.path + "/out";
  pid_t dumper = spawn_monitor({"--dump", "-p", pid, "--interval", "-5"}, out, out + ".err");
  ASSERT_TRUE(
      zt::wait_until([&] { return zt::read_file(out).find("running") != std::string::npos; }));
  tool.stop();
  EXPECT_EQ(zt::wait_exit(dumper), 0);
}

// 40 jobs in 16 list rows: the list scrolls with the selection, marked
// where entries lie above or below, and Enter opens the entry shown.
TEST(AdverseConditions, SelectionBoxScrolls) {
  for (uint32_t pid = 70001; pid <= 70040; pid++) {
    char name[16];
    snprintf(name, sizeof name, "j%u", pid);
    ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, name);
    ASSERT_TRUE(zt::fake_segment_create(pid, &r, sizeof r));
  }
  std::vector<uint32_t> order; // the scan's order is the directory's
  DIR *shm = opendir("/dev/shm");
  ASSERT_NE(shm, nullptr);
  while (const dirent *e = readdir(shm))
    if (strncmp(e->d_name, "zpr_progress.", 13) == 0)
      order.push_back(static_cast<uint32_t>(strtoul(e->d_name + 13, nullptr, 10)));
  closedir(shm);
  auto box = [&](size_t first, size_t shown, size_t selected, bool above, bool below) {
    std::vector<std::pair<int, std::string>> rows = {
        {0, "zpr_monitor - multiple running backups/restores found"},
        {1, "Use Up/Down and Enter to select, q to quit"},
        {3, "     NAME                 PID      TYPE  TOOL     STATE"}};
    int r = 4;
    if (above)
      rows.push_back({r++, "  ^ more"});
    char text[128];
    for (size_t k = first; k < first + shown; k++) {
      snprintf(text, sizeof text, "%-4s j%-19u %-8u FULL  agent    starting",
               k == selected ? ">" : "", order[k], order[k]);
      rows.push_back({r++, text});
    }
    if (below)
      rows.push_back({r, "  v more"});
    return zt::screen_of(20, rows);
  };
  zt::TmuxSession term;
  ASSERT_TRUE(term.start(monitor_argv({}), 80, 20));
  EXPECT_TRUE(term.wait_equal(box(0, 15, 0, false, true))) << term.screen_text();
  for (int i = 0; i < 15; i++)
    term.send_keys("Down");
  EXPECT_TRUE(term.wait_equal(box(2, 14, 15, true, true))) << term.screen_text();
  for (int i = 0; i < 30; i++)
    term.send_keys("Down");
  EXPECT_TRUE(term.wait_equal(box(25, 15, 39, true, false))) << term.screen_text();
  term.send_keys("Enter");
  EXPECT_TRUE(term.wait_text("zpr_monitor - PID " + std::to_string(order[39])));
  for (uint32_t pid : order)
    zt::fake_segment_remove(pid);
}

// Every way the live view ends short of q: SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, and a terminal that cannot address the cursor, refused at once.
// Each leaves the terminal in its normal mode, with status 1 and the run
// log's end entry.
TEST(AdverseConditions, TerminalIsRestoredOrNeverTaken) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid())));
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, 0}) {
    SCOPED_TRACE(sig);
    zt::TmuxSession term;
    const std::string pid_file = term.dir.path + "/pid";
    std::vector<std::string> argv = {monitor_path(), "--no-syslog", "--log-path", term.dir.path,
                                     "--pid", std::to_string(tool.pid())};
    argv.insert(argv.begin(),
                {"sh", "-c",
                 "sh -c 'echo $$ >\"$0\"; exec \"$@\"' \"$0\" \"$@\"; echo status=$?; "
                 "stty -a | tr ' ;' '\\n\\n' | grep -x -e '-*icanon' -e '-*echo'",
                 pid_file});
    ASSERT_TRUE(term.start(argv, 80, 30, {sig != 0 ? "-NO_SUCH_VARIABLE" : "TERM=dumb"}));
    std::vector<std::pair<int, std::string>> want;
    if (sig == 0)
      want.push_back({0, "error: cannot set up the terminal (TERM=dumb)"});
    for (const char *line : {"status=1", "icanon", "echo"})
      want.push_back({static_cast<int>(want.size()), line});
    if (sig != 0) {
      ASSERT_TRUE(term.wait_text("Press 'q' to quit")) << term.screen_text();
      kill(atoi(zt::read_file(pid_file).c_str()), sig);
    }
    EXPECT_TRUE(term.wait_equal(zt::screen_of(30, want))) << term.screen_text();
    const std::string log = zt::read_file(term.dir.path + "/monitor.log");
    EXPECT_TRUE(log.ends_with(" stopped exit=1\n")) << log;
  }
}

// A frame drawn before the writer has published anything new (a key, a
// change of message only) keeps the record's rate instead of 0.0.
TEST(AdverseConditions, RateStaysWhileTheRecordStandsStill) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid());
  ASSERT_TRUE(tool.publish(r));
  zt::TmuxSession term;
  ASSERT_TRUE(term.start(monitor_argv({"--pid", std::to_string(tool.pid())}), 80, 30));
  ASSERT_TRUE(term.wait_text("Rate:    0.0 blocks/s, 0.0 B/s")) << term.screen_text();
  r.elapsed_ms = 1000;
  r.blocks_done = 50;
  r.bytes_raw = 1048576;
  ASSERT_TRUE(tool.publish(r));
  const std::string rate = "Rate:    50.0 blocks/s, 1.0 MiB/s";
  ASSERT_TRUE(term.wait_text(rate)) << term.screen_text();
  term.send_keys("x");
  snprintf(r.message, sizeof r.message, "%s", "standing still");
  ASSERT_TRUE(tool.publish(r));
  ASSERT_TRUE(term.wait_text("Status: running - standing still")) << term.screen_text();
  EXPECT_EQ(term.screen()[8], rate) << term.screen_text();
}

TEST(AdverseConditions, OtherUsersSegmentsAreCounted) {
  ProgressSegment rec = zt::fake_record(71001, TOOL_AGENT);
  ASSERT_TRUE(zt::fake_segment_create(71001, &rec, sizeof rec)); // mode 0600, root's
  std::vector<std::string> args = monitor_argv({});
  args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
  zt::RunResult r = zt::run_program("/usr/bin/setpriv", args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "no running zpr_agent/zpr_restore found\n"
            "1 progress segment could not be opened for lack of permission (try as root)\n");
}

// The demo script's dump alone goes to standard output; what the build
// says (here: a build with nothing to do) goes to standard error.
TEST(AdverseConditions, DemoDumpWritesOnlyTheDump) {
  zt::TempDir bin;
  zt::write_file(bin.path + "/cmake", "#!/bin/sh\necho 'ninja: no work to do.'\n");
  chmod((bin.path + "/cmake").c_str(), 0755);
  zt::RunResult r = zt::run_program(
      "/usr/bin/env",
      {"PATH=" + bin.path + ":" + getenv("PATH"), "ZPR_DEMO_BUILD_DIR=" + zt::build_dir(),
       std::string(ZPR_SOURCE_DIR) + "/scripts/demo.sh", "--dump", "--seconds", "1", "--blocks",
       "256"},
      120000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("#elapsed_ms\tblocks_done\t", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("ninja: no work to do.\n"), std::string::npos) << r.err;
}

} // namespace
