// zpr_demo as a program: an orchestrator and its children watched by
// zpr_monitor's dump mode, its command line and runs, and its signals.
#include <gtest/gtest.h>

#include <cstring>
#include <signal.h>
#include <sstream>

#include <algorithm>
#include <regex>
#include <vector>

#include "generated_source.h"
#include "pipeline.h"
#include "runtime/version.h"
#include "support/fake_segment.h"

namespace {

const std::string DEMO = zt::build_dir() + "/demo/zpr_demo";

TEST(Demo, OrchestratorChildrenInTheDump) {
  zt::TempDir dir;
  pid_t demo = zt::spawn_program({DEMO, "--no-log", "--no-syslog", "--tool", "proxmox",
                                  "--children", "2", "--blocks", "240", "--seconds", "2",
                                  "--workers", "2", "--update-ms", "50", "--stats"},
                                 dir.path + "/out", dir.path + "/err");
  zt::RunResult dump =
      zt::run_program(zt::build_dir() + "/monitor/zpr_monitor",
                      {"--no-log", "--dump", "--pid", std::to_string(demo), "--interval", "20"});
  EXPECT_EQ(zt::wait_exit(demo), 0) << zt::read_file(dir.path + "/err");
  // Each child to its end (all blocks and bytes, two workers), each counting its zero blocks;
  // then the orchestrator.
  const uint64_t total = 240 * 65536;
  uint64_t zero = 0; // blocks of the generated stream that are all zero bytes
  std::vector<uint8_t> block(65536);
  for (uint64_t b = 0; b < 240; b++) {
    demo_fill_range(b * block.size(), block.size(), block.data());
    zero += std::all_of(block.begin(), block.end(), [](uint8_t x) { return x == 0; });
  }
  const std::string end = "\t240\t240\t" + std::to_string(total) + "\t";
  const std::string workers = "\t0\t32\t0\t32\t0\t2\t"; // queues empty, two workers
  int ends = 0;
  for (size_t at = 0; (at = dump.out.find(end, at + 1)) != std::string::npos;) {
    size_t next = dump.out.find('\n', at) + 1;
    ends +=
        dump.out.compare(dump.out.find('\t', next), end.size(), end) != 0; // the child's last line
    EXPECT_NE(dump.out.substr(at, next - at).find(workers), std::string::npos);
  }
  EXPECT_EQ(ends, 2) << dump.out;
  // A paced worker waits on storage with its block in hand: both are busy in most running lines.
  int running = 0;
  int busy = 0;
  std::istringstream lines(dump.out);
  for (std::string line; std::getline(lines, line);) {
    size_t col10 = 0;
    for (int i = 0; i < 9; i++)
      col10 = line.find('\t', col10) + 1;
    running += line.ends_with("\trunning") ? 1 : 0;
    busy += line.ends_with("\trunning") && line.compare(col10, 4, "2\t2\t") == 0 ? 1 : 0;
  }
  EXPECT_GT(running, 20) << dump.out;
  EXPECT_GE(2 * busy, running) << dump.out;
  std::string stats =
      "stats: " + std::to_string(zero) + " zero, " + std::to_string(240 - zero) + " written";
  std::string out = zt::read_file(dir.path + "/out");
  EXPECT_NE(out.find(stats, out.find(stats) + 1), std::string::npos) << out;
}

// Bad values are refused (one row per way a value is read or checked against
// another); good ones run.
TEST(Demo, CommandLineAndRuns) {
  zt::TempDir dir;
  zt::write_file(dir.path + "/disk", std::string(8192, '\0') + std::string(4196, 'a'));
  const struct {
    std::string args; // split at spaces
    int status;
    std::string out, err; // status 2: what the error line starts with, after "error: "
  } rows[] = {
      {"--help --version", 0, std::string("zpr_demo ") + VERSION_STRING + "\n", ""},
      {"--frob --help", 0, "Usage: zpr_demo [options]\n", "unknown option '--frob' ignored"},
      {"--tool vmware", 2, "", "invalid value 'vmware' for --tool"},
      {"--blocks 0", 2, "", "invalid value '0' for --blocks"},
      {"--corrupt-every 1x", 2, "", "invalid value '1x' for --corrupt-every"},
      {"--blocks 99999999999999999999", 2, "", "invalid value '99999999999999999999' for --blocks"},
      {"--blocks 64 --level-min 5", 0, "", ""},
      {"--blocks 64 --level-max 2", 0, "", ""},
      {"--duty-min 50 --duty-max 40", 2, "", "--duty-min 50 is above --duty-max 40"},
      {"--level-min 9 --level-max 3", 2, "", "--level-min 9 is above --level-max 3"},
      {"--level 2 --level-min 3", 2, "", "--level 2 is outside --level-min 3 .. --level-max 9"},
      {"--source=", 2, "", "--source needs a path"},
      {"--source /dev/zero", 1, "", "has no size"},
      {"--tool xenV-rst --children 2 --source /nonexistent", 1, "", "child demo-restore-2"},
      {"--tool restore --blocks 64 --corrupt-every 4 --stats", 1, "stats: 64 blocks",
       "verification"},
      {"--source " + dir.path + "/disk --block-size 4096 --codec none --stats", 0,
       "stats: 4 blocks", ""},
      {"--blocks 64 --type INC --codec lz4 --stats", 0, "compressed to", ""},
      {"--source generated:256KiB --block-size 1000 --stats", 0, "stats: 263 blocks of 1000 bytes",
       ""},
      {"--source generated:5X", 1, "", "cannot use source 'generated:5X'"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args);
    std::vector<std::string> args;
    std::istringstream words(row.args);
    for (std::string word; words >> word;)
      args.push_back(word);
    args.insert(args.end(), {"--no-log", "--no-syslog", "--seconds", "0"});
    zt::RunResult r = zt::run_program(DEMO, args);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    if (row.status == 2)
      EXPECT_EQ(r.err.rfind("error: " + row.err, 0), 0u) << r.err;
    else
      EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
  }
}

TEST(Demo, InterruptedOrchestratorTakesItsChildAlong) {
  pid_t demo = zt::spawn_program({DEMO, "--no-log", "--tool", "pve-rst", "--seconds", "60"},
                                 "/dev/null", "/dev/null");
  ASSERT_TRUE(zt::wait_until([&] {
    std::string seg = zt::read_file("/dev/shm/zpr_progress." + std::to_string(demo));
    auto *r = reinterpret_cast<const ProgressSegment *>(seg.data());
    return seg.size() == sizeof *r && r->child_pid != 0 && zt::fake_segment_exists(r->child_pid);
  }));
  kill(demo, SIGINT);
  EXPECT_EQ(zt::wait_exit(demo), 128 + SIGINT);
  EXPECT_TRUE(zt::wait_until([] { return system("ls /dev/shm | grep -q zpr_progress") != 0; }));
}

// An incremental backup of the generated disk sees about 10 % of its non-zero blocks changed, a
// differential one 30 %, a full one all; and background mode does pause.
TEST(Demo, UnchangedBlocksAndBackgroundPauses) {
  const struct {
    const char *name;
    std::vector<std::string> args;
    double unchanged_min, unchanged_max; // share of the non-zero blocks
    bool pauses;
  } rows[] = {
      {"full", {"--type", "full"}, 0.0, 0.0, false},
      {"diff", {"--type", "diff"}, 0.62, 0.78, false},
      {"inc", {"--type", "inc"}, 0.85, 0.95, false},
      {"background", {"--blocks", "8", "--block-size", "4194304", "--background"}, 0.0, 0.0, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args = row.args;
    args.insert(args.end(),
                {"--duty-min", "1", "--duty-max", "1", "--workers", "1", "--blocks", "1024",
                 "--seconds", "0", "--codec", "none", "--stats", "--no-log", "--no-syslog"});
    zt::RunResult r = zt::run_program(DEMO, args, 120000);
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch counts;
    const std::regex line("stats: [0-9]+ zero, ([0-9]+) written, ([0-9]+) unchanged");
    ASSERT_TRUE(std::regex_search(r.out, counts, line)) << r.out;
    const double written = std::stod(counts[1]);
    const double unchanged = std::stod(counts[2]);
    const double share = unchanged / (written + unchanged);
    EXPECT_GE(share, row.unchanged_min) << r.out;
    EXPECT_LE(share, row.unchanged_max) << r.out;
    const std::regex paused("stats: background: duty 1..1 %, [1-9][0-9]* pauses");
    EXPECT_EQ(std::regex_search(r.out, paused), row.pauses) << r.out;
  }
}

} // namespace
