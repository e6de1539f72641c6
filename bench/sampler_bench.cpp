// Cost of one bg_sample call on the real /proc, against a floor measured in
// the same run: opening, reading and closing the same five files without
// parsing anything.  Target: median below 100 us.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "sampler/load.h"

namespace {

constexpr int kCalls = 2001;

double now_us() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What any reader of these files must pay: the kernel generating them.
void read_raw() {
  static const char *const files[] = {"/proc/stat", "/proc/self/stat", "/proc/diskstats",
                                      "/proc/self/io", "/proc/net/dev"};
  char buf[4096];
  for (const char *f : files) {
    int fd = open(f, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      continue;
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
    close(fd);
  }
}

struct Stats {
  double median;
  double p90;
};

template <typename Fn> Stats time_calls(Fn fn) {
  std::vector<double> us;
  us.reserve(kCalls);
  for (int i = 0; i < kCalls; i++) {
    double t0 = now_us();
    fn();
    us.push_back(now_us() - t0);
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 9 / 10]};
}

} // namespace

int main() {
  BgSampler sampler{};
  BgLoad load{};
  bg_sample(&sampler, &load); // priming

  Stats floor = time_calls(read_raw);
  Stats ours = time_calls([&] { bg_sample(&sampler, &load); });

  printf("%-28s %10s %10s\n", "", "median us", "p90 us");
  printf("%-28s %10.1f %10.1f\n", "raw read of the five files", floor.median, floor.p90);
  printf("%-28s %10.1f %10.1f\n", "bg_sample", ours.median, ours.p90);
  printf("ratio to floor %.2f; target median < 100 us: %s\n", ours.median / floor.median,
         ours.median < 100.0 ? "ok" : "missed");
  printf("last load: cpu %u/%u io %u/%u net %u/%u (foreign/self)\n", load.foreign_cpu,
         load.self_cpu, load.foreign_io, load.self_io, load.foreign_net, load.self_net);
  return 0;
}
