#include "demo_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  StatusCode status;
  DemoArgs args;
  std::string why;
};

// The words are string literals: the parsed texts point into them, as
// they point into argv in the program.
Parsed parse(std::vector<const char *> words) {
  std::vector<char *> argv{const_cast<char *>("zpr_demo")};
  for (const char *w : words)
    argv.push_back(const_cast<char *>(w));
  argv.push_back(nullptr);
  Parsed p{};
  char why[256] = "";
  p.status = demo_parse_args(static_cast<int>(argv.size() - 1), argv.data(), &p.args, why,
                             sizeof why);
  p.why = why;
  return p;
}

TEST(DemoArgs, Defaults) {
  Parsed p = parse({});
  ASSERT_EQ(p.status, ST_OK);
  EXPECT_EQ(p.args.tool, TOOL_AGENT);
  EXPECT_EQ(p.args.cfg.tool, TOOL_AGENT);
  EXPECT_EQ(p.args.children, 3u);
  EXPECT_EQ(p.args.source, nullptr);
  EXPECT_EQ(p.args.cfg.blocks * p.args.cfg.block_size, 3ull << 30);
  EXPECT_EQ(p.args.cfg.seconds, 60u);
  EXPECT_EQ(p.args.cfg.codec, CODEC_ZSTD);
  EXPECT_EQ(p.args.cfg.level_min, 1);
  EXPECT_EQ(p.args.cfg.level_max, 9);
  EXPECT_EQ(p.args.cfg.level, 3);
  EXPECT_GE(p.args.cfg.workers, 1u);
  EXPECT_EQ(p.args.cfg.backup_type, BACKUP_FULL);
  EXPECT_EQ(p.args.cfg.background, 0);
}

TEST(DemoArgs, OrchestratorsPickTheirChildrensDirection) {
  EXPECT_EQ(parse({"--tool", "xenV"}).args.cfg.tool, TOOL_AGENT);
  EXPECT_EQ(parse({"--tool", "pve-rst"}).args.cfg.tool, TOOL_RESTORE);
  Parsed p = parse({"--tool", "xenV-rst", "--children", "5"});
  EXPECT_EQ(p.args.tool, TOOL_XENV_RST);
  EXPECT_EQ(p.args.children, 5u);
  // The first occurrence counts: how an orchestrator overrides the kind
  // for its children.
  EXPECT_EQ(parse({"--tool", "agent", "--tool", "proxmox"}).args.tool, TOOL_AGENT);
}

TEST(DemoArgs, LevelOptions) {
  Parsed fixed = parse({"--level", "7"});
  ASSERT_EQ(fixed.status, ST_OK);
  EXPECT_EQ(fixed.args.cfg.level, 7);
  EXPECT_EQ(fixed.args.cfg.level_min, 7);
  EXPECT_EQ(fixed.args.cfg.level_max, 7);

  Parsed range = parse({"--level-min", "5", "--level-max", "12"});
  ASSERT_EQ(range.status, ST_OK);
  EXPECT_EQ(range.args.cfg.level, 5) << "the default start is pulled into the range";
  EXPECT_EQ(range.args.cfg.level_max, 12);

  Parsed both = parse({"--level", "8", "--level-max", "10"});
  ASSERT_EQ(both.status, ST_OK);
  EXPECT_EQ(both.args.cfg.level, 8);
  EXPECT_EQ(both.args.cfg.level_min, 1);
  EXPECT_EQ(both.args.cfg.level_max, 10);

  EXPECT_EQ(parse({"--level-min", "9", "--level-max", "2"}).status, ST_INVAL);
  EXPECT_EQ(parse({"--level", "20"}).status, ST_INVAL);
}

TEST(DemoArgs, WordsAndNumbers) {
  Parsed p = parse({"--codec", "lz4", "--type", "INC", "--background", "--duty-min", "20",
                    "--duty-max", "60", "--blocks=1000", "--block-size", "4096", "--stats",
                    "--no-progress", "--source", "/dev/null", "--name", "job"});
  ASSERT_EQ(p.status, ST_OK) << p.why;
  EXPECT_EQ(p.args.cfg.codec, CODEC_LZ4);
  EXPECT_EQ(p.args.backup_type, BACKUP_INC);
  EXPECT_EQ(p.args.cfg.backup_type, BACKUP_INC);
  EXPECT_EQ(p.args.cfg.background, 1);
  EXPECT_EQ(p.args.cfg.duty_min, 20u);
  EXPECT_EQ(p.args.cfg.duty_max, 60u);
  EXPECT_EQ(p.args.blocks, 1000u);
  EXPECT_EQ(p.args.blocks_given, 1);
  EXPECT_EQ(p.args.cfg.block_size, 4096u);
  EXPECT_EQ(p.args.stats, 1);
  EXPECT_EQ(p.args.no_progress, 1);
  EXPECT_STREQ(p.args.source, "/dev/null");
  EXPECT_STREQ(p.args.name, "job");
}

TEST(DemoArgs, BadValuesAreNamed) {
  struct Case {
    std::vector<const char *> words;
    const char *why;
  } cases[] = {
      {{"--codec", "zip"}, "invalid value 'zip' for --codec"},
      {{"--tool", "vmware"}, "invalid value 'vmware' for --tool"},
      {{"--type", "weekly"}, "invalid value 'weekly' for --type"},
      {{"--blocks", "0"}, "invalid value '0' for --blocks"},
      {{"--blocks", "12k"}, "invalid value '12k' for --blocks"},
      {{"--seconds", "-1"}, "invalid value '-1' for --seconds"},
      {{"--workers", "65"}, "invalid value '65' for --workers"},
      {{"--block-size", "511"}, "invalid value '511' for --block-size"},
      {{"--children", "0"}, "invalid value '0' for --children"},
      {{"--duty-min", "50", "--duty-max", "40"}, "--duty-min 50 is above --duty-max 40"},
      {{"--source="}, "--source needs a path"},
      {{"--level", "12", "--level-max", "9"}, "--level 12 is outside --level-min 1 .. --level-max 9"},
  };
  for (const Case &c : cases) {
    Parsed p = parse(c.words);
    EXPECT_EQ(p.status, ST_INVAL) << c.words[0];
    EXPECT_EQ(p.why.rfind(c.why, 0), 0u) << p.why;
  }
}

TEST(DemoArgs, ToolNames) {
  for (int t = 0; t < 6; t++)
    EXPECT_EQ(demo_tool_from_name(demo_tool_name(t)), t);
  EXPECT_EQ(demo_tool_from_name("Agent"), -1);
  EXPECT_EQ(demo_tool_from_name(nullptr), -1);
  EXPECT_STREQ(demo_tool_name(9), "?");
}

} // namespace
