#include "sampler/load.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstring>
#include <unistd.h>

#include <string>

#include "platform/sysutil.h"
#include "support/test_support.h"

namespace {

// A stand-in /proc: the five files a reading takes, written by the test.
struct FakeProc {
  zt::TempDir dir;
  std::string stat = dir.path + "/stat";
  std::string self_stat = dir.path + "/self_stat";
  std::string diskstats = dir.path + "/diskstats";
  std::string self_io = dir.path + "/self_io";
  std::string net_dev = dir.path + "/net_dev";
  BgSources sources{stat.c_str(), self_stat.c_str(), diskstats.c_str(), self_io.c_str(),
                    net_dev.c_str()};

  // Sets every counter at once; the CPU total is spread over the columns.
  void set(uint64_t total, uint64_t idle, uint64_t own, uint64_t disk_sectors,
           uint64_t own_disk, uint64_t own_moved, uint64_t net) {
    uint64_t busy = total - idle;
    zt::write_file(stat, "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                             " 0 0 0 0 0 0\ncpu0 1 2 3 4 5 6 7 8 9 10\nintr 1 2 3\n");
    zt::write_file(self_stat, "42 (tool) S 1 42 42 0 -1 4194560 10 0 0 0 " + std::to_string(own) +
                                  " 0 0 0 20 0 1 0 100 1000 50\n");
    zt::write_file(diskstats, "   8       0 sda 1 0 " + std::to_string(disk_sectors) +
                                  " 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
    zt::write_file(self_io, "rchar: " + std::to_string(own_moved) + "\nwchar: 0\nsyscr: 1\n"
                            "syscw: 1\nread_bytes: " + std::to_string(own_disk) +
                            "\nwrite_bytes: 0\ncancelled_write_bytes: 0\n");
    zt::write_file(net_dev, "Inter-|   Receive |  Transmit\n"
                            " face |bytes packets|bytes packets\n"
                            "    lo: 999999 1 0 0 0 0 0 0 888888 1 0 0 0 0 0 0\n"
                            "  eth0: " + std::to_string(net) +
                            " 1 0 0 0 0 0 0 0 1 0 0 0 0 0 0\n");
  }
};

BgSampler reading(uint64_t ms, uint64_t total, uint64_t idle, uint64_t own) {
  BgSampler r{};
  r.primed = 1;
  r.last_ms = ms;
  r.cpu_total = total;
  r.cpu_idle = idle;
  r.own_ticks = own;
  return r;
}

TEST(LoadParseTest, ProcStatFirstLine) {
  zt::TempDir d;
  std::string path = d.path + "/stat";
  zt::write_file(path, "cpu  10 20 30 40 50 60 70 80 90 100\ncpu0 1 1 1 1 1 1 1 1 1 1\n"
                       "intr 12345 0 0 0\nctxt 99\n");
  uint64_t total = 1;
  uint64_t idle = 1;
  bg_read_cpu_ticks_from(path.c_str(), &total, &idle);
  EXPECT_EQ(total, 360u); // guest and guest_nice are not added
  EXPECT_EQ(idle, 90u);   // idle + iowait

  zt::write_file(path, "cpu 1 2 3 4\n"); // an old kernel's four columns
  bg_read_cpu_ticks_from(path.c_str(), &total, &idle);
  EXPECT_EQ(total, 10u);
  EXPECT_EQ(idle, 4u);

  zt::write_file(path, "garbage\n");
  bg_read_cpu_ticks_from(path.c_str(), &total, &idle);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(idle, 0u);

  total = idle = 5;
  bg_read_cpu_ticks_from((d.path + "/missing").c_str(), &total, &idle);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(idle, 0u);
}

TEST(LoadParseTest, OwnStatWithAwkwardCommandNames) {
  zt::TempDir d;
  std::string path = d.path + "/stat";
  // utime 1717 and stime 5 are fields 14 and 15; the name holds ") " itself.
  zt::write_file(path, "4711 (my) tool (x)) R 1 4711 4711 0 -1 4194560 120 0 3 0 1717 5 0 0 20 0 "
                       "1 0 555 12345678 300 18446744073709551615\n");
  EXPECT_EQ(bg_read_own_cpu_ticks_from(path.c_str()), 1722u);

  zt::write_file(path, "4711 (tool)"); // cut right after the name
  EXPECT_EQ(bg_read_own_cpu_ticks_from(path.c_str()), 0u);
  zt::write_file(path, "4711 (tool) R 1 2 3\n"); // too few fields
  EXPECT_EQ(bg_read_own_cpu_ticks_from(path.c_str()), 0u);
  zt::write_file(path, "4711 no name at all 1 2 3 4 5 6 7 8 9 10 11 12 13\n");
  EXPECT_EQ(bg_read_own_cpu_ticks_from(path.c_str()), 0u);
  EXPECT_EQ(bg_read_own_cpu_ticks_from((d.path + "/missing").c_str()), 0u);
}

TEST(LoadParseTest, DiskstatsCountsEveryParsableLine) {
  zt::TempDir d;
  std::string path = d.path + "/diskstats";
  zt::write_file(path,
                 "   7       0 loop0 5 0 100 1 0 0 0 0 0 4 1 0 0 0 0 0 0\n"
                 "   8       0 sda 9000 120 200000 3000 4000 800 50000 7000 0 6000 10000 0 0 0 0 90 12\n"
                 "   8       1 sda1 8000 100 150000 2500 3900 790 49000 6900 0 5000 9000\n"
                 "this line is not a disk\n"
                 "   8       2 sdb2 1 2 3\n"
                 "\n"
                 " 253       0 dm-0 10 0 30 0 20 0 40 0 0 0 0 0 0 0 0 0 0\n");
  // (100 + 0) + (200000 + 50000) + (150000 + 49000) + (30 + 40) sectors.
  EXPECT_EQ(bg_read_disk_bytes_from(path.c_str()), (100u + 250000u + 199000u + 70u) * 512u);
  EXPECT_EQ(bg_read_disk_bytes_from((d.path + "/missing").c_str()), 0u);
}

TEST(LoadParseTest, OverlongDiskstatsLineIsCountedOnce) {
  zt::TempDir d;
  std::string path = d.path + "/diskstats";
  // Past the 256-byte line buffer the rest of the line would itself parse
  // as a disk line; it must not be counted a second time.
  std::string tail;
  for (int i = 0; i < 100; i++)
    tail += " 1000";
  zt::write_file(path, "   8       0 sda 1 0 10 0 1 0 20 0 0 0 0" + tail + "\n"
                       "   8      16 sdb 1 0 1 0 1 0 1 0 0 0 0\n");
  EXPECT_EQ(bg_read_disk_bytes_from(path.c_str()), (30u + 2u) * 512u);
}

TEST(LoadParseTest, OwnIoSplitsStorageAndNetwork) {
  zt::TempDir d;
  std::string path = d.path + "/io";
  zt::write_file(path, "rchar: 5000\nwchar: 3000\nsyscr: 10\nsyscw: 20\nread_bytes: 1024\n"
                       "write_bytes: 2048\ncancelled_write_bytes: 999999\n");
  uint64_t disk = 0;
  uint64_t net = 0;
  bg_read_own_io_from(path.c_str(), &disk, &net);
  EXPECT_EQ(disk, 3072u);
  EXPECT_EQ(net, 8000u - 3072u);

  // More storage than read/write traffic: no network at all.
  zt::write_file(path, "rchar: 100\nwchar: 100\nread_bytes: 4096\nwrite_bytes: 4096\n");
  bg_read_own_io_from(path.c_str(), &disk, &net);
  EXPECT_EQ(disk, 8192u);
  EXPECT_EQ(net, 0u);

  // Later lines of a key win; absent keys are 0.
  zt::write_file(path, "rchar: 1\nrchar: 700\nread_bytes: 200\n");
  bg_read_own_io_from(path.c_str(), &disk, &net);
  EXPECT_EQ(disk, 200u);
  EXPECT_EQ(net, 500u);

  disk = net = 7;
  bg_read_own_io_from((d.path + "/missing").c_str(), &disk, &net);
  EXPECT_EQ(disk, 0u);
  EXPECT_EQ(net, 0u);
}

TEST(LoadParseTest, NetDevSkipsHeadersLoopbackAndBrokenLines) {
  zt::TempDir d;
  std::string path = d.path + "/dev";
  zt::write_file(path,
                 "Inter-|   Receive                                                |  Transmit\n"
                 " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets\n"
                 "    lo: 5000000   100    0    0    0     0          0         0  5000000   100 0 0 0 0 0 0\n"
                 "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n"
                 "wlan0:300 3 0 0 0 0 0 0 400 4 0 0 0 0 0 0\n"
                 "  lo2: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0\n"
                 "  no colon here 1 2 3\n"
                 "  eth1: 77\n");
  EXPECT_EQ(bg_read_net_bytes_from(path.c_str()), 1000u + 2000u + 300u + 400u + 5u + 6u);
  EXPECT_EQ(bg_read_net_bytes_from((d.path + "/missing").c_str()), 0u);

  // The two first lines are headers whatever they hold.
  zt::write_file(path, "eth0: 1 0 0 0 0 0 0 0 1\neth0: 1 0 0 0 0 0 0 0 1\neth0: 2 0 0 0 0 0 0 0 3\n");
  EXPECT_EQ(bg_read_net_bytes_from(path.c_str()), 5u);
}

TEST(LoadBetweenTest, CpuShares) {
  BgLoad load{};
  // 200 ticks, 50 idle or iowait, 60 the process's own.
  BgSampler a = reading(1000, 10000, 4000, 500);
  BgSampler b = reading(2000, 10200, 4050, 560);
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_cpu, 30u);
  EXPECT_EQ(load.foreign_cpu, 45u);

  // Own ticks above the machine's busy ticks: no foreign load, never negative.
  b = reading(2000, 10200, 4150, 600);
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_cpu, 50u);
  EXPECT_EQ(load.foreign_cpu, 0u);

  // Own ticks beyond the whole interval are capped.
  b = reading(2000, 10200, 4050, 900);
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_cpu, 100u);
  EXPECT_EQ(load.foreign_cpu, 0u);

  // No machine ticks, or counters that went backwards: no CPU load.
  b = reading(2000, 10000, 4000, 560);
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_cpu, 0u);
  EXPECT_EQ(load.foreign_cpu, 0u);
  b = reading(2000, 5000, 100, 10);
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_cpu, 0u);
  EXPECT_EQ(load.foreign_cpu, 0u);

  // More idle than total counts as an idle machine.
  b = reading(2000, 10100, 9000, 500);
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.foreign_cpu, 0u);
}

TEST(LoadBetweenTest, StorageAndNetworkRates) {
  BgLoad load{};
  BgSampler a = reading(5000, 0, 0, 0);
  BgSampler b = reading(6000, 0, 0, 0);

  b.disk_bytes = 2 * 104857600u; // twice full scale, none of it ours
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.foreign_io, 100u);
  EXPECT_EQ(load.self_io, 0u);

  b.disk_bytes = 52428800; // half of full scale, all of it ours
  b.own_disk_bytes = 52428800;
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_io, 50u);
  EXPECT_EQ(load.foreign_io, 0u);

  // Own figures above the machine's give no negative foreign load.
  b.disk_bytes = 0;
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.foreign_io, 0u);
  EXPECT_EQ(load.self_io, 50u);

  b = reading(6000, 0, 0, 0);
  b.net_bytes = 1250000;
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.foreign_net, 10u);
  EXPECT_EQ(load.self_net, 0u);

  b.own_net_bytes = 1250000;
  b.net_bytes = 3 * 1250000 + 1;
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_net, 10u);
  EXPECT_EQ(load.foreign_net, 20u);

  // 2.5 s for the same traffic: rates fall, percentages truncate.
  b.last_ms = 7500;
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.self_net, 4u);
  EXPECT_EQ(load.foreign_net, 8u);
}

TEST(LoadBetweenTest, NoElapsedTimeCountsAsOneMillisecond) {
  BgLoad load{};
  BgSampler a = reading(9000, 0, 0, 0);
  BgSampler b = reading(9000, 0, 0, 0);
  b.net_bytes = 6250; // 6.25 MB/s over 0.001 s
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.foreign_net, 50u);
  b.last_ms = 8000; // the clock went backwards: the same
  bg_load_between(&a, &b, &load);
  EXPECT_EQ(load.foreign_net, 50u);
}

TEST(LoadSampleTest, FirstCallPrimesThenLoadsFollow) {
  FakeProc proc;
  proc.set(10000, 4000, 500, 0, 0, 0, 0);
  BgSampler s{};
  BgLoad load;
  memset(&load, 0xff, sizeof(load));
  bg_sample_from(&s, &load, &proc.sources, 1000);
  EXPECT_EQ(load.foreign_cpu + load.foreign_io + load.foreign_net + load.self_cpu + load.self_io +
                load.self_net,
            0u);
  EXPECT_EQ(s.primed, 1u);
  EXPECT_EQ(s.last_ms, 1000u);
  EXPECT_EQ(s.cpu_total, 10000u);
  EXPECT_EQ(s.cpu_idle, 4000u);
  EXPECT_EQ(s.own_ticks, 500u);

  // One second later: the CPU example, 100 MiB of machine storage traffic
  // of which a quarter was ours, and 2.5 MB of network of which 1.25 MB
  // (read/write bytes beyond storage) was ours.
  proc.set(10200, 4050, 560, 204800, 26214400, 26214400 + 1250000, 2500000);
  bg_sample_from(&s, &load, &proc.sources, 2000);
  EXPECT_EQ(load.self_cpu, 30u);
  EXPECT_EQ(load.foreign_cpu, 45u);
  EXPECT_EQ(load.self_io, 25u);
  EXPECT_EQ(load.foreign_io, 75u);
  EXPECT_EQ(load.self_net, 10u);
  EXPECT_EQ(load.foreign_net, 10u);
  EXPECT_EQ(s.disk_bytes, 204800u * 512u);
  EXPECT_EQ(s.net_bytes, 2500000u);

  // Zeroing the record makes the next call a priming one again.
  s = BgSampler{};
  bg_sample_from(&s, &load, &proc.sources, 3000);
  EXPECT_EQ(load.self_cpu + load.foreign_cpu + load.foreign_io + load.foreign_net, 0u);
}

TEST(LoadSampleTest, WithoutOwnIoAllTrafficIsForeign) {
  FakeProc proc;
  proc.set(100, 100, 0, 0, 0, 0, 0);
  BgSampler s{};
  BgLoad load{};
  bg_sample_from(&s, &load, &proc.sources, 1000);
  proc.set(200, 200, 0, 102400, 52428800, 60000000, 1250000);
  unlink(proc.self_io.c_str());
  bg_sample_from(&s, &load, &proc.sources, 2000);
  EXPECT_EQ(load.self_io, 0u);
  EXPECT_EQ(load.self_net, 0u);
  EXPECT_EQ(load.foreign_io, 50u);
  EXPECT_EQ(load.foreign_net, 10u);
  EXPECT_EQ(s.own_disk_bytes, 0u);
}

TEST(LoadSampleTest, LoopbackTrafficIsNotLoad) {
  FakeProc proc;
  proc.set(100, 100, 0, 0, 0, 0, 0);
  BgSampler s{};
  BgLoad load{};
  bg_sample_from(&s, &load, &proc.sources, 1000);
  zt::write_file(proc.net_dev, "h1\nh2\n    lo: 999999999 1 0 0 0 0 0 0 999999999 1 0 0 0 0 0 0\n"
                               "  eth0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  bg_sample_from(&s, &load, &proc.sources, 2000);
  EXPECT_EQ(load.foreign_net, 0u);
}

TEST(LoadSampleTest, RealProcReadings) {
  uint64_t total = 0;
  uint64_t idle = 0;
  read_cpu_ticks(&total, &idle);
  EXPECT_GT(total, 0u);
  EXPECT_LE(idle, total);

  BgSampler s{};
  BgLoad load{};
  bg_sample(&s, &load);
  EXPECT_EQ(s.primed, 1u);
  EXPECT_GT(s.cpu_total, 0u);

  // Spend CPU, without pausing, until the kernel has charged us at least 2 %
  // of all machine time since the first sample, however busy the machine
  // is: the next sample must see our own load.  One thread reaches that
  // share on up to 50 processors.
  const int64_t cpus = online_cpu_count();
  if (cpus > 50)
    GTEST_SKIP() << "one thread cannot load " << cpus << " processors measurably";
  volatile uint64_t sink = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool charged = false;
  while (!charged && std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 1000000; i++)
      sink = sink + static_cast<uint64_t>(i);
    uint64_t t = 0;
    uint64_t idle_now = 0;
    read_cpu_ticks(&t, &idle_now);
    uint64_t own = read_own_cpu_ticks() - s.own_ticks;
    charged = own >= 10 && own * 100 >= 2 * (t - s.cpu_total);
  }
  ASSERT_TRUE(charged);
  bg_sample(&s, &load);
  EXPECT_GT(load.self_cpu, 0u);
  for (uint32_t v : {load.foreign_cpu, load.foreign_io, load.foreign_net, load.self_cpu,
                     load.self_io, load.self_net})
    EXPECT_LE(v, 100u);
}

} // namespace
