// The load sampler's readings of awkward /proc texts and its arithmetic, as whole results (real
// ones: zpr_demo).
#include "sampler/load.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/test_support.h"

namespace {

std::string text(const BgSampler &s) {
  char buf[256];
  snprintf(buf, sizeof buf, "primed %lu ms %lu cpu %lu/%lu own %lu disk %lu/%lu net %lu/%lu",
           s.primed, s.last_ms, s.cpu_total, s.cpu_idle, s.own_ticks, s.disk_bytes,
           s.own_disk_bytes, s.net_bytes, s.own_net_bytes);
  return buf;
}

std::string text(const BgLoad &l) {
  return "foreign " + std::to_string(l.foreign_cpu) + " " + std::to_string(l.foreign_io) + " " +
         std::to_string(l.foreign_net) + " self " + std::to_string(l.self_cpu) + " " +
         std::to_string(l.self_io) + " " + std::to_string(l.self_net);
}

TEST(Load, ReadingsOfAwkwardFiles) {
  std::string thousands; // past the line buffer, the rest would parse as a disk line of its own
  for (int i = 0; i < 100; i++)
    thousands += " 1000";
  // Per file: its text, or "-" for none.  Extra CPU columns (guest) are not counted; a command name
  // may hold ") "; every diskstats line that parses counts, an overlong one once; /proc/self/io's
  // later lines win; the first two net lines are headers and "lo" is not traffic.
  const std::string rows[][6] = {
      {"cpu  10 20 30 40 50 60 70 80 90 100\ncpu0 1 1 1 1 1 1 1 1 1 1\n",
       "4711 (my) tool (x)) R 1 4711 4711 0 -1 4194560 120 0 3 0 1717 5 0 0 20 0 1 0 555 1 3\n",
       "   7       0 loop0 5 0 100 1 0 0 0 0 0 4 1\n   8       0 sda 1 0 10 0 1 0 20 0 0 0 0" +
           thousands +
           "\nnot a disk\n   8       2 sdb2 1 2 3\n\n 253 0 dm-0 10 0 30 0 20 0 40 0 0\n",
       "rchar: 1\nrchar: 5000\nwchar: 3000\nsyscr: 10\nread_bytes: 1024\nwrite_bytes: "
       "2048\ncancelled_write_bytes: 9\n",
       "eth9: 7 0 0 0 0 0 0 0 7\nh2\n    lo: 5000000 100 0 0 0 0 0 0 5000000 100 0 0 0 0 0 0\n"
       "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\nwlan0:300 3 0 0 0 0 0 0 400 4 0 0 0 0 0 "
       "0\n"
       "  lo2: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0\n  no colon here 1 2 3\n  eth1: 77\n",
       "primed 1 ms 7 cpu 360/90 own 1722 disk 102400/3072 net 3711/4928"},
      {"cpu 1 2 3 4\n", "4711 (tool) R 1 2 3\n", "-",
       "rchar: 100\nwchar: 100\nread_bytes: 4096\nwrite_bytes: 4096\n", "-",
       "primed 1 ms 7 cpu 10/4 own 0 disk 0/8192 net 0/0"},
  };
  zt::TempDir dir;
  const std::string p[5] = {dir.path + "/stat", dir.path + "/self_stat", dir.path + "/diskstats",
                            dir.path + "/io", dir.path + "/net"};
  const BgSources sources{p[0].c_str(), p[1].c_str(), p[2].c_str(), p[3].c_str(), p[4].c_str()};
  for (const auto &row : rows) {
    for (int i = 0; i < 5; i++)
      row[i] == "-" ? (void)unlink(p[i].c_str()) : zt::write_file(p[i], row[i]);
    BgSampler got{9, 9, 9, 9, 9, 9, 9, 9, 9};
    bg_take_reading(&sources, 7, &got);
    EXPECT_EQ(text(got), row[5]);
  }
}

TEST(Load, ArithmeticBetweenReadings) {
  const BgSampler a{1, 1000, 10000, 4000, 500, 0, 0, 0, 0};
  const std::pair<BgSampler, const char *> rows[] = {
      // the reading after a; what it yields
      // CPU: 200 ticks, 50 idle, 60 our own.
      {{1, 2000, 10200, 4050, 560, 0, 0, 0, 0}, "foreign 45 0 0 self 30 0 0"},
      {{1, 2000, 10200, 4150, 600, 0, 0, 0, 0}, "foreign 0 0 0 self 50 0 0"},  // own above busy
      {{1, 2000, 10200, 4050, 900, 0, 0, 0, 0}, "foreign 0 0 0 self 100 0 0"}, // capped
      {{1, 2000, 10000, 4000, 560, 0, 0, 0, 0}, "foreign 0 0 0 self 0 0 0"},   // no ticks
      {{1, 2000, 10100, 9000, 500, 0, 0, 0, 0}, "foreign 0 0 0 self 0 0 0"},   // idle > total
      // Storage: 100 MiB/s is full scale; network: 12.5 MB/s.
      {{1, 2000, 10000, 4000, 500, 209715200, 0, 0, 0}, "foreign 0 100 0 self 0 0 0"},
      {{1, 2000, 10000, 4000, 500, 0, 52428800, 0, 0}, "foreign 0 0 0 self 0 50 0"},
      {{1, 2000, 10000, 4000, 500, 0, 0, 3750001, 1250000}, "foreign 0 0 20 self 0 0 10"},
      {{1, 3500, 10000, 4000, 500, 0, 0, 3750001, 1250000}, "foreign 0 0 8 self 0 0 4"},
      // The clock went back: one millisecond.
      {{1, 900, 10000, 4000, 500, 0, 0, 6250, 0}, "foreign 0 0 50 self 0 0 0"}};
  for (const auto &[cur, want] : rows) {
    BgLoad load{7, 7, 7, 7, 7, 7};
    bg_load_between(&a, &cur, &load);
    EXPECT_EQ(text(load), want) << text(cur);
  }
}

} // namespace
