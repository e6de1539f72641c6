// The live view end to end: the real zpr_monitor in a real terminal (tmux at
// a fixed size), watching records crafted byte for byte by the test or
// written by the real segment writer in a forked process.  Whole screens
// are compared with the expected text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "progress/segment.h"
#include "progress/writer.h"
#include "support/fake_segment.h"
#include "support/test_support.h"
#include "support/tmux_session.h"

namespace {

using Rows = std::vector<std::pair<int, std::string>>;

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

std::vector<std::string> monitor_argv(uint32_t pid) {
  return {monitor_path(), "--pid", std::to_string(pid), "--no-syslog", "--no-log"};
}

std::string rstrip(const std::string &s) {
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

// Expected rows: plain text, or a shell pattern when it begins with "~"
// (for the few figures that follow the wall clock).
bool screen_matches(const std::vector<std::string> &got, int height, const Rows &want) {
  std::vector<std::string> expected = zt::screen_of(height, want);
  if (got.size() != expected.size())
    return false;
  for (size_t i = 0; i < got.size(); i++) {
    const std::string line = rstrip(got[i]);
    const std::string &e = expected[i];
    if (!e.empty() && e[0] == '~') {
      if (fnmatch(e.c_str() + 1, line.c_str(), 0) != 0)
        return false;
    } else if (line != rstrip(e)) {
      return false;
    }
  }
  return true;
}

// The monitor in a terminal of its own, watching pid.
struct View {
  zt::TmuxSession tmux;
  int height = 0;

  bool start(uint32_t pid, int width = 80, int rows = 30) {
    height = rows;
    return tmux.start(monitor_argv(pid), width, rows);
  }
  bool shows(const Rows &want, int timeout_ms = 20000) {
    return tmux.wait_screen(
        [&](const std::vector<std::string> &got) { return screen_matches(got, height, want); },
        timeout_ms);
  }
  bool resize(int width, int rows) {
    height = rows;
    return tmux.resize(width, rows);
  }
  // Sends key and expects the monitor to end with status 0.
  ::testing::AssertionResult quits_with(const std::string &key) {
    int status = -1;
    if (!tmux.send_keys(key))
      return ::testing::AssertionFailure() << "send-keys failed";
    if (!tmux.wait_exit(&status))
      return ::testing::AssertionFailure() << "still running after " << key << "\n"
                                           << tmux.screen_text();
    if (status != 0)
      return ::testing::AssertionFailure() << "exit status " << status;
    return ::testing::AssertionSuccess();
  }
};

std::string bar(int filled, const char *percent) {
  std::string text = "[";
  text.append(static_cast<size_t>(filled), '=');
  text.append(static_cast<size_t>(40 - filled), ' ');
  return text.append("] ").append(percent);
}

void set_text(char *field, size_t size, const char *text) { snprintf(field, size, "%s", text); }

// A backup a quarter of the way through, zstd with an adaptive level.
ProgressSegment running_agent(uint32_t pid) {
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
  r.q_out_depth = 1;
  r.q_out_cap = 16;
  r.workers_active = 4;
  r.workers_total = 4;
  r.compression = 1;
  r.level = 3;
  r.level_min = 1;
  r.level_max = 9;
  r.cpu_flags = 3;
  set_text(r.sha_impl, sizeof r.sha_impl, "sha-ni");
  set_text(r.path, sizeof r.path, "/dev/vg0/vm-101-disk-0");
  return r;
}

// The page of running_agent from row `top`, without the background lines.
Rows agent_page(uint32_t pid, int top = 0) {
  const std::string p = std::to_string(pid);
  Rows rows = {
      {0, "zpr_monitor - PID " + p + " (vm-101-disk-0, agent INC)"},
      {1, "Status: running"},
      {3, "Block:   250 / 1000 (current: 251)"},
      {4, bar(10, " 25.0%")},
      {6, "Elapsed: 01:02:05"},
      {7, "ETA:     03:06:15"},
      {8, "Rate:    0.0 blocks/s, 0.0 B/s"},
      {10, "Written:    200"},
      {11, "Zero:       30"},
      {12, "FS-free:    15"},
      {13, "Unchanged:  5"},
      {15, "Raw done:        250.0 MiB"},
      {16, "Compressed done: 125.0 MiB (50.0% of raw)"},
      {18, "Queue raw->worker: 3/16   Queue worker->writer: 1/16"},
      {19, "Workers: 4/4 busy"},
      {20, "Compression: zstd level 3 (adaptive 1..9)"},
      {21, "CPU:     AVX2 yes, SHA-NI yes | SHA-256 via sha-ni"},
      {23, "Path: /dev/vg0/vm-101-disk-0"},
      {25, "Press 'q' to quit"},
  };
  for (auto &row : rows)
    row.first += top;
  return rows;
}

// A restore with `workers` workers: worker 3 idle, worker 4 on block 17,
// worker k otherwise on block 1000 + k.
ProgressSegment running_restore(uint32_t pid, uint32_t workers) {
  ProgressSegment r = zt::fake_record(pid, TOOL_RESTORE, "restore-7");
  r.backup_type = BACKUP_FULL;
  r.state = STATE_RUNNING;
  r.blocks_total = 2000;
  r.blocks_done = 500;
  r.block_current = 480;
  r.written = 400;
  r.zero = 99;
  r.unchanged = 1;
  r.fs_free = 12345; // not shown for a restore
  r.bytes_raw = 1536;
  r.bytes_compressed = 1023;
  r.elapsed_ms = 100ull * 3600000;
  r.eta_s = 0;
  r.q_raw_depth = 7; // not shown for a restore
  r.workers_active = 9;
  r.workers_total = workers;
  r.compression = 2; // not shown for a restore
  r.bg_active = 1;   // not shown for a restore
  set_text(r.sha_impl, sizeof r.sha_impl, "generic");
  set_text(r.path, sizeof r.path, "/srv/images/restore-7.img");
  for (uint32_t k = 0; k < PROGRESS_MAX_WORKERS; k++)
    r.worker_block[k] = k == 3 ? -1 : k == 4 ? 17 : 1000 + static_cast<int64_t>(k);
  return r;
}

// The restore page down to the workers line, from row `top`.
Rows restore_head(uint32_t pid, uint32_t workers, int top = 0) {
  const std::string p = std::to_string(pid);
  Rows rows = {
      {0, "zpr_monitor - PID " + p + " (restore-7, restore FULL)"},
      {1, "Status: running"},
      {3, "Block:   500 / 2000 (current: 480)"},
      {4, bar(10, " 25.0%")},
      {6, "Elapsed: 100:00:00"},
      {7, "ETA:     00:00:00"},
      {8, "Rate:    0.0 blocks/s, 0.0 B/s"},
      {10, "Restored:      400"},
      {11, "Zero-skipped:  99"},
      {12, "Verify fails:  1"},
      {14, "Raw done:        1.5 KiB"},
      {15, "Compressed done: 1023.0 B (66.6% of raw)"},
      {17, "Workers: 9/" + std::to_string(workers) + " busy"},
      {18, "CPU:     AVX2 no, SHA-NI no | SHA-256 via generic"},
  };
  for (auto &row : rows)
    row.first += top;
  return rows;
}

Rows operator+(Rows a, const Rows &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

int64_t now_s() { return static_cast<int64_t>(time(nullptr)); }

// ---------------------------------------------------------------------------

TEST(LiveView, RunningAgentPage) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid())));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows(agent_page(tool.pid()))) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, AgentWithBackgroundThrottling) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid());
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
  ASSERT_TRUE(tool.publish(r));
  Rows want = agent_page(tool.pid());
  want.resize(want.size() - 3); // CPU, path and hint move down
  want = want + Rows{
                    {21, "Background: duty 40% (min 10 / max 90)"},
                    {22, "  foreign: cpu 12% io 34% net 56%  |  own: cpu 7% io 8% net 9%"},
                    {23, "CPU:     AVX2 yes, SHA-NI yes | SHA-256 via sha-ni"},
                    {25, "Path: /dev/vg0/vm-101-disk-0"},
                    {27, "Press 'q' to quit"},
                };
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows(want)) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("Q"));
}

TEST(LiveView, StartingAgentWithUnknownBlockCount) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT, "vm-102");
  r.start_wall = now_s() - 3725; // the elapsed time follows the wall clock
  set_text(r.message, sizeof r.message, "opening device");
  ASSERT_TRUE(tool.publish(r));
  const std::string p = std::to_string(tool.pid());
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows({
      {0, "zpr_monitor - PID " + p + " (vm-102, agent FULL)"},
      {1, "Status: starting - opening device"},
      {3, "Block:   - (block count not known yet)"},
      {4, bar(0, "  0.0%")},
      {6, "~Elapsed: 01:0[23]:[0-5][0-9]"},
      {7, "ETA:     unknown"},
      {8, "Rate:    0.0 blocks/s, 0.0 B/s"},
      {10, "Written:    0"},
      {11, "Zero:       0"},
      {12, "FS-free:    0"},
      {13, "Unchanged:  0"},
      {15, "Raw done:        0.0 B"},
      {16, "Compressed done: 0.0 B (0.0% of raw)"},
      {18, "Queue raw->worker: 0/0   Queue worker->writer: 0/0"},
      {19, "Workers: 0/0 busy"},
      {20, "Compression: none"},
      {21, "CPU:     AVX2 no, SHA-NI no | SHA-256 via"},
      {23, "Path:"},
      {25, "Press 'q' to quit"},
  })) << view.tmux.screen_text();

  // A known total in any state but starting shows the figures, even 0;
  // more blocks than the total fill the bar and go beyond 100 %.
  r.state = STATE_FINISHING;
  tool.publish(r);
  EXPECT_TRUE(view.tmux.wait_text("Block:   0 / 0 (current: 0)")) << view.tmux.screen_text();
  r.blocks_total = 10;
  r.blocks_done = 15;
  tool.publish(r);
  EXPECT_TRUE(view.tmux.wait_text(bar(40, "150.0%"))) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, RestoreWithThirteenWorkers) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_restore(tool.pid(), 13)));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows(restore_head(tool.pid(), 13) +
                         Rows{
                             {19, "  W0:1000  W1:1001  W2:1002  W3:--   W4:17    W5:1005"},
                             {20, "  W6:1006  W7:1007  W8:1008  W9:1009  W10:1010  W11:1011"},
                             {21, "  W12:1012"},
                             {23, "Path: /srv/images/restore-7.img"},
                             {25, "Press 'q' to quit"},
                         }))
      << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, RestoreListsAtMostSixtyFourWorkers) {
  zt::FakeTool tool;
  ProgressSegment r = running_restore(tool.pid(), 100);
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid(), 80, 36));
  EXPECT_TRUE(view.shows(restore_head(tool.pid(), 100) +
                         Rows{
                             {19, "  W0:1000  W1:1001  W2:1002  W3:--   W4:17    W5:1005"},
                             {20, "  W6:1006  W7:1007  W8:1008  W9:1009  W10:1010  W11:1011"},
                             {21, "  W12:1012  W13:1013  W14:1014  W15:1015  W16:1016  W17:1017"},
                             {22, "  W18:1018  W19:1019  W20:1020  W21:1021  W22:1022  W23:1023"},
                             {23, "  W24:1024  W25:1025  W26:1026  W27:1027  W28:1028  W29:1029"},
                             {24, "  W30:1030  W31:1031  W32:1032  W33:1033  W34:1034  W35:1035"},
                             {25, "  W36:1036  W37:1037  W38:1038  W39:1039  W40:1040  W41:1041"},
                             {26, "  W42:1042  W43:1043  W44:1044  W45:1045  W46:1046  W47:1047"},
                             {27, "  W48:1048  W49:1049  W50:1050  W51:1051  W52:1052  W53:1053"},
                             {28, "  W54:1054  W55:1055  W56:1056  W57:1057  W58:1058  W59:1059"},
                             {29, "  W60:1060  W61:1061  W62:1062  W63:1063"},
                             {31, "Path: /srv/images/restore-7.img"},
                             {33, "Press 'q' to quit"},
                         }))
      << view.tmux.screen_text();

  // Without workers there is no list: the path follows the CPU line.
  r.workers_total = 0;
  tool.publish(r);
  EXPECT_TRUE(view.shows(restore_head(tool.pid(), 0) + Rows{
                                                            {20, "Path: /srv/images/restore-7.img"},
                                                            {22, "Press 'q' to quit"},
                                                        }))
      << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, CompressionTexts) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid());
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  struct Case {
    uint8_t codec;
    int32_t level, min, max;
    const char *text;
  } cases[] = {
      {1, 3, 1, 9, "Compression: zstd level 3 (adaptive 1..9)"},
      {1, 3, 3, 3, "Compression: zstd level 3 (fixed)"},
      {1, -5, 4, -7, "Compression: zstd level -5 (fixed)"},
      {1, 0, -3, 2, "Compression: zstd level 0 (adaptive -3..2)"},
      {2, 3, 1, 9, "Compression: lz4"},
      {0, 3, 1, 9, "Compression: none"},
      {200, 3, 1, 9, "Compression: none"},
  };
  for (const Case &c : cases) {
    r.compression = c.codec;
    r.level = c.level;
    r.level_min = c.min;
    r.level_max = c.max;
    tool.publish(r);
    Rows want = agent_page(tool.pid());
    want[15].second = c.text; // the compression row
    EXPECT_TRUE(view.shows(want)) << c.text << "\n" << view.tmux.screen_text();
  }
  EXPECT_TRUE(view.quits_with("q"));
}

// The writer publishes faster than the view redraws, at a constant 100
// blocks and 1 MiB per published second, so that every pair of frames
// gives exactly that rate whatever the frames' timing.
struct SteadyWriter {
  zt::FakeTool &tool;
  ProgressSegment r;
  void step() {
    r.elapsed_ms += 250;
    r.blocks_done += 25;
    r.bytes_raw += 262144;
    tool.publish(r);
  }
};

TEST(LiveView, RateOnceTheRecordMoves) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid());
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  // The first frame has no history: no rate.
  ASSERT_TRUE(view.shows(agent_page(tool.pid()))) << view.tmux.screen_text();
  SteadyWriter writer{tool, r};
  bool seen = zt::wait_until([&] {
    writer.step();
    for (const std::string &line : view.tmux.screen())
      if (line == "Rate:    100.0 blocks/s, 1.0 MiB/s")
        return true;
    return false;
  });
  EXPECT_TRUE(seen) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, OrchestratorSummaryThenChildPages) {
  zt::FakeTool orchestrator;
  zt::FakeTool agent;
  zt::FakeTool restore;
  ProgressSegment o = zt::fake_record(orchestrator.pid(), TOOL_PROXMOX, "nightly");
  o.state = STATE_RUNNING;
  o.start_wall = now_s() - 10;
  ASSERT_TRUE(orchestrator.publish(o));
  ProgressSegment a = running_agent(agent.pid());
  ASSERT_TRUE(agent.publish(a));
  // The restore child's counters lie far ahead of the agent's: a history
  // carried over from the agent would show a huge rate on its first frame.
  ProgressSegment b = running_restore(restore.pid(), 0);
  b.blocks_done = 5000000;
  b.bytes_raw = 1ull << 40;
  ASSERT_TRUE(restore.publish(b));

  const std::string op = std::to_string(orchestrator.pid());
  const Rows summary = {
      {0, "zpr_monitor - PID " + op + " (nightly, proxmox)"},
      {1, "Status: running"},
      {2, "~Elapsed: 00:0[0-9]:[0-5][0-9]"},
  };
  View view;
  ASSERT_TRUE(view.start(orchestrator.pid(), 80, 32));
  EXPECT_TRUE(view.shows(summary + Rows{{5, "Press 'q' to quit"}})) << view.tmux.screen_text();

  // A child: its page four rows lower, with rates of its own.
  o.child_pid = agent.pid();
  orchestrator.publish(o);
  EXPECT_TRUE(view.shows(summary + agent_page(agent.pid(), 4))) << view.tmux.screen_text();
  SteadyWriter writer{agent, a};
  EXPECT_TRUE(zt::wait_until([&] {
    writer.step();
    std::vector<std::string> rows = view.tmux.screen();
    return rows.size() > 12 && rows[12] == "Rate:    100.0 blocks/s, 1.0 MiB/s";
  })) << view.tmux.screen_text();

  // The next child: the rate starts again from nothing.
  o.child_pid = restore.pid();
  orchestrator.publish(o);
  Rows restore_page = restore_head(restore.pid(), 0, 4) + Rows{
                                                              {24, "Path: /srv/images/restore-7.img"},
                                                              {26, "Press 'q' to quit"},
                                                          };
  restore_page[2].second = "Block:   5000000 / 2000 (current: 480)";
  restore_page[3].second = bar(40, "250000.0%");
  restore_page[10].second = "Raw done:        1.0 TiB";
  restore_page[11].second = "Compressed done: 1023.0 B (0.0% of raw)";
  bool bogus_rate = false;
  EXPECT_TRUE(view.tmux.wait_screen([&](const std::vector<std::string> &rows) {
    if (rows.size() > 12 && rows[4].find("restore-7") != std::string::npos &&
        rows[12] != "Rate:    0.0 blocks/s, 0.0 B/s")
      bogus_rate = true;
    return screen_matches(rows, view.height, summary + restore_page);
  })) << view.tmux.screen_text();
  EXPECT_FALSE(bogus_rate);

  // A child that is gone and unreadable leaves the summary alone.
  o.child_pid = 999999999;
  orchestrator.publish(o);
  EXPECT_TRUE(view.shows(summary + Rows{{5, "Press 'q' to quit"}})) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, ProcessEndingUnexpectedlyOrDone) {
  zt::FakeTool crashed;
  ASSERT_TRUE(crashed.publish(running_agent(crashed.pid())));
  View view;
  ASSERT_TRUE(view.start(crashed.pid()));
  ASSERT_TRUE(view.shows(agent_page(crashed.pid()))) << view.tmux.screen_text();
  // A zombie still counts as present; once reaped, the pid is gone.  Each
  // step changes a counter, so the screen that shows it was drawn after
  // the step.
  crashed.zombie();
  crashed.record().written = 201;
  ASSERT_TRUE(crashed.republish());
  Rows want = agent_page(crashed.pid());
  want[7].second = "Written:    201";
  EXPECT_TRUE(view.shows(want)) << view.tmux.screen_text();
  crashed.stop();
  crashed.record().written = 202;
  ASSERT_TRUE(crashed.republish());
  want[1].second = "Status: running (process ended unexpectedly)";
  want[7].second = "Written:    202";
  EXPECT_TRUE(view.shows(want)) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));

  zt::FakeTool done;
  ProgressSegment r = running_agent(done.pid());
  set_text(r.message, sizeof r.message, "all blocks written");
  ASSERT_TRUE(done.publish(r));
  View view2;
  ASSERT_TRUE(view2.start(done.pid()));
  want = agent_page(done.pid());
  want[1].second = "Status: running - all blocks written";
  ASSERT_TRUE(view2.shows(want)) << view2.tmux.screen_text();
  // DONE, then the process gone: never the suffix (the name is kept here
  // so that a changed counter can show a frame drawn after the exit).
  done.record().state = STATE_DONE;
  ASSERT_TRUE(done.republish());
  done.stop();
  done.record().written = 201;
  ASSERT_TRUE(done.republish());
  want[1].second = "Status: DONE - all blocks written";
  want[7].second = "Written:    201";
  EXPECT_TRUE(view2.shows(want)) << view2.tmux.screen_text();
  EXPECT_TRUE(view2.quits_with("q"));
}

TEST(LiveView, WaitingFrameQuitsOnBothKeys) {
  for (const char *key : {"q", "Q"}) {
    zt::FakeTool tool;
    ProgressSegment r = running_agent(tool.pid());
    r.seq = 7; // a writer that died inside an update
    ASSERT_TRUE(tool.publish(r));
    View view;
    ASSERT_TRUE(view.start(tool.pid()));
    EXPECT_TRUE(view.shows({
        {0, "zpr_monitor - waiting for a consistent snapshot..."},
        {2, "Press 'q' to quit"},
    })) << view.tmux.screen_text();
    // Other keys only redraw.
    ASSERT_TRUE(view.tmux.send_keys("x"));
    ASSERT_TRUE(view.tmux.send_keys("Enter"));
    EXPECT_FALSE(view.tmux.exited());
    EXPECT_TRUE(view.quits_with(key)) << key;
  }
}

TEST(LiveView, AttachFailureEndsTheScreenFirst) {
  zt::FakeTool tool; // alive, but without a segment
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  int status = -1;
  ASSERT_TRUE(view.tmux.wait_exit(&status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(view.tmux.wait_text("error: could not attach to PID " + std::to_string(tool.pid()) +
                                  " (process gone?)"))
      << view.tmux.screen_text();
}

TEST(LiveView, NoUsableTerminal) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid())));
  const std::string pid = std::to_string(tool.pid());

  zt::RunResult no_tty =
      zt::run_program(monitor_path(), {"--pid", pid.c_str(), "--no-syslog", "--no-log"});
  EXPECT_EQ(no_tty.status, 1);
  EXPECT_EQ(no_tty.err, "error: the live view needs a terminal on standard input and output\n");

  for (const char *term : {"-TERM", "TERM=no-such-terminal"}) {
    zt::TmuxSession tmux;
    ASSERT_TRUE(tmux.start(monitor_argv(tool.pid()), 80, 10, {term}));
    int status = -1;
    ASSERT_TRUE(tmux.wait_exit(&status)) << term;
    EXPECT_EQ(status, 1) << term;
    EXPECT_TRUE(tmux.wait_text(term[0] == '-'
                                   ? "error: cannot set up the terminal (TERM=unset)"
                                   : "error: cannot set up the terminal (TERM=no-such-terminal)"))
        << tmux.screen_text();
  }
}

// Everything in a record can be hostile: unterminated text fields full of
// control bytes and escape sequences, out-of-range enumerations, more
// workers than slots.  Nothing of it may reach the terminal raw or make
// the view read outside the record.
TEST(LiveView, HostileRecordIsShownSafely) {
  zt::FakeTool tool;
  ProgressSegment r = running_restore(tool.pid(), 0xFFFFFFFFu);
  const char name[] = "A\x1b[2JB\x07\x9b""C\x7f";
  memset(r.name, 'n', sizeof r.name);
  memcpy(r.name, name, sizeof name - 1);
  memset(r.path, 'p', sizeof r.path);
  r.path[0] = '\r';
  r.path[1] = '\n';
  memset(r.message, 'm', sizeof r.message);
  r.message[0] = '\t';
  r.message[1] = '\b';
  memset(r.sha_impl, 's', sizeof r.sha_impl);
  r.backup_type = 77;
  r.state = 200;
  r.workers_total = 0xFFFFFFFFu;
  r.eta_s = INT64_MAX;
  for (int64_t &w : r.worker_block)
    w = INT64_MIN;
  ASSERT_TRUE(tool.publish(r));

  const std::string shown_name = "A^[[2JB^GM-^[C^?" + std::string(64 - 10, 'n');
  View view;
  ASSERT_TRUE(view.start(tool.pid(), 300, 36));
  Rows want = restore_head(tool.pid(), 0xFFFFFFFFu);
  want[0].second = "zpr_monitor - PID " + std::to_string(tool.pid()) + " (" + shown_name +
                   ", restore ?)";
  want[1].second = "Status: ? - ^I^H" + std::string(126, 'm');
  want[5].second = "ETA:     5124095576030:25:51"; // saturated, not wrapped
  want[12].second = "Workers: 9/4294967295 busy";
  want[13].second = "CPU:     AVX2 no, SHA-NI no | SHA-256 via " + std::string(16, 's');
  EXPECT_TRUE(view.tmux.wait_text("Path: ^M^J" + std::string(254, 'p'))) << view.tmux.screen_text();
  std::vector<std::string> rows = view.tmux.screen();
  ASSERT_GE(rows.size(), 36u);
  for (int i = 0; i < 14; i++)
    EXPECT_EQ(rstrip(rows[static_cast<size_t>(want[static_cast<size_t>(i)].first)]),
              want[static_cast<size_t>(i)].second);
  // 64 cells at most: 11 list rows, the last with 4 cells, then the path.
  EXPECT_EQ(rows[19].rfind("  W0:9223372036854775808W1:", 0), 0u) << rows[19];
  EXPECT_EQ(rstrip(rows[29]), "  W60:9223372036854775808W61:9223372036854775808"
                              "W62:9223372036854775808W63:9223372036854775808");
  EXPECT_EQ(rstrip(rows[30]), "");
  EXPECT_EQ(rows[31], "Path: ^M^J" + std::string(254, 'p'));
  EXPECT_EQ(rows[33], "Press 'q' to quit");
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, HostileKindsAndSelfNamedChild) {
  zt::FakeTool tool;
  ProgressSegment r = running_agent(tool.pid());
  r.tool = 200; // an unknown kind counts as an orchestrator
  r.child_pid = tool.pid();
  r.start_wall = INT64_MIN;
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows({
      {0, "zpr_monitor - PID " + std::to_string(tool.pid()) + " (vm-101-disk-0, ?)"},
      {1, "Status: running"},
      {2, "~Elapsed: [0-9]*:[0-9][0-9]:[0-9][0-9]"},
      {5, "Press 'q' to quit"},
  })) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

TEST(LiveView, TinyTerminalThenResize) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid())));
  const std::string p = std::to_string(tool.pid());
  const std::string header = "zpr_monitor - PID " + p + " (vm-101-disk-0, agent INC)";
  View view;
  ASSERT_TRUE(view.start(tool.pid(), 20, 5));
  EXPECT_TRUE(view.shows({
      {0, header.substr(0, 20)},
      {1, "Status: running"},
      {3, "Block:   250 / 1000 "},
      {4, "[==========         "},
  })) << view.tmux.screen_text();
  ASSERT_TRUE(view.resize(80, 30));
  EXPECT_TRUE(view.shows(agent_page(tool.pid()))) << view.tmux.screen_text();
  ASSERT_TRUE(view.resize(30, 3));
  EXPECT_TRUE(view.shows({
      {0, header.substr(0, 30)},
      {1, "Status: running"},
  })) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

bool running(pid_t pid) {
  std::string stat = zt::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// A terminal that hangs up while the monitor ignores SIGHUP (as under
// nohup) must end the view, not leave it redrawing into nothing.
TEST(LiveView, EndsWhenTheTerminalGoesAway) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(running_agent(tool.pid())));
  zt::TempDir dir;
  const std::string pid_file = dir.path + "/pid";
  std::vector<std::string> argv = {"sh", "-c", "trap '' HUP; echo $$ >\"$0\"; exec \"$@\"",
                                   pid_file};
  for (const std::string &a : monitor_argv(tool.pid()))
    argv.push_back(a);
  View view;
  view.height = 30;
  ASSERT_TRUE(view.tmux.start(argv, 80, 30));
  ASSERT_TRUE(view.shows(agent_page(tool.pid()))) << view.tmux.screen_text();
  const pid_t monitor = atoi(zt::read_file(pid_file).c_str());
  ASSERT_GT(monitor, 0);
  ASSERT_TRUE(running(monitor));
  view.tmux.kill();
  EXPECT_TRUE(zt::wait_until([&] { return !running(monitor); }));
  if (running(monitor))
    kill(monitor, SIGKILL);
}

// A restore whose record is written by the real segment writer in a
// forked process; the test steps it through a pipe.
TEST(LiveView, RecordFromTheRealWriter) {
  int to_child[2];
  int to_parent[2];
  ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(to_parent, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(to_child[1]);
    close(to_parent[0]);
    ProgressSegment *seg = nullptr;
    if (progress_create(&seg, TOOL_RESTORE, "from-writer", BACKUP_DIFF, 1200, "/dev/sdz") != ST_OK)
      _exit(2);
    int64_t blocks[13];
    for (int k = 0; k < 13; k++)
      blocks[k] = k % 2 == 0 ? -1 : 100 * k;
    ProgressSample s{};
    s.blocks_done = 600;
    s.block_current = 599;
    s.written = 550;
    s.zero = 40;
    s.unchanged = 2;
    s.bytes_raw = 3ull << 30;
    s.bytes_compressed = 3ull << 29;
    s.workers_active = 6;
    s.workers_total = 13;
    s.worker_blocks = blocks;
    s.worker_count = 13;
    char c = 0;
    while (read(to_child[0], &c, 1) == 1) {
      if (c == 'u')
        progress_update(seg, &s);
      else if (c == 'f')
        progress_finish(1);
      if (write(to_parent[1], &c, 1) != 1)
        break;
    }
    _exit(0);
  }
  close(to_child[0]);
  close(to_parent[1]);
  auto step = [&](char c) {
    char echo = 0;
    return write(to_child[1], &c, 1) == 1 && read(to_parent[0], &echo, 1) == 1 && echo == c;
  };
  ASSERT_TRUE(step('u'));
  const std::string p = std::to_string(child);
  View view;
  ASSERT_TRUE(view.start(static_cast<uint32_t>(child), 80, 30));
  const Rows page = {
      {0, "zpr_monitor - PID " + p + " (from-writer, restore DIFF)"},
      {3, "Block:   600 / 1200 (current: 599)"},
      {4, bar(20, " 50.0%")},
      {6, "~Elapsed: 00:0[0-9]:[0-5][0-9]"},
      {7, "~ETA:     00:0[0-9]:[0-5][0-9]"},
      {8, "Rate:    0.0 blocks/s, 0.0 B/s"},
      {10, "Restored:      550"},
      {11, "Zero-skipped:  40"},
      {12, "Verify fails:  2"},
      {14, "Raw done:        3.0 GiB"},
      {15, "Compressed done: 1.5 GiB (50.0% of raw)"},
      {17, "Workers: 6/13 busy"},
      {18, "~CPU:     AVX2 *, SHA-NI * | SHA-256 via *"},
      {19, "  W0:--   W1:100   W2:--   W3:300   W4:--   W5:500"},
      {20, "  W6:--   W7:700   W8:--   W9:900   W10:--   W11:1100"},
      {21, "  W12:--"},
      {23, "Path: /dev/sdz"},
      {25, "Press 'q' to quit"},
  };
  EXPECT_TRUE(view.shows(page + Rows{{1, "Status: running"}})) << view.tmux.screen_text();
  ASSERT_TRUE(step('f'));
  EXPECT_TRUE(view.shows(page + Rows{{1, "Status: DONE"}})) << view.tmux.screen_text();
  close(to_child[1]);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The writer has gone and removed its name; the last record stays.  (That
  // a final state never gains the suffix is shown with a counter change in
  // ProcessEndingUnexpectedlyOrDone.)
  ASSERT_TRUE(view.tmux.send_keys("x")); // any key redraws
  EXPECT_TRUE(view.shows(page + Rows{{1, "Status: DONE"}})) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits_with("q"));
}

} // namespace
