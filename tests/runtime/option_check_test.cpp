#include "runtime/option_check.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "line_format.h"
#include "monitor/monitor_options.h"
#include "runtime/log.h"
#include "runtime/runlog.h"

namespace {

using Texts = std::vector<std::string>;

struct CheckRun {
  bool ran;
  int count;
  Texts console;   // the texts of the WARN lines on standard error
  Texts syslog;    // the texts that reached syslog
  Texts logfile;   // the texts of the default logfile (after runlog_init)
  bool logfile_exists;
};

// The text of every line of text, each read by parse (which must accept it).
template <typename Parse> Texts line_texts(const std::string &text, Parse parse) {
  Texts result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    std::string got;
    EXPECT_TRUE(parse(line, &got)) << line;
    result.push_back(got);
    start = end + 1;
  }
  return result;
}

// Runs the check pass the way the monitor's start-up does (console logger
// first, then optionally the run log on the same arguments, then the
// check) in a child with a private /dev/log and /var/log.
CheckRun check(const std::vector<std::string> &args, bool after_runlog_init = false,
               int max_positional = 0, const OptionSpec *table = monitor_options) {
  zt::ChildRun run = zt::run_child_with_syslog([&] {
    std::vector<std::string> kept = args;
    std::vector<char *> argv;
    static char program[] = "zpr_monitor";
    argv.push_back(program);
    for (std::string &arg : kept)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size() - 1);
    log_init("zpr_monitor", LVL_INFO);
    if (after_runlog_init)
      runlog_init(argc, argv.data(), "zpr_monitor");
    return opt_check_unknown(argc, argv.data(), table, max_positional);
  }, after_runlog_init);
  CheckRun result{run.ran, run.exit_code, {}, {}, {}, run.default_log_exists};
  if (!run.ran)
    return result;
  result.console = line_texts(run.err, [](const std::string &line, std::string *text) {
    return zt::parse_console_line(line, "zpr_monitor", "WARN", text);
  });
  result.logfile = line_texts(run.default_log, [](const std::string &line, std::string *text) {
    zt::LogEntry entry;
    bool ok = zt::parse_log_entry(line, &entry) && entry.name == "zpr_monitor";
    *text = entry.text;
    return ok;
  });
  for (const std::string &datagram : run.syslog) {
    zt::SyslogEntry entry;
    EXPECT_TRUE(zt::parse_syslog_datagram(datagram, &entry)) << datagram;
    result.syslog.push_back(entry.text);
  }
  return result;
}

std::string w1(const std::string &arg) { return "unexpected argument '" + arg + "' ignored"; }
std::string w2(const std::string &name) { return "unknown option '" + name + "=...' ignored"; }
std::string w3(const std::string &arg) {
  return "unknown option '" + arg + "' ignored (with the value after it)";
}
std::string w4(const std::string &arg) { return "unknown option '" + arg + "' ignored"; }

struct Case {
  std::vector<std::string> args;
  Texts warnings;
  int max_positional = 0;
};

// Checks each case before runlog_init: the warnings on the console, in the
// same order in syslog (the run log's defaults), and the count.
void expect_cases(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    std::string label;
    for (const std::string &arg : c.args)
      label += "[" + arg + "]";
    CheckRun run = check(c.args, false, c.max_positional);
    if (!run.ran)
      GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(run.count, static_cast<int>(c.warnings.size())) << label;
    EXPECT_EQ(run.console, c.warnings) << label;
    EXPECT_EQ(run.syslog, c.warnings) << label;
    EXPECT_FALSE(run.logfile_exists) << label;
  }
}

} // namespace

TEST(OptMatch, LongNamesAliasesAndValues) {
  const char *value = "untouched";
  EXPECT_EQ(opt_match(monitor_options, "--pid", &value), &monitor_options[0]);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(opt_match(monitor_options, "--pid=7", &value), &monitor_options[0]);
  EXPECT_STREQ(value, "7");
  EXPECT_EQ(opt_match(monitor_options, "--pid=", &value), &monitor_options[0]);
  EXPECT_STREQ(value, "");
  value = "untouched";
  EXPECT_EQ(opt_match(monitor_options, "-p", &value), &monitor_options[0]);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(opt_match(monitor_options, "--dump", &value), &monitor_options[1]);
  EXPECT_EQ(opt_match(monitor_options, "--wait=3", &value), &monitor_options[3]);
  EXPECT_STREQ(value, "3");
}

TEST(OptMatch, NearMissesMatchNothing) {
  for (const char *arg : {"--pidx", "-p5", "-p=5", "--dump=1", "--dump=", "--pi", "-P", "pid", "",
                          "-", "--", "--help"}) {
    const char *value = "untouched";
    EXPECT_EQ(opt_match(monitor_options, arg, &value), nullptr) << arg;
    EXPECT_STREQ(value, "untouched") << arg;
  }
  const char *value = "untouched";
  EXPECT_EQ(opt_match(nullptr, "--pid", &value), nullptr);
  EXPECT_EQ(opt_match(common_options, "-h", &value), &common_options[0]);
  EXPECT_EQ(opt_match(runlog_options, "--log-path=/x", &value), &runlog_options[4]);
  EXPECT_STREQ(value, "/x");
  EXPECT_EQ(opt_match(runlog_options, "--log=3", &value), &runlog_options[3]);
  EXPECT_STREQ(value, "3");
}

TEST(OptMatch, SwitchWithValueSkipsItsAliasButNotLaterEntries) {
  const OptionSpec table[] = {
      {"--sw", "--sw=1", 0},
      {"--sw", nullptr, 1},
      {nullptr, nullptr, 0},
  };
  const char *value = nullptr;
  EXPECT_EQ(opt_match(table, "--sw=1", &value), &table[1]);
  EXPECT_STREQ(value, "1");
  const OptionSpec alone[] = {{"--sw", "--sw=1", 0}, {nullptr, nullptr, 0}};
  EXPECT_EQ(opt_match(alone, "--sw=1", &value), nullptr);
}

TEST(OptCheckUnknown, MonitorOptions) {
  expect_cases({
      {{}, {}},
      {{"--pid", "5", "--dump", "--interval", "100", "--wait", "3"}, {}},
      {{"--pid=5", "--interval=", "-p", "6"}, {}},
      {{"--pid", "--dump"}, {}},
      {{"--pidx", "5"}, {w3("--pidx")}},
      {{"--dump=1"}, {w2("--dump")}},
      {{"-p5"}, {w4("-p5")}},
      {{"--frob", "-x"}, {w4("--frob"), w4("-x")}},
      {{"--frob", "-"}, {w4("--frob"), w1("-")}},
      {{"--frob=a=b", "--x="}, {w2("--frob"), w2("--x")}},
      {{"--help", "-h", "--version", "--selftest"}, {}},
      {{"--help=1", "-h=1"}, {w2("--help"), w2("-h")}},
  });
}

TEST(OptCheckUnknown, PositionalArguments) {
  expect_cases({
      {{"a", "b"}, {w1("a"), w1("b")}},
      {{"a", "b"}, {w1("b")}, 1},
      {{"a", "b"}, {}, 2},
      {{"-"}, {w1("-")}},
      {{""}, {w1("")}},
      {{"--frob", ""}, {w3("--frob")}},
      {{"--pid", "5", "x"}, {w1("x")}},
      {{"--pid=5", "x", "--dump", "y"}, {w1("y")}, 1},
  });
}

TEST(OptCheckUnknown, StopsAtDoubleDashAndAtAMissingValue) {
  expect_cases({
      {{"--", "--frob", "x"}, {}},
      {{"a", "--", "b"}, {w1("a")}},
      {{"--frob", "--", "--bad"}, {w4("--frob")}},
      {{"--pid"}, {}},
      {{"--bad", "--wait"}, {w4("--bad")}},
      // The value of --pid is skipped whatever it holds, even "--".
      {{"--pid", "--", "--frob"}, {w4("--frob")}},
  });
}

TEST(OptCheckUnknown, WithoutAToolTable) {
  for (const auto &[args, warnings] :
       std::vector<std::pair<std::vector<std::string>, Texts>>{
           {{"--pid", "5"}, {w3("--pid")}},
           {{"--help"}, {}},
       }) {
    CheckRun run = check(args, false, 0, nullptr);
    if (!run.ran)
      GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(run.count, static_cast<int>(warnings.size()));
    EXPECT_EQ(run.console, warnings);
  }
}

TEST(OptCheckUnknown, LoggingOptionsKnownOnlyAfterRunLogInit) {
  const std::vector<std::string> args = {"--log", "3"};
  CheckRun before = check(args, false);
  if (!before.ran)
    GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(before.count, 1);
  EXPECT_EQ(before.console, Texts{w3("--log")});

  CheckRun after = check(args, true);
  if (!after.ran)
    GTEST_SKIP() << "no private /var/log here";
  EXPECT_EQ(after.count, 0);
  EXPECT_EQ(after.console, Texts{});
  EXPECT_EQ(after.logfile, (Texts{"started", "stopped exit=0"}));

  const std::vector<std::string> all = {"--no-syslog", "--no-log", "--syslog", "1",
                                        "--log=1",     "--log-path", "/tmp/zpr-unused"};
  EXPECT_EQ(check(all, false).count, 5);
  CheckRun known = check(all, true);
  EXPECT_EQ(known.count, 0);
  EXPECT_EQ(known.console, Texts{});
}

TEST(OptCheckUnknown, WarningsReachTheRunLog) {
  // After runlog_init the warnings are entries of the logfile and of syslog
  // (mask 1), between the start and end entries.
  CheckRun run = check({"--frob", "v", "--no-log=1"}, true);
  if (!run.ran)
    GTEST_SKIP() << "no private mount namespace here";
  const Texts warnings = {w3("--frob"), w2("--no-log")};
  EXPECT_EQ(run.count, 2);
  EXPECT_EQ(run.console, warnings);
  Texts entries = {"started", warnings[0], warnings[1], "stopped exit=2"};
  EXPECT_EQ(run.logfile, entries);
  EXPECT_EQ(run.syslog, entries);

  // With the start and end bit off, the warnings go nowhere but the console.
  run = check({"--log", "2", "--syslog", "0", "--frob"}, true);
  EXPECT_EQ(run.count, 1);
  EXPECT_EQ(run.console, Texts{w4("--frob")});
  EXPECT_EQ(run.logfile, Texts{});
  EXPECT_EQ(run.syslog, Texts{});
}
