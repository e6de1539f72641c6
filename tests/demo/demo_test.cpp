// zpr_demo as a program: an orchestrator and its children watched by
// zpr_monitor's dump mode, its command line, its runs and its signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "generated_source.h"
#include "pipeline.h"
#include "support/fake_segment.h"

namespace {

const std::string DEMO = zt::build_dir() + "/demo/zpr_demo";

std::vector<std::string> fields(const std::string &line, char sep = '\t') {
  std::vector<std::string> out(1);
  for (char c : line)
    c == sep ? void(out.emplace_back()) : out.back().push_back(c);
  return out;
}

TEST(Demo, OrchestratorChildrenInTheDump) {
  const uint64_t blocks = 240, bs = 65536, total = blocks * bs;
  zt::TempDir dir;
  pid_t demo = zt::spawn_program({DEMO, "--no-log", "--no-syslog", "--tool", "proxmox", "--children", "2",
                                  "--blocks", "240", "--seconds", "2", "--workers", "2", "--stats"},
                                 dir.path + "/out", dir.path + "/err");
  zt::RunResult dump = zt::run_program(zt::build_dir() + "/monitor/zpr_monitor",
                                       {"--no-log", "--no-syslog", "--dump", "--pid", std::to_string(demo), "--interval", "20"});
  EXPECT_EQ(zt::wait_exit(demo), 0) << zt::read_file(dir.path + "/err");
  ASSERT_EQ(dump.status, 0) << dump.err;
  // Each child's last line: the whole source, random blocks stored whole,
  // text under half, zero blocks nothing; then the orchestrator's own end.
  uint64_t text = 0, random = 0, zero = demo_count_zero_blocks(blocks, bs, total);
  for (uint64_t i = 0; i < blocks; i++) {
    text += demo_block_mix(i, bs, total) == 1u << DEMO_BLOCK_TEXT;
    random += demo_block_mix(i, bs, total) == 1u << DEMO_BLOCK_RANDOM;
  }
  std::vector<std::string> lines = fields(dump.out, '\n');
  int ends = 0;
  for (size_t i = 1; i + 1 < lines.size(); i++) {
    std::vector<std::string> c = fields(lines[i]), next = fields(lines[i + 1]);
    if (c.size() != 21 || c[2] != "240" || c[1] != "240" || (next.size() == 21 && next[1] == "240" && next[2] == "240"))
      continue;
    ends++;
    EXPECT_EQ(c[1] + " " + c[3] + " " + c[10], "240 " + std::to_string(total) + " 2");
    EXPECT_TRUE(std::stoull(c[4]) >= random * bs && std::stoull(c[4]) < (random + text / 2) * bs) << lines[i];
  }
  EXPECT_EQ(ends, 2) << dump.out;
  std::string last = lines[lines.size() - 2];
  EXPECT_EQ(last.substr(last.find('\t')), "\t2\t2\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\tDONE");
  std::string stats = "stats: " + std::to_string(zero) + " zero, " + std::to_string(blocks - zero) + " written";
  std::string out = zt::read_file(dir.path + "/out");
  EXPECT_NE(out.find(stats, out.find(stats) + 1), std::string::npos) << out;
}

TEST(Demo, CommandLineAndRuns) {
  zt::TempDir dir;
  zt::write_file(dir.path + "/disk", std::string(8192, '\0') + std::string(4196, 'a'));
  const struct { std::vector<std::string> args; int status; const char *out, *err; } rows[] = {
      {{"--help", "--version"}, 0, "zpr_demo 1.0.2-alpha027\n", ""},
      {{"--frob", "--help"}, 0, "Usage: zpr_demo [options]\n", "unknown option '--frob' ignored"},
      {{"--tool", "vmware"}, 2, "", "error: invalid value 'vmware' for --tool"},
      {{"--children", "1001"}, 2, "", "error: invalid value '1001' for --children (expected 1..1000)"},
      {{"--blocks", "0"}, 2, "", "error: invalid value '0' for --blocks"},
      {{"--block-size", "511"}, 2, "", "error: invalid value '511' for --block-size (expected 512..16777216)"},
      {{"--seconds", "-1"}, 2, "", "error: invalid value '-1' for --seconds (expected 0..86400)"},
      {{"--workers", "65"}, 2, "", "error: invalid value '65' for --workers (expected 1..64)"},
      {{"--queue", "4097"}, 2, "", "error: invalid value '4097' for --queue (expected 1..4096)"},
      {{"--update-ms", "9"}, 2, "", "error: invalid value '9' for --update-ms (expected 10..10000)"},
      {{"--corrupt-every", "1x"}, 2, "", "error: invalid value '1x' for --corrupt-every"},
      {{"--duty-min", "50", "--duty-max", "40"}, 2, "", "error: --duty-min 50 is above --duty-max 40"},
      {{"--codec", "zip"}, 2, "", "error: invalid value 'zip' for --codec (zstd, lz4 or none)"},
      {{"--type", "weekly"}, 2, "", "error: invalid value 'weekly' for --type (full, diff or inc)"},
      {{"--level", "20"}, 2, "", "error: invalid value '20' for --level (expected 1..19)"},
      {{"--level-min", "9", "--level-max", "3"}, 2, "", "error: --level-min 9 is above --level-max 3"},
      {{"--level", "2", "--level-min", "3"}, 2, "", "error: --level 2 is outside --level-min 3 .. --level-max 9"},
      {{"--source", ""}, 2, "", "error: --source needs a path"},
      {{"--source", "/dev/zero"}, 1, "", "source '/dev/zero' is empty or has no size; give --blocks"},
      {{"--tool", "xenV-rst", "--children", "2", "--source", "/nonexistent"}, 1, "", "child demo-restore-2"},
      {{"--tool", "restore", "--blocks", "64", "--corrupt-every", "4", "--stats"}, 1,
       "stats: 64 blocks of 65536 bytes", "blocks failed verification"},
      {{"--source", dir.path + "/disk", "--block-size", "4096", "--codec", "none", "--stats"}, 0,
       "stats: 4 blocks of 4096 bytes", ""},
      {{"--blocks", "64", "--type", "INC", "--codec", "lz4", "--stats"}, 0, "compressed to", ""},
      {{"--blocks", "64", "--type", "diff", "--level", "5", "--background", "--duty-min", "20"}, 0, "", ""},
  };
  for (const auto &row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--no-log", "--no-syslog", "--seconds", "0"});
    SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
    zt::RunResult r = zt::run_program(DEMO, args);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    EXPECT_EQ(r.status == 2 && r.err.find('\n') != r.err.size() - 1, false) << "one line: " << r.err;
  }
}

TEST(Demo, InterruptedOrchestratorTakesItsChildAlong) {
  zt::TempDir dir;
  pid_t demo = zt::spawn_program({DEMO, "--no-log", "--no-syslog", "--tool", "pve-rst", "--seconds", "60"},
                                 dir.path + "/out", dir.path + "/err");
  ASSERT_TRUE(zt::wait_until([&] {
    ProgressSegment r{};
    int fd = open(("/dev/shm/zpr_progress." + std::to_string(demo)).c_str(), O_RDONLY);
    bool child = fd >= 0 && pread(fd, &r, sizeof r, 0) == sizeof r && r.child_pid != 0 &&
                 zt::fake_segment_exists(r.child_pid);
    close(fd);
    return child;
  }));
  kill(demo, SIGINT);
  EXPECT_EQ(zt::wait_exit(demo), 128 + SIGINT);
  EXPECT_TRUE(zt::wait_until([] { return system("ls /dev/shm | grep -q zpr_progress") != 0; }));
}

TEST(Demo, LevelAndDutyFollowTheLoad) {
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 6, 8), 4);
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 5, 8), 5);
  EXPECT_EQ(demo_adapt_level(5, 1, 9, 2, 8), 6);
  EXPECT_EQ(demo_adapt_level(1, 1, 9, 8, 8), 1);
  EXPECT_EQ(demo_adapt_level(9, 1, 9, 0, 8), 9);
  EXPECT_EQ(demo_adapt_duty(50, 10, 90, 51), 40u);
  EXPECT_EQ(demo_adapt_duty(15, 10, 90, 80), 10u);
  EXPECT_EQ(demo_adapt_duty(50, 10, 90, 20), 50u);
  EXPECT_EQ(demo_adapt_duty(85, 10, 90, 19), 90u);
}

} // namespace
