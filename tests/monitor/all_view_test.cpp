// zpr_monitor --all end to end in tmux against stand-in processes: whole screens of the table, the
// live page in and out, a job that moves and then stalls, ended jobs kept, a small terminal.
#include <gtest/gtest.h>

#include <cstdarg>
#include <sstream>

#include "support/tmux_session.h"

namespace {

const std::vector<std::string> ALL = {zt::build_dir() + "/monitor/zpr_monitor", "--no-log",
                                      "--no-syslog", "--all"};
const std::string HINT = "Up/Down select  Enter open  n/r/e sort  c clear ended  q quit";

std::string summary(int running, int done, int failed) {
  char text[160];
  snprintf(text, sizeof text,
           "zpr_monitor --all: %d running, 0.0 B/s | since start: %d done, %d failed | sort: name",
           running, done, failed);
  return text;
}

std::string cut(const std::string &text, size_t width) { // as a terminal row shows it
  std::string row = text.substr(0, width);
  return row.substr(0, row.find_last_not_of(' ') + 1);
}

// A whole row at 120 columns, every column shown, from its cells separated by "|" (a printf format
// for the pid), as a shell pattern: a cell "*" matches anything.
__attribute__((format(printf, 1, 2))) std::string row120(const char *format, ...) {
  char line[200], text[64];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  const int widths[] = {-2, -19, 7, -8, -4, -9, -12, 6, 15, 12, 8, 8};
  std::string row = "~", cell;
  std::istringstream in(line);
  for (int width : widths) {
    std::getline(in, cell, '|');
    snprintf(text, sizeof text, width == -2 ? "%*s" : "%*s ", cell == "*" ? 0 : width,
             cell.c_str());
    for (const char *p = text; *p != '\0'; p++)
      row += *p == '[' ? "[[]" : std::string(1, *p);
  }
  return cut(row, row.size());
}

ProgressSegment job(uint32_t pid, uint8_t tool, const char *name, uint64_t done, uint64_t total) {
  ProgressSegment r = zt::fake_record(pid, tool, name);
  r.state = STATE_RUNNING;
  r.blocks_done = done;
  r.blocks_total = total;
  r.eta_s = 11175;
  r.elapsed_ms = 3725000;
  return r;
}

// Rows sorted by name, an orchestrator's child under it; Enter opens the page and q comes back; a
// moving job's rate falls to nothing once it stands still; a failure and a finished child stay
// (marked) after their records are gone, and c clears them.
TEST(AllView, RowsPageStallAndEndedJobs) {
  zt::FakeTool alpha, beta, nightly, kid;
  ProgressSegment a = job(alpha.pid(), TOOL_AGENT, "alpha", 250, 1000),
                  b = job(beta.pid(), TOOL_RESTORE, "beta", 1500, 2000),
                  n = job(nightly.pid(), TOOL_PROXMOX, "nightly", 1, 5),
                  k = job(kid.pid(), TOOL_AGENT, "vm-child", 10, 40);
  a.backup_type = BACKUP_INC;
  b.backup_type = BACKUP_DIFF;
  n.eta_s = -1;
  n.child_pid = kid.pid();
  n.elapsed_ms = 36000000; // ahead of the wall clock: shown as it is
  ASSERT_TRUE(alpha.publish(a) && beta.publish(b) && nightly.publish(n) && kid.publish(k));
  zt::TmuxSession t;
  ASSERT_TRUE(t.start(ALL, 120, 12));
  const std::string header =
      row120("|NAME|PID|TOOL|TYPE|STATE|PROGRESS|%%|BLOCKS|RATE|ETA|ELAPSED").substr(1);
  auto screen = [](std::vector<std::string> rows) { // empty rows down to the hint
    rows.resize(11);
    rows.push_back(HINT);
    return rows;
  };
  EXPECT_TRUE(t.wait_equal(screen(
      {summary(4, 0, 0), header,
       row120(">|alpha|%u|agent|INC|running|[==        ]|25.0%%|250/1000|-|*|01:02:05",
              alpha.pid()),
       row120("|beta|%u|restore|DIFF|running|[=======   ]|75.0%%|1500/2000|-|*|01:02:05",
              beta.pid()),
       row120("|nightly|%u|proxmox|-|running|child 2 of 5|20.0%%|1/5|-|-|10:00:00", nightly.pid()),
       row120("|`- vm-child|%u|agent|FULL|running|[==        ]|25.0%%|10/40|-|*|01:02:05",
              kid.pid())})))
      << t.screen_text();
  ASSERT_TRUE(t.send_keys("Down") && t.send_keys("Enter"));
  EXPECT_TRUE(t.wait_text("|zpr_monitor - PID " + std::to_string(beta.pid()) +
                          " (beta, restore DIFF)\n|Status: running\n"))
      << t.screen_text();
  ASSERT_TRUE(t.send_keys("q"));
  EXPECT_TRUE(t.wait_text("|> beta ")) << t.screen_text();

  // Moving: a rate; then standing still: no rate and "stalled" within the window.
  EXPECT_TRUE(zt::wait_until([&] {
    b.blocks_done += 5;
    b.bytes_raw += 5 * 65536;
    return beta.publish(b) && t.wait_equal(screen({"~* MiB/s | since start*", header, "~*",
                                                   "~> beta * MiB/s *", "~*", "~*"}),
                                           0);
  })) << t.screen_text();
  EXPECT_TRUE(t.wait_equal(
      screen({"~*", header, "~*", "~> beta * -  stalled 01:02:05", "~*", "~*"}), 40000))
      << t.screen_text();

  // The child done and the orchestrator on to the next; alpha failed, its record gone.
  k.state = STATE_DONE;
  n.child_pid = 0;
  n.blocks_done = 2;
  a.state = STATE_FAILED;
  ASSERT_TRUE(kid.publish(k) && nightly.publish(n) && alpha.publish(a));
  alpha.stop();
  kid.stop();
  zt::fake_segment_remove(alpha.pid());
  zt::fake_segment_remove(kid.pid());
  EXPECT_TRUE(t.wait_equal(screen(
      {summary(2, 1, 1), header,
       row120(" !|alpha|%u|agent|INC|FAILED|[==        ]|25.0%%|250/1000|-|-|01:02:05",
              alpha.pid()),
       "~> beta *running *stalled 01:02:05",
       row120("|nightly|%u|proxmox|-|running|[====      ]|40.0%%|2/5|-|-|10:00:00", nightly.pid()),
       row120("|`- vm-child|%u|agent|FULL|DONE|[==        ]|25.0%%|10/40|-|-|01:02:05",
              kid.pid())})))
      << t.screen_text();
  ASSERT_TRUE(t.send_keys("c"));
  EXPECT_TRUE(t.wait_equal(screen({summary(2, 1, 1), header, "~> beta *", "~  nightly *"})))
      << t.screen_text();
  ASSERT_TRUE(t.send_keys("q"));
  EXPECT_EQ(t.wait_exit(), 0);
}

// More jobs than rows in a narrow terminal: the least important columns go, no row is wider than
// the terminal, the list scrolls with the selection, and a wider terminal brings the columns back.
TEST(AllView, SmallTerminalScrollsAndDropsColumns) {
  zt::FakeTool tools[9];
  for (int i = 0; i < 9; i++) {
    std::string name = "job-" + std::to_string(i + 1);
    ASSERT_TRUE(tools[i].publish(job(tools[i].pid(), TOOL_AGENT, name.c_str(), 100 * i, 800)));
  }
  auto screen = [](int first, int selected) {
    std::vector<std::string> s = {cut(summary(9, 0, 0), 40),
                                  "  NAME                  STATE          %"};
    char row[64];
    for (int i = first; i < first + 3; i++) {
      snprintf(row, sizeof row, "%-2sjob-%-17d running   %5.1f%%", i == selected ? ">" : "", i + 1,
               12.5 * i);
      s.push_back(row);
    }
    s.push_back(cut(HINT, 40));
    return s;
  };
  zt::TmuxSession t;
  ASSERT_TRUE(t.start(ALL, 40, 6));
  EXPECT_TRUE(t.wait_equal(screen(0, 0))) << t.screen_text();
  const struct {
    const char *key;
    int first, selected;
  } steps[] = {{"Down", 0, 1}, {"Down", 0, 2}, {"Down", 1, 3}, {"End", 6, 8}, {"Up", 6, 7},
               {"PgUp", 5, 5}, {"PgDn", 5, 7}, {"Home", 0, 0}, {"Up", 0, 0}};
  for (const auto &s : steps)
    EXPECT_TRUE(t.send_keys(s.key) && t.wait_equal(screen(s.first, s.selected)))
        << s.key << t.screen_text();
  ASSERT_TRUE(t.tmux({"resize-window", "-t", "zt", "-x", "120", "-y", "6"}) == 0);
  EXPECT_TRUE(t.wait_text(" BLOCKS ")) << t.screen_text();
  ASSERT_TRUE(t.send_keys("Q"));
  EXPECT_EQ(t.wait_exit(), 0);
}

} // namespace
