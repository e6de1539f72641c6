// The common runtime: status texts, the console logger, option lookup and
// the unknown-option check, the run log in its logfile and in syslog, and
// the version and self-test switches against codec libraries that
// misbehave on demand.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <lz4.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "monitor/monitor_options.h"
#include "runtime/log.h"
#include "runtime/option_check.h"
#include "runtime/options.h"
#include "runtime/runlog.h"
#include "runtime/selftest.h"
#include "runtime/status.h"
#include "support/test_support.h"

// The codec and digest libraries, spoiled on demand: these definitions take
// the place of the shared libraries' for the code linked into this program.
namespace {
enum Fault { NONE, ZSTD_SHORT, ZSTD_FLIP, ZSTD_NO_GAIN, LZ4_SHORT, LZ4_FLIP, SHA_WRONG };
Fault g_fault = NONE;
int g_lz4_calls = 0;
template <typename Fn> Fn real(const char *name) { return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name)); }
} // namespace

extern "C" {
size_t ZSTD_compress(void *dst, size_t cap, const void *src, size_t len, int level) {
  static auto fn = real<size_t (*)(void *, size_t, const void *, size_t, int)>("ZSTD_compress");
  size_t n = fn(dst, cap, src, len, level);
  return g_fault == ZSTD_NO_GAIN ? len : n;
}
size_t ZSTD_decompress(void *dst, size_t cap, const void *src, size_t len) {
  static auto fn = real<size_t (*)(void *, size_t, const void *, size_t)>("ZSTD_decompress");
  size_t n = fn(dst, cap, src, len);
  if (g_fault == ZSTD_FLIP)
    static_cast<uint8_t *>(dst)[100] ^= 1;
  return g_fault == ZSTD_SHORT ? n - 1 : n;
}
int LZ4_compress_default(const char *src, char *dst, int len, int cap) {
  static auto fn = real<int (*)(const char *, char *, int, int)>("LZ4_compress_default");
  g_lz4_calls++;
  return fn(src, dst, len, cap);
}
int LZ4_decompress_safe(const char *src, char *dst, int len, int cap) {
  static auto fn = real<int (*)(const char *, char *, int, int)>("LZ4_decompress_safe");
  int n = fn(src, dst, len, cap);
  if (g_fault == LZ4_FLIP)
    dst[100] ^= 1;
  return g_fault == LZ4_SHORT ? n - 1 : n;
}
int EVP_Digest(const void *data, size_t count, unsigned char *md, unsigned int *size,
               const EVP_MD *type, ENGINE *impl) {
  static auto fn = real<int (*)(const void *, size_t, unsigned char *, unsigned int *,
                                const EVP_MD *, ENGINE *)>("EVP_Digest");
  int rc = fn(data, count, md, size, type, impl);
  md[31] ^= g_fault == SHA_WRONG;
  return rc;
}
} // extern "C"

namespace {

using Texts = std::vector<std::string>;

// argv[0] "zpr_monitor", then args; kept alive for the whole process.
char **argv_of(const Texts &args) {
  static std::vector<std::string> kept;
  static std::vector<char *> argv;
  kept = args;
  kept.insert(kept.begin(), "zpr_monitor");
  argv.clear();
  for (std::string &a : kept)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv.data();
}
int argc_of(const Texts &args) { return static_cast<int>(args.size()) + 1; }

// Lines of text with their leading "2026-10-05T09:14:03Z " checked and cut.
Texts stamped_lines(const std::string &text) {
  static const std::regex stamp("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ ");
  Texts lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = text.substr(at, nl - at);
    EXPECT_TRUE(line.size() > 21 && std::regex_match(line.substr(0, 21), stamp)) << line;
    lines.push_back(line.substr(std::min<size_t>(21, line.size())));
  }
  return lines;
}

// One case of process-wide start-up state: body runs in a forked child
// that ends through exit() (so exit handlers run), in a private mount
// namespace with empty /dev and /var/log.  What it sends to /dev/log is
// collected as "<priority>ident[pid]: text" (the time stamp cut out).
struct Outcome {
  int code = -1;
  long pid = 0;
  std::string err, default_log;
  Texts syslog;
};

Outcome run_case(const std::function<int()> &body) {
  zt::TempDir dir;
  fflush(nullptr);
  pid_t keeper = fork();
  if (keeper == 0) {
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("t", "/dev", "tmpfs", 0, nullptr) || mount("t", "/var/log", "tmpfs", 0, nullptr) ||
        bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      _exit(1);
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open((dir.path + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      exit(dup2(fd, 2) == 2 ? body() : 120);
    }
    // The queue of a datagram socket is short: collect while the case runs.
    std::string all, code = "-1";
    char buf[4096];
    for (int status, done = 0;;) {
      pollfd pfd{sock, POLLIN, 0};
      ssize_t n = poll(&pfd, 1, done ? 0 : 20) == 1 ? recv(sock, buf, sizeof buf, 0) : -1;
      if (n > 17) {
        std::string d(buf, static_cast<size_t>(n));
        all += d.substr(0, d.find('>') + 1) + d.substr(d.find('>') + 17) + '\n';
      } else if (n < 0 && done) {
        break;
      } else if (!done && waitpid(pid, &status, WNOHANG) == pid) {
        done = 1;
        code = WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "-1";
      }
    }
    zt::write_file(dir.path + "/syslog", all);
    zt::write_file(dir.path + "/log", zt::read_file("/var/log/zpr/monitor.log"));
    zt::write_file(dir.path + "/code", code + " " + std::to_string(pid));
    _exit(0);
  }
  int status = 0;
  waitpid(keeper, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no private namespace";
  Outcome run;
  sscanf(zt::read_file(dir.path + "/code").c_str(), "%d %ld", &run.code, &run.pid);
  run.err = zt::read_file(dir.path + "/err");
  run.default_log = zt::read_file(dir.path + "/log");
  std::string all = zt::read_file(dir.path + "/syslog");
  for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
    run.syslog.push_back(all.substr(at, nl - at));
  return run;
}

} // namespace

TEST(Status, NamesAndErrnoTable) {
  const char *names[] = {"ok", "I/O error", "out of memory", "invalid argument or request",
                         "not found", "already exists", "not supported",
                         "corrupt or inconsistent data", "protocol error",
                         "temporarily unavailable", "decryption failed (wrong key or corrupted data)"};
  for (int i = 0; i <= 10; i++)
    EXPECT_STREQ(status_name(-i), names[i]);
  for (StatusCode c : {1, -11, INT_MIN, INT_MAX})
    EXPECT_STREQ(status_name(c), "unknown error");
  for (int err = -5; err < 200; err++) {
    StatusCode want = err == ENOENT ? ST_NOTFOUND : err == EAGAIN ? ST_AGAIN : err == ENOMEM ? ST_NOMEM
                    : err == EEXIST ? ST_EXISTS : err == EINVAL ? ST_INVAL : ST_IO;
    EXPECT_EQ(status_from_errno(err), want) << err;
  }
  char small[8];
  errno = ENOENT;
  EXPECT_EQ(errno_text(small, sizeof small), small);
  EXPECT_EQ(std::string(small), std::string(strerror(ENOENT)).substr(0, 7));
  EXPECT_STREQ(errno_text(small, 0), "");
  EXPECT_STREQ(errno_text(nullptr, 10), "");
}

TEST(ConsoleLogger, FormatPaddingThresholdAndTag) {
  Outcome run = run_case([] {
    log_msg(LVL_WARN, "disk %d of %s", 3, "sda"); // before init: tag "zpr"
    log_init(std::string(80, 'n').c_str(), LVL_INFO);
    log_msg(LVL_INFO, "ends in newline\n");
    log_init("zpr_monitor", LVL_INFO);
    for (LogLevel level : {LVL_DEBUG, LVL_INFO, LVL_WARN, LVL_ERROR, LogLevel{7}})
      log_msg(level, "level %u", static_cast<unsigned>(level));
    log_init("t", LVL_ERROR);
    log_msg(LVL_WARN, "no");
    log_msg(4, "yes");
    return 0;
  });
  const std::string n63 = "[" + std::string(63, 'n') + "] INFO  ends in newline";
  size_t twice = run.err.find("newline\n\n"); // a newline is always added
  ASSERT_NE(twice, std::string::npos) << run.err;
  EXPECT_EQ(stamped_lines(run.err.erase(twice + 7, 1)),
            (Texts{"[zpr] WARN  disk 3 of sda", n63, "[zpr_monitor] INFO  level 1",
                   "[zpr_monitor] WARN  level 2", "[zpr_monitor] ERROR level 3",
                   "[zpr_monitor] ?     level 7", "[t] ?     yes"}))
      << run.err;
}

TEST(Options, LookupRules) {
  const struct {
    Texts args;
    const char *pid; // the value of --pid/-p (default "DEF")
  } rows[] = {
      {{"--pid=42"}, "42"}, {{"--pid", "42"}, "42"}, {{"-p", "42"}, "42"}, {{"--pid="}, ""},
      {{"--pid==7"}, "=7"}, {{"--dump", "--pid"}, "DEF"}, {{"-p"}, "DEF"}, {{}, "DEF"},
      {{"--pid", "5", "--pid", "6"}, "5"}, {{"--pid=6", "-p", "5"}, "6"},
      {{"--pid", "--dump"}, "--dump"}, {{"-p", "-5"}, "-5"}, {{"--pidx", "5"}, "DEF"},
      {{"-p5"}, "DEF"}, {{"--PID", "5"}, "DEF"}, {{"--interval", "--pid", "9"}, "9"},
      {{"--", "--pid", "7"}, "7"},
  };
  for (const auto &row : rows) {
    char **argv = argv_of(row.args);
    EXPECT_STREQ(opt_value(argc_of(row.args), argv, "--pid", "-p", "DEF"), row.pid)
        << (row.args.empty() ? "" : row.args[0]);
  }
  char **argv = argv_of({"--dump", "--pid=42", "--", "-h"});
  EXPECT_EQ(opt_value(5, argv, "--pid", nullptr, nullptr), argv[2] + 6); // points into argv
  EXPECT_EQ(opt_value(5, argv, "--x", nullptr, nullptr), nullptr);
  EXPECT_STREQ(opt_value(0, argv, "--pid", "-p", "DEF"), "DEF");
  EXPECT_EQ(opt_flag(5, argv, "--dump", nullptr), 1);
  EXPECT_EQ(opt_flag(5, argv, "--pid", nullptr), 0); // "--pid=42" is no flag
  EXPECT_EQ(opt_flag(5, argv, "--help", "-h"), 1);   // after "--" too
  EXPECT_EQ(opt_flag(5, argv, "--help", nullptr), 0);
  EXPECT_EQ(opt_flag(5, argv, "zpr_monitor", nullptr), 0); // argv[0] never
}

TEST(OptionCheck, MatchRules) {
  const char *value = "untouched";
  EXPECT_EQ(opt_match(monitor_options, "--pid=7", &value), &monitor_options[0]);
  EXPECT_STREQ(value, "7");
  EXPECT_EQ(opt_match(monitor_options, "-p", &value), &monitor_options[0]);
  EXPECT_EQ(value, nullptr);
  for (const char *arg : {"--pidx", "-p5", "-p=5", "--dump=1", "--pi", "-P", "", "-", "--", "--help"}) {
    value = "untouched";
    EXPECT_EQ(opt_match(monitor_options, arg, &value), nullptr) << arg;
    EXPECT_STREQ(value, "untouched") << arg;
  }
  EXPECT_EQ(opt_match(nullptr, "--pid", &value), nullptr);
  EXPECT_EQ(opt_match(runlog_options, "--log-path=/x", &value), &runlog_options[4]);
  EXPECT_STREQ(value, "/x");
  const OptionSpec table[] = {{"--sw", "--sw=1", 0}, {"--sw", nullptr, 1}, {nullptr, nullptr, 0}};
  EXPECT_EQ(opt_match(table, "--sw=1", &value), &table[1]); // the switch's alias is skipped
}

std::string w1(const std::string &a) { return "unexpected argument '" + a + "' ignored"; }
std::string w2(const std::string &a) { return "unknown option '" + a + "=...' ignored"; }
std::string w3(const std::string &a) { return "unknown option '" + a + "' ignored (with the value after it)"; }
std::string w4(const std::string &a) { return "unknown option '" + a + "' ignored"; }

TEST(OptionCheck, WarningsOnTheConsoleAndInSyslog) {
  const struct {
    Texts args;
    Texts warnings;
    int positional = 0;
    bool runlog = false; // runlog_init first: its options are known
    const OptionSpec *table = monitor_options;
  } rows[] = {
      {{"--pid", "5", "--dump", "--interval", "100", "--wait", "3", "--help", "--selftest"}, {}},
      {{"--pid=5", "--interval=", "-p", "6", "--pid", "--dump"}, {}},
      {{"--pidx", "5", "--dump=1", "-p5"}, {w3("--pidx"), w2("--dump"), w4("-p5")}},
      {{"--frob", "-x", "-", "--f=a=b", "-h=1"}, {w4("--frob"), w4("-x"), w1("-"), w2("--f"), w2("-h")}},
      {{"a", "b", ""}, {w1("a"), w1("b"), w1("")}},
      {{"a", "--pid", "5", "b"}, {w1("b")}, 1},
      {{"a", "b"}, {}, 2},
      {{"--frob", ""}, {w3("--frob")}},
      {{"a", "--", "b", "--frob"}, {w1("a")}},
      {{"--bad", "--wait"}, {w4("--bad")}},
      {{"--pid", "--", "--frob"}, {w4("--frob")}},
      {{"--pid", "5"}, {w3("--pid")}, 0, false, nullptr},
      {{"--log", "3", "--no-log"}, {w3("--log"), w4("--no-log")}},
      {{"--log", "3", "--no-log", "--syslog", "0", "--frob"}, {w4("--frob")}, 0, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args.empty() ? "" : row.args[0] + " " + std::to_string(row.warnings.size()));
    Outcome run = run_case([&] {
      log_init("zpr_monitor", LVL_INFO);
      if (row.runlog)
        runlog_init(argc_of(row.args), argv_of(row.args), "zpr_monitor");
      return opt_check_unknown(argc_of(row.args), argv_of(row.args), row.table, row.positional);
    });
    EXPECT_EQ(run.code, static_cast<int>(row.warnings.size()));
    Texts console, syslog;
    for (const std::string &w : row.warnings) {
      console.push_back("[zpr_monitor] WARN  " + w);
      // Before runlog_init syslog has the C library's defaults.
      syslog.push_back("<14>" + std::string(program_invocation_short_name) + ": " + w);
    }
    EXPECT_EQ(stamped_lines(run.err), console);
    EXPECT_EQ(run.syslog, row.runlog ? Texts{} : syslog);
  }
  // After runlog_init the warnings are entries of both outputs.
  Outcome run = run_case([] {
    Texts args = {"--frob", "v", "--no-log=1"};
    log_init("zpr_monitor", LVL_INFO);
    runlog_init(4, argv_of(args), "zpr_monitor");
    return opt_check_unknown(4, argv_of(args), monitor_options, 0);
  });
  const std::string p = "zpr_monitor[" + std::to_string(run.pid) + "]: ";
  EXPECT_EQ(run.syslog, (Texts{"<30>" + p + "started", "<30>" + p + w3("--frob"),
                               "<30>" + p + w2("--no-log"), "<30>" + p + "stopped exit=2"}));
  const std::string q = "[zpr_monitor] pid=" + std::to_string(run.pid) + " ";
  EXPECT_EQ(stamped_lines(run.default_log),
            (Texts{q + "started", q + w3("--frob"), q + w2("--no-log"), q + "stopped exit=2"}));
}

std::string bad_mask(const std::string &option, const std::string &value) {
  return "warning: zpr_runlog: invalid " + option + " value '" + value + "' -- using default 1\n";
}

TEST(RunLog, MasksOfBothOutputs) {
  // Each row's mask, the bits an entry of mask 1 << bit reaches (start and
  // stop entries when bit 0 is among them) and the warning.
  const struct {
    Texts args;
    std::vector<int> bits; // {-1}: all 32
    std::string warning;
  } rows[] = {
      {{"0x3"}, {0, 1}, ""}, {{"010"}, {3}, ""}, {{"0"}, {}, ""}, {{"-1"}, {-1}, ""},
      {{"12abc"}, {0}, "12abc"}, {{"abc"}, {0}, "abc"}, {{"0x"}, {0}, "0x"}, {{" "}, {0}, " "},
      {{" +6"}, {1, 2}, ""}, {{"5", "2"}, {0, 2}, ""}, {{""}, {0}, ""},
  };
  for (const std::string output : {"--log", "--syslog"}) {
    for (const auto &row : rows) {
      SCOPED_TRACE(output + " " + row.args[0]);
      zt::TempDir dir;
      Texts args = {output == "--log" ? "--no-syslog" : "--no-log", "--log-path", dir.path};
      for (const std::string &mask : row.args)
        for (const std::string &arg : mask.empty() ? Texts{output + "="} : Texts{output, mask})
          args.push_back(arg);
      Outcome run = run_case([&] {
        runlog_init(argc_of(args), argv_of(args), "zpr_monitor");
        for (int bit = 0; bit < 32; bit++)
          runlog_msg(static_cast<int>(1u << bit), "bit %d", bit);
        return 0;
      });
      Texts want;
      std::vector<int> bits = row.bits;
      if (bits == std::vector<int>{-1})
        for (int bit = 0; bit < 32; bit++)
          bits.push_back(bit);
      bool startstop = bits.size() > 0 && (bits[0] == 0 || bits[0] == -1);
      if (startstop)
        want.push_back("started");
      for (int bit : bits)
        if (bit >= 0)
          want.push_back("bit " + std::to_string(bit));
      if (startstop)
        want.push_back("stopped exit=0");
      Texts got;
      if (output == "--log")
        for (const std::string &line : stamped_lines(zt::read_file(dir.path + "/monitor.log")))
          got.push_back(line.substr(line.find(' ', line.find("pid=")) + 1));
      else
        for (const std::string &d : run.syslog)
          got.push_back(d.substr(d.find("]: ") + 3));
      EXPECT_EQ(run.err, row.warning.empty() ? "" : bad_mask(output, row.warning));
      EXPECT_EQ(got, want);
      EXPECT_EQ(run.default_log, "");
    }
  }
}

TEST(RunLog, FilesDirectoriesAndEndEntries) {
  zt::TempDir dir;
  const std::string nested = dir.path + "/a/b", plain = dir.path + "/plain";
  zt::write_file(plain, "keep");
  ASSERT_EQ(mkdir((dir.path + "/taken").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir.path + "/taken/monitor.log").c_str(), 0755), 0);
  const std::string no_dir = "warning: zpr_runlog: could not create log directory '";
  const struct {
    Texts args;
    const char *name;
    int status;
    std::string file, end, err;
  } rows[] = {
      {{"--log-path", nested}, "zpr_monitor", 0, nested + "/monitor.log", "stopped exit=0", ""},
      {{"--log-path", nested + "/"}, "zpr_monitor", 1, nested + "/monitor.log", "stopped exit=1", ""},
      {{"--log-path=" + nested + "//"}, "zpr_monitor", -1, nested + "/monitor.log", "stopped", ""},
      {{"--log-path", dir.path}, "zpr_agent", 42, dir.path + "/agent.log", "stopped exit=42", ""},
      {{"--log-path", dir.path}, "zpr_", 0, dir.path + "/.log", "stopped exit=0", ""},
      {{"--log-path", dir.path}, "ZPR_x", 0, dir.path + "/ZPR_x.log", "stopped exit=0", ""},
      {{"--log-path", plain}, "zpr_monitor", 0, "", "",
       no_dir + plain + "' -- continuing without logfile\n"},
      {{"--log-path="}, "zpr_monitor", 0, "", "", no_dir + "' -- continuing without logfile\n"},
      {{"--log-path", dir.path + "/taken/"}, "zpr_monitor", 0, "", "",
       "warning: zpr_runlog: could not open logfile '" + dir.path +
           "/taken/monitor.log' -- continuing without logfile\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args.back() + " " + row.name);
    Texts args = row.args;
    args.push_back("--no-syslog");
    Outcome run = run_case([&] {
      runlog_init(argc_of(args), argv_of(args), row.name);
      runlog_init(argc_of(args), argv_of(args), "second"); // does nothing
      runlog_msg(1, "%s", std::string(600, 'm').c_str());
      runlog_msg(2, "not logged");
      return row.status;
    });
    EXPECT_EQ(run.err, row.err);
    if (row.file.empty())
      continue;
    const std::string p = "[" + std::string(row.name) + "] pid=" + std::to_string(run.pid) + " ";
    Texts lines = stamped_lines(zt::read_file(row.file));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Texts(lines.end() - 3, lines.end()),
              (Texts{p + "started", p + std::string(511, 'm'), p + row.end}));
  }
  EXPECT_EQ(stamped_lines(zt::read_file(nested + "/monitor.log")).size(), 9u); // appended
  EXPECT_EQ(zt::read_file(plain), "keep");
}

TEST(RunLog, SyslogDefaultsSwitchesAndInheritance) {
  Outcome run = run_case([] {
    runlog_msg(1, "early %d", 1); // before init: the C library's defaults
    runlog_msg(2, "not sent");
    runlog_init(1, argv_of({}), "zpr_monitor");
    // The logfile is not inherited by programs this one starts.
    return system("ls -l /proc/self/fd | grep -q monitor.log") == 0 ? 1 : 0;
  });
  const std::string p = "zpr_monitor[" + std::to_string(run.pid) + "]: ";
  EXPECT_EQ(run.code, 0);
  ASSERT_EQ(run.syslog.size(), 3u);
  EXPECT_EQ(run.syslog[0].substr(0, 4), "<14>");
  EXPECT_EQ(run.syslog[0].substr(run.syslog[0].size() - 9), ": early 1");
  EXPECT_EQ(Texts(run.syslog.begin() + 1, run.syslog.end()),
            (Texts{"<30>" + p + "started", "<30>" + p + "stopped exit=0"}));
  const std::string q = "[zpr_monitor] pid=" + std::to_string(run.pid) + " ";
  EXPECT_EQ(stamped_lines(run.default_log), (Texts{q + "started", q + "stopped exit=0"}));

  run = run_case([] {
    runlog_init(3, argv_of({"--no-syslog", "--no-log"}), "zpr_monitor");
    runlog_msg(-1, "anything");
    return runlog_active() == 1 ? 3 : 4;
  });
  EXPECT_EQ(run.code, 3);
  EXPECT_EQ(run.syslog, Texts{});
  EXPECT_EQ(run.default_log, "");
}

class Selftest : public ::testing::Test {
protected:
  void TearDown() override { g_fault = NONE; }
};

TEST_F(Selftest, PatternAndRunResults) {
  std::vector<uint8_t> pattern(SELFTEST_PATTERN_BYTES);
  selftest_pattern(pattern.data(), pattern.size());
  for (size_t i : {0, 1, 7, 31, 32, 8191, 8192, 100000, 262143})
    EXPECT_EQ(pattern[i], static_cast<uint8_t>((i >> 5) ^ (7 * i))) << i;
  const struct {
    Fault fault;
    const char *text;
    int lz4_calls; // later checks do not run
  } rows[] = {{NONE, "", 1},
              {SHA_WRONG, "SHA-256 gives a wrong result", 0},
              {ZSTD_SHORT, "zstd round trip failed", 0},
              {ZSTD_FLIP, "zstd round trip failed", 0},
              {ZSTD_NO_GAIN, "zstd round trip failed", 0},
              {LZ4_SHORT, "lz4 round trip failed", 1},
              {LZ4_FLIP, "lz4 round trip failed", 1}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.fault);
    g_fault = row.fault;
    g_lz4_calls = 0;
    char err[64] = "";
    EXPECT_EQ(selftest_run(err, sizeof err), row.fault == NONE ? 0 : 1);
    EXPECT_STREQ(err, row.text);
    EXPECT_EQ(g_lz4_calls, row.lz4_calls);
    memset(err, 'x', sizeof err);
    EXPECT_EQ(selftest_run(err, 0), row.fault == NONE ? 0 : 1);
    EXPECT_EQ(err[0], 'x');
  }
  g_fault = NONE;
  char small[5];
  for (CodecId codec : {CODEC_NONE, 7}) // never compress: no round trip
    EXPECT_EQ(selftest_codec(codec, "zstd round trip failed", pattern.data(), small, sizeof small), 1);
  EXPECT_STREQ(small, "zstd");
}

TEST_F(Selftest, Switches) {
  const struct {
    Texts args;
    Fault fault;
    int status; // -1: neither switch
    std::string out, err;
  } rows[] = {
      {{"--version"}, NONE, 0, "zpr_monitor 1.0.2-alpha027\n", ""},
      {{"--pid", "12", "--selftest"}, NONE, 0, "zpr_monitor 1.0.2-alpha027: selftest ok\n", ""},
      {{"--selftest", "--version"}, ZSTD_FLIP, 0, "zpr_monitor 1.0.2-alpha027\n", ""},
      {{"--selftest"}, ZSTD_SHORT, 1, "", "zpr_monitor: selftest failed: zstd round trip failed\n"},
      {{"--version=1", "--selftest=yes", "-version"}, NONE, -1, "", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0]);
    zt::TempDir dir;
    Outcome run = run_case([&] {
      g_fault = row.fault;
      return freopen((dir.path + "/out").c_str(), "w", stdout) == nullptr
                 ? 0 : version_selftest(argc_of(row.args), argv_of(row.args), "zpr_monitor") + 10;
    });
    EXPECT_EQ(run.code - 10, row.status);
    EXPECT_EQ(zt::read_file(dir.path + "/out"), row.out);
    EXPECT_EQ(run.err, row.err);
  }
}
