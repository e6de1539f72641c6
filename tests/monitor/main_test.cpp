// The command line of the real program: help, usage errors, mode choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_segment.h"
#include "support/test_support.h"
#include "support/tmux_session.h"

namespace {

const char HELP[] =
    "zpr_monitor 1.0.2-alpha027 (build 20261005-1)\n"
    "\n"
    "Usage: zpr_monitor [--pid <pid>]\n"
    "       zpr_monitor --dump --pid <pid> [--interval <ms>] [--wait <s>]\n"
    "Without --pid, scans for running zpr_agent/zpr_restore processes (and the\n"
    "zpr_proxmox/zpr_xenV orchestrators, whose current zpr_agent/zpr_restore child is\n"
    "followed automatically) and, if more than one is found, shows a selection box.\n"
    "--dump prints one tab-separated line per --interval (default 500 ms) instead of\n"
    "the ncurses view and stops when the process ends; --wait (default 10 s) is how\n"
    "long to wait for the process to create its progress segment.\n"
    "\n"
    "Logging: --no-syslog                syslog output disabled for this run\n"
    "         --no-log                   the program's own logfile disabled for this run\n"
    "         --syslog <bitmask>          what to log to syslog (default: 1)\n"
    "         --log <bitmask>             what to log to the own logfile (default: 1)\n"
    "         --log-path <dir>            directory for the logfile (default: /var/log/zpr/)\n"
    "         (bit 0 = one entry at program start and one at program end)\n";

const char NOTHING_FOUND[] = "no running zpr_agent/zpr_restore found\n";

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

// Runs the program with the logging switches that keep the machine's logs
// out of the tests.
zt::RunResult run(std::vector<std::string> args) {
  args.insert(args.begin(), {"--no-log", "--no-syslog"});
  return zt::run_program(monitor_path(), args);
}

TEST(Help, TextAndStatus) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"--help", "--dump"}, {"--dump", "--help"},
        {"--pid", "1", "-h"}, {"--dump", "--pid", "1", "--help"}}) {
    zt::RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, HELP) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
  // "--help=1" is not the switch.
  zt::RunResult r = run({"--help=1"});
  EXPECT_EQ(r.out.find("Usage:"), std::string::npos);
}

TEST(DumpOptions, RequiresPid) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--dump"}, {"--dump", "--pid"}, {"--dump", "-p"},
        {"--interval", "5", "--dump"}}) {
    zt::RunResult r = run(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.err, "error: --dump requires --pid\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(DumpOptions, PidConversions) {
  struct Case {
    std::vector<std::string> args;
    const char *pid;
  };
  // Not a number: 0; a leading number: that number; higher bits dropped;
  // and a value option swallowing the next argument.
  std::vector<Case> cases = {
      {{"--dump", "--pid", "abc"}, "0"},
      {{"--dump", "--pid=abc"}, "0"},
      {{"--dump", "--pid="}, "0"},
      {{"--pid", "--dump"}, "0"},
      {{"--dump", "-p", "4000000000xyz"}, "4000000000"},
      {{"--dump", "--pid", "4294967296"}, "0"},
      {{"--dump", "--pid=8589934594"}, "2"},
  };
  for (Case &c : cases) {
    c.args.push_back("--wait");
    c.args.push_back("0");
    zt::RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args[1];
    EXPECT_EQ(r.err, std::string("error: no progress segment for PID ") + c.pid + "\n") << c.args[1];
    EXPECT_EQ(r.out, "");
  }
}

TEST(DumpOptions, PidFormsReachTheSameTool) {
  zt::FakeTool tool;
  ProgressSegment rec = zt::fake_record(tool.pid(), TOOL_AGENT);
  rec.blocks_done = 31;
  rec.state = STATE_DONE; // one line, then the dump ends
  ASSERT_TRUE(tool.publish(rec));
  const std::string pid = std::to_string(tool.pid());
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--dump", "--pid", pid}, {"--dump", "--pid=" + pid},
        {"--dump", "-p", pid}, {"-p", pid, "--wait", "x", "--dump", "--interval", "y"}}) {
    zt::RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << args[1];
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_NE(r.out.find("\t31\t"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST(Modes, WithoutAUsablePidDiscovers) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--pid", "0"}, {"--pid", "abc"}, {"-p", "0"}, {"--pid="},
        {"12345"}, {"--pid"}}) {
    zt::RunResult r = run(args);
    EXPECT_EQ(r.status, 1) << (args.empty() ? "" : args[0]);
    if (args.size() == 1 && args[0] == "12345") {
      // A positional argument draws the start-up warning first.
      const std::string warning = " [zpr_monitor] WARN  unexpected argument '12345' ignored\n";
      EXPECT_EQ(r.err.size(), 20 + warning.size() + strlen(NOTHING_FOUND)) << r.err;
      EXPECT_EQ(r.err.find(warning), 20u) << r.err;
      EXPECT_EQ(r.err.substr(20 + warning.size()), NOTHING_FOUND);
    } else {
      EXPECT_EQ(r.err, NOTHING_FOUND) << (args.empty() ? "" : args[0]);
    }
    // The terminal was never switched to curses.
    EXPECT_EQ(r.out, "");
  }
}

TEST(Modes, LiveViewNeedsATerminal) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(zt::fake_record(tool.pid(), TOOL_AGENT)));
  zt::RunResult r = run({"--pid", std::to_string(tool.pid())});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.out, "");
}

int pane_exit_status(zt::TmuxSession &t) {
  int status = -1;
  bool got = zt::wait_until([&] { return t.exited(&status) && status >= 0; });
  return got ? status : -1;
}

TEST(Modes, LiveViewOfAPid) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(zt::fake_record(tool.pid(), TOOL_AGENT, "given")));
  const std::string pid = std::to_string(tool.pid());
  const std::string header = "zpr_monitor - PID " + pid + " (given, agent FULL)";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--pid", pid}, {"--pid=" + pid}, {"-p", pid}}) {
    zt::TmuxSession t;
    args.insert(args.begin(), {monitor_path(), "--no-log", "--no-syslog"});
    ASSERT_TRUE(t.start(args, 100, 30));
    ASSERT_TRUE(t.wait_text(header)) << t.screen_text();
    t.send_keys("q");
    EXPECT_EQ(pane_exit_status(t), 0) << args[1];
  }
}

TEST(Modes, LiveViewAttachErrorIsStatusZero) {
  zt::FakeTool tool; // alive, but without a segment
  zt::TmuxSession t;
  ASSERT_TRUE(t.start({monitor_path(), "--no-log", "--no-syslog", "--pid", std::to_string(tool.pid())}, 100, 30));
  EXPECT_EQ(pane_exit_status(t), 0);
  EXPECT_NE(t.screen_text().find("error: could not attach to PID " + std::to_string(tool.pid()) +
                                 " (process gone?)"),
            std::string::npos)
      << t.screen_text();
}

TEST(Modes, LiveViewWithoutTerminalDescription) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(zt::fake_record(tool.pid(), TOOL_AGENT)));
  zt::TmuxSession t;
  ASSERT_TRUE(t.start({monitor_path(), "--no-log", "--no-syslog", "--pid", std::to_string(tool.pid())}, 100, 30, {"-TERM"}));
  EXPECT_EQ(pane_exit_status(t), 1);
  std::vector<std::string> s = t.screen();
  EXPECT_EQ(std::count_if(s.begin(), s.end(),
                          [](const std::string &row) { return row.rfind("error: ", 0) == 0; }),
            1)
      << t.screen_text();
}

} // namespace
