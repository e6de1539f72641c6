// The table of every job (zpr_monitor --all) against the live view of one: with 100 tools that
// update their segments ten times a second, the CPU cost of both (each in a tmux terminal of its
// own, 120x40, measured over the same span) as a percentage of one core, beside the floor of a
// process that only waits 250 ms in poll().  Then with 1000 tools: the table's cost, and how long
// a key takes to show (Down, until the marked row has moved), against the 250 ms of one frame.
// Target: the table below 0.5 % with 100 jobs; every key answered within a frame with 1000.
//
//   all_view_cpu [seconds (default 10)] [path to zpr_monitor]
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "proc_cpu.h"
#include "progress/writer.h"

namespace {

using zb::Clock;
using zb::Cost;
using zb::CpuSample;

constexpr int FEW = 100;
constexpr int MANY = 1000;
constexpr int KEYS = 20;

// A tool that publishes a new sample every period_ms until killed.
pid_t start_writer(int index, int period_ms) {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  zb::die_with_parent();
  char name[32];
  snprintf(name, sizeof name, "bench-%04d", index);
  ProgressSegment *seg = nullptr;
  if (progress_create(&seg, 0, name, 0, 1000000000ull, "/dev/bench") != ST_OK)
    _exit(1);
  ProgressSample s;
  memset(&s, 0, sizeof s);
  s.workers_total = 4;
  for (uint64_t i = 1;; i++) {
    s.blocks_done = i * 16;
    s.block_current = i * 16;
    s.bytes_raw = i * 16 * 65536;
    progress_update(seg, &s);
    usleep(static_cast<useconds_t>(period_ms) * 1000);
  }
}

pid_t start_sleeper() {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  zb::die_with_parent();
  for (;;)
    poll(nullptr, 0, 250);
}

// A monitor in a tmux server of its own.
struct Terminal {
  std::string tmux;
  pid_t pane = -1;
  bool start(const char *dir, const std::string &command) {
    tmux = std::string("tmux -f /dev/null -S ") + dir + "/sock";
    if (system((tmux + " new-session -d -x 120 -y 40 " + command).c_str()) != 0)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    pane = static_cast<pid_t>(atoi(zb::run_capture(tmux + " display -p '#{pane_pid}'").c_str()));
    return pane > 0;
  }
  std::string marked_row() { // the selected row of the table
    const std::string screen = zb::run_capture(tmux + " capture-pane -p");
    const size_t at = screen.find("\n> ");
    return at == std::string::npos ? "" : screen.substr(at, screen.find('\n', at + 1) - at);
  }
  ~Terminal() {
    if (!tmux.empty() && system((tmux + " kill-server 2>/dev/null").c_str()) != 0)
      fprintf(stderr, "all_view_cpu: tmux kill-server failed\n");
  }
};

// Milliseconds from each Down until the marked row has moved.
std::vector<double> key_delays(Terminal *t) {
  std::vector<double> delays;
  for (int k = 0; k < KEYS; k++) {
    const std::string before = t->marked_row();
    const Clock::time_point sent = Clock::now();
    if (system((t->tmux + " send-keys Down").c_str()) != 0)
      break;
    while (t->marked_row() == before && Clock::now() - sent < std::chrono::seconds(5))
      ;
    delays.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
  }
  std::sort(delays.begin(), delays.end());
  return delays;
}

void report(const char *what, Cost c, double target) {
  if (c.pct < 0)
    printf("%-36s  measurement failed\n", what);
  else if (target > 0)
    printf("%-36s  %6.3f %%  (schedstat %6.3f %%)  target < %.1f %%  %s\n", what, c.pct,
           c.sched_pct, target, c.sched_pct < target ? "ok" : "OVER");
  else
    printf("%-36s  %6.3f %%  (schedstat %6.3f %%)\n", what, c.pct, c.sched_pct);
}

// The costs of several processes over the same span.
std::vector<Cost> measure_together(const std::vector<pid_t> &pids, int seconds) {
  std::vector<CpuSample> a(pids.size()), b(pids.size());
  std::vector<Cost> costs(pids.size(), Cost{-1, -1});
  for (size_t i = 0; i < pids.size(); i++)
    if (!zb::sample_cpu(pids[i], &a[i]))
      return costs;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  for (size_t i = 0; i < pids.size(); i++)
    if (zb::sample_cpu(pids[i], &b[i]))
      costs[i] = zb::cost_between(a[i], b[i]);
  return costs;
}

} // namespace

int main(int argc, char **argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  if (seconds <= 0)
    seconds = 10;
  std::string self = argv[0];
  const size_t slash = self.rfind('/');
  std::string monitor = argc > 2 ? argv[2]
                                 : (slash == std::string::npos ? "." : self.substr(0, slash)) +
                                       "/../monitor/zpr_monitor";
  if (access(monitor.c_str(), X_OK) != 0) {
    fprintf(stderr, "all_view_cpu: %s not found\n", monitor.c_str());
    return 1;
  }
  char dir_live[] = "/tmp/zpr-bench-XXXXXX";
  char dir_table[] = "/tmp/zpr-bench-XXXXXX";
  if (mkdtemp(dir_live) == nullptr || mkdtemp(dir_table) == nullptr)
    return 1;

  std::vector<pid_t> writers;
  for (int i = 0; i < FEW; i++)
    writers.push_back(start_writer(i, 100));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  printf("monitor CPU cost over %d s per measurement (percent of one core), %d jobs\n", seconds,
         FEW);
  const std::string options = " --no-log --no-syslog ";
  {
    Terminal live, table;
    const pid_t sleeper = start_sleeper();
    if (!live.start(dir_live, monitor + options + "--pid " + std::to_string(writers[0])) ||
        !table.start(dir_table, monitor + options + "--all"))
      return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::vector<Cost> c = measure_together({sleeper, live.pane, table.pane}, seconds);
    zb::stop(sleeper);
    report("floor: wait 250 ms (poll)", c[0], 0);
    report("live view of one job (tmux 120x40)", c[1], 0);
    report("table of 100 jobs (tmux 120x40)", c[2], 0.5);
    if (c[1].sched_pct > 0)
      printf("table / live view (schedstat): %.1fx\n", c[2].sched_pct / c[1].sched_pct);
  }

  for (int i = FEW; i < MANY; i++)
    writers.push_back(start_writer(i, 1000));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  {
    Terminal table;
    if (!table.start(dir_table, monitor + options + "--all"))
      return 1;
    std::this_thread::sleep_for(std::chrono::seconds(3));
    report("table of 1000 jobs (tmux 120x40)", zb::measure(table.pane, seconds), 0);
    const std::vector<double> d = key_delays(&table);
    if (!d.empty())
      printf("key to screen, %zu Down keys with 1000 jobs: median %.1f ms, max %.1f ms (a frame "
             "is 250 ms)  %s\n",
             d.size(), d[d.size() / 2], d.back(), d.back() < 250 ? "ok" : "OVER");
  }
  for (pid_t w : writers)
    kill(w, SIGTERM);
  for (pid_t w : writers)
    waitpid(w, nullptr, 0);
  for (const char *dir : {dir_live, dir_table}) { // the servers have gone; their sockets stay
    unlink((std::string(dir) + "/sock").c_str());
    rmdir(dir);
  }
  return 0;
}
