// The monitor's own CPU cost while it watches a tool that updates its
// segment continuously: utime+stime of zpr_monitor from /proc/<pid>/stat
// over a fixed span, as a percentage of one core, for the live view (in a
// tmux terminal) and for dump mode at --interval 20.  Floors measured in
// the same run: a process that only wakes every 20 ms, and one that only
// waits 250 ms in poll().  Targets: live view below 0.5 %, dump below 1 %.
//
//   monitor_cpu [seconds (default 10)] [path to zpr_monitor]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "proc_cpu.h"
#include "progress/writer.h"

namespace {

using zb::Clock;
using zb::Cost;
using zb::CpuSample;
using zb::die_with_parent;
using zb::measure;
using zb::run_capture;
using zb::sample_cpu;
using zb::stop;

// A tool that publishes a new sample every 10 ms until killed.
pid_t start_writer() {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  die_with_parent();
  ProgressSegment *seg = nullptr;
  if (progress_create(&seg, 0, "bench", 0, 1000000000ull, "/dev/bench") != ST_OK)
    _exit(1);
  ProgressSample s;
  memset(&s, 0, sizeof s);
  s.q_raw_cap = s.q_out_cap = 64;
  s.workers_total = 4;
  s.compression = 1;
  s.level = 3;
  s.level_min = 1;
  s.level_max = 9;
  for (uint64_t i = 1;; i++) {
    s.blocks_done = i * 16;
    s.block_current = i * 16;
    s.written = i * 12;
    s.bytes_raw = i * 16 * 65536;
    s.bytes_compressed = i * 16 * 30000;
    s.q_raw_depth = static_cast<uint32_t>(i % 64);
    s.workers_active = static_cast<uint32_t>(i % 5);
    progress_update(seg, &s);
    usleep(10000);
  }
}

pid_t spawn(const char *const *argv) {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  die_with_parent();
  int null_fd = open("/dev/null", O_RDWR);
  dup2(null_fd, 0);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  execvp(argv[0], const_cast<char *const *>(argv));
  _exit(127);
}

// Floors: the bare cost of waking up at the monitor's rates.
pid_t start_sleeper(int interval_ms, bool use_poll) {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  die_with_parent();
  for (;;) {
    if (use_poll)
      poll(nullptr, 0, interval_ms);
    else
      usleep(static_cast<useconds_t>(interval_ms) * 1000);
  }
}

void report(const char *what, Cost c, double target) {
  if (c.pct < 0) {
    printf("%-34s  measurement failed\n", what);
    return;
  }
  if (target > 0)
    printf("%-34s  %6.3f %%  (schedstat %6.3f %%)  target < %.1f %%  %s\n", what, c.pct,
           c.sched_pct, target, c.pct < target ? "ok" : "OVER");
  else
    printf("%-34s  %6.3f %%  (schedstat %6.3f %%)\n", what, c.pct, c.sched_pct);
}

} // namespace

int main(int argc, char **argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  if (seconds <= 0)
    seconds = 10;
  std::string monitor;
  if (argc > 2) {
    monitor = argv[2];
  } else {
    std::string self = argv[0];
    size_t slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    monitor = dir + "/../monitor/zpr_monitor";
  }
  if (access(monitor.c_str(), X_OK) != 0) {
    fprintf(stderr, "monitor_cpu: %s not found\n", monitor.c_str());
    return 1;
  }
  printf("monitor CPU cost over %d s per measurement (percent of one core)\n", seconds);

  Cost floor20 = {-1, -1}, floor250 = {-1, -1};
  {
    pid_t a = start_sleeper(20, false);
    pid_t b = start_sleeper(250, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CpuSample sa0, sb0, sa1, sb1;
    if (sample_cpu(a, &sa0) && sample_cpu(b, &sb0)) {
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
      if (sample_cpu(a, &sa1) && sample_cpu(b, &sb1)) {
        double wall = std::chrono::duration<double>(sa1.at - sa0.at).count();
        floor20 = {100.0 * (sa1.cpu_s - sa0.cpu_s) / wall,
                   100.0 * (sa1.sched_s - sa0.sched_s) / wall};
        floor250 = {100.0 * (sb1.cpu_s - sb0.cpu_s) / wall,
                    100.0 * (sb1.sched_s - sb0.sched_s) / wall};
      }
    }
    stop(a);
    stop(b);
  }

  pid_t writer = start_writer();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string pid_text = std::to_string(writer);

  // Dump mode at the interval floor.
  const char *dump_argv[] = {monitor.c_str(),  "--no-log",   "--no-syslog", "--dump", "--pid",
                             pid_text.c_str(), "--interval", "20",          nullptr};
  pid_t dump = spawn(dump_argv);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Cost dump_cost = measure(dump, seconds);
  stop(dump);

  // The live view in a real terminal of its own.
  char sock_dir[] = "/tmp/zpr-bench-XXXXXX";
  Cost live_cost = {-1, -1};
  if (mkdtemp(sock_dir) != nullptr) {
    std::string tmux = std::string("tmux -f /dev/null -S ") + sock_dir + "/sock";
    // Separate words: tmux runs the program itself, so the pane's pid is
    // the monitor's.
    std::string start = tmux + " new-session -d -x 120 -y 40 " + monitor +
                        " --no-log --no-syslog --pid " + pid_text;
    if (system(start.c_str()) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      pid_t pane =
          static_cast<pid_t>(atoi(run_capture(tmux + " display -p '#{pane_pid}'").c_str()));
      if (pane > 0)
        live_cost = measure(pane, seconds);
      if (system((tmux + " kill-server 2>/dev/null").c_str()) != 0)
        fprintf(stderr, "monitor_cpu: tmux kill-server failed\n");
    }
    rmdir(sock_dir);
  }
  stop(writer);

  report("floor: wake every 20 ms (usleep)", floor20, 0);
  report("floor: wait 250 ms (poll)", floor250, 0);
  report("dump mode, --interval 20", dump_cost, 1.0);
  report("live view (tmux, 120x40)", live_cost, 0.5);
  if (floor20.sched_pct > 0)
    printf("dump / 20 ms floor (schedstat): %.1fx\n", dump_cost.sched_pct / floor20.sched_pct);
  if (floor250.sched_pct > 0)
    printf("live view / 250 ms floor (schedstat): %.1fx\n",
           live_cost.sched_pct / floor250.sched_pct);
  return 0;
}
