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

// One case of process-wide start-up state: body runs in a forked child
// that ends through exit() (so exit handlers run), in a private mount
// namespace with empty /dev and /var/log, whose /dev/log socket collects
// what reaches syslog.  Texts come back with the UTC stamps of console and
// logfile lines ("2026-10-05T09:14:03Z ") and syslog's time cut out, and
// the child's pid written "P".
struct Outcome {
  int code = -1;
  std::string err, log, syslog; // log: the default /var/log/zpr/monitor.log
};

std::string normal(const std::string &text, const std::string &pid = "") {
  static const std::regex stamps("(^|\n)\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ |(<\\d+>)\\w{3} [ \\d]\\d [\\d:]{8} ");
  std::string cut = std::regex_replace(text, stamps, "$1$2");
  return pid.empty() ? std::regex_replace(cut, std::regex("pid=\\d+ "), "pid=P ")
                     : std::regex_replace(cut, std::regex("\\b" + pid + "\\b"), "P");
}

Outcome run_case(const std::function<int()> &body) {
  zt::TempDir dir;
  fflush(nullptr);
  pid_t keeper = fork();
  if (keeper == 0) {
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0), status = 0;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("t", "/dev", "tmpfs", 0, nullptr) || mount("t", "/var/log", "tmpfs", 0, nullptr) ||
        bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      _exit(111);
    pid_t pid = fork();
    if (pid == 0)
      exit(freopen((dir.path + "/err").c_str(), "w", stderr) ? body() : 120);
    // The queue of a datagram socket is short: collect while the case runs.
    std::string all;
    char buf[4096];
    for (bool done = false;;) {
      pollfd pfd{sock, POLLIN, 0};
      ssize_t n = poll(&pfd, 1, done ? 0 : 20) == 1 ? recv(sock, buf, sizeof buf, 0) : -1;
      if (n > 0)
        all.append(buf, static_cast<size_t>(n)) += '\n';
      else if (done)
        break;
      else
        done = waitpid(pid, &status, WNOHANG) == pid;
    }
    const std::string p = std::to_string(pid);
    zt::write_file(dir.path + "/syslog", normal(all, p));
    zt::write_file(dir.path + "/log", normal(zt::read_file("/var/log/zpr/monitor.log"), p));
    zt::write_file(dir.path + "/err", normal(zt::read_file(dir.path + "/err"), p));
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 255);
  }
  int status = 0;
  waitpid(keeper, &status, 0);
  EXPECT_NE(WEXITSTATUS(status), 111) << "no private namespace";
  return {WEXITSTATUS(status), zt::read_file(dir.path + "/err"), zt::read_file(dir.path + "/log"),
          zt::read_file(dir.path + "/syslog")};
}

} // namespace

TEST(Status, NamesAndErrnoTable) {
  std::string names;
  for (StatusCode c : {0, -1, -2, -3, -4, -5, -6, -7, -8, -9, -10, 1, -11, INT_MIN})
    names += std::string(status_name(c)) + "|";
  EXPECT_EQ(names, "ok|I/O error|out of memory|invalid argument or request|not found|already exists|"
                   "not supported|corrupt or inconsistent data|protocol error|temporarily unavailable|"
                   "decryption failed (wrong key or corrupted data)|unknown error|unknown error|unknown error|");
  for (int err = -5; err < 200; err++) {
    StatusCode want = err == ENOENT ? ST_NOTFOUND : err == EAGAIN ? ST_AGAIN : err == ENOMEM ? ST_NOMEM
                    : err == EEXIST ? ST_EXISTS : err == EINVAL ? ST_INVAL : ST_IO;
    EXPECT_EQ(status_from_errno(err), want) << err;
  }
  char small[8];
  errno = ENOENT;
  EXPECT_EQ(errno_text(small, sizeof small), small);
  EXPECT_EQ(std::string(small) + errno_text(small, 0) + errno_text(nullptr, 9), std::string(strerror(ENOENT), 7));
}

TEST(ConsoleLogger, FormatPaddingThresholdAndTag) {
  Outcome run = run_case([] {
    log_msg(LVL_WARN, "disk %d of %s", 3, "sda"); // before init: tag "zpr"
    log_init(std::string(80, 'n').c_str(), LVL_INFO);
    log_msg(LVL_INFO, "ends in newline\n"); // another newline is added all the same
    log_init("zpr_monitor", LVL_INFO);
    for (LogLevel level : {LVL_DEBUG, LVL_INFO, LVL_WARN, LVL_ERROR, LogLevel{7}})
      log_msg(level, "level %u", static_cast<unsigned>(level));
    log_init("t", LVL_ERROR);
    log_msg(LVL_WARN, "no");
    log_msg(4, "yes");
    return 0;
  });
  EXPECT_EQ(run.err, "[zpr] WARN  disk 3 of sda\n[" + std::string(63, 'n') + "] INFO  ends in newline\n\n"
                     "[zpr_monitor] INFO  level 1\n[zpr_monitor] WARN  level 2\n[zpr_monitor] ERROR level 3\n"
                     "[zpr_monitor] ?     level 7\n[t] ?     yes\n");
}

TEST(Options, LookupRules) {
  const std::pair<Texts, const char *> rows[] = { // arguments, value of --pid/-p
      {{"--pid=42"}, "42"},      {{"-p", "42"}, "42"},        {{"--pid="}, ""},         {{"--pid==7"}, "=7"},
      {{"--dump", "--pid"}, "D"}, {{"--pid", "5", "-p", "6"}, "5"}, {{"--pid", "--dump"}, "--dump"},
      {{"--pidx", "5"}, "D"},   {{"-p5"}, "D"},              {{"--PID", "5"}, "D"},   {{"--", "-p", "7"}, "7"},
  };
  for (const auto &[args, pid] : rows)
    EXPECT_STREQ(opt_value(argc_of(args), argv_of(args), "--pid", "-p", "D"), pid) << args[0];
  char **argv = argv_of({"--dump", "--pid=42", "--", "-h"});
  EXPECT_EQ(opt_value(5, argv, "--pid", nullptr, nullptr), argv[2] + 6); // points into argv
  EXPECT_STREQ(opt_value(0, argv, "--pid", "-p", "D"), "D");
  EXPECT_EQ(std::to_string(opt_flag(5, argv, "--dump", nullptr)) + std::to_string(opt_flag(5, argv, "--pid", nullptr)) +
                std::to_string(opt_flag(5, argv, "--help", "-h")) + std::to_string(opt_flag(5, argv, "--help", nullptr)) +
                std::to_string(opt_flag(5, argv, "zpr_monitor", nullptr)),
            "10100"); // exact names, after "--" too, never argv[0]
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
    std::string console, syslog;
    for (const std::string &w : row.warnings) {
      console += "[zpr_monitor] WARN  " + w + "\n";
      // Before runlog_init syslog has the C library's defaults.
      syslog += "<14>" + std::string(program_invocation_short_name) + ": " + w + "\n";
    }
    EXPECT_EQ(run.code, static_cast<int>(row.warnings.size()));
    EXPECT_EQ(run.err, console);
    EXPECT_EQ(run.syslog, row.runlog ? "" : syslog);
  }
}

TEST(RunLog, MasksOfBothOutputs) {
  // A mask and the bits an entry of mask 1 << bit reaches; bit 0 brings
  // the start and end entries.
  const std::pair<Texts, std::vector<int>> rows[] = {
      {{"0x3"}, {0, 1}}, {{"010"}, {3}}, {{"0"}, {}},         {{"-1"}, {-1}},   {{"12abc"}, {0}},
      {{"abc"}, {0}},    {{"0x"}, {0}},  {{" "}, {0}},        {{" +6"}, {1, 2}}, {{"5", "2"}, {0, 2}},
      {{""}, {0}},
  };
  for (const std::string output : {"--log", "--syslog"}) {
    for (const auto &[masks, row_bits] : rows) {
      SCOPED_TRACE(output + " " + masks[0]);
      zt::TempDir dir;
      Texts args = {output == "--log" ? "--no-syslog" : "--no-log", "--log-path", dir.path};
      for (const std::string &mask : masks)
        for (const std::string &arg : mask.empty() ? Texts{output + "="} : Texts{output, mask})
          args.push_back(arg);
      Outcome run = run_case([&] {
        runlog_init(argc_of(args), argv_of(args), "zpr_monitor");
        for (int bit = 0; bit < 32; bit++)
          runlog_msg(static_cast<int>(1u << bit), "bit %d", bit);
        return 0;
      });
      std::vector<int> bits = row_bits;
      if (bits == std::vector<int>{-1})
        for (int bit = 0; bit < 32; bit++)
          bits.push_back(bit);
      const std::string pre = output == "--log" ? "[zpr_monitor] pid=P " : "<30>zpr_monitor[P]: ";
      std::string want = !bits.empty() && bits[0] <= 0 ? pre + "started\n" : "";
      for (int bit : bits)
        want += bit >= 0 ? pre + "bit " + std::to_string(bit) + "\n" : "";
      want += !bits.empty() && bits[0] <= 0 ? pre + "stopped exit=0\n" : "";
      EXPECT_EQ(output == "--log" ? normal(zt::read_file(dir.path + "/monitor.log")) : run.syslog, want);
      const bool bad = masks[0] == "12abc" || masks[0] == "abc" || masks[0] == "0x" || masks[0] == " ";
      EXPECT_EQ(run.err, !bad ? "" : "warning: zpr_runlog: invalid " + output + " value '" + masks[0] +
                                          "' -- using default 1\n");
      EXPECT_EQ(run.log, "");
    }
  }
}

TEST(RunLog, FilesDirectoriesAndEndEntries) {
  zt::TempDir dir;
  const std::string nested = dir.path + "/a/b", plain = dir.path + "/plain", w = "warning: zpr_runlog: could not ";
  const std::string lost = "' -- continuing without logfile\n";
  zt::write_file(plain, "keep");
  ASSERT_EQ(mkdir((dir.path + "/taken").c_str(), 0755) + mkdir((dir.path + "/taken/monitor.log").c_str(), 0755), 0);
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
      {{"--log-path", plain}, "zpr_monitor", 0, "", "", w + "create log directory '" + plain + lost},
      {{"--log-path="}, "zpr_monitor", 0, "", "", w + "create log directory '" + lost},
      {{"--log-path", dir.path + "/taken/"}, "zpr_monitor", 0, "", "",
       w + "open logfile '" + dir.path + "/taken/monitor.log" + lost},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args.back() + " " + row.name);
    Texts args = row.args;
    args.push_back("--no-syslog");
    std::string before = zt::read_file(row.file);
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
    std::string p = "[" + std::string(row.name) + "] pid=P ";
    EXPECT_EQ(normal(zt::read_file(row.file).substr(before.size())), // appended
              p + "started\n" + p + std::string(511, 'm') + "\n" + p + row.end + "\n");
  }
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
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.syslog, "<14>" + std::string(program_invocation_short_name) +
                            ": early 1\n<30>zpr_monitor[P]: started\n<30>zpr_monitor[P]: stopped exit=0\n");
  EXPECT_EQ(run.log, "[zpr_monitor] pid=P started\n[zpr_monitor] pid=P stopped exit=0\n");
  run = run_case([] {
    runlog_init(3, argv_of({"--no-syslog", "--no-log"}), "zpr_monitor");
    runlog_msg(-1, "anything");
    return runlog_active() == 1 ? 3 : 4;
  });
  EXPECT_EQ(std::to_string(run.code) + run.syslog + run.log, "3");
}

class Selftest : public ::testing::Test {
protected:
  void TearDown() override { g_fault = NONE; }
};

TEST_F(Selftest, PatternChecksAndTheSwitch) {
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
    EXPECT_EQ(selftest_run(err, 0) * 1000 + err[0], (row.fault == NONE ? 0 : 1000) + 'x');
  }
  char small[5];
  for (CodecId codec : {CODEC_NONE, 7}) // never compress: no round trip
    EXPECT_EQ(selftest_codec(codec, "zstd round trip failed", pattern.data(), small, sizeof small), 1);
  EXPECT_STREQ(small, "zstd");
  // The switch: a failed self-test on standard error and status 1;
  // "--version" wins; only exact arguments count.
  g_fault = ZSTD_SHORT;
  Outcome run = run_case([] { return version_selftest(2, argv_of({"--selftest"}), "zpr_monitor"); });
  EXPECT_EQ(std::to_string(run.code) + run.err, "1zpr_monitor: selftest failed: zstd round trip failed\n");
  std::string out = zt::capture_stderr([] {
    int saved = dup(1);
    dup2(2, 1);
    EXPECT_EQ(version_selftest(3, argv_of({"--selftest", "--version"}), "zpr_monitor"), 0);
    EXPECT_EQ(version_selftest(4, argv_of({"--version=1", "--selftest=yes", "-version"}), "zpr_monitor"), -1);
    fflush(stdout);
    dup2(saved, 1);
  });
  EXPECT_EQ(out, "zpr_monitor 1.0.2-alpha027\n");
}
