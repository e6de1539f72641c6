// What the CPU benchmarks of the monitor share: a process's CPU time from
// /proc (utime+stime, and schedstat's nanosecond on-CPU time), its cost as
// a percentage of one core over a span, and the care of child processes.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace zb {

using Clock = std::chrono::steady_clock;

struct CpuSample {
  double cpu_s;   // utime + stime
  double sched_s; // on-CPU time from schedstat (nanosecond resolution)
  Clock::time_point at;
};

inline bool sample_cpu(pid_t pid, CpuSample *out) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE *f = fopen(path, "r");
  if (f == nullptr)
    return false;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  const char *p = strrchr(text, ')');
  if (p == nullptr)
    return false;
  // Fields after the name: state is field 3; utime and stime are 14 and 15.
  unsigned long utime = 0, stime = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
    return false;
  double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  out->cpu_s = static_cast<double>(utime + stime) / tick;
  out->sched_s = 0;
  snprintf(path, sizeof path, "/proc/%d/schedstat", pid);
  if ((f = fopen(path, "r")) != nullptr) {
    unsigned long long ns = 0;
    if (fscanf(f, "%llu", &ns) == 1)
      out->sched_s = static_cast<double>(ns) / 1e9;
    fclose(f);
  }
  out->at = Clock::now();
  return true;
}

struct Cost {
  double pct;       // from utime+stime
  double sched_pct; // from schedstat
};

inline Cost cost_between(const CpuSample &a, const CpuSample &b) {
  double wall = std::chrono::duration<double>(b.at - a.at).count();
  return {100.0 * (b.cpu_s - a.cpu_s) / wall, 100.0 * (b.sched_s - a.sched_s) / wall};
}

// The cost of pid over the next `seconds`; {-1, -1} when it could not be read.
inline Cost measure(pid_t pid, int seconds) {
  CpuSample a, b;
  if (!sample_cpu(pid, &a))
    return {-1, -1};
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  if (!sample_cpu(pid, &b))
    return {-1, -1};
  return cost_between(a, b);
}

inline void die_with_parent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

inline void stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

inline std::string run_capture(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr)
    return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p) != nullptr)
    out += buf;
  pclose(p);
  return out;
}

} // namespace zb
