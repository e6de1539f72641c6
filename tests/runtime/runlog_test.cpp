#include "runtime/runlog.h"

#include <climits>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "line_format.h"
#include "platform/sysutil.h"
#include "runtime/clock.h"
#include "support/test_support.h"

namespace {

// Calls runlog_init with the program name "zpr_monitor" (unless name is
// given) and the options args.
void init_with(std::vector<std::string> args, const char *name = "zpr_monitor") {
  // The strings live in the child until it exits; runlog keeps pointers
  // into argv only during init, but keep them anyway.
  static std::vector<std::string> kept;
  kept = std::move(args);
  static std::vector<char *> argv;
  argv.clear();
  static char program[] = "zpr_monitor";
  argv.push_back(program);
  for (std::string &arg : kept)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  runlog_init(static_cast<int>(argv.size() - 1), argv.data(), name);
}

std::string stamp_now() {
  time_t now = static_cast<time_t>(wall_clock_seconds());
  tm parts{};
  gmtime_r(&now, &parts);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return stamp;
}

using Entry = zt::LogEntry;

// Splits a logfile into entries; every line must have the entry format.
std::vector<Entry> entries(const std::string &contents) {
  std::vector<Entry> result;
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "entry without its newline";
    if (end == std::string::npos)
      end = contents.size();
    std::string line = contents.substr(start, end - start);
    Entry entry;
    EXPECT_TRUE(zt::parse_log_entry(line, &entry)) << line;
    result.push_back(entry);
    start = end + 1;
  }
  return result;
}

std::vector<std::string> texts(const std::string &contents) {
  std::vector<std::string> result;
  for (const Entry &e : entries(contents))
    result.push_back(e.text);
  return result;
}

using Texts = std::vector<std::string>;

using zt::SyslogEntry;

SyslogEntry parse_syslog(const std::string &datagram) {
  SyslogEntry entry;
  EXPECT_TRUE(zt::parse_syslog_datagram(datagram, &entry)) << datagram;
  return entry;
}

Texts syslog_texts(const zt::ChildRun &run) {
  Texts result;
  for (const std::string &datagram : run.syslog)
    result.push_back(parse_syslog(datagram).text);
  return result;
}

std::string invalid_mask(const std::string &option, const std::string &value) {
  return "warning: zpr_runlog: invalid " + option + " value '" + value +
         "' -- using default 1\n";
}

// Probes a mask through runlog_msg: one entry "bit N" per bit 0 .. 31.
void probe_bits() {
  for (int bit = 0; bit < 32; bit++)
    runlog_msg(static_cast<int>(1u << bit), "bit %d", bit);
}

Texts expected_bits(std::vector<int> bits, bool startstop, const char *end = "stopped exit=0") {
  Texts result;
  if (startstop)
    result.push_back("started");
  for (int bit : bits)
    result.push_back("bit " + std::to_string(bit));
  if (startstop)
    result.push_back(end);
  return result;
}

// One mask value and what it selects: the bits a test entry of mask
// 1 << bit reaches, whether start and stop are written, and the warning.
struct MaskCase {
  std::vector<std::string> args;
  std::vector<int> bits;
  bool startstop;
  std::string warning;
};

std::vector<int> all_bits() {
  std::vector<int> bits;
  for (int bit = 0; bit < 32; bit++)
    bits.push_back(bit);
  return bits;
}

} // namespace

TEST(RunLogFile, StartAndEndEntriesByExitStatus) {
  struct Case {
    int status;
    const char *end_text;
    int exit_code;
  };
  for (const Case &c : {Case{0, "stopped exit=0", 0}, Case{1, "stopped exit=1", 1},
                        Case{-1, "stopped", 255}, Case{42, "stopped exit=42", 42}}) {
    zt::TempDir dir;
    std::string before = stamp_now();
    zt::ChildRun run = zt::run_child([&] {
      init_with({"--no-syslog", "--log-path", dir.path});
      return c.status;
    });
    std::string after = stamp_now();
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.err, "");
    std::vector<Entry> got = entries(zt::read_file(dir.path + "/monitor.log"));
    ASSERT_EQ(got.size(), 2u) << c.status;
    EXPECT_EQ(got[0].text, "started");
    EXPECT_EQ(got[1].text, c.end_text);
    for (const Entry &e : got) {
      EXPECT_EQ(e.name, "zpr_monitor");
      EXPECT_EQ(e.pid, run.pid);
      EXPECT_GE(e.stamp, before);
      EXPECT_LE(e.stamp, after);
    }
  }
}

TEST(RunLogFile, DirectoryFormsGiveTheSameFile) {
  zt::TempDir dir;
  std::string nested = dir.path + "/a/b";
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--no-syslog", "--log-path", nested},
        std::vector<std::string>{"--no-syslog", "--log-path", nested + "/"},
        std::vector<std::string>{"--no-syslog", "--log-path=" + nested + "//"}}) {
    zt::ChildRun run = zt::run_child([&] {
      init_with(args);
      return 0;
    });
    EXPECT_EQ(run.err, "");
  }
  // Appending keeps what earlier runs wrote.
  EXPECT_EQ(texts(zt::read_file(nested + "/monitor.log")),
            (Texts{"started", "stopped exit=0", "started", "stopped exit=0", "started",
                   "stopped exit=0"}));
  EXPECT_FALSE(path_exists((dir.path + "/monitor.log").c_str()));
}

TEST(RunLogFile, OutputsSwitchedOff) {
  zt::TempDir dir;
  std::string log_dir = dir.path + "/sub";
  zt::ChildRun run = zt::run_child([&] {
    init_with({"--no-syslog", "--no-log", "--log-path", log_dir});
    runlog_msg(-1, "anything");
    return 3;
  });
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(path_exists(log_dir.c_str()));

  // --log 0 still creates and opens the file, and writes nothing to it.
  run = zt::run_child([&] {
    init_with({"--no-syslog", "--log", "0", "--log-path", log_dir});
    probe_bits();
    return 0;
  });
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(path_exists((log_dir + "/monitor.log").c_str()));
  EXPECT_EQ(zt::read_file(log_dir + "/monitor.log"), "");
}

TEST(RunLogFile, MaskValues) {
  const std::vector<int> every_bit = all_bits();
  const std::vector<MaskCase> cases = {
      {{"--log", "0x3"}, {0, 1}, true, ""},
      {{"--log", "010"}, {3}, false, ""},
      {{"--log=12"}, {2, 3}, false, ""},
      {{"--log", "12abc"}, {0}, true, invalid_mask("--log", "12abc")},
      {{"--log", "abc"}, {0}, true, invalid_mask("--log", "abc")},
      {{"--log", "0x"}, {0}, true, invalid_mask("--log", "0x")},
      {{"--log", " "}, {0}, true, invalid_mask("--log", " ")},
      {{"--log="}, {0}, true, ""},
      {{"--log", "-1"}, every_bit, true, ""},
      {{"--log", " +6"}, {1, 2}, false, ""},
      {{"--log", "5", "--log", "2"}, {0, 2}, true, ""},
  };
  for (const MaskCase &c : cases) {
    zt::TempDir dir;
    std::vector<std::string> args = {"--no-syslog", "--log-path", dir.path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    zt::ChildRun run = zt::run_child([&] {
      init_with(args);
      probe_bits();
      return 0;
    });
    std::string label = c.args.back();
    EXPECT_EQ(run.err, c.warning) << label;
    EXPECT_EQ(texts(zt::read_file(dir.path + "/monitor.log")),
              expected_bits(c.bits, c.startstop))
        << label;
  }
}

TEST(RunLogFile, SyslogMaskIsWarnedAboutFirst) {
  zt::TempDir dir;
  zt::ChildRun run = zt::run_child([&] {
    init_with({"--log", "x1", "--no-syslog", "--syslog", "12abc", "--log-path", dir.path});
    return 0;
  });
  EXPECT_EQ(run.err, invalid_mask("--syslog", "12abc") + invalid_mask("--log", "x1"));
  EXPECT_EQ(texts(zt::read_file(dir.path + "/monitor.log")),
            (Texts{"started", "stopped exit=0"}));
}

TEST(RunLogFile, DirectoryOrFileCannotBeMade) {
  zt::TempDir dir;
  std::string file = dir.path + "/plain";
  zt::write_file(file, "keep");
  zt::ChildRun run = zt::run_child([&] {
    init_with({"--no-syslog", "--log-path", file});
    runlog_msg(1, "lost");
    return 0;
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "warning: zpr_runlog: could not create log directory '" + file +
                         "' -- continuing without logfile\n");
  EXPECT_EQ(zt::read_file(file), "keep");

  run = zt::run_child([&] {
    init_with({"--no-syslog", "--log-path="});
    return 0;
  });
  EXPECT_EQ(run.err,
            "warning: zpr_runlog: could not create log directory '' -- continuing without "
            "logfile\n");

  // The logfile's name is taken by a directory.
  ASSERT_EQ(mkdir((dir.path + "/monitor.log").c_str(), 0755), 0);
  run = zt::run_child([&] {
    init_with({"--no-syslog", "--log-path", dir.path + "/"});
    return 0;
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "warning: zpr_runlog: could not open logfile '" + dir.path +
                         "/monitor.log' -- continuing without logfile\n");
}

TEST(RunLogFile, FileNameFromProgramName) {
  struct Case {
    std::string name;
    std::string file;
  };
  const std::string long_name = "zpr_" + std::string(76, 'n');
  const std::vector<Case> cases = {
      {"zpr_agent", "agent.log"}, {"monitor", "monitor.log"}, {"zpr_", ".log"},
      {"zpr", "zpr.log"},         {"ZPR_x", "ZPR_x.log"},     {long_name, std::string(76, 'n') + ".log"},
  };
  for (const Case &c : cases) {
    zt::TempDir dir;
    zt::ChildRun run = zt::run_child([&] {
      init_with({"--no-syslog", "--log-path", dir.path}, c.name.c_str());
      return 0;
    });
    EXPECT_EQ(run.err, "") << c.name;
    std::vector<Entry> got = entries(zt::read_file(dir.path + "/" + c.file));
    ASSERT_EQ(got.size(), 2u) << c.name;
    // The entries carry the name as kept: at most 63 characters.
    EXPECT_EQ(got[0].name, c.name.substr(0, 63));
  }
}

TEST(RunLogFile, MessagesByMask) {
  zt::TempDir dir;
  zt::ChildRun run = zt::run_child([&] {
    init_with({"--no-syslog", "--log-path", dir.path});
    runlog_msg(2, "two");
    runlog_msg(1, "one %d %s", 5, "x");
    runlog_msg(3, "three");
    runlog_msg(0, "none");
    runlog_msg(1, "%s", std::string(600, 'm').c_str());
    return 0;
  });
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(texts(zt::read_file(dir.path + "/monitor.log")),
            (Texts{"started", "one 5 x", "three", std::string(511, 'm'), "stopped exit=0"}));
}

TEST(RunLogFile, LogfileIsNotInheritedByPrograms) {
  zt::TempDir dir;
  zt::ChildRun run = zt::run_child([&] {
    init_with({"--no-syslog", "--log-path", dir.path});
    // Count the descriptors open on the logfile that survive an exec.
    std::string logfile = dir.path + "/monitor.log";
    std::string script = "n=0; for f in /proc/self/fd/*; do [ \"$(readlink $f)\" = '" + logfile +
                         "' ] && n=$((n+1)); done; exit $n";
    return system(script.c_str()) == 0 ? 0 : 1;
  });
  EXPECT_EQ(run.exit_code, 0);
}

TEST(RunLogFile, InitOncePerProcess) {
  zt::TempDir first;
  zt::TempDir second;
  zt::ChildRun run = zt::run_child([&] {
    if (runlog_active() != 0)
      return 10;
    init_with({"--no-syslog", "--log-path", first.path});
    if (runlog_active() != 1)
      return 11;
    init_with({"--no-syslog", "--log-path", second.path});
    return 0;
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(texts(zt::read_file(first.path + "/monitor.log")),
            (Texts{"started", "stopped exit=0"}));
  EXPECT_FALSE(path_exists((second.path + "/monitor.log").c_str()));
}

TEST(RunLogSyslog, DefaultsReachSyslogAndTheDefaultLogfile) {
  zt::ChildRun run = zt::run_child_with_syslog([] {
    init_with({});
    return 0;
  });
  if (!run.ran)
    GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(run.syslog.size(), 2u);
  const char *want[] = {"started", "stopped exit=0"};
  for (size_t i = 0; i < 2; i++) {
    SyslogEntry e = parse_syslog(run.syslog[i]);
    EXPECT_EQ(e.priority, 3 * 8 + 6) << run.syslog[i]; // LOG_DAEMON | LOG_INFO
    EXPECT_EQ(e.ident, "zpr_monitor");
    EXPECT_EQ(e.pid, run.pid);
    EXPECT_EQ(e.text, want[i]);
  }
  ASSERT_TRUE(run.default_log_exists);
  EXPECT_EQ(texts(run.default_log), (Texts{"started", "stopped exit=0"}));

  // The default directory written without its trailing slash names the
  // same file.
  run = zt::run_child_with_syslog([] {
    init_with({"--log-path", "/var/log/zpr", "--no-syslog"});
    return 4;
  });
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.syslog.empty());
  ASSERT_TRUE(run.default_log_exists);
  EXPECT_EQ(texts(run.default_log), (Texts{"started", "stopped exit=4"}));
}

TEST(RunLogSyslog, MaskValues) {
  const std::vector<int> every_bit = all_bits();
  const std::vector<MaskCase> cases = {
      {{"--syslog", "0x3"}, {0, 1}, true, ""},
      {{"--syslog", "010"}, {3}, false, ""},
      {{"--syslog", "0"}, {}, false, ""},
      {{"--syslog", "12abc"}, {0}, true, invalid_mask("--syslog", "12abc")},
      {{"--syslog", "abc"}, {0}, true, invalid_mask("--syslog", "abc")},
      {{"--syslog="}, {0}, true, ""},
      {{"--syslog", "-1"}, every_bit, true, ""},
  };
  for (const MaskCase &c : cases) {
    std::vector<std::string> args = {"--no-log"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    zt::ChildRun run = zt::run_child_with_syslog(
        [&] {
          init_with(args);
          probe_bits();
          return 0;
        },
        false);
    if (!run.ran)
      GTEST_SKIP() << "no private mount namespace here";
    std::string label = c.args.back();
    EXPECT_EQ(run.err, c.warning) << label;
    EXPECT_EQ(syslog_texts(run), expected_bits(c.bits, c.startstop)) << label;
    EXPECT_FALSE(run.default_log_exists);
  }
}

TEST(RunLogSyslog, SwitchedOffAndNegativeExit) {
  zt::ChildRun run = zt::run_child_with_syslog(
      [] {
        init_with({"--no-syslog", "--no-log"});
        runlog_msg(1, "quiet");
        return 0;
      },
      false);
  if (!run.ran)
    GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.syslog.empty());
  EXPECT_FALSE(run.default_log_exists);

  run = zt::run_child_with_syslog(
      [] {
        init_with({"--no-log"});
        return -1;
      },
      false);
  EXPECT_EQ(syslog_texts(run), (Texts{"started", "stopped"}));
}

TEST(RunLogSyslog, BeforeInitOnlySyslogWithItsDefaults) {
  zt::ChildRun run = zt::run_child_with_syslog(
      [] {
        runlog_msg(1, "early %d", 1);
        runlog_msg(2, "not sent");
        return 0;
      },
      false);
  if (!run.ran)
    GTEST_SKIP() << "no private mount namespace here";
  ASSERT_EQ(run.syslog.size(), 1u);
  SyslogEntry e = parse_syslog(run.syslog[0]);
  EXPECT_EQ(e.priority, 1 * 8 + 6); // the C library's LOG_USER, LOG_INFO
  EXPECT_EQ(e.text, "early 1");
  EXPECT_FALSE(run.default_log_exists);
}
