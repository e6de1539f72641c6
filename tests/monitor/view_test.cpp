// The live view and the selection box end to end: the real zpr_monitor in
// a real terminal (tmux) watching stand-in processes whose records the test
// writes byte for byte.  Whole screens are compared.
#include <gtest/gtest.h>

#include <dirent.h>

#include "support/tmux_session.h"

namespace {

using Rows = std::vector<std::pair<int, std::string>>;

Rows operator+(Rows a, const Rows &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct View : zt::TmuxSession { // the monitor in its own terminal
  int height = 30;
  bool run(const std::vector<std::string> &args, int rows = 30) {
    std::vector<std::string> argv = {zt::build_dir() + "/monitor/zpr_monitor", "--no-log", "--no-syslog"};
    argv.insert(argv.end(), args.begin(), args.end());
    return start(argv, 80, height = rows);
  }
  bool shows(const Rows &want) { return wait_equal(zt::screen_of(height, want)); }
  bool quits(const char *key) {
    int status = -1;
    return send_keys(key) && wait_exit(&status) && status == 0;
  }
};

std::string bar(int filled, const char *percent) {
  return std::string("[").append(filled, '=').append(40 - filled, ' ').append("] ").append(percent);
}

ProgressSegment agent(uint32_t pid) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, "vm-101-disk-0");
  r.backup_type = BACKUP_INC, r.state = STATE_RUNNING, r.blocks_total = 1000, r.blocks_done = 250;
  r.block_current = 251, r.written = 200, r.zero = 30, r.fs_free = 15, r.unchanged = 5;
  r.bytes_raw = 250ull << 20, r.bytes_compressed = 125ull << 20, r.elapsed_ms = 3725000, r.eta_s = 11175;
  r.q_raw_depth = 3, r.q_raw_cap = 16, r.q_out_depth = 1, r.q_out_cap = 17, r.workers_active = 4;
  r.workers_total = 6, r.compression = 1, r.level = 3, r.level_min = 1, r.level_max = 9, r.cpu_flags = 1;
  snprintf(r.sha_impl, sizeof r.sha_impl, "sha-ni");
  snprintf(r.path, sizeof r.path, "/dev/vg0/vm-101-disk-0");
  return r;
}

Rows agent_page(uint32_t pid, int top = 0) {
  Rows rows = {{0, "zpr_monitor - PID " + std::to_string(pid) + " (vm-101-disk-0, agent INC)"}, {1, "Status: running"},
               {3, "Block:   250 / 1000 (current: 251)"}, {4, bar(10, " 25.0%")}, {6, "Elapsed: 01:02:05"},
               {7, "ETA:     03:06:15"}, {8, "Rate:    0.0 blocks/s, 0.0 B/s"}, {10, "Written:    200"},
               {11, "Zero:       30"}, {12, "FS-free:    15"}, {13, "Unchanged:  5"}, {15, "Raw done:        250.0 MiB"},
               {16, "Compressed done: 125.0 MiB (50.0% of raw)"}, {19, "Workers: 4/6 busy"},
               {18, "Queue raw->worker: 3/16   Queue worker->writer: 1/17"},
               {20, "Compression: zstd level 3 (adaptive 1..9)"},
               {21, "CPU:     AVX2 yes, SHA-NI no | SHA-256 via sha-ni"}, {23, "Path: /dev/vg0/vm-101-disk-0"},
               {25, "Press 'q' to quit"}};
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
    return tool.republish() && view.screen().at(row) == "Rate:    100.0 blocks/s, 1.0 MiB/s";
  });
}

TEST(LiveView, AgentPageCompressionRateAndProcessEnd) {
  zt::FakeTool tool;
  ProgressSegment r = agent(tool.pid());
  r.bg_active = 1, r.bg_duty_pct = 40, r.bg_duty_min = 10, r.bg_duty_max = 90, r.bg_foreign_cpu = 12;
  r.bg_foreign_io = 34, r.bg_foreign_net = 56, r.bg_self_cpu = 7, r.bg_self_io = 8, r.bg_self_net = 9;
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.run({"-p", std::to_string(tool.pid())}));
  Rows page = agent_page(tool.pid());
  page.resize(page.size() - 3);
  EXPECT_TRUE(view.shows(page + Rows{{21, "Background: duty 40% (min 10 / max 90)"},
                                     {22, "  foreign: cpu 12% io 34% net 56%  |  own: cpu 7% io 8% net 9%"},
                                     {23, "CPU:     AVX2 yes, SHA-NI no | SHA-256 via sha-ni"},
                                     {25, "Path: /dev/vg0/vm-101-disk-0"}, {27, "Press 'q' to quit"}}))
      << view.screen_text();
  const struct { uint8_t codec; int32_t level, min, max; const char *text; } codecs[] = {
      {1, -5, 4, -7, "zstd level -5 (fixed)"}, {1, 0, -3, 2, "zstd level 0 (adaptive -3..2)"},
      {2, 3, 1, 9, "lz4"}, {200, 3, 1, 9, "none"}};
  r.bg_active = 0;
  for (const auto &c : codecs) {
    r.compression = c.codec, r.level = c.level, r.level_min = c.min, r.level_max = c.max;
    tool.publish(r);
    page = agent_page(tool.pid());
    page[15].second = "Compression: " + std::string(c.text);
    EXPECT_TRUE(view.shows(page)) << view.screen_text();
  }
  EXPECT_TRUE(rate_shown(tool, view, 8)) << view.screen_text();
  tool.zombie(); // a zombie still counts as present; once reaped the pid is gone
  tool.record().written = 201;
  tool.republish();
  EXPECT_TRUE(view.wait_screen([](auto &s) { return s[10] == "Written:    201" && s[1] == "Status: running"; }));
  tool.stop();
  tool.record().written = 202;
  tool.republish();
  EXPECT_TRUE(view.wait_text("Written:    202"));
  EXPECT_EQ(view.screen()[1], "Status: running (process ended unexpectedly)");
  EXPECT_TRUE(view.quits("q"));
}

TEST(LiveView, StartingAgentThenDoneWithOddFigures) {
  zt::FakeTool tool;
  ProgressSegment r = zt::fake_record(tool.pid(), TOOL_AGENT, "vm-102");
  r.start_wall -= 3725;
  snprintf(r.message, sizeof r.message, "opening device");
  ASSERT_TRUE(tool.publish(r));
  View view;
  ASSERT_TRUE(view.run({"--pid=" + std::to_string(tool.pid())}));
  EXPECT_TRUE(view.shows({{0, "zpr_monitor - PID " + std::to_string(tool.pid()) + " (vm-102, agent FULL)"},
                          {1, "Status: starting - opening device"}, {3, "Block:   - (block count not known yet)"},
                          {4, bar(0, "  0.0%")}, {6, "~Elapsed: 01:0[23]:[0-5][0-9]"}, {7, "ETA:     unknown"},
                          {8, "Rate:    0.0 blocks/s, 0.0 B/s"}, {10, "Written:    0"}, {11, "Zero:       0"},
                          {12, "FS-free:    0"}, {13, "Unchanged:  0"}, {15, "Raw done:        0.0 B"},
                          {16, "Compressed done: 0.0 B (0.0% of raw)"}, {19, "Workers: 0/0 busy"},
                          {18, "Queue raw->worker: 0/0   Queue worker->writer: 0/0"}, {20, "Compression: none"},
                          {21, "CPU:     AVX2 no, SHA-NI no | SHA-256 via"}, {23, "Path:"}, {25, "Press 'q' to quit"}}))
      << view.screen_text();
  // Done: its own elapsed time, a total of 0 as a figure and never the
  // suffix; then more blocks than the total and 2^50 bytes.
  r.state = STATE_DONE;
  tool.publish(r);
  EXPECT_TRUE(view.wait_text("|Elapsed: 00:00:00\n|ETA:     unknown")) << view.screen_text();
  EXPECT_TRUE(view.wait_text("|Block:   0 / 0 (current: 0)\n|" + bar(0, "  0.0%"))) << view.screen_text();
  tool.stop();
  r.blocks_total = 10, r.blocks_done = 15, r.bytes_raw = 1ull << 50;
  tool.publish(r);
  EXPECT_TRUE(view.wait_text(bar(40, "150.0%"))) << view.screen_text();
  EXPECT_TRUE(view.wait_text("Raw done:        1024.0 TiB")) << view.screen_text();
  EXPECT_EQ(view.screen()[1], "Status: DONE - opening device");
  EXPECT_TRUE(view.quits("Q"));
}

// Discovery finds only the orchestrator (its child is hidden) and opens it
// at once; the view follows each child it publishes, rates start afresh.
TEST(LiveView, OrchestratorFollowsAgentThenRestoreWorkers) {
  zt::FakeTool orch, first, second, bare;
  ProgressSegment o = zt::fake_record(orch.pid(), TOOL_PROXMOX, "nightly"), b = agent(second.pid());
  o.state = STATE_RUNNING, o.start_wall -= 10, o.child_pid = first.pid();
  ASSERT_TRUE(orch.publish(o) && first.publish(agent(first.pid())));
  const Rows summary = {{0, "zpr_monitor - PID " + std::to_string(orch.pid()) + " (nightly, proxmox)"},
                        {1, "Status: running"}, {2, "~Elapsed: 00:00:[1-5][0-9]"}};
  View view;
  ASSERT_TRUE(view.run({"17"}, 36)); // a positional argument: discovery all the same
  EXPECT_TRUE(view.shows(summary + agent_page(first.pid(), 4))) << view.screen_text();
  EXPECT_TRUE(rate_shown(first, view, 12)) << view.screen_text();
  // A restore far ahead of the agent (a kept rate history would show a
  // rate): worker 3 idle, worker 4 on block 17, any other k on 1000 + k.
  b.tool = TOOL_RESTORE, b.backup_type = BACKUP_FULL, b.blocks_done = 5000000, b.bytes_raw = 1536, b.workers_total = 13;
  b.bytes_compressed = 1023, b.elapsed_ms = 360000000, b.eta_s = 0, b.bg_active = 1, b.cpu_flags = 2;
  for (int64_t k = 0; k < 64; k++)
    b.worker_block[k] = k == 3 ? -1 : k == 4 ? 17 : 1000 + k;
  ASSERT_TRUE(second.publish(b));
  o.child_pid = second.pid();
  orch.publish(o);
  const Rows restore = {{4, "zpr_monitor - PID " + std::to_string(second.pid()) + " (vm-101-disk-0, restore FULL)"},
                        {5, "Status: running"}, {7, "Block:   5000000 / 1000 (current: 251)"},
                        {8, bar(40, "500000.0%")}, {10, "Elapsed: 100:00:00"}, {11, "ETA:     00:00:00"},
                        {12, "Rate:    0.0 blocks/s, 0.0 B/s"}, {14, "Restored:      200"}, {15, "Zero-skipped:  30"},
                        {16, "Verify fails:  5"}, {18, "Raw done:        1.5 KiB"},
                        {19, "Compressed done: 1023.0 B (66.6% of raw)"}, {21, "Workers: 4/13 busy"},
                        {22, "CPU:     AVX2 no, SHA-NI yes | SHA-256 via sha-ni"}};
  EXPECT_TRUE(view.shows(summary + restore + Rows{{23, "  W0:1000  W1:1001  W2:1002  W3:--   W4:17    W5:1005"},
                                                  {24, "  W6:1006  W7:1007  W8:1008  W9:1009  W10:1010  W11:1011"},
                                                  {25, "  W12:1012"}, {27, "Path: /dev/vg0/vm-101-disk-0"},
                                                  {29, "Press 'q' to quit"}}))
      << view.screen_text();
  b.workers_total = 100; // at most 64 cells: 11 rows, the last with 4
  second.publish(b);
  EXPECT_TRUE(view.wait_text("|  W60:1060  W61:1061  W62:1062  W63:1063\n|\n|Path: ")) << view.screen_text();
  b.workers_total = 0;
  second.publish(b);
  EXPECT_TRUE(view.shows(summary + restore + Rows{{21, "Workers: 4/0 busy"}, {24, "Path: /dev/vg0/vm-101-disk-0"},
                                                  {26, "Press 'q' to quit"}}))
      << view.screen_text();
  o.child_pid = 0;
  orch.publish(o);
  EXPECT_TRUE(view.shows(summary + Rows{{5, "Press 'q' to quit"}})) << view.screen_text();
  EXPECT_TRUE(view.quits("q"));
  View failed; // alive without a segment: the error once the screen has ended
  ASSERT_TRUE(failed.run({"--pid", std::to_string(bare.pid())}, 3));
  EXPECT_TRUE(failed.shows({{0, "error: could not attach to PID " + std::to_string(bare.pid()) + " (process gone?)"}}));
  int status = -1;
  EXPECT_TRUE(failed.wait_exit(&status) && status == 0);
}

TEST(SelectionBox, ListsNavigatesAndOpens) {
  zt::FakeTool tools[7];
  const struct { uint8_t tool, type, state; const char *name, *kind, *type_text, *state_text; } rows[] = {
      {TOOL_AGENT, 7, STATE_RUNNING, "alpha", "agent", "?", "running"},
      {TOOL_RESTORE, BACKUP_DIFF, STATE_DONE, "a-name-longer-than-twenty", "restore", "DIFF", "DONE"},
      {9, BACKUP_INC, 9, "gamma", "?", "-", "?"},
      {TOOL_PVE_RST, BACKUP_FULL, STATE_FINISHING, "delta", "pve-rst", "-", "finishing"},
      {TOOL_XENV_RST, BACKUP_FULL, STATE_FAILED, "epsilon", "xenV-rst", "-", "FAILED"},
      {TOOL_XENV, BACKUP_FULL, STATE_STARTING, "zeta", "xenV", "-", "starting"},
      {TOOL_AGENT, BACKUP_FULL, STATE_RUNNING, "hidden-child", "agent", "FULL", "running"}};
  for (int i = 0; i < 7; i++) { // only orchestrators hide their children
    ProgressSegment r = zt::fake_record(tools[i].pid(), rows[i].tool, rows[i].name);
    r.backup_type = rows[i].type, r.state = rows[i].state;
    r.child_pid = i == 3 ? tools[6].pid() : i == 0 ? tools[3].pid() : i == 5 ? 999999 : 0;
    ASSERT_TRUE(tools[i].publish(r));
  }
  tools[6].stop(); // a stale segment, hidden all the same
  std::vector<int> order; // the box lists in scan order, the directory's
  DIR *dir = opendir("/dev/shm");
  while (const dirent *e = readdir(dir))
    for (int i = 0; i < 6; i++)
      order.insert(order.end(), e->d_name == PROGRESS_NAME_PREFIX + std::to_string(tools[i].pid()), i);
  closedir(dir);
  ASSERT_EQ(order.size(), 6u);
  auto box = [&](int selected) {
    Rows s = {{0, "zpr_monitor - multiple running backups/restores found"},
              {1, "Use Up/Down and Enter to select, q to quit"},
              {3, "     NAME                 PID      TYPE  TOOL     STATE"}};
    for (int k = 0; k < 6; k++) {
      const auto &e = rows[order[k]];
      char row[128];
      snprintf(row, sizeof row, "%-4s %-20s %-8u %-5s %-8s %s", k == selected ? ">" : "", e.name,
               tools[order[k]].pid(), e.type_text, e.kind, e.state_text);
      s.push_back({4 + k, row});
    }
    return s;
  };
  View view;
  ASSERT_TRUE(view.run({}, 12));
  EXPECT_TRUE(view.shows(box(0))) << view.screen_text();
  std::string attrs;
  view.tmux({"capture-pane", "-e", "-p", "-t", "zt"}, &attrs);
  EXPECT_NE(attrs.find("\033[7m>"), std::string::npos) << "the selected row in reverse video";
  const struct { const char *key; int selected; } steps[] = {{"Up", 0},   {"Down", 1}, {"j", 2},    {"x", 2}, {"Down", 3},
                                                             {"Down", 4}, {"j", 5},    {"Down", 5}, {"k", 4}, {"Up", 3}};
  for (const auto &s : steps)
    EXPECT_TRUE(view.send_keys(s.key) && view.shows(box(s.selected))) << s.key << "\n" << view.screen_text();
  ASSERT_TRUE(view.send_keys("Enter"));
  EXPECT_TRUE(view.wait_text("|zpr_monitor - PID " + std::to_string(tools[order[3]].pid()) + " (")) << view.screen_text();
  EXPECT_TRUE(view.quits("q"));
  for (const char *key : {"Q", "Escape"}) {
    View again;
    EXPECT_TRUE(again.run({}, 12) && again.shows(box(0)) && again.quits(key)) << key;
  }
}

} // namespace
