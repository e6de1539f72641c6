// Discovery and the selection box end to end: the real program in a real
// terminal (tmux), stand-in tools with crafted segments in a private
// /dev/shm.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_segment.h"
#include "support/test_support.h"
#include "support/tmux_session.h"

namespace {

constexpr int WIDTH = 100;
constexpr int HEIGHT = 30;

std::string monitor_path() { return zt::build_dir() + "/monitor/zpr_monitor"; }

std::string row_text(const char *marker, const std::string &name, uint32_t pid, const char *type,
                     const char *tool, const char *state) {
  char buf[256];
  snprintf(buf, sizeof buf, "%-4s %-20s %-8u %-5s %-8s %s", marker, name.c_str(), pid, type, tool,
           state);
  std::string s = buf;
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

const char BOX_HEADER[] = "     NAME                 PID      TYPE  TOOL     STATE";

// Publishes a record for a new stand-in tool.
std::unique_ptr<zt::FakeTool> make_tool(uint8_t tool, const char *name, uint8_t state = STATE_RUNNING,
                                        uint8_t type = BACKUP_FULL) {
  auto t = std::make_unique<zt::FakeTool>();
  ProgressSegment r = zt::fake_record(t->pid(), tool, name);
  r.state = state;
  r.backup_type = type;
  EXPECT_TRUE(t->publish(r));
  return t;
}

// The rows of the box in the order shown, as "name" strings, taken from
// the screen (scan order is directory order).
int row_of(const std::vector<std::string> &screen, const std::string &name) {
  for (size_t i = 4; i < screen.size(); i++)
    if (screen[i].find(" " + name + " ") != std::string::npos)
      return static_cast<int>(i);
  return -1;
}

bool is_marked(const std::vector<std::string> &screen, int row) {
  return row >= 0 && screen[static_cast<size_t>(row)].rfind(">", 0) == 0;
}

// The exit status of the program in the pane.  tmux may report the pane
// dead (its terminal closed) a moment before it has collected the status,
// so wait for a status, not only for the end.
int pane_exit_status(zt::TmuxSession &t) {
  int status = -1;
  bool got = zt::wait_until([&] { return t.exited(&status) && status >= 0; });
  return got ? status : -1;
}

struct Box : ::testing::Test {
  zt::TmuxSession term;
  bool start(std::vector<std::string> args = {}, int height = HEIGHT) {
    args.insert(args.begin(), {monitor_path(), "--no-log", "--no-syslog"});
    return term.start(args, WIDTH, height);
  }
  bool wait_box() { return term.wait_text("zpr_monitor - multiple running backups/restores found"); }
  int exit_status() { return pane_exit_status(term); }
};

TEST_F(Box, TwoAgentsNavigateAndOpen) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_AGENT, "beta");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box()) << term.screen_text();
  std::vector<std::string> s = term.screen();
  EXPECT_EQ(s[1], "Use Up/Down and Enter to select, q to quit");
  EXPECT_EQ(s[2], "");
  EXPECT_EQ(s[3], BOX_HEADER);
  int ra = row_of(s, "alpha"), rb = row_of(s, "beta");
  ASSERT_TRUE((ra == 4 && rb == 5) || (ra == 5 && rb == 4)) << term.screen_text();
  const std::string first = ra == 4 ? "alpha" : "beta";
  const std::string second = ra == 4 ? "beta" : "alpha";
  const uint32_t second_pid = ra == 4 ? b->pid() : a->pid();
  EXPECT_EQ(s[4], row_text(">", first, ra == 4 ? a->pid() : b->pid(), "FULL", "agent", "running"));
  EXPECT_EQ(s[5], row_text("", second, second_pid, "FULL", "agent", "running"));
  EXPECT_EQ(s[6], "");

  // Up on the first row changes nothing.
  term.send_keys("Up");
  term.send_keys("Down");
  ASSERT_TRUE(term.wait_screen([](const std::vector<std::string> &v) { return is_marked(v, 5); }))
      << term.screen_text();
  EXPECT_FALSE(is_marked(term.screen(), 4));
  // Down on the last row changes nothing; k moves back up, j down again.
  term.send_keys("Down");
  term.send_keys("k");
  ASSERT_TRUE(term.wait_screen([](const std::vector<std::string> &v) { return is_marked(v, 4); }));
  term.send_keys("j");
  ASSERT_TRUE(term.wait_screen([](const std::vector<std::string> &v) { return is_marked(v, 5); }));

  term.send_keys("Enter");
  char header[128];
  snprintf(header, sizeof header, "zpr_monitor - PID %u (%s, agent FULL)", second_pid,
           second.c_str());
  ASSERT_TRUE(term.wait_text(header)) << term.screen_text();
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, UpOnTheFirstRowKeepsTheFirst) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_AGENT, "beta");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  const std::string first = row_of(term.screen(), "alpha") == 4 ? "alpha" : "beta";
  const uint32_t first_pid = first == "alpha" ? a->pid() : b->pid();
  term.send_keys("Up");
  term.send_keys("k");
  term.send_keys("Enter");
  char header[128];
  snprintf(header, sizeof header, "zpr_monitor - PID %u (%s, agent FULL)", first_pid,
           first.c_str());
  ASSERT_TRUE(term.wait_text(header)) << term.screen_text();
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, SelectedRowIsReverseVideo) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_AGENT, "beta");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  std::string out;
  ASSERT_EQ(term.tmux({"capture-pane", "-p", "-e"}, &out), 0);
  std::vector<std::string> rows;
  size_t pos = 0;
  for (size_t nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1)
    rows.push_back(out.substr(pos, nl - pos));
  ASSERT_GT(rows.size(), 5u);
  EXPECT_NE(rows[4].find("\x1b[7m"), std::string::npos) << rows[4];
  EXPECT_EQ(rows[5].find("\x1b[7m"), std::string::npos) << rows[5];
  EXPECT_EQ(rows[3].find("\x1b[7m"), std::string::npos) << rows[3];
}

TEST_F(Box, QuitKeysLeaveWithoutShowingAnything) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_RESTORE, "beta");
  for (const char *key : {"q", "Q", "Escape"}) {
    zt::TmuxSession t;
    ASSERT_TRUE(t.start({monitor_path(), "--no-log", "--no-syslog"}, WIDTH, HEIGHT));
    ASSERT_TRUE(t.wait_text("multiple running backups/restores found")) << key;
    t.send_keys("Down"); // a selection that is not shown afterwards
    t.send_keys(key);
    EXPECT_EQ(pane_exit_status(t), 0) << key << "\n" << t.screen_text();
    EXPECT_EQ(t.screen_text().find("zpr_monitor - PID"), std::string::npos) << key;
  }
}

TEST_F(Box, ColumnTexts) {
  auto restore = make_tool(TOOL_RESTORE, "rst", STATE_STARTING, BACKUP_DIFF);
  auto prox = make_tool(TOOL_PROXMOX, "prox", STATE_RUNNING, BACKUP_INC);
  auto odd = make_tool(9, "odd", 9, 7);
  auto inc = make_tool(TOOL_AGENT, "inc", STATE_FAILED, BACKUP_INC);
  auto xen = make_tool(TOOL_XENV_RST, "a-name-longer-than-twenty", STATE_DONE, BACKUP_FULL);
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  std::vector<std::string> s = term.screen();
  auto check = [&](const char *name, uint32_t pid, const char *type, const char *tool,
                   const char *state) {
    int r = row_of(s, name);
    ASSERT_GE(r, 4) << name << "\n" << term.screen_text();
    EXPECT_EQ(s[static_cast<size_t>(r)], row_text(r == 4 ? ">" : "", name, pid, type, tool, state));
  };
  check("rst", restore->pid(), "DIFF", "restore", "starting");
  check("prox", prox->pid(), "-", "proxmox", "running");
  check("odd", odd->pid(), "-", "?", "?");
  check("inc", inc->pid(), "INC", "agent", "FAILED");
  // Longer names are not cut; they push the rest of the row right.
  check("a-name-longer-than-twenty", xen->pid(), "-", "xenV-rst", "DONE");
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, ControlBytesInNamesArePrintable) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto evil = std::make_unique<zt::FakeTool>();
  ProgressSegment r = zt::fake_record(evil->pid(), TOOL_AGENT, "");
  memcpy(r.name, "\x1b[2J\x07x\x01y\xff\x80z\n\bw", 14);
  r.state = STATE_RUNNING;
  ASSERT_TRUE(evil->publish(r));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  // A newline or backspace in the name must not break the row either.
  ASSERT_TRUE(term.wait_text("^[[2J^Gx^AyM-^?M-^@z^J^Hw")) << term.screen_text();
  // The escape sequence did not clear the screen, and no byte reached the
  // terminal other than printable ASCII.
  std::vector<std::string> screen = term.screen();
  EXPECT_EQ(screen[0], "zpr_monitor - multiple running backups/restores found");
  for (const std::string &row : screen)
    for (char c : row)
      EXPECT_TRUE(c >= 0x20 && c < 0x7f) << row;
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, ListLongerThanTheTerminal) {
  std::vector<std::unique_ptr<zt::FakeTool>> tools;
  for (int i = 0; i < 8; i++)
    tools.push_back(make_tool(TOOL_AGENT, ("job" + std::to_string(i)).c_str()));
  ASSERT_TRUE(start({}, 8)); // rows 4 to 7: four entries visible
  ASSERT_TRUE(wait_box());
  std::vector<std::string> s = term.screen();
  ASSERT_EQ(s.size(), 8u);
  for (int i = 4; i < 8; i++)
    EXPECT_NE(s[static_cast<size_t>(i)].find(" job"), std::string::npos) << term.screen_text();
  // Move blind onto the last entry and open it.
  for (int i = 0; i < 10; i++)
    term.send_keys("Down");
  term.send_keys("Enter");
  ASSERT_TRUE(term.wait_text("zpr_monitor - PID ")) << term.screen_text();
  std::string top = term.screen()[0];
  // The shown job is not one of the four that were visible.
  for (int i = 4; i < 8; i++) {
    std::string visible_name = s[static_cast<size_t>(i)].substr(5, 4);
    EXPECT_EQ(top.find("(" + visible_name + ","), std::string::npos) << top;
  }
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, OrchestratorAndItsChildOpenDirectly) {
  auto child = make_tool(TOOL_AGENT, "disk0");
  auto orch = std::make_unique<zt::FakeTool>();
  ProgressSegment r = zt::fake_record(orch->pid(), TOOL_PROXMOX, "vm100");
  r.state = STATE_RUNNING;
  r.child_pid = child->pid();
  ASSERT_TRUE(orch->publish(r));
  // The agent's own child_pid naming its parent hides nothing: only
  // orchestrator kinds have children.
  child->record().child_pid = orch->pid();
  ASSERT_TRUE(child->republish());
  ASSERT_TRUE(start());
  char header[128];
  snprintf(header, sizeof header, "zpr_monitor - PID %u (vm100, proxmox)", orch->pid());
  ASSERT_TRUE(term.wait_text(header)) << term.screen_text();
  EXPECT_EQ(term.screen_text().find("multiple running"), std::string::npos);
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

// An orchestrator that is itself hidden (another orchestrator's child)
// still hides its own child: every test looks at the scan as found,
// whatever order the directory lists the segments in.
TEST_F(Box, HiddenOrchestratorStillHidesItsChild) {
  auto agent_c = make_tool(TOOL_AGENT, "agentC");
  auto agent_d = make_tool(TOOL_AGENT, "agentD");
  auto orch_b = std::make_unique<zt::FakeTool>();
  ProgressSegment b = zt::fake_record(orch_b->pid(), TOOL_PROXMOX, "orchB");
  b.child_pid = agent_c->pid();
  ASSERT_TRUE(orch_b->publish(b));
  auto orch_a = std::make_unique<zt::FakeTool>();
  ProgressSegment a = zt::fake_record(orch_a->pid(), TOOL_XENV, "orchA");
  a.child_pid = orch_b->pid();
  ASSERT_TRUE(orch_a->publish(a));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  std::vector<std::string> s = term.screen();
  EXPECT_GE(row_of(s, "orchA"), 4) << term.screen_text();
  EXPECT_GE(row_of(s, "agentD"), 4) << term.screen_text();
  EXPECT_EQ(row_of(s, "orchB"), -1) << term.screen_text();
  EXPECT_EQ(row_of(s, "agentC"), -1) << term.screen_text();
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, ChildWithoutSegmentRemovesNothing) {
  zt::FakeTool no_segment;
  auto agent = make_tool(TOOL_AGENT, "agent1");
  auto orch = std::make_unique<zt::FakeTool>();
  ProgressSegment r = zt::fake_record(orch->pid(), TOOL_XENV, "xen1");
  r.state = STATE_RUNNING;
  r.child_pid = no_segment.pid();
  ASSERT_TRUE(orch->publish(r));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  std::vector<std::string> s = term.screen();
  EXPECT_GE(row_of(s, "agent1"), 4);
  EXPECT_GE(row_of(s, "xen1"), 4);
  term.send_keys("Escape");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, StaleSegmentIsListedAndShown) {
  auto live = make_tool(TOOL_AGENT, "live");
  auto stale = make_tool(TOOL_AGENT, "stale");
  const uint32_t stale_pid = stale->pid();
  stale->stop(); // gone without removing its segment
  ASSERT_TRUE(zt::fake_segment_exists(stale_pid));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  int r = row_of(term.screen(), "stale");
  ASSERT_GE(r, 4);
  if (r == 5)
    term.send_keys("Down");
  term.send_keys("Enter");
  ASSERT_TRUE(term.wait_text("(process ended unexpectedly)")) << term.screen_text();
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, ChosenSegmentGoneGivesTheAttachError) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_AGENT, "beta");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_box());
  int ra = row_of(term.screen(), "alpha");
  ASSERT_GE(ra, 4);
  // Its segment goes while the box is open; the box is not refreshed.
  zt::fake_segment_remove(a->pid());
  if (ra == 5)
    term.send_keys("Down");
  term.send_keys("Enter");
  EXPECT_EQ(exit_status(), 0);
  char error[96];
  snprintf(error, sizeof error, "error: could not attach to PID %u (process gone?)", a->pid());
  EXPECT_NE(term.screen_text().find(error), std::string::npos) << term.screen_text();
}

TEST_F(Box, SingleToolOpensDirectly) {
  auto a = make_tool(TOOL_RESTORE, "only", STATE_RUNNING, BACKUP_INC);
  ASSERT_TRUE(start());
  char header[128];
  snprintf(header, sizeof header, "zpr_monitor - PID %u (only, restore INC)", a->pid());
  ASSERT_TRUE(term.wait_text(header)) << term.screen_text();
  term.send_keys("Q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, BarePositionalNumberStillDiscovers) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_AGENT, "beta");
  ASSERT_TRUE(start({std::to_string(a->pid())}));
  ASSERT_TRUE(wait_box()) << term.screen_text();
  term.send_keys("q");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Box, NoTerminalDescription) {
  auto a = make_tool(TOOL_AGENT, "alpha");
  auto b = make_tool(TOOL_AGENT, "beta");
  for (const char *env : {"-TERM", "TERM=no-such-terminal-zz"}) {
    zt::TmuxSession t;
    ASSERT_TRUE(t.start({monitor_path(), "--no-log", "--no-syslog"}, WIDTH, HEIGHT, {env}));
    EXPECT_EQ(pane_exit_status(t), 1) << env;
    std::vector<std::string> s = t.screen();
    int errors = 0;
    for (const std::string &row : s)
      errors += row.rfind("error: ", 0) == 0;
    EXPECT_EQ(errors, 1) << env << "\n" << t.screen_text();
    EXPECT_EQ(t.screen_text().find("multiple running"), std::string::npos);
  }
}

TEST_F(Box, NothingFoundInATerminal) {
  ASSERT_TRUE(start());
  EXPECT_EQ(exit_status(), 1);
  // The message on the first row and nothing else.  (That no curses
  // output is written at all is checked below with standard output in a
  // file.)
  std::vector<std::string> s = term.screen();
  EXPECT_EQ(s[0], "no running zpr_agent/zpr_restore found") << term.screen_text();
  for (size_t i = 1; i < s.size(); i++)
    EXPECT_EQ(s[i], "") << i;
}

// Without a terminal: the messages alone, nothing written to standard
// output (the screen was never switched to curses).
TEST(DiscoveryNoTerminal, NothingFound) {
  zt::RunResult r = zt::run_program(monitor_path(), {"--no-log", "--no-syslog"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "no running zpr_agent/zpr_restore found\n");
  EXPECT_EQ(r.out, "");
  // An orchestrator naming itself as its child does not hide itself: it is
  // found, and opening it needs the terminal that is missing here.
  zt::FakeTool self;
  ProgressSegment rec = zt::fake_record(self.pid(), TOOL_PROXMOX, "self");
  rec.child_pid = self.pid();
  ASSERT_TRUE(self.publish(rec));
  zt::RunResult listed = zt::run_program(monitor_path(), {"--no-log", "--no-syslog"});
  EXPECT_EQ(listed.status, 1);
  EXPECT_EQ(listed.err.rfind("error: ", 0), 0u) << listed.err;
  EXPECT_EQ(listed.out, "");
}

TEST(DiscoveryNoTerminal, StdinNotATerminal) {
  // One entry (opened directly), then two (the selection box).
  auto a = make_tool(TOOL_AGENT, "alpha");
  std::unique_ptr<zt::FakeTool> b;
  for (int entries = 1; entries <= 2; entries++) {
    if (entries == 2)
      b = make_tool(TOOL_AGENT, "beta");
    zt::RunResult r = zt::run_program(monitor_path(), {"--no-log", "--no-syslog"});
    EXPECT_EQ(r.status, 1) << entries;
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

} // namespace
