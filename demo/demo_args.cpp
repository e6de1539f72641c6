#include "demo_args.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "generated_source.h"
#include "progress/segment.h"
#include "runtime/version.h"

const OptionSpec demo_options[] = {
    {"--tool", nullptr, 1},      {"--children", nullptr, 1},      {"--name", nullptr, 1},
    {"--source", nullptr, 1},    {"--blocks", nullptr, 1},        {"--block-size", nullptr, 1},
    {"--seconds", nullptr, 1},   {"--codec", nullptr, 1},         {"--level", nullptr, 1},
    {"--level-min", nullptr, 1}, {"--level-max", nullptr, 1},     {"--workers", nullptr, 1},
    {"--queue", nullptr, 1},     {"--background", nullptr, 0},    {"--duty-min", nullptr, 1},
    {"--duty-max", nullptr, 1},  {"--corrupt-every", nullptr, 1}, {"--type", nullptr, 1},
    {"--update-ms", nullptr, 1}, {"--stats", nullptr, 0},         {"--no-progress", nullptr, 0},
    {nullptr, nullptr, 0},
};

namespace {

constexpr const char *TOOL_NAMES[] = {"agent", "restore", "proxmox", "xenV", "pve-rst", "xenV-rst"};
constexpr const char *TYPE_NAMES[] = {"full", "diff", "inc"};
constexpr uint32_t MAX_CHILDREN = 1000;

// Reads an unsigned decimal option into *out when it is given; false (with
// the reason written) when it is given but is no number in [lo, hi].
bool read_number(int argc, char **argv, const char *option, uint64_t lo, uint64_t hi, uint64_t *out,
                 char *why, unsigned why_size) {
  const char *text = opt_value(argc, argv, option, nullptr, nullptr);
  if (text == nullptr)
    return true;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || v < lo || v > hi) {
    snprintf(why, why_size, "invalid value '%s' for %s (expected %llu..%llu)", text, option,
             static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi));
    return false;
  }
  *out = v;
  return true;
}

bool read_u32(int argc, char **argv, const char *option, uint32_t lo, uint32_t hi, uint32_t *out,
              char *why, unsigned why_size) {
  uint64_t v = *out;
  if (!read_number(argc, argv, option, lo, hi, &v, why, why_size))
    return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool read_level(int argc, char **argv, const char *option, int *out, char *why, unsigned why_size) {
  uint64_t v = static_cast<uint64_t>(*out);
  if (!read_number(argc, argv, option, 1, 19, &v, why, why_size))
    return false;
  *out = static_cast<int>(v);
  return true;
}

// --codec, --tool and --type: words from a fixed list.
bool read_codec(int argc, char **argv, DemoConfig *cfg, char *why, unsigned why_size) {
  const char *text = opt_value(argc, argv, "--codec", nullptr, nullptr);
  if (text == nullptr)
    return true;
  if (strcmp(text, "zstd") == 0)
    cfg->codec = CODEC_ZSTD;
  else if (strcmp(text, "lz4") == 0)
    cfg->codec = CODEC_LZ4;
  else if (strcmp(text, "none") == 0)
    cfg->codec = CODEC_NONE;
  else {
    snprintf(why, why_size, "invalid value '%s' for --codec (zstd, lz4 or none)", text);
    return false;
  }
  return true;
}

bool read_type(int argc, char **argv, int *out, char *why, unsigned why_size) {
  const char *text = opt_value(argc, argv, "--type", nullptr, nullptr);
  if (text == nullptr)
    return true;
  for (int i = 0; i < 3; i++) {
    if (strcasecmp(text, TYPE_NAMES[i]) == 0) {
      *out = i;
      return true;
    }
  }
  snprintf(why, why_size, "invalid value '%s' for --type (full, diff or inc)", text);
  return false;
}

// The zstd level options: --level alone fixes the level; the range, alone
// or with --level, makes it adaptive, starting at --level (or the
// default, pulled into the range).
bool read_levels(int argc, char **argv, DemoConfig *cfg, char *why, unsigned why_size) {
  bool fixed = opt_value(argc, argv, "--level", nullptr, nullptr) != nullptr;
  bool ranged = opt_value(argc, argv, "--level-min", nullptr, nullptr) != nullptr ||
                opt_value(argc, argv, "--level-max", nullptr, nullptr) != nullptr;
  if (!read_level(argc, argv, "--level", &cfg->level, why, why_size) ||
      !read_level(argc, argv, "--level-min", &cfg->level_min, why, why_size) ||
      !read_level(argc, argv, "--level-max", &cfg->level_max, why, why_size))
    return false;
  if (fixed && !ranged) {
    cfg->level_min = cfg->level;
    cfg->level_max = cfg->level;
  }
  if (cfg->level_min > cfg->level_max) {
    snprintf(why, why_size, "--level-min %d is above --level-max %d", cfg->level_min,
             cfg->level_max);
    return false;
  }
  if (!fixed) {
    if (cfg->level < cfg->level_min)
      cfg->level = cfg->level_min;
    if (cfg->level > cfg->level_max)
      cfg->level = cfg->level_max;
  } else if (cfg->level < cfg->level_min || cfg->level > cfg->level_max) {
    snprintf(why, why_size, "--level %d is outside --level-min %d .. --level-max %d", cfg->level,
             cfg->level_min, cfg->level_max);
    return false;
  }
  return true;
}

} // namespace

int demo_tool_from_name(const char *name) {
  if (name == nullptr)
    return -1;
  for (int i = 0; i < 6; i++)
    if (strcmp(name, TOOL_NAMES[i]) == 0)
      return i;
  return -1;
}

const char *demo_tool_name(int tool) { return tool >= 0 && tool < 6 ? TOOL_NAMES[tool] : "?"; }

StatusCode demo_parse_args(int argc, char **argv, DemoArgs *out, char *why, unsigned why_size) {
  DemoArgs a{};
  demo_config_defaults(&a.cfg);
  a.children = 3;
  const char *tool = opt_value(argc, argv, "--tool", nullptr, "agent");
  a.tool = demo_tool_from_name(tool);
  if (a.tool < 0) {
    snprintf(why, why_size,
             "invalid value '%s' for --tool (agent, restore, proxmox, xenV, pve-rst, xenV-rst)",
             tool);
    return ST_INVAL;
  }
  a.cfg.tool = a.tool == TOOL_AGENT || a.tool == TOOL_PROXMOX || a.tool == TOOL_XENV ? TOOL_AGENT
                                                                                     : TOOL_RESTORE;
  a.name = opt_value(argc, argv, "--name", nullptr, nullptr);
  a.source = opt_value(argc, argv, "--source", nullptr, nullptr);
  a.stats = opt_flag(argc, argv, "--stats", nullptr);
  a.no_progress = opt_flag(argc, argv, "--no-progress", nullptr);
  a.cfg.background = opt_flag(argc, argv, "--background", nullptr);
  a.blocks_given = opt_value(argc, argv, "--blocks", nullptr, nullptr) != nullptr;
  DemoConfig &c = a.cfg;
  if (!read_u32(argc, argv, "--children", 1, MAX_CHILDREN, &a.children, why, why_size) ||
      !read_number(argc, argv, "--blocks", 1, UINT64_MAX / DEMO_MAX_BLOCK_SIZE, &a.blocks, why,
                   why_size) ||
      !read_u32(argc, argv, "--block-size", DEMO_MIN_BLOCK_SIZE, DEMO_MAX_BLOCK_SIZE, &c.block_size,
                why, why_size) ||
      !read_u32(argc, argv, "--seconds", 0, 86400, &c.seconds, why, why_size) ||
      !read_u32(argc, argv, "--workers", 1, DEMO_MAX_WORKERS, &c.workers, why, why_size) ||
      !read_u32(argc, argv, "--queue", 1, 4096, &c.queue_cap, why, why_size) ||
      !read_u32(argc, argv, "--duty-min", 1, 100, &c.duty_min, why, why_size) ||
      !read_u32(argc, argv, "--duty-max", 1, 100, &c.duty_max, why, why_size) ||
      !read_u32(argc, argv, "--update-ms", 10, 10000, &c.publish_ms, why, why_size) ||
      !read_number(argc, argv, "--corrupt-every", 0, UINT64_MAX, &c.corrupt_every, why, why_size) ||
      !read_codec(argc, argv, &c, why, why_size) ||
      !read_type(argc, argv, &a.backup_type, why, why_size) ||
      !read_levels(argc, argv, &c, why, why_size))
    return ST_INVAL;
  c.backup_type = a.backup_type;
  if (c.duty_min > c.duty_max) {
    snprintf(why, why_size, "--duty-min %u is above --duty-max %u", c.duty_min, c.duty_max);
    return ST_INVAL;
  }
  if (a.source != nullptr && a.source[0] == '\0') {
    snprintf(why, why_size, "--source needs a path");
    return ST_INVAL;
  }
  *out = a;
  return ST_OK;
}

void demo_print_help() {
  printf("zpr_demo %s - a demonstration worker of the zpr backup suite\n"
         "\n"
         "Does the real per-block work of a backup or restore (zero detection,\n"
         "compression, CRC32C, SHA-256 in a pool of worker threads) without\n"
         "storing anything, and publishes its progress for zpr_monitor.\n"
         "\n"
         "Usage: zpr_demo [options]\n"
         "  --tool KIND         agent (default), restore, or an orchestrator that runs\n"
         "                      its children one after another: proxmox, xenV (agents),\n"
         "                      pve-rst, xenV-rst (restores)\n"
         "  --children N        orchestrators: number of children (default 3)\n"
         "  --name NAME         job name (default demo-<kind>-1)\n"
         "  --source PATH       read a file or block device (default: a generated\n"
         "                      source of zero, text and random blocks)\n"
         "  --blocks N          blocks to handle (default: all; generated: 49152)\n"
         "  --block-size BYTES  block size, 512 .. 16777216 (default 65536)\n"
         "  --seconds S         spread each run over about S seconds (default 60;\n"
         "                      0 = as fast as possible)\n"
         "  --codec NAME        zstd (default), lz4 or none\n"
         "  --level N           fixed zstd level (1..19)\n"
         "  --level-min N, --level-max N\n"
         "                      adaptive zstd level range (default 1..9, start 3)\n"
         "  --workers N         worker threads, 1..64 (default: one per processor)\n"
         "  --queue N           capacity of each queue (default 32)\n"
         "  --background        throttle with a duty cycle driven by the machine's load\n"
         "  --duty-min P, --duty-max P\n"
         "                      duty cycle range in percent (default 10..90)\n"
         "  --corrupt-every N   restore: damage every N-th stored block (verify fails)\n"
         "  --type TYPE         full (default), diff or inc: a diff or inc agent hashes\n"
         "                      every block and skips those unchanged since the last backup\n"
         "  --update-ms MS      progress update interval (default 200)\n"
         "  --stats             print throughput and per-block costs at the end\n"
         "  --no-progress       publish no progress segment\n"
         "  --no-log, --no-syslog, --log-path DIR, --log MASK, --syslog MASK\n"
         "                      run log options\n"
         "  --version, --selftest, --help\n",
         VERSION_STRING);
}
