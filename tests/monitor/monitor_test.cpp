// zpr_monitor end to end against stand-in processes and crafted records: whole screens in tmux
// (expected ones in screens/), whole dump lines, signals, lost output and hostile writers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "runtime/version.h"
#include "support/tmux_session.h"

namespace {

const std::string MONITOR = zt::build_dir() + "/monitor/zpr_monitor",
                  RAISING = zt::build_dir() + "/tests/monitor/zpr_monitor_raising",
                  NONE = "no running zpr_agent/zpr_restore found\n";

struct View : zt::TmuxSession { // the monitor in its own terminal
  bool run(const std::vector<std::string> &args, int rows = 30) {
    std::vector<std::string> argv = {MONITOR, "--no-log", "--no-syslog"};
    argv.insert(argv.end(), args.begin(), args.end());
    return start(argv, 80, rows);
  }
  // The screen screens/<name>, "{0}" and "{1}" standing for pids.
  bool shows(const char *name, uint32_t pid0, uint32_t pid1 = 0) {
    std::vector<std::string> rows;
    std::istringstream in(zt::read_file(std::string(ZPR_SCREENS) + name));
    for (std::string row; std::getline(in, row); rows.push_back(row))
      for (auto [mark, pid] : {std::pair{"{0}", pid0}, {"{1}", pid1}})
        if (size_t at = row.find(mark); at != std::string::npos)
          row.replace(at, 3, std::to_string(pid));
    return wait_equal(rows);
  }
  bool quits(const char *key) { return send_keys(key) && wait_exit() == 0; }
};

ProgressSegment agent(uint32_t pid) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, "vm-101-disk-0");
  r.backup_type = BACKUP_INC;
  r.state = STATE_RUNNING;
  r.blocks_total = 1000;
  r.blocks_done = 250;
  r.block_current = 251;
  r.written = 200;
  r.zero = 30;
  r.fs_free = 15;
  r.unchanged = 5;
  r.bytes_raw = 250ull << 20;
  r.bytes_compressed = 125ull << 20;
  r.elapsed_ms = 3725000;
  r.eta_s = 11175;
  r.q_raw_depth = 3;
  r.q_raw_cap = 16;
  r.q_out_depth = 2;
  r.q_out_cap = 17;
  r.workers_active = 4;
  r.workers_total = 6;
  r.compression = 1;
  r.level = 5;
  r.level_min = 1;
  r.level_max = 9;
  r.cpu_flags = 1;
  r.bg_active = 1;
  r.bg_duty_pct = 40;
  r.bg_duty_min = 10;
  r.bg_duty_max = 90;
  r.bg_foreign_cpu = 12;
  r.bg_foreign_io = 34;
  r.bg_foreign_net = 56;
  r.bg_self_cpu = 7;
  r.bg_self_io = 8;
  r.bg_self_net = 9;
  snprintf(r.sha_impl, sizeof r.sha_impl, "sha-ni");
  snprintf(r.path, sizeof r.path, "/dev/vg0/vm-101-disk-0");
  return r;
}

// Starting, running, ended by surprise (a zombie still counts as present; once reaped the pid is
// gone), then done: its own elapsed time, a total of 0 as a figure, never the suffix.
TEST(LiveView, StartingRunningEndedThenDone) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT, "vm-102");
  r.start_wall -= 3725;
  snprintf(r.message, sizeof r.message, "opening device");
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.run({"--pid=" + std::to_string(tool.pid())}));
  EXPECT_TRUE(view.shows("starting.txt", tool.pid())) << view.screen_text();
  r.state = STATE_RUNNING;
  tool.zombie();
  r.written = 1;
  tool.publish(r);
  EXPECT_TRUE(view.wait_text("|Written:    1\n")) << view.screen_text();
  EXPECT_EQ(view.screen()[1], "Status: running - opening device");
  tool.stop();
  r.written = 2;
  tool.publish(r);
  EXPECT_TRUE(view.wait_text("|Written:    2\n")) << view.screen_text();
  EXPECT_EQ(view.screen()[1], "Status: running - opening device (process ended unexpectedly)");
  r.state = STATE_DONE;
  tool.publish(r);
  EXPECT_TRUE(view.wait_text("|Status: DONE - opening device\n|\n|Block:   0 / 0 (current: 0)\n|[" +
                             std::string(40, ' ') + "]   0.0%\n|\n|Elapsed: 00:00:00\n"))
      << view.screen_text();
  EXPECT_TRUE(view.quits("Q"));
}

// Discovery opens the only orchestrator at once (its child is hidden); the view follows each child.
TEST(LiveView, OrchestratorFollowsAgentThenRestoreWorkers) {
  zt::FakeTool orch, first, second;
  ProgressSegment o = zt::fake_record(orch.pid(), TOOL_PROXMOX, "nightly"), b = agent(second.pid());
  o.state = STATE_RUNNING;
  o.start_wall -= 10;
  o.child_pid = first.pid();
  ASSERT_TRUE(orch.publish(o) && first.publish(agent(first.pid())));
  View view;
  ASSERT_TRUE(view.run({"17"}, 36)); // a positional argument: discovery all the same
  EXPECT_TRUE(view.shows("orchestrator_agent.txt", orch.pid(), first.pid())) << view.screen_text();
  const std::string rate = "|Rate:    100.0 blocks/s, 1.0 MiB/s\n";
  EXPECT_TRUE(zt::wait_until([&] { // 100 blocks and 1 MiB per published second, faster than redrawn
    ProgressSegment &r = first.record();
    r.elapsed_ms += 250;
    r.blocks_done += 25;
    r.bytes_raw += 262144;
    return first.republish() && view.screen_text().find(rate) != std::string::npos;
  })) << view.screen_text();
  // Frames drawn with nothing new published (a key, a new message only) keep the rate.
  view.send_keys("x");
  snprintf(first.record().message, sizeof first.record().message, "standing still");
  first.republish();
  EXPECT_TRUE(view.wait_text("|Status: running - standing still\n")) << view.screen_text();
  EXPECT_NE(view.screen_text().find(rate), std::string::npos) << view.screen_text();
  // A restore far ahead of the agent; worker 3 idle, 4 on block 17, any other k on 1000 + k.
  b.tool = TOOL_RESTORE;
  b.backup_type = BACKUP_FULL;
  b.blocks_done = 5000000;
  b.bytes_raw = 1536;
  b.workers_total = 13;
  b.bytes_compressed = 1023;
  b.elapsed_ms = 360000000;
  b.eta_s = 0;
  b.cpu_flags = 2;
  for (int64_t k = 0; k < 64; k++)
    b.worker_block[k] = k == 3 ? -1 : k == 4 ? 17 : 1000 + k;
  ASSERT_TRUE(second.publish(b));
  o.child_pid = second.pid();
  orch.publish(o);
  bool bogus = false; // the new child's first frame with a rate from the old child's history
  EXPECT_TRUE(zt::wait_until([&] {
    std::string text = view.screen_text();
    bool shown = text.find("restore FULL") != std::string::npos;
    bogus |= shown && text.find("|Rate:    0.0 blocks/s, 0.0 B/s\n") == std::string::npos;
    return shown;
  }));
  EXPECT_FALSE(bogus);
  EXPECT_TRUE(view.shows("orchestrator_restore.txt", orch.pid(), second.pid()))
      << view.screen_text();
  o.child_pid = orch.pid(); // its own pid: no child
  orch.publish(o);
  EXPECT_TRUE(view.shows("orchestrator_alone.txt", orch.pid())) << view.screen_text();
  EXPECT_TRUE(view.quits("q"));
}

// Every ending signal (also SIGHUP just as newterm has switched the terminal's modes, SIGTERM on q
// just after the screen was freed) and TERM=dumb (refused) leave the terminal in its normal mode,
// status 1 and the run log's end entry.  Under nohup the view sees its terminal gone and ends.
TEST(LiveView, SignalsRestoreTheTerminalADumbOneIsRefused) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(agent(tool.pid())));
  for (std::string env :
       {"2", "15", "1", "3", "TERM=dumb", "ZT_RAISE=newterm:1", "ZT_RAISE=delscreen:15"}) {
    const int sig = atoi(env.c_str()); // SIGINT, SIGTERM, SIGHUP, SIGQUIT sent while it runs
    View view;
    const std::string pid_file = view.dir.path + "/pid"; // the monitor's; then its status and modes
    ASSERT_TRUE(view.start({"sh", "-c",
                            "sh -c 'echo $$ >\"$0\"; exec \"$@\"' \"$0\" \"$@\"; echo status=$?; "
                            "stty -a | tr ' ;' '\\n\\n' | grep -x -e '-*icanon' -e '-*echo'",
                            pid_file, env.starts_with("ZT_") ? RAISING : MONITOR, "--no-syslog",
                            "--log-path", view.dir.path, "--pid", std::to_string(tool.pid())},
                           80, 30, {sig != 0 ? "-NO_SUCH_VARIABLE" : env}));
    std::vector<std::string> want = {"status=1", "icanon", "echo"};
    if (env == "TERM=dumb")
      want.insert(want.begin(), "error: cannot set up the terminal (TERM=dumb)");
    else if (!env.ends_with("newterm:1") && view.wait_text("Press 'q' to quit"))
      sig == 0 ? view.send_keys("q") : kill(atoi(zt::read_file(pid_file).c_str()), sig);
    EXPECT_TRUE(view.wait_equal(want)) << env << "\n" << view.screen_text();
    EXPECT_TRUE(zt::read_file(view.dir.path + "/monitor.log").ends_with(" stopped exit=1\n"))
        << env;
  }
  View nohup;
  const std::string log = nohup.dir.path + "/monitor.log";
  ASSERT_TRUE(nohup.start({"sh", "-c", "trap '' HUP; exec \"$@\"", "sh", MONITOR, "--no-syslog",
                           "--log-path", nohup.dir.path, "--pid", std::to_string(tool.pid())},
                          80, 30));
  ASSERT_TRUE(nohup.wait_text("Press 'q' to quit"));
  nohup.tmux({"kill-server"});
  EXPECT_TRUE(zt::wait_until(
      [&] { return zt::read_file(log).find(" stopped") != std::string::npos; }, 60000));
  EXPECT_TRUE(zt::read_file(log).ends_with(" stopped exit=0\n")) << zt::read_file(log);
}

TEST(SelectionBox, ListsNavigatesScrollsAndOpens) {
  zt::FakeTool tools[7];
  const struct {
    uint8_t tool, type, state;
    const char *name, *kind, *type_text, *state_text;
  } rows[] = {{TOOL_AGENT, 7, STATE_RUNNING, "alpha", "agent", "?", "running"},
              {TOOL_RESTORE, BACKUP_DIFF, STATE_DONE, "a-name-longer-than-twenty", "restore",
               "DIFF", "DONE"},
              {9, BACKUP_INC, 9, "gamma", "?", "-", "?"},
              {TOOL_PVE_RST, BACKUP_FULL, STATE_FINISHING, "delta", "pve-rst", "-", "finishing"},
              {TOOL_XENV_RST, BACKUP_FULL, STATE_FAILED, "epsilon", "xenV-rst", "-", "FAILED"},
              {TOOL_XENV, BACKUP_FULL, STATE_STARTING, "zeta", "xenV", "-", "starting"},
              {TOOL_AGENT, BACKUP_FULL, STATE_RUNNING, "hidden-child", "agent", "FULL", "running"}};
  const int child_of[] = {3, 4, 2, 6, -1, 999999, -1}; // only an orchestrator's other pid is hidden
  std::map<uint32_t, std::string> listed;              // each entry's row, but the mark
  char row[128];
  for (int i = 0; i < 7; i++) {
    ProgressSegment r = zt::fake_record(tools[i].pid(), rows[i].tool, rows[i].name);
    r.backup_type = rows[i].type;
    r.state = rows[i].state;
    r.child_pid = child_of[i] < 0 ? 0 : child_of[i] < 7 ? tools[child_of[i]].pid() : child_of[i];
    ASSERT_TRUE(tools[i].publish(r));
    snprintf(row, sizeof row, "%-20s %-8u %-5s %-8s %s", rows[i].name, tools[i].pid(),
             rows[i].type_text, rows[i].kind, rows[i].state_text);
    if (i < 6)
      listed[tools[i].pid()] = row;
  }
  tools[6].stop(); // a stale segment, hidden all the same
  std::vector<std::pair<uint32_t, std::string>>
      order; // the box lists in scan order, the directory's
  auto box = [&](size_t first, size_t shown, size_t selected) {
    order.clear();
    for (const auto &e : std::filesystem::directory_iterator("/dev/shm"))
      if (auto it = listed.find(strtoul(e.path().extension().c_str() + 1, nullptr, 10));
          it != listed.end())
        order.push_back(*it);
    std::vector<std::string> s = {"zpr_monitor - multiple running backups/restores found",
                                  "Use Up/Down and Enter to select, q to quit", "",
                                  "     NAME                 PID      TYPE  TOOL     STATE"};
    if (first > 0)
      s.push_back("  ^ more");
    for (size_t k = first; k < first + shown && k < order.size(); k++)
      s.push_back((k == selected ? ">    " : "     ") + order[k].second);
    if (first + shown < order.size())
      s.push_back("  v more");
    return s;
  };
  View view;
  ASSERT_TRUE(view.run({}, 12));
  EXPECT_TRUE(view.wait_equal(box(0, 6, 0))) << view.screen_text(); // the keys read from here on
  const struct {
    const char *key;
    int selected;
  } steps[] = {{"Up", 0},   {"Down", 1}, {"j", 2},    {"x", 2}, {"Down", 3},
               {"Down", 4}, {"j", 5},    {"Down", 5}, {"k", 4}, {"Up", 3}};
  for (const auto &s : steps)
    EXPECT_TRUE(view.send_keys(s.key) && view.wait_equal(box(0, 6, s.selected)))
        << s.key << view.screen_text();
  // Four list rows: the window scrolls to the selection, marked above and below, and Enter opens
  // the entry selected, not the one at its row.
  view.tmux({"resize-window", "-t", "zt", "-x", "80", "-y", "8"});
  EXPECT_TRUE(view.wait_equal(box(2, 2, 3))) << view.screen_text();
  ASSERT_TRUE(view.send_keys("Enter"));
  EXPECT_TRUE(view.wait_text("|zpr_monitor - PID " + std::to_string(order.at(3).first) + " ("));
  EXPECT_TRUE(view.quits("q"));
}

TEST(MonitorCommandLine, StatusAndOutputs) {
  std::string help = zt::read_file(ZPR_SCREENS "help.txt");
  help.replace(help.find("@VERSION@"), 9, VERSION_STRING);
  const std::string version = std::string("zpr_monitor ") + VERSION_STRING;
  const std::string no_segment = "error: no progress segment for PID ";
  zt::TempDir logs;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } rows[] = {
      {{"--dump", "--version"}, 0, version + "\n", ""},
      {{"--help", "--selftest", "--frob"}, 0, version + ": selftest ok\n", ""},
      {{"-h", "--log-path", logs.path, "--syslog=1", "--log", "1"}, 0, help, ""},
      {{"--interval", "5", "--dump"}, 2, "", "error: --dump requires --pid\n"},
      {{}, 1, "", NONE},
      {{"--all"}, 1, "", "error: the live view needs a terminal on standard input and output\n"},
      {{"--dump", "-p", "x", "--wait", "0"}, 1, "", no_segment + "0\n"},
      // Over 32 bits is no number: pid 0, not pid 1 wrapped round.
      {{"--dump", "-p", "4294967297", "--wait", "0"}, 1, "", no_segment + "0\n"}};
  for (const auto &row : rows) {
    std::vector<std::string> args = {"--no-syslog", "--no-log"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    zt::RunResult r = zt::run_program(MONITOR, args);
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(row.status, row.out, row.err))
        << args.back();
  }
  // Lost output ends the dump (status 1); the logfile opened next must not become descriptor 1.
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(zt::fake_record(tool.pid(), TOOL_AGENT)));
  for (auto [redirect, error] :
       {std::pair{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}}) {
    zt::RunResult r = zt::run_program(
        "/bin/sh", {"-c", std::string("exec \"$@\" ") + redirect, "sh", MONITOR, "--no-syslog",
                    "--log-path", logs.path, "--dump", "-p", std::to_string(tool.pid())});
    EXPECT_EQ(r.status, 1) << redirect;
    EXPECT_EQ(r.err, "error: cannot write to standard output: " + std::string(error) + "\n");
  }
  EXPECT_EQ(zt::read_file(logs.path + "/monitor.log").find("#elapsed"), std::string::npos);
}

struct Dump { // a dump in the background, its output read while it runs
  zt::TempDir dir;
  pid_t pid;
  explicit Dump(uint32_t target)
      : pid(zt::spawn_program(
            {MONITOR, "--no-log", "--dump", "--pid", std::to_string(target), "--interval", "20"},
            dir.path + "/out", dir.path + "/err")) {}
  ~Dump() { zt::wait_exit(pid, 1); }
  std::string out() { return zt::read_file(dir.path + "/out"); }
  bool running() { // given a chance to end too early
    return !zt::wait_until([&] { return waitpid(pid, nullptr, WNOHANG) != 0; }, 300);
  }
};

// agent()'s figures from blocks_done on, every column its own value, so that a swapped one shows.
const std::string COLUMNS =
    "\t250\t1000\t262144000\t131072000\t3\t16\t2\t17\t4\t6\t5\t1\t40\t12\t34\t56\t7\t8\t9\t";
// A name with ") Z (" is no zombie: the dump waits for the segment, shows the record's elapsed time
// while it is ahead of the time since the start, and ends once the process is a zombie.
TEST(DumpMode, WaitsForTheSegmentAndEndsWithAZombie) {
  zt::FakeTool tool("a) Z (b");
  Dump dump(tool.pid());
  EXPECT_TRUE(dump.running()) << "still waiting";
  ProgressSegment r = agent(tool.pid());
  r.state = STATE_STARTING;
  r.elapsed_ms = 999999;
  ASSERT_TRUE(tool.publish(r));
  EXPECT_TRUE(zt::wait_until([&] {
    return dump.out().ends_with("\n999999" + COLUMNS + "starting\n");
  })) << dump.out();
  EXPECT_TRUE(dump.out().starts_with(zt::read_file(ZPR_SCREENS "dump_header.txt")));
  tool.zombie();
  EXPECT_EQ(zt::wait_exit(dump.pid), 0);
}

// The dump shows an orchestrator's child.  The orchestrator writes FAILED and ends while the dump
// is held inside the write of a child's line (its output a full pipe nobody reads): the dump still
// prints the orchestrator's own final line last.
TEST(DumpMode, FinalStateWrittenWhileTheOutputWasFull) {
  zt::FakeTool orch;
  zt::FakeTool child;
  ProgressSegment o = zt::fake_record(orch.pid(), TOOL_XENV_RST);
  o.state = STATE_RUNNING;
  o.child_pid = child.pid();
  ASSERT_TRUE(child.publish(agent(child.pid())));
  ASSERT_TRUE(orch.publish(o));
  zt::TempDir dir;
  const std::string fifo = dir.path + "/out";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int out = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_EQ(fcntl(out, F_SETPIPE_SZ, 4096), 4096);
  const pid_t dump = zt::spawn_program(
      {MONITOR, "--no-log", "--dump", "--pid", std::to_string(orch.pid()), "--interval", "20"},
      fifo, dir.path + "/err");
  const std::string wchan = "/proc/" + std::to_string(dump) + "/wchan";
  ASSERT_TRUE(zt::wait_until(
      [&] { return zt::read_file(wchan).find("pipe_write") != std::string::npos; }, 60000));
  o.state = STATE_FAILED;
  o.child_pid = 0;
  o.elapsed_ms = 42;
  ASSERT_TRUE(orch.publish(o));
  orch.stop();
  const std::string text = zt::read_file(fifo); // until the dump's end
  close(out);
  EXPECT_EQ(zt::wait_exit(dump), 0);
  const std::string own = "42\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t";
  EXPECT_TRUE(text.ends_with("\n3725000" + COLUMNS + "running\n" + own + "FAILED\n")) << text;
}

const std::string WAITING =
    "|zpr_monitor - waiting for a consistent snapshot...\n|\n|Press 'q' to quit\n";

TEST(Hostile, ShrunkObjectOddCounterAndHostileText) {
  zt::FakeTool shrunk, odd;
  ProgressSegment r = zt::fake_record(shrunk.pid(), TOOL_AGENT);
  r.state = STATE_RUNNING;
  r.blocks_done = 7;
  ASSERT_TRUE(shrunk.publish(r));
  View w;
  ASSERT_TRUE(w.run({"--pid", std::to_string(shrunk.pid())}));
  ASSERT_TRUE(w.wait_text("Block:   7 / 0"));
  ASSERT_TRUE(
      zt::fake_segment_create(shrunk.pid(), &r, 0, 0)); // shrunk to nothing under the mapping
  EXPECT_TRUE(w.wait_text(WAITING)) << w.screen_text();
  r.blocks_done = 8; // sized and written again: the same mapping reads it
  ASSERT_TRUE(zt::fake_segment_create(shrunk.pid(), &r, sizeof r));
  EXPECT_TRUE(w.wait_text("Block:   8 / 0")) << w.screen_text();
  EXPECT_TRUE(w.quits("q"));
  // Died inside an update: the waiting frame and no data line.  Readable at
  // last: escapes and a path without end shown printable, within the field.
  r = zt::fake_record(odd.pid(), 200, "a\033[2Jb\nc\xe9");
  r.seq = 5;
  r.state = 200;
  memset(r.path, 'p', sizeof r.path);
  ASSERT_TRUE(odd.publish(r));
  View o;
  Dump odd_dump(odd.pid());
  ASSERT_TRUE(o.run({"--pid", std::to_string(odd.pid())}));
  EXPECT_TRUE(o.wait_text(WAITING) &&
              zt::wait_until([&] { return odd_dump.out().size() > 200; })); // the header
  EXPECT_EQ(odd_dump.out().find('\n'), odd_dump.out().size() - 1)
      << "no line while the counter is odd";
  ASSERT_TRUE(zt::fake_segment_write(odd.pid(), r));
  EXPECT_TRUE(
      o.wait_equal({"zpr_monitor - PID " + std::to_string(odd.pid()) + " (a^[[2Jb^JcM-i, ?)",
                    "Status: ?", "~Elapsed: 00:00:[0-5][0-9]", "", "", "Press 'q' to quit"}))
      << o.screen_text();
  odd.stop();
  EXPECT_TRUE(o.quits("q") && zt::wait_exit(odd_dump.pid) == 0);
}

// Whole records of random bytes under a correct counter, magic and version
// kept, so the monitor stays attached and shows whatever they say.
TEST(Hostile, RandomRecords) {
  fflush(nullptr);
  pid_t writer = fork();
  for (uint64_t n = 0; writer == 0; n++) {
    static std::mt19937_64 rng(getpid());
    ProgressSegment r;
    for (size_t i = 0; i < sizeof r / 8; i++)
      reinterpret_cast<uint64_t *>(&r)[i] = rng();
    r.magic = PROGRESS_MAGIC;
    r.version = PROGRESS_VERSION;
    r.state = n < 3000 ? r.state % 3 : STATE_DONE;
    n == 0 ? zt::fake_segment_create(getpid(), &r, sizeof r) : zt::fake_segment_write(getpid(), r);
    usleep(200);
  }
  ASSERT_TRUE(zt::wait_until([&] { return zt::fake_segment_exists(writer); }));
  View w;
  Dump dump(writer);
  ASSERT_TRUE(w.run({"--pid", std::to_string(writer)}));
  View all; // the table of every job, sorted each way, over the same records
  ASSERT_TRUE(all.run({"--all"}));
  for (int i = 0; i < 40; i++) // each key redraws at once; half of them in a small terminal
    i == 20 ? w.tmux({"resize-window", "-t", "zt", "-x", "30", "-y", "8"}) : w.send_keys("x");
  for (const char *key : {"e", "Down", "r", "End", "c", "n"})
    all.send_keys(key);
  EXPECT_FALSE(w.exited() || all.exited());
  EXPECT_TRUE(all.quits("q"));
  EXPECT_TRUE(w.quits("q") && zt::wait_exit(dump.pid) == 0); // the dump on the first DONE
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  zt::fake_segment_remove(writer);
}

TEST(Hostile, ThingsNamedLikeSegments) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT);
  zt::write_file("/dev/shm/valid-record", std::string(reinterpret_cast<char *>(&r), sizeof r));
  const std::string p = std::to_string(tool.pid()), path = "/dev/shm/zpr_progress." + p;
  for (int kind = 0; kind < 3; kind++) { // a directory, a symbolic link to a record, a FIFO
    ASSERT_EQ(kind == 0   ? mkdir(path.c_str(), 0755)
              : kind == 1 ? symlink("valid-record", path.c_str())
                          : mkfifo(path.c_str(), 0600),
              0);
    EXPECT_EQ(zt::run_program(MONITOR, {"--no-syslog", "--no-log"}).err, NONE);
    EXPECT_EQ(zt::run_program(MONITOR, {"--dump", "--pid", p, "--wait", "0", "--no-log"}).err,
              "error: no progress segment for PID " + p + "\n")
        << kind;
    EXPECT_TRUE(unlink(path.c_str()) == 0 || rmdir(path.c_str()) == 0);
  }
  // A user who may not read a record is told so, not that nothing runs.
  ASSERT_TRUE(zt::fake_segment_create(tool.pid(), &r, sizeof r)); // mode 0600, root's
  zt::RunResult u =
      zt::run_program("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                           MONITOR, "--no-log", "--no-syslog"});
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err,
            NONE + "1 progress segment could not be opened for lack of permission (try as root)\n");
}

} // namespace
