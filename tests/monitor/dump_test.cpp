// zpr_monitor without a terminal: command line, start-up and dump mode
// through the real program watching stand-in processes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>

#include "support/fake_segment.h"

namespace {

const std::string MONITOR = zt::build_dir() + "/monitor/zpr_monitor", NONE = "no running zpr_agent/zpr_restore found\n";

TEST(MonitorCommandLine, StatusAndOutputs) {
  const std::string help = zt::read_file(ZPR_SCREENS "help.txt"), no_segment = "error: no progress segment for PID ";
  zt::TempDir logs;
  const struct { std::vector<std::string> args; int status; std::string out, err; } rows[] = {
      {{"--dump", "--version"}, 0, "zpr_monitor 1.0.2-alpha027\n", ""},
      {{"--help", "--selftest", "--frob"}, 0, "zpr_monitor 1.0.2-alpha027: selftest ok\n", ""},
      {{"--dump", "--help"}, 0, help, ""}, {{"-h", "--log-path", logs.path, "--syslog=1", "--log", "1"}, 0, help, ""},
      {{"--interval", "5", "--dump"}, 2, "", "error: --dump requires --pid\n"}, {{}, 1, "", NONE},
      {{"--pid", "0"}, 1, "", NONE}, {{"--pid=x1"}, 1, "", NONE},
      {{"--dump", "-p", "x", "--wait", "0"}, 1, "", no_segment + "0\n"},
      {{"--dump", "--pid=999999999", "--wait", "1000"}, 1, "", no_segment + "999999999\n"}};
  for (const auto &row : rows) {
    std::vector<std::string> args = {"--no-syslog", "--no-log"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    zt::RunResult r = zt::run_program(MONITOR, args);
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(row.status, row.out, row.err)) << args.back();
  }
  // The warnings first (the run log has them too), then the mode.
  zt::RunResult r = zt::run_program(MONITOR, {"--log-path", logs.path, "--no-syslog", "1234", "--frob"});
  EXPECT_NE(r.err.find("WARN  unexpected argument '1234' ignored\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("WARN  unknown option '--frob' ignored\n" + NONE), std::string::npos) << r.err;
  std::string log = zt::read_file(logs.path + "/monitor.log");
  EXPECT_NE(log.find(" unknown option '--frob' ignored\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" stopped exit=1\n"), std::string::npos) << log;
}

struct Dump { // a dump in the background, its output read while it runs
  zt::TempDir dir;
  pid_t pid;
  explicit Dump(uint32_t target, const char *interval = "20")
      : pid(zt::spawn_program({MONITOR, "--no-log", "--dump", "--pid", std::to_string(target), "--interval", interval},
                              dir.path + "/out", dir.path + "/err")) {}
  ~Dump() { zt::wait_exit(pid, 1); }
  std::string out() { return zt::read_file(dir.path + "/out"); }
  bool shows(const std::string &line) {
    return zt::wait_until([&] { return out().find("\n" + line + "\n") != std::string::npos; });
  }
  bool running() { // given a chance to end too early
    return !zt::wait_until([&] { return waitpid(pid, nullptr, WNOHANG) != 0; }, 300);
  }
};

// Every column its own value, so that a swapped column shows.
ProgressSegment numbered(uint32_t pid, uint8_t tool) {
  ProgressSegment r = zt::fake_record(pid, tool);
  r.state = STATE_RUNNING, r.elapsed_ms = 1, r.blocks_done = 2, r.blocks_total = 3, r.bytes_raw = 4;
  r.bytes_compressed = 5, r.q_raw_depth = 6, r.q_raw_cap = 7, r.q_out_depth = 8, r.q_out_cap = 9;
  r.workers_active = 10, r.workers_total = 11, r.level = -12, r.bg_active = 13, r.bg_duty_pct = 14;
  r.bg_foreign_cpu = 15, r.bg_foreign_io = 16, r.bg_foreign_net = 17, r.bg_self_cpu = 18, r.bg_self_io = 19;
  r.bg_self_net = 20;
  return r;
}
const std::string COLUMNS = "\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t-12\t13\t14\t15\t16\t17\t18\t19\t20\t";
const std::string OWN = "\t0\t77\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t";

TEST(DumpMode, FollowsTheOrchestratorUntilItsOwnEnd) {
  zt::FakeTool orch("a) Z (b"), child; // a name with ") Z (" is no zombie
  ProgressSegment o = zt::fake_record(orch.pid(), TOOL_XENV_RST), c = numbered(child.pid(), TOOL_RESTORE);
  o.state = STATE_RUNNING, o.start_wall -= 5, o.blocks_total = 77;
  c.state = 7, c.start_wall = 0; // not starting: its own elapsed time
  ASSERT_TRUE(orch.publish(o) && child.publish(c));
  Dump dump(orch.pid());
  const std::string header = zt::read_file(ZPR_SCREENS "dump_header.txt");
  ASSERT_TRUE(zt::wait_until([&] { return dump.out().find('\n', header.size()) != std::string::npos; }));
  std::string out = dump.out().substr(0, dump.out().find('\n', header.size()) + 1); // the wall-clock time
  EXPECT_TRUE(out == header + "5000" + OWN + "running\n" || out == header + "6000" + OWN + "running\n") << out;
  o.child_pid = child.pid();
  orch.publish(o);
  EXPECT_TRUE(dump.shows("1" + COLUMNS + "?")) << dump.out();
  c.state = STATE_DONE; // the child's end does not end the dump
  child.publish(c);
  EXPECT_TRUE(dump.shows("1" + COLUMNS + "DONE")) << dump.out();
  EXPECT_TRUE(dump.running());
  o.state = STATE_FAILED, o.child_pid = 0, o.elapsed_ms = 42;
  orch.publish(o);
  EXPECT_EQ(zt::wait_exit(dump.pid), 0);
  out = dump.out();
  EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2)), "\n42" + OWN + "FAILED\n");
}

TEST(DumpMode, WaitsForTheSegmentEndsWithAZombieAtMostOneLinePer20Ms) {
  zt::FakeTool tool, zombie;
  auto t0 = std::chrono::steady_clock::now();
  Dump dump(tool.pid(), "5");
  EXPECT_TRUE(dump.running()) << "still waiting";
  ProgressSegment r = numbered(tool.pid(), TOOL_AGENT);
  r.state = STATE_STARTING, r.elapsed_ms = 999999; // ahead of the clock: its own value
  ASSERT_TRUE(tool.publish(r));
  EXPECT_TRUE(dump.shows("999999" + COLUMNS + "starting")) << dump.out();
  EXPECT_TRUE(dump.running());
  tool.zombie();
  EXPECT_EQ(zt::wait_exit(dump.pid), 0);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  std::string out = dump.out();
  EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 2 + ms / 20);
  zombie.zombie();
  EXPECT_EQ(zt::run_program(MONITOR, {"--dump", "--pid", std::to_string(zombie.pid()), "--wait", "1000"}).status, 1);
}

} // namespace
