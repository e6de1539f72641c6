// The live view and the selection box end to end: the real zpr_monitor in
// a real terminal (tmux), watching stand-in processes whose records the
// test writes byte for byte.  Whole screens are compared.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fnmatch.h>

#include <cstdio>
#include <ctime>

#include "support/fake_segment.h"
#include "support/tmux_session.h"

namespace {

using Rows = std::vector<std::pair<int, std::string>>;
const std::string MONITOR = zt::build_dir() + "/monitor/zpr_monitor";

Rows operator+(Rows a, const Rows &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The monitor in its own terminal.  Expected rows are text, or a shell
// pattern after "~" for the figures that follow the wall clock.
struct View {
  zt::TmuxSession tmux;
  int height = 30;
  bool start(const std::vector<std::string> &args, int rows = 30) {
    std::vector<std::string> argv = {MONITOR, "--no-log", "--no-syslog"};
    argv.insert(argv.end(), args.begin(), args.end());
    return tmux.start(argv, 80, height = rows);
  }
  bool start(uint32_t pid, int rows = 30) { return start({"--pid", std::to_string(pid)}, rows); }
  bool shows(const Rows &want) {
    std::vector<std::string> expected = zt::screen_of(height, want);
    return tmux.wait_screen([&](const std::vector<std::string> &got) {
      for (size_t i = 0; i < expected.size(); i++) {
        std::string line = i < got.size() ? got[i] : "", &e = expected[i];
        if (e[0] == '~' ? fnmatch(e.c_str() + 1, line.c_str(), 0) != 0 : line != e)
          return false;
      }
      return got.size() == expected.size();
    });
  }
  bool quits(const char *key) {
    int status = -1;
    return tmux.send_keys(key) && tmux.wait_exit(&status) && status == 0;
  }
};

std::string bar(int filled, const char *percent) {
  return "[" + std::string(filled, '=') + std::string(40 - filled, ' ') + "] " + percent;
}

ProgressSegment agent(uint32_t pid) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, "vm-101-disk-0");
  r.backup_type = BACKUP_INC;
  r.state = STATE_RUNNING;
  r.blocks_total = 1000, r.blocks_done = 250, r.block_current = 251;
  r.written = 200, r.zero = 30, r.fs_free = 15, r.unchanged = 5;
  r.bytes_raw = 250ull << 20, r.bytes_compressed = 125ull << 20;
  r.elapsed_ms = 3725000, r.eta_s = 11175;
  r.q_raw_depth = 3, r.q_raw_cap = 16, r.q_out_depth = 1, r.q_out_cap = 17;
  r.workers_active = 4, r.workers_total = 6;
  r.compression = 1, r.level = 3, r.level_min = 1, r.level_max = 9;
  r.cpu_flags = 1;
  snprintf(r.sha_impl, sizeof r.sha_impl, "sha-ni");
  snprintf(r.path, sizeof r.path, "/dev/vg0/vm-101-disk-0");
  return r;
}

Rows agent_page(uint32_t pid, int top = 0) {
  Rows rows = {{0, "zpr_monitor - PID " + std::to_string(pid) + " (vm-101-disk-0, agent INC)"},
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
               {18, "Queue raw->worker: 3/16   Queue worker->writer: 1/17"},
               {19, "Workers: 4/6 busy"},
               {20, "Compression: zstd level 3 (adaptive 1..9)"},
               {21, "CPU:     AVX2 yes, SHA-NI no | SHA-256 via sha-ni"},
               {23, "Path: /dev/vg0/vm-101-disk-0"},
               {25, "Press 'q' to quit"}};
  for (auto &row : rows)
    row.first += top;
  return rows;
}

// Worker 3 idle, worker 4 on block 17, any other worker k on block 1000 + k.
ProgressSegment restore(uint32_t pid, uint32_t workers) {
  ProgressSegment r = zt::fake_record(pid, TOOL_RESTORE, "restore-7");
  r.state = STATE_RUNNING;
  r.blocks_total = 2000, r.blocks_done = 500, r.block_current = 480;
  r.written = 400, r.zero = 99, r.unchanged = 1, r.fs_free = 12345;
  r.bytes_raw = 1536, r.bytes_compressed = 1023;
  r.elapsed_ms = 100ull * 3600000, r.eta_s = 0;
  r.q_raw_depth = 7, r.workers_active = 9, r.workers_total = workers;
  r.compression = 2, r.bg_active = 1, r.cpu_flags = 2;
  snprintf(r.sha_impl, sizeof r.sha_impl, "generic");
  snprintf(r.path, sizeof r.path, "/srv/restore-7.img");
  for (uint32_t k = 0; k < PROGRESS_MAX_WORKERS; k++)
    r.worker_block[k] = k == 3 ? -1 : k == 4 ? 17 : 1000 + int64_t{k};
  return r;
}

Rows restore_page(uint32_t pid, uint32_t workers, int top = 0) {
  Rows rows = {{0, "zpr_monitor - PID " + std::to_string(pid) + " (restore-7, restore FULL)"},
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
               {18, "CPU:     AVX2 no, SHA-NI yes | SHA-256 via generic"}};
  if (workers == 0)
    rows = rows + Rows{{20, "Path: /srv/restore-7.img"}, {22, "Press 'q' to quit"}};
  for (auto &row : rows)
    row.first += top;
  return rows;
}

// Publishes 100 blocks and 1 MiB per published second, faster than the
// view redraws, until the rate line shows exactly that.
bool rate_shown(zt::FakeTool &tool, View &view, size_t row) {
  return zt::wait_until([&] {
    ProgressSegment &r = tool.record();
    r.elapsed_ms += 250, r.blocks_done += 25, r.bytes_raw += 262144;
    tool.republish();
    std::vector<std::string> rows = view.tmux.screen();
    return rows.size() > row && rows[row] == "Rate:    100.0 blocks/s, 1.0 MiB/s";
  });
}

TEST(LiveView, AgentPageCompressionRateAndProcessEnd) {
  zt::FakeTool tool;
  ProgressSegment r = agent(tool.pid());
  r.bg_active = 1, r.bg_duty_pct = 40, r.bg_duty_min = 10, r.bg_duty_max = 90;
  r.bg_foreign_cpu = 12, r.bg_foreign_io = 34, r.bg_foreign_net = 56;
  r.bg_self_cpu = 7, r.bg_self_io = 8, r.bg_self_net = 9;
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  Rows page = agent_page(tool.pid());
  page.resize(page.size() - 3);
  EXPECT_TRUE(view.shows(page + Rows{{21, "Background: duty 40% (min 10 / max 90)"},
                                     {22, "  foreign: cpu 12% io 34% net 56%  |  own: cpu 7% io 8% net 9%"},
                                     {23, "CPU:     AVX2 yes, SHA-NI no | SHA-256 via sha-ni"},
                                     {25, "Path: /dev/vg0/vm-101-disk-0"},
                                     {27, "Press 'q' to quit"}}))
      << view.tmux.screen_text();
  struct {
    uint8_t codec;
    int32_t level, min, max;
    const char *text;
  } codecs[] = {{1, 3, 3, 3, "Compression: zstd level 3 (fixed)"},
                {1, -5, 4, -7, "Compression: zstd level -5 (fixed)"},
                {1, 0, -3, 2, "Compression: zstd level 0 (adaptive -3..2)"},
                {2, 3, 1, 9, "Compression: lz4"},
                {200, 3, 1, 9, "Compression: none"},
                {1, 3, 1, 9, "Compression: zstd level 3 (adaptive 1..9)"}};
  r.bg_active = 0;
  for (const auto &c : codecs) {
    SCOPED_TRACE(c.text);
    r.compression = c.codec, r.level = c.level, r.level_min = c.min, r.level_max = c.max;
    tool.publish(r);
    page = agent_page(tool.pid());
    page[15].second = c.text;
    EXPECT_TRUE(view.shows(page)) << view.tmux.screen_text();
  }
  EXPECT_TRUE(rate_shown(tool, view, 8)) << view.tmux.screen_text();
  // A zombie still counts as present; once reaped the pid is gone.
  tool.zombie();
  tool.record().written = 201;
  tool.republish();
  EXPECT_TRUE(view.tmux.wait_screen([](const std::vector<std::string> &rows) {
    return rows[10] == "Written:    201" && rows[1] == "Status: running";
  })) << view.tmux.screen_text();
  tool.stop();
  tool.record().written = 202;
  tool.republish();
  EXPECT_TRUE(view.tmux.wait_text("Written:    202"));
  EXPECT_EQ(view.tmux.screen()[1], "Status: running (process ended unexpectedly)");
  EXPECT_TRUE(view.quits("q"));
}

TEST(LiveView, StartingAgentThenFinishedWithOddFigures) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT, "vm-102");
  r.start_wall = time(nullptr) - 3725;
  snprintf(r.message, sizeof r.message, "opening device");
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows({{0, "zpr_monitor - PID " + std::to_string(tool.pid()) + " (vm-102, agent FULL)"},
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
                          {25, "Press 'q' to quit"}}))
      << view.tmux.screen_text();
  // Finished: its own elapsed time, a total of 0 shown as a figure, then
  // more blocks than the total and 2^50 bytes.
  r.state = STATE_DONE;
  tool.publish(r);
  EXPECT_TRUE(view.tmux.wait_text("Block:   0 / 0 (current: 0)")) << view.tmux.screen_text();
  EXPECT_TRUE(view.tmux.wait_text("Elapsed: 00:00:00")) << view.tmux.screen_text();
  tool.stop(); // DONE never gets the suffix
  r.blocks_total = 10, r.blocks_done = 15, r.bytes_raw = 1ull << 50;
  tool.publish(r);
  EXPECT_TRUE(view.tmux.wait_text(bar(40, "150.0%"))) << view.tmux.screen_text();
  EXPECT_TRUE(view.tmux.wait_text("Raw done:        1024.0 TiB")) << view.tmux.screen_text();
  EXPECT_EQ(view.tmux.screen()[1], "Status: DONE - opening device");
  EXPECT_TRUE(view.quits("Q"));
}

TEST(LiveView, RestoreWorkerList) {
  zt::FakeTool tool;
  ASSERT_TRUE(tool.publish(restore(tool.pid(), 13)));
  View view;
  ASSERT_TRUE(view.start(tool.pid(), 36));
  EXPECT_TRUE(view.shows(restore_page(tool.pid(), 13) +
                         Rows{{19, "  W0:1000  W1:1001  W2:1002  W3:--   W4:17    W5:1005"},
                              {20, "  W6:1006  W7:1007  W8:1008  W9:1009  W10:1010  W11:1011"},
                              {21, "  W12:1012"},
                              {23, "Path: /srv/restore-7.img"},
                              {25, "Press 'q' to quit"}}))
      << view.tmux.screen_text();
  // At most 64 cells: 11 rows, the last with 4.
  tool.publish(restore(tool.pid(), 100));
  EXPECT_TRUE(view.tmux.wait_text("Path: /srv/restore-7.img")) << view.tmux.screen_text();
  EXPECT_TRUE(view.tmux.wait_screen([](const std::vector<std::string> &s) {
    return s[29] == "  W60:1060  W61:1061  W62:1062  W63:1063" && s[31] == "Path: /srv/restore-7.img";
  })) << view.tmux.screen_text();
  tool.publish(restore(tool.pid(), 0));
  EXPECT_TRUE(view.shows(restore_page(tool.pid(), 0))) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits("q"));
}

// Discovery finds only the orchestrator (its child is hidden) and opens it
// at once; the view follows each child it publishes, rates start afresh.
TEST(LiveView, OrchestratorFollowsItsChildren) {
  zt::FakeTool orch, first, second;
  ProgressSegment o = zt::fake_record(orch.pid(), TOOL_PROXMOX, "nightly");
  o.state = STATE_RUNNING;
  o.start_wall = time(nullptr) - 10;
  o.child_pid = first.pid();
  ASSERT_TRUE(orch.publish(o));
  ASSERT_TRUE(first.publish(agent(first.pid())));
  const Rows summary = {{0, "zpr_monitor - PID " + std::to_string(orch.pid()) + " (nightly, proxmox)"},
                        {1, "Status: running"},
                        {2, "~Elapsed: 00:00:[1-5][0-9]"}};
  View view;
  ASSERT_TRUE(view.start({}, 32));
  EXPECT_TRUE(view.shows(summary + agent_page(first.pid(), 4))) << view.tmux.screen_text();
  EXPECT_TRUE(rate_shown(first, view, 12)) << view.tmux.screen_text();
  ProgressSegment b = restore(second.pid(), 0);
  b.blocks_done = 5000000, b.bytes_raw = 1ull << 40; // far ahead: a kept history would show a rate
  ASSERT_TRUE(second.publish(b));
  o.child_pid = second.pid();
  orch.publish(o);
  Rows page = restore_page(second.pid(), 0, 4);
  page[2].second = "Block:   5000000 / 2000 (current: 480)";
  page[3].second = bar(40, "250000.0%");
  page[10].second = "Raw done:        1.0 TiB";
  page[11].second = "Compressed done: 1023.0 B (0.0% of raw)";
  EXPECT_TRUE(view.shows(summary + page)) << view.tmux.screen_text();
  o.child_pid = 0;
  orch.publish(o);
  EXPECT_TRUE(view.shows(summary + Rows{{5, "Press 'q' to quit"}})) << view.tmux.screen_text();
  EXPECT_TRUE(view.quits("q"));
}

TEST(LiveView, WaitingFrameAndAttachFailure) {
  zt::FakeTool tool;
  ProgressSegment r = agent(tool.pid());
  r.seq = 7; // a writer that died inside an update
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.start(tool.pid()));
  EXPECT_TRUE(view.shows({{0, "zpr_monitor - waiting for a consistent snapshot..."}, {2, "Press 'q' to quit"}}));
  ASSERT_TRUE(view.tmux.send_keys("x"));
  EXPECT_FALSE(view.tmux.exited());
  EXPECT_TRUE(view.quits("Q"));
  zt::FakeTool bare; // alive, without a segment: the error after the screen ended
  View failed;
  ASSERT_TRUE(failed.start(bare.pid(), 5));
  EXPECT_TRUE(failed.shows({{0, "error: could not attach to PID " + std::to_string(bare.pid()) + " (process gone?)"}}))
      << failed.tmux.screen_text();
  int status = -1;
  EXPECT_TRUE(failed.tmux.wait_exit(&status) && status == 0);
}

std::string box_row(const char *mark, const std::string &name, const std::string &pid, const char *type,
                    const char *tool, const char *state) {
  char row[128];
  snprintf(row, sizeof row, "%-4s %-20s %-8s %-5s %-8s %s", mark, name.c_str(), pid.c_str(), type, tool, state);
  return row;
}

TEST(SelectionBox, ListsNavigatesAndOpens) {
  zt::FakeTool tools[5];
  struct { uint8_t tool, type, state; const char *name, *kind, *type_text, *state_text; } rows[] = {
      {TOOL_AGENT, BACKUP_FULL, STATE_RUNNING, "alpha", "agent", "FULL", "running"},
      {TOOL_RESTORE, BACKUP_DIFF, STATE_DONE, "a-name-longer-than-twenty", "restore", "DIFF", "DONE"},
      {9, BACKUP_INC, 9, "gamma", "?", "-", "?"},
      {TOOL_XENV, BACKUP_INC, STATE_FINISHING, "delta", "xenV", "-", "finishing"},
      {TOOL_AGENT, BACKUP_FULL, STATE_RUNNING, "hidden-child", "agent", "FULL", "running"}};
  for (int i = 0; i < 5; i++) {
    ProgressSegment r = zt::fake_record(tools[i].pid(), rows[i].tool, rows[i].name);
    r.backup_type = rows[i].type, r.state = rows[i].state;
    r.child_pid = i == 3 ? tools[4].pid() : i == 0 ? tools[3].pid() : 0; // only orchestrators hide
    ASSERT_TRUE(tools[i].publish(r));
  }
  tools[4].stop(); // a stale segment is still hidden by its orchestrator
  // The box lists in scan order: the order of the directory.
  std::vector<int> order;
  DIR *dir = opendir("/dev/shm");
  while (const dirent *e = readdir(dir))
    for (int i = 0; i < 4; i++)
      if (std::string(e->d_name) == PROGRESS_NAME_PREFIX + std::to_string(tools[i].pid()))
        order.push_back(i);
  closedir(dir);
  ASSERT_EQ(order.size(), 4u);
  auto box = [&](int selected) {
    Rows s = {{0, "zpr_monitor - multiple running backups/restores found"},
              {1, "Use Up/Down and Enter to select, q to quit"},
              {3, box_row("", "NAME", "PID", "TYPE", "TOOL", "STATE")}};
    for (int k = 0; k < 4; k++) {
      const auto &e = rows[order[k]];
      s.push_back({4 + k, box_row(k == selected ? ">" : "", e.name, std::to_string(tools[order[k]].pid()),
                                  e.type_text, e.kind, e.state_text)});
    }
    return s;
  };
  View view;
  ASSERT_TRUE(view.start({}, 12));
  EXPECT_TRUE(view.shows(box(0))) << view.tmux.screen_text();
  std::string attrs;
  view.tmux.tmux({"capture-pane", "-e", "-p", "-t", "zt"}, &attrs);
  EXPECT_NE(attrs.find("\033[7m>"), std::string::npos) << "the selected row in reverse video";
  const struct { const char *key; int selected; } steps[] = {
      {"Up", 0}, {"Down", 1}, {"j", 2}, {"x", 2}, {"Down", 3}, {"Down", 3}, {"k", 2}, {"Up", 1}};
  for (const auto &s : steps) {
    SCOPED_TRACE(s.key);
    ASSERT_TRUE(view.tmux.send_keys(s.key));
    EXPECT_TRUE(view.shows(box(s.selected))) << view.tmux.screen_text();
  }
  ASSERT_TRUE(view.tmux.send_keys("Enter"));
  EXPECT_TRUE(view.tmux.wait_text("zpr_monitor - PID " + std::to_string(tools[order[1]].pid()) + " ("))
      << view.tmux.screen_text();
  EXPECT_TRUE(view.quits("q"));
  for (const char *key : {"q", "Q", "Escape"}) {
    View again;
    ASSERT_TRUE(again.start({}, 12));
    EXPECT_TRUE(again.shows(box(0))) << key;
    EXPECT_TRUE(again.quits(key)) << key;
  }
}

} // namespace
