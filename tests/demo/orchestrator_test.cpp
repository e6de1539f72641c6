// zpr_demo as an orchestrator, watched by zpr_monitor's dump mode: the
// real programs, the real segments, one after another.
#include "orchestrator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "demo_process.h"
#include "generated_source.h"

namespace {

using namespace demo_test;

constexpr uint64_t BLOCKS = 240;
constexpr uint32_t BS = 65536;

struct DumpLine {
  uint64_t blocks_done, blocks_total, bytes_raw, bytes_compressed;
  uint32_t workers_total;
  std::string state;
};

std::vector<DumpLine> parse_dump(const std::string &out) {
  std::vector<DumpLine> lines;
  for (const std::string &line : split(out, '\n')) {
    if (line.empty() || line[0] == '#')
      continue;
    std::vector<std::string> col = split(line, '\t');
    EXPECT_EQ(col.size(), 21u) << line;
    if (col.size() != 21)
      continue;
    lines.push_back({std::stoull(col[1]), std::stoull(col[2]), std::stoull(col[3]),
                     std::stoull(col[4]), static_cast<uint32_t>(std::stoul(col[10])), col[20]});
  }
  return lines;
}

// The child runs in the dump: consecutive lines of a child record, split
// where the orchestrator's own record shows or blocks_done starts over.
std::vector<std::vector<DumpLine>> child_runs(const std::vector<DumpLine> &lines) {
  std::vector<std::vector<DumpLine>> runs;
  bool in_run = false;
  for (const DumpLine &l : lines) {
    bool child = l.blocks_total == BLOCKS;
    if (!child) {
      in_run = false;
      continue;
    }
    if (!in_run || l.blocks_done < runs.back().back().blocks_done)
      runs.emplace_back();
    runs.back().push_back(l);
    in_run = true;
  }
  return runs;
}

TEST(Orchestrator, DumpFollowsEachChildToItsEnd) {
  Child demo = spawn({demo_bin(), "--no-log", "--no-syslog", "--tool", "proxmox", "--children",
                      "2", "--blocks", std::to_string(BLOCKS), "--block-size", std::to_string(BS),
                      "--seconds", "2", "--workers", "2", "--stats"});
  ASSERT_GT(demo.pid, 0);
  Result dump = run({monitor_bin(), "--no-log", "--no-syslog", "--dump", "--pid",
                     std::to_string(demo.pid), "--interval", "20"});
  std::string demo_out = read_all(demo.out);
  std::string demo_err = read_all(demo.err);
  int status = wait_for(demo.pid);
  ASSERT_TRUE(WIFEXITED(status)) << demo_err;
  EXPECT_EQ(WEXITSTATUS(status), 0) << demo_err;
  ASSERT_TRUE(WIFEXITED(dump.status));
  ASSERT_EQ(WEXITSTATUS(dump.status), 0) << dump.err;

  std::vector<DumpLine> lines = parse_dump(dump.out);
  ASSERT_FALSE(lines.empty());
  // The orchestrator's end: its own record, both children counted, DONE.
  EXPECT_EQ(lines.back().state, "DONE");
  EXPECT_EQ(lines.back().blocks_total, 2u);
  EXPECT_EQ(lines.back().blocks_done, 2u);

  uint64_t total = BLOCKS * BS;
  uint64_t zero = demo_count_zero_blocks(BLOCKS, BS, total);
  uint64_t text = 0, random = 0;
  for (uint64_t i = 0; i < BLOCKS; i++) {
    unsigned mix = demo_block_mix(i, BS, total);
    text += mix == 1u << DEMO_BLOCK_TEXT ? 1 : 0;
    random += mix == 1u << DEMO_BLOCK_RANDOM ? 1 : 0;
  }
  ASSERT_GT(zero, 0u);
  ASSERT_GT(random, 0u);

  std::vector<std::vector<DumpLine>> runs = child_runs(lines);
  ASSERT_EQ(runs.size(), 2u) << dump.out;
  for (const auto &r : runs) {
    const DumpLine &last = r.back();
    EXPECT_EQ(last.blocks_done, BLOCKS) << dump.out;
    EXPECT_EQ(last.bytes_raw, total);
    EXPECT_EQ(last.workers_total, 2u);
    // Random blocks stay whole, text shrinks to under half, zeros vanish.
    EXPECT_GE(last.bytes_compressed, random * BS);
    EXPECT_LT(last.bytes_compressed, random * BS + text * BS / 2);
    for (size_t i = 1; i < r.size(); i++)
      EXPECT_GE(r[i].blocks_done, r[i - 1].blocks_done);
  }

  // Each child reported its own count of zero blocks on the way out.
  std::string want = "stats: " + std::to_string(zero) + " zero, " +
                     std::to_string(BLOCKS - zero) + " written";
  size_t first = demo_out.find(want);
  ASSERT_NE(first, std::string::npos) << demo_out;
  EXPECT_NE(demo_out.find(want, first + 1), std::string::npos) << demo_out;
}

TEST(Orchestrator, FailedChildrenMakeItFailButAllAreTried) {
  Result r = run({demo_bin(), "--no-log", "--no-syslog", "--tool", "xenV-rst", "--children", "3",
                  "--source", "/nonexistent/zpr-demo-disk"});
  ASSERT_TRUE(WIFEXITED(r.status));
  EXPECT_EQ(WEXITSTATUS(r.status), 1);
  for (const char *child : {"demo-restore-1", "demo-restore-2", "demo-restore-3"})
    EXPECT_NE(r.err.find(std::string("child ") + child), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cannot use source '/nonexistent/zpr-demo-disk'"), std::string::npos)
      << r.err;
}

TEST(Orchestrator, ChildKinds) {
  EXPECT_EQ(demo_child_tool(TOOL_PROXMOX), TOOL_AGENT);
  EXPECT_EQ(demo_child_tool(TOOL_XENV), TOOL_AGENT);
  EXPECT_EQ(demo_child_tool(TOOL_PVE_RST), TOOL_RESTORE);
  EXPECT_EQ(demo_child_tool(TOOL_XENV_RST), TOOL_RESTORE);
}

} // namespace
