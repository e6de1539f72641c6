// The monitor's start-up sequence through the real program: the version
// and self-test switches end the program before anything is logged, and
// the run log is set up before the unknown-option check.
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_segment.h"
#include "support/test_support.h"

namespace {

const std::string kVersionLine = "zpr_monitor 1.0.2-alpha027\n";
const std::string kSelftestLine = "zpr_monitor 1.0.2-alpha027: selftest ok\n";

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Standard output and standard error of one run, in the order written.
std::string run_merged(const std::string &args) {
  std::string cmd = monitor_path() + " " + args + " 2>&1 </dev/null";
  FILE *p = popen(cmd.c_str(), "r");
  std::string text;
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
    text.append(buf, n);
  if (p != nullptr)
    pclose(p);
  return text;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

} // namespace

TEST(StartupSwitches, VersionAndSelftestWinOverEverythingAndLogNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"--version"}, kVersionLine},
      {{"--help", "--version"}, kVersionLine},
      {{"--dump", "--version"}, kVersionLine},
      {{"--frob", "--version", "stray"}, kVersionLine},
      {{"--selftest"}, kSelftestLine},
      {{"--selftest", "--help"}, kSelftestLine},
      {{"--dump", "--selftest"}, kSelftestLine},
      {{"--selftest", "--frob=1", "7"}, kSelftestLine},
      {{"--selftest", "--version"}, kVersionLine},
  };
  for (const Case &c : cases) {
    zt::TempDir logs;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--no-syslog", "--log-path", logs.path});
    zt::RunResult r = zt::run_program(monitor_path(), args);
    std::string shown = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 0) << shown;
    EXPECT_EQ(r.out, c.out) << shown;
    EXPECT_EQ(r.err, "") << shown; // no option warnings
    EXPECT_FALSE(exists(logs.path + "/monitor.log")) << shown; // no run-log entries
  }
}

TEST(StartupSwitches, VersionEqualsValueIsNotTheSwitch) {
  zt::TempDir logs;
  zt::RunResult r = zt::run_program(
      monitor_path(), {"--version=1", "--help", "--no-syslog", "--log-path", logs.path.c_str()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("zpr_monitor 1.0.2-alpha027 (build 20261005-1)\n\n", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("WARN  unknown option '--version=...' ignored"), std::string::npos) << r.err;
}

TEST(StartupOrder, UnknownOptionWarningComesBeforeTheHelp) {
  zt::TempDir logs;
  std::string text = run_merged("--frob --help --no-syslog --log-path " + logs.path);
  auto lines = lines_of(text);
  ASSERT_GE(lines.size(), 3u) << text;
  EXPECT_NE(lines[0].find(" [zpr_monitor] WARN  unknown option '--frob' ignored"),
            std::string::npos)
      << text;
  EXPECT_EQ(lines[1], "zpr_monitor 1.0.2-alpha027 (build 20261005-1)");
}

TEST(StartupOrder, LoggingOptionsAreKnownAndTheRunLogSeesTheWarning) {
  zt::TempDir logs;
  zt::RunResult r = zt::run_program(
      monitor_path(), {"--log-path", logs.path.c_str(), "--no-syslog", "--syslog=1", "--log", "1",
                       "--help", "--frob"});
  EXPECT_EQ(r.status, 0);
  // Only --frob is unknown: the logging options draw no warning.
  auto err = lines_of(r.err);
  ASSERT_EQ(err.size(), 1u) << r.err;
  EXPECT_NE(err[0].find("WARN  unknown option '--frob' ignored"), std::string::npos) << r.err;

  auto entries = lines_of(zt::read_file(logs.path + "/monitor.log"));
  ASSERT_EQ(entries.size(), 3u);
  const std::string pid_field = " [zpr_monitor] pid=";
  for (const auto &e : entries)
    EXPECT_NE(e.find(pid_field), std::string::npos) << e;
  auto text_of = [](const std::string &e) { return e.substr(e.find(' ', e.find("pid=")) + 1); };
  EXPECT_EQ(text_of(entries[0]), "started");
  EXPECT_EQ(text_of(entries[1]), "unknown option '--frob' ignored");
  EXPECT_EQ(text_of(entries[2]), "stopped exit=0");
}

TEST(StartupOrder, PositionalArgumentIsWarnedAboutBeforeDiscovery) {
  zt::TempDir logs;
  zt::RunResult r =
      zt::run_program(monitor_path(), {"--no-syslog", "--log-path", logs.path.c_str(), "1234"});
  // Discovery on an empty /dev/shm: nothing found.
  EXPECT_EQ(r.status, 1);
  auto err = lines_of(r.err);
  ASSERT_EQ(err.size(), 2u) << r.err;
  EXPECT_NE(err[0].find("WARN  unexpected argument '1234' ignored"), std::string::npos) << r.err;
  EXPECT_EQ(err[1], "no running zpr_agent/zpr_restore found");
  auto entries = lines_of(zt::read_file(logs.path + "/monitor.log"));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_NE(entries[2].find(" stopped exit=1"), std::string::npos) << entries[2];
}
