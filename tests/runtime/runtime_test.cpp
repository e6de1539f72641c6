// The common runtime: status texts, console logger, run log (logfile and syslog), the self-test
// against libraries misbehaving on demand.  Options run end to end in zpr_monitor's start-up tests
// and the argument fuzz target.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/child.h"
#include "runtime/log.h"
#include "runtime/options.h"
#include "runtime/runlog.h"
#include "runtime/runlog_internal.h"
#include "runtime/selftest.h"
#include "runtime/status.h"
#include "support/test_support.h"

// The codec and digest libraries spoiled on demand: these definitions take the place of the shared
// libraries' in this program, and the link wraps the calls of the suite's own crc32c.
enum Fault { NONE, ZSTD_SHORT, ZSTD_FLIP, SHA_WRONG, CRC_WRONG };
static Fault g_fault = NONE;
template <typename Fn> static Fn real(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

extern "C" {
size_t ZSTD_decompress(void *dst, size_t cap, const void *src, size_t len) {
  static auto fn = real<size_t (*)(void *, size_t, const void *, size_t)>("ZSTD_decompress");
  size_t n = fn(dst, cap, src, len);
  static_cast<uint8_t *>(dst)[100] ^= g_fault == ZSTD_FLIP;
  return g_fault == ZSTD_SHORT ? n - 1 : n;
}
int EVP_Digest(const void *data, size_t count, unsigned char *md, unsigned int *size,
               const EVP_MD *type, ENGINE *impl) {
  static auto fn = real<int (*)(const void *, size_t, unsigned char *, unsigned int *,
                                const EVP_MD *, ENGINE *)>("EVP_Digest");
  int rc = fn(data, count, md, size, type, impl);
  md[31] ^= g_fault == SHA_WRONG;
  return rc;
}
uint32_t __real__Z6crc32cjPKvm(uint32_t crc, const void *data, size_t len);
uint32_t __wrap__Z6crc32cjPKvm(uint32_t crc, const void *data, size_t len) {
  return __real__Z6crc32cjPKvm(crc, data, len) ^ (g_fault == CRC_WRONG);
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

// One case of process-wide start-up state: body runs in a forked child that ends through exit(), in
// a private mount namespace with empty /dev and /var/log whose /dev/log socket collects syslog.
// Texts come back normalised: stamps ("2026-10-05T09:14:03Z ", syslog's time) cut, pids ("pid=N ",
// "name[N]: ") written "P".
struct Outcome {
  int code = -1;
  std::string err, log, syslog; // log: the default /var/log/zpr/monitor.log
};

std::string normal(const std::string &text) {
  using std::regex;
  static const regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z ", regex::multiline);
  static const regex syslog_time("^(<[0-9]+>)[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} ", regex::multiline);
  static const regex pid("(pid=|\\[)[0-9]+");
  const std::string no_stamps = std::regex_replace(text, stamp, "");
  const std::string no_times = std::regex_replace(no_stamps, syslog_time, "$1");
  return std::regex_replace(no_times, pid, "$1P");
}

Outcome run_case(const std::function<int()> &body) {
  zt::TempDir dir;
  int code = in_child([&] {
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    int status = 0;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("t", "/dev", "tmpfs", 0, nullptr) || mount("t", "/var/log", "tmpfs", 0, nullptr) ||
        bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      return 111;
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
    zt::write_file(dir.path + "/syslog", all);
    zt::write_file(dir.path + "/log", zt::read_file("/var/log/zpr/monitor.log"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  });
  EXPECT_NE(code, 111) << "no private namespace";
  auto text = [&](const char *name) { return normal(zt::read_file(dir.path + name)); };
  return {code, text("/err"), text("/log"), text("/syslog")};
}

} // namespace

TEST(Status, TextsAndErrnoCodes) {
  // Each of the eleven codes has a text of its own; other numbers have none.
  std::set<std::string> texts;
  for (StatusCode c = ST_DECRYPT; c <= ST_OK; c++)
    texts.insert(status_name(c));
  EXPECT_EQ(texts.size(), 11u);
  EXPECT_EQ(texts.count("unknown error"), 0u);
  EXPECT_STREQ(status_name(1), "unknown error");
  // The mapped numbers, and one on either side of the table.
  std::vector<StatusCode> got;
  for (int err : {0, ENOENT, EAGAIN, ENOMEM, EEXIST, EINVAL, ENOSPC})
    got.push_back(status_from_errno(err));
  const std::vector<StatusCode> want = {ST_IO,     ST_NOTFOUND, ST_AGAIN, ST_NOMEM,
                                        ST_EXISTS, ST_INVAL,    ST_IO};
  EXPECT_EQ(got, want);
  // The C library's text, cut to the buffer.
  char small[8];
  errno = ENOENT;
  EXPECT_EQ(std::string(errno_text(small, sizeof small)), std::string(strerror(ENOENT), 7));
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
  EXPECT_EQ(
      run.err,
      "[zpr] WARN  disk 3 of sda\n[" + std::string(63, 'n') +
          "] INFO  ends in newline\n\n"
          "[zpr_monitor] INFO  level 1\n[zpr_monitor] WARN  level 2\n[zpr_monitor] ERROR level 3\n"
          "[zpr_monitor] ?     level 7\n[t] ?     yes\n");
}

TEST(Options, LookupRules) {
  // The value of --pid/-p, default "D"; "--pid=N" and "-p N" run end to end in zpr_monitor's tests.
  const std::pair<Texts, const char *> rows[] = {{{"--pid="}, ""},
                                                 {{"--dump", "--pid"}, "D"},
                                                 {{"--pid", "5", "-p", "6"}, "5"},
                                                 {{"--pid", "--dump"}, "--dump"},
                                                 {{"--pidx", "5"}, "D"}};
  for (const auto &[args, pid] : rows)
    EXPECT_STREQ(opt_value(argc_of(args), argv_of(args), "--pid", "-p", "D"), pid) << argc_of(args);
}

TEST(RunLog, FilesDirectoriesAndEndEntries) {
  zt::TempDir dir;
  const std::string &d = dir.path;
  const std::string nested = d + "/a/b";
  const std::string plain = d + "/plain";
  zt::write_file(plain, "keep");
  const std::string taken = d + "/taken/";
  ASSERT_EQ(mkdir(taken.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((taken + "monitor.log").c_str(), 0755), 0);
  // The warning when no logfile can be had: what could not be done, and to what.
  auto lost = [](const std::string &what) {
    return "warning: zpr_runlog: could not " + what + "' -- continuing without logfile\n";
  };
  const char *mon = "zpr_monitor";
  const struct {
    Texts args;
    const char *name;
    int status;
    std::string file, end, err;
  } rows[] = {
      {{"--log-path", nested}, mon, 0, nested + "/monitor.log", "stopped exit=0", ""},
      {{"--log-path=" + nested + "//"}, mon, -1, nested + "/monitor.log", "stopped", ""},
      {{"--log-path", d}, "zpr_agent", 42, d + "/agent.log", "stopped exit=42", ""},
      {{"--log-path", plain}, mon, 0, "", "", lost("create log directory '" + plain)},
      {{"--log-path="}, mon, 0, "", "", lost("create log directory '")},
      {{"--log-path", taken}, mon, 0, "", "", lost("open logfile '" + taken + "monitor.log")},
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

TEST(RunLog, SyslogDefaultsSwitchesInheritanceAndMasks) {
  Outcome run = run_case([] {
    runlog_msg(1, "early %d", 1); // before init: the C library's defaults
    runlog_msg(2, "not sent");
    runlog_init(1, argv_of({}), "zpr_monitor");
    // The logfile is not inherited by programs this one starts.
    return system("ls -l /proc/self/fd | grep -q monitor.log") == 0 ? 1 : 0;
  });
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.syslog,
            "<14>" + std::string(program_invocation_short_name) +
                ": early 1\n<30>zpr_monitor[P]: started\n<30>zpr_monitor[P]: stopped exit=0\n");
  EXPECT_EQ(run.log, "[zpr_monitor] pid=P started\n[zpr_monitor] pid=P stopped exit=0\n");
  run = run_case([] {
    runlog_init(3, argv_of({"--no-syslog", "--no-log"}), "zpr_monitor");
    runlog_msg(-1, "anything");
    return runlog_active() == 1 ? 3 : 4;
  });
  EXPECT_EQ(run.code, 3);
  EXPECT_EQ(run.syslog, "");
  EXPECT_EQ(run.log, "");
  // Masks as C numbers (hex, octal, decimal, signed); anything else warns
  // and takes the default 1.
  const struct {
    const char *value;
    unsigned long mask;
    bool warns;
  } masks[] = {{"0x3", 3, false}, {"010", 8, false},   {"-1", ULONG_MAX, false},
               {"", 1, false},    {nullptr, 1, false}, {"12abc", 1, true}};
  for (const auto &m : masks) {
    unsigned long got = 0;
    const std::string err = zt::capture_stderr([&] { got = runlog_parse_mask("--log", m.value); });
    const std::string value = m.value == nullptr ? "(none)" : m.value;
    EXPECT_EQ(got, m.mask) << value;
    EXPECT_EQ(err, m.warns ? "warning: zpr_runlog: invalid --log value '" + value +
                                 "' -- using default 1\n"
                           : "")
        << value;
  }
}

TEST(Selftest, ChecksAndFailures) {
  const struct {
    Fault fault;
    std::string text;
  } rows[] = {{NONE, ""},
              {SHA_WRONG, "SHA-256 gives a wrong result"},
              {CRC_WRONG, "CRC32C gives a wrong result"},
              {ZSTD_SHORT, "zstd round trip failed"},
              {ZSTD_FLIP, "zstd round trip failed"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.fault);
    g_fault = row.fault;
    char err[64] = "";
    EXPECT_EQ(selftest_run(err, sizeof err), row.fault == NONE ? 0 : 1);
    EXPECT_EQ(err, row.text);
  }
  // The switch reports a failure on standard error and ends with status 1.
  Outcome run =
      run_case([] { return version_selftest(2, argv_of({"--selftest"}), "zpr_monitor"); });
  g_fault = NONE;
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "zpr_monitor: selftest failed: zstd round trip failed\n");
}
