// Dump mode through the real program, watching stand-in tool processes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_segment.h"
#include "support/test_support.h"

namespace {

const char HEADER[] =
    "#elapsed_ms\tblocks_done\tblocks_total\tbytes_raw\tbytes_compressed\tq_raw_depth\t"
    "q_raw_cap\tq_out_depth\tq_out_cap\tworkers_active\tworkers_total\tlevel\tbg_active\t"
    "bg_duty_pct\tbg_foreign_cpu\tbg_foreign_io\tbg_foreign_net\tbg_self_cpu\tbg_self_io\t"
    "bg_self_net\tstate";

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::vector<std::string> columns_of(const std::string &line) {
  std::vector<std::string> cols;
  std::istringstream in(line);
  for (std::string col; std::getline(in, col, '\t');)
    cols.push_back(col);
  return cols;
}

// A dump running in the background; its output is read while it runs.
struct Dump {
  zt::TempDir dir;
  pid_t pid = -1;
  Dump(uint32_t target, std::vector<std::string> extra = {"--interval", "20"}) {
    std::vector<std::string> args{monitor_path(), "--no-log", "--no-syslog", "--dump", "--pid",
                                  std::to_string(target)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<const char *> argv;
    for (const std::string &a : args)
      argv.push_back(a.c_str());
    argv.push_back(nullptr);
    pid = zt::spawn_program(monitor_path(), argv.data(), dir.path + "/out", dir.path + "/err");
  }
  ~Dump() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::vector<std::string> lines() { return lines_of(zt::read_file(dir.path + "/out")); }
  std::string err() { return zt::read_file(dir.path + "/err"); }
  bool wait_lines(size_t n) {
    return zt::wait_until([&] { return lines().size() >= n; });
  }
  // Waits until a data line's column (0-based) holds value.
  bool wait_column(size_t col, const std::string &value) {
    return zt::wait_until([&] {
      for (const std::string &l : lines()) {
        std::vector<std::string> c = columns_of(l);
        if (c.size() > col && c[col] == value)
          return true;
      }
      return false;
    });
  }
  int finish() {
    int status = zt::wait_exit(pid);
    pid = -1;
    return status;
  }
};

ProgressSegment running_agent(uint32_t pid, uint64_t blocks_done) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT);
  r.state = STATE_RUNNING;
  r.blocks_done = blocks_done;
  r.blocks_total = 1000;
  return r;
}

// Read system calls a process has made so far (/proc/<pid>/io "syscr").
uint64_t read_syscalls(pid_t pid) {
  std::string io = zt::read_file("/proc/" + std::to_string(pid) + "/io");
  size_t at = io.find("syscr: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

TEST(DumpMode, HeaderAndExactColumns) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT);
  r.state = STATE_RUNNING;
  r.elapsed_ms = 123456;
  r.blocks_done = 2;
  r.blocks_total = 3;
  r.bytes_raw = 18446744073709551615ull;
  r.bytes_compressed = 5;
  r.q_raw_depth = 6;
  r.q_raw_cap = 7;
  r.q_out_depth = 8;
  r.q_out_cap = 9;
  r.workers_active = 10;
  r.workers_total = 4294967295u;
  r.level = -3;
  r.bg_active = 255;
  r.bg_duty_pct = 13;
  r.bg_foreign_cpu = 14;
  r.bg_foreign_io = 15;
  r.bg_foreign_net = 16;
  r.bg_self_cpu = 17;
  r.bg_self_io = 18;
  r.bg_self_net = 19;
  ASSERT_TRUE(tool.publish(r));
  Dump dump(tool.pid());
  ASSERT_TRUE(dump.wait_lines(2)) << dump.err();
  ASSERT_TRUE(tool.finish(STATE_DONE));
  EXPECT_EQ(dump.finish(), 0);
  std::vector<std::string> lines = dump.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], HEADER);
  EXPECT_EQ(lines[1], "123456\t2\t3\t18446744073709551615\t5\t6\t7\t8\t9\t10\t4294967295\t-3\t255\t13\t"
                      "14\t15\t16\t17\t18\t19\trunning");
  EXPECT_EQ(lines.back(), "123456\t2\t3\t18446744073709551615\t5\t6\t7\t8\t9\t10\t4294967295\t-3\t255\t"
                          "13\t14\t15\t16\t17\t18\t19\tDONE");
  for (size_t i = 1; i < lines.size(); i++)
    EXPECT_EQ(columns_of(lines[i]).size(), 21u) << lines[i];
  EXPECT_EQ(dump.err(), "");
}

TEST(DumpMode, EndsOnFailedWithTheFinalLine) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 1)));
  Dump dump(tool.pid());
  ASSERT_TRUE(dump.wait_lines(2));
  ASSERT_TRUE(tool.finish(STATE_FAILED));
  EXPECT_EQ(dump.finish(), 0);
  EXPECT_EQ(columns_of(dump.lines().back())[20], "FAILED");
  // The tool itself is still running: the final state alone ended the dump.
  EXPECT_TRUE(zt::read_file("/proc/" + std::to_string(tool.pid()) + "/stat").size() > 0);
}

TEST(DumpMode, EndsWhenTheProcessGoesOrIsAZombie) {
  for (bool reap : {true, false}) {
    zt::FakeTool tool;
    ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 1)));
    Dump dump(tool.pid());
    ASSERT_TRUE(dump.wait_lines(2));
    // Killed without finishing: the segment stays, the state is not final.
    if (reap)
      tool.stop();
    else
      tool.zombie();
    EXPECT_EQ(dump.finish(), 0) << reap;
    EXPECT_EQ(columns_of(dump.lines().back())[20], "running");
  }
}

TEST(DumpMode, NameWithParenthesesIsNotTakenForAZombie) {
  zt::FakeTool tool("x) Z y)");
  ASSERT_TRUE(zt::wait_until([&] {
    return zt::read_file("/proc/" + std::to_string(tool.pid()) + "/comm") == "x) Z y)\n";
  }));
  ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 1)));
  Dump dump(tool.pid());
  // A misread state letter would end the dump after its first line.
  ASSERT_TRUE(dump.wait_lines(4));
  EXPECT_EQ(waitpid(dump.pid, nullptr, WNOHANG), 0);
  tool.stop();
  EXPECT_EQ(dump.finish(), 0);
}

TEST(DumpMode, WaitsForTheSegment) {
  zt::FakeTool tool;
  Dump dump(tool.pid(), {"--interval", "20", "--wait", "1000"});
  // Nothing is printed while the segment is missing.  Every attempt reads
  // the tool's /proc stat file, so the dump's read count tells that it has
  // been retrying for a while.
  ASSERT_TRUE(zt::wait_until([&] { return read_syscalls(dump.pid) >= 25; }));
  EXPECT_TRUE(dump.lines().empty());
  EXPECT_EQ(waitpid(dump.pid, nullptr, WNOHANG), 0);
  ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 42)));
  ASSERT_TRUE(dump.wait_column(1, "42"));
  EXPECT_EQ(dump.lines()[0], HEADER);
  tool.stop();
  EXPECT_EQ(dump.finish(), 0);
}

TEST(DumpMode, NoSegmentErrors) {
  // --wait 0: one attempt on a live process without a segment.
  zt::FakeTool tool;
  std::string pid = std::to_string(tool.pid());
  zt::RunResult r = zt::run_program(monitor_path(), {"--no-log", "--no-syslog", "--dump", "--pid", pid.c_str(), "--wait", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: no progress segment for PID " + pid + "\n");
  EXPECT_EQ(r.out, "");

  // A process that does not exist, and a zombie, end the wait at once: with
  // a wait of 1000 s anything else would run into the test's deadline.
  zt::RunResult gone = zt::run_program(monitor_path(), {"--no-log", "--no-syslog", "--dump", "--pid", "4000000000", "--wait", "1000"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "error: no progress segment for PID 4000000000\n");
  tool.zombie();
  zt::RunResult zombie = zt::run_program(monitor_path(), {"--no-log", "--no-syslog", "--dump", "--pid", pid.c_str(), "--wait", "1000"});
  EXPECT_EQ(zombie.status, 1);
  EXPECT_EQ(zombie.err, "error: no progress segment for PID " + pid + "\n");

  // A pid that is not a number is pid 0, which never has a segment.
  zt::RunResult nan = zt::run_program(monitor_path(), {"--no-log", "--no-syslog", "--dump", "--pid", "abc"});
  EXPECT_EQ(nan.status, 1);
  EXPECT_EQ(nan.err, "error: no progress segment for PID 0\n");
  EXPECT_EQ(nan.out, "");
}

TEST(DumpMode, CorruptOrShortSegmentCountsAsAbsent) {
  zt::FakeTool tool;
  std::string pid = std::to_string(tool.pid());
  ProgressSegment r = running_agent(tool.pid(), 1);
  r.version = 5;
  ASSERT_TRUE(zt::fake_segment_create(tool.pid(), &r, sizeof r));
  zt::RunResult wrong = zt::run_program(monitor_path(), {"--no-log", "--no-syslog", "--dump", "--pid", pid.c_str(), "--wait", "0"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err, "error: no progress segment for PID " + pid + "\n");
  ASSERT_TRUE(zt::fake_segment_create(tool.pid(), &r, 100, 100));
  zt::RunResult shrt = zt::run_program(monitor_path(), {"--no-log", "--no-syslog", "--dump", "--pid", pid.c_str(), "--wait", "0"});
  EXPECT_EQ(shrt.status, 1);
}

TEST(DumpMode, StartingRecordShowsWallClockElapsed) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT);
  r.start_wall -= 5;
  r.state = 7; // unknown state prints "?" but is not final
  ASSERT_TRUE(tool.publish(r));
  Dump dump(tool.pid());
  ASSERT_TRUE(dump.wait_lines(2));
  std::vector<std::string> first = columns_of(dump.lines()[1]);
  EXPECT_EQ(first[20], "?");
  EXPECT_EQ(first[0], "0"); // state 7 is not starting: own elapsed_ms
  r.state = STATE_STARTING;
  ASSERT_TRUE(tool.publish(r));
  ASSERT_TRUE(dump.wait_column(20, "starting"));
  for (const std::string &l : dump.lines()) {
    if (columns_of(l)[20] == "starting") {
      EXPECT_GE(std::stoull(columns_of(l)[0]), 5000u);
    }
  }
  // Running: the published value, even when it lags the wall clock.
  r.state = STATE_RUNNING;
  r.elapsed_ms = 10;
  ASSERT_TRUE(tool.publish(r));
  ASSERT_TRUE(dump.wait_column(20, "running"));
  for (const std::string &l : dump.lines()) {
    if (columns_of(l)[20] == "running") {
      EXPECT_EQ(columns_of(l)[0], "10");
    }
  }
  tool.stop();
  EXPECT_EQ(dump.finish(), 0);
}

TEST(DumpMode, FollowsTheOrchestratorsChild) {
  zt::FakeTool orch_tool, first, second;
  ProgressSegment orch = zt::fake_record(orch_tool.pid(), TOOL_PROXMOX, "vm");
  orch.state = STATE_RUNNING;
  orch.blocks_done = 111;
  orch.start_wall -= 3;
  ASSERT_TRUE(orch_tool.publish(orch));
  ASSERT_TRUE(first.publish(running_agent(first.pid(), 222)));
  ASSERT_TRUE(second.publish(running_agent(second.pid(), 333)));

  Dump dump(orch_tool.pid());
  ASSERT_TRUE(dump.wait_column(1, "111"));
  // No child yet: the orchestrator's own record with wall-clock elapsed.
  EXPECT_GE(std::stoull(columns_of(dump.lines()[1])[0]), 3000u);

  orch_tool.record().child_pid = first.pid();
  ASSERT_TRUE(orch_tool.republish());
  ASSERT_TRUE(dump.wait_column(1, "222"));
  // The child's DONE does not end the dump.
  ASSERT_TRUE(first.finish(STATE_DONE));
  ASSERT_TRUE(dump.wait_column(20, "DONE"));
  orch_tool.record().child_pid = second.pid();
  ASSERT_TRUE(orch_tool.republish());
  ASSERT_TRUE(dump.wait_column(1, "333"));
  EXPECT_EQ(waitpid(dump.pid, nullptr, WNOHANG), 0);

  ASSERT_TRUE(orch_tool.finish(STATE_DONE));
  EXPECT_EQ(dump.finish(), 0);
  // Lines come in the order of the switches, and the last is the
  // orchestrator's own final record (its child_pid was cleared).
  std::vector<std::string> lines = dump.lines();
  std::string order;
  for (size_t i = 1; i < lines.size(); i++) {
    char c = columns_of(lines[i])[1][0];
    if (order.empty() || order.back() != c)
      order += c;
  }
  EXPECT_EQ(order, "1231");
  EXPECT_EQ(columns_of(lines.back())[20], "DONE");
}

TEST(DumpMode, HostileRecords) {
  // An orchestrator naming itself, a pair naming each other, an unknown
  // tool kind naming a process without a segment: each dump prints and
  // ends normally.
  zt::FakeTool a, b;
  ProgressSegment ra = zt::fake_record(a.pid(), 9, "a");
  ra.state = STATE_RUNNING;
  ra.child_pid = a.pid();
  ra.blocks_done = 7;
  ra.workers_total = 0xFFFFFFFFu;
  ra.compression = 200;
  ra.backup_type = 200;
  memset(ra.name, 'N', sizeof ra.name); // unterminated text fields
  memset(ra.message, 'M', sizeof ra.message);
  ASSERT_TRUE(a.publish(ra));
  {
    Dump dump(a.pid());
    ASSERT_TRUE(dump.wait_column(1, "7"));
    ASSERT_TRUE(a.finish(STATE_DONE));
    EXPECT_EQ(dump.finish(), 0);
  }
  zt::FakeTool c, d;
  ProgressSegment rc = zt::fake_record(c.pid(), TOOL_XENV, "c");
  rc.state = STATE_RUNNING;
  rc.child_pid = d.pid();
  rc.blocks_done = 8;
  ProgressSegment rd = zt::fake_record(d.pid(), TOOL_XENV, "d");
  rd.state = STATE_RUNNING;
  rd.child_pid = c.pid();
  rd.blocks_done = 9;
  ASSERT_TRUE(c.publish(rc));
  ASSERT_TRUE(d.publish(rd));
  Dump dump(c.pid());
  ASSERT_TRUE(dump.wait_column(1, "9")); // one level only: d's own record
  c.stop();
  EXPECT_EQ(dump.finish(), 0);
  for (size_t i = 1; i < dump.lines().size(); i++)
    EXPECT_EQ(columns_of(dump.lines()[i])[1], "9");
}

TEST(DumpMode, UnreadableRecordPrintsNothing) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid(), 1);
  r.seq = 3; // writer died inside an update
  ASSERT_TRUE(zt::fake_segment_create(tool.pid(), &r, sizeof r));
  Dump dump(tool.pid());
  ASSERT_TRUE(dump.wait_lines(1));
  tool.stop();
  EXPECT_EQ(dump.finish(), 0);
  std::vector<std::string> lines = dump.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], HEADER);
}

TEST(DumpMode, IntervalFloor) {
  // Sleeps never end early, so at most one line per 20 ms can appear
  // (plus the first): a missing floor would print thousands.
  for (const char *interval : {"5", "0", "abc"}) {
    zt::FakeTool tool;
    ASSERT_TRUE(tool.publish(running_agent(tool.pid(), 1)));
    auto start = std::chrono::steady_clock::now();
    Dump dump(tool.pid(), {"--interval", interval});
    ASSERT_TRUE(dump.wait_lines(4)) << interval;
    tool.stop();
    EXPECT_EQ(dump.finish(), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_LE(static_cast<long>(dump.lines().size()), 2 + ms / 20) << interval;
  }
}

} // namespace
