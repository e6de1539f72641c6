// zpr_exporter's costs with many live segments, beside the anchor every
// operator already runs, prometheus-node-exporter, started on 127.0.0.1 in
// the same run: the median latency of one scrape of each (100 and 1000
// segments), the exporter's resident memory, its resident memory with as
// many records as it tracks at most (crafted records of ended processes,
// each still named), and its CPU time per minute with no scrapes and 10
// segments.  Targets: faster than node_exporter with 100 segments, below
// 20 MiB with 1000, the limit within the unit's MemoryMax, below 0.1 % of
// a core.  Run through exporter_bench.sh, which gives it a private
// /dev/shm.
//
//   exporter_bench <zpr_exporter> [cpu seconds (60)] [segments (1000)]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>

#include "exporter/collector.h"
#include "progress/writer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A writer that publishes one update and then waits to be stopped; its
// SIGTERM handler removes the name.
pid_t spawn_writer(int i) {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  char name[32];
  snprintf(name, sizeof name, "bench-vm-%d", i);
  ProgressSegment *seg = nullptr;
  if (progress_create(&seg, 0, name, 0, 100000, "/dev/bench") != ST_OK)
    _exit(1);
  ProgressSample s{};
  s.blocks_done = 1000 + i;
  s.bytes_raw = 65536ull * s.blocks_done;
  progress_update(seg, &s);
  for (;;)
    pause();
}

std::vector<pid_t> spawn_writers(int n) {
  std::vector<pid_t> pids;
  for (int i = 0; i < n; i++)
    pids.push_back(spawn_writer(i));
  return pids;
}

void stop_all(std::vector<pid_t> *pids) {
  for (pid_t p : *pids)
    kill(p, SIGTERM);
  for (pid_t p : *pids)
    waitpid(p, nullptr, 0);
  pids->clear();
}

int segments_in_shm() {
  int n = 0;
  DIR *d = opendir("/dev/shm");
  while (const dirent *e = d != nullptr ? readdir(d) : nullptr)
    n += strncmp(e->d_name, "zpr_progress.", 13) == 0;
  if (d != nullptr)
    closedir(d);
  return n;
}

pid_t spawn(const std::vector<std::string> &args, const char *err_path) {
  if (strcmp(err_path, "/dev/null") != 0)
    unlink(err_path); // no port of an earlier run is read
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    freopen("/dev/null", "w", stdout);
    freopen(err_path, "w", stderr);
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void end(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

std::string read_text(const char *path) {
  std::string text;
  if (FILE *f = fopen(path, "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
      text.append(buf, n);
    fclose(f);
  }
  return text;
}

// The exporter logs the port it took (it listens on port 0).
int exporter_port(const char *err_path) {
  std::smatch m;
  for (int i = 0; i < 500; i++) {
    std::string err = read_text(err_path);
    if (std::regex_search(err, m, std::regex("\\(port (\\d+)\\)")))
      return std::stoi(m[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// One scrape: connect, GET /metrics, read to the end.  Bytes read, or 0.
size_t scrape(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  size_t total = 0;
  const char req[] = "GET /metrics HTTP/1.0\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      write(fd, req, sizeof req - 1) == static_cast<ssize_t>(sizeof req - 1)) {
    static char buf[1 << 16];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
      total += static_cast<size_t>(n);
  }
  close(fd);
  return total;
}

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Time on a CPU of all threads, from their schedstat (nanoseconds).
double cpu_seconds(pid_t pid) {
  double total = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  while (const dirent *e = d != nullptr ? readdir(d) : nullptr) {
    if (e->d_name[0] == '.')
      continue;
    std::string path = dir + "/" + e->d_name + "/schedstat";
    total += strtod(read_text(path.c_str()).c_str(), nullptr) / 1e9;
  }
  if (d != nullptr)
    closedir(d);
  return total;
}

long status_kib(pid_t pid, const char *field) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::string text = read_text(path.c_str());
  size_t at = text.find(field);
  return at == std::string::npos ? -1 : strtol(text.c_str() + at + strlen(field) + 1, nullptr, 10);
}

// Median scrape latency of both exporters with n live segments, and ours's
// resident memory.
void measure_scrapes(const std::string &exporter, int n, const char *err_path) {
  std::vector<pid_t> writers = spawn_writers(n);
  while (segments_in_shm() < n)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  pid_t ours = spawn({exporter, "--listen", "127.0.0.1:0"}, err_path);
  const int our_port = exporter_port(err_path), node_port = free_port();
  pid_t node = spawn({"/usr/bin/prometheus-node-exporter",
                      "--web.listen-address=127.0.0.1:" + std::to_string(node_port)},
                     "/dev/null");
  std::this_thread::sleep_for(std::chrono::seconds(3)); // both up, a few collections done
  size_t our_bytes = 0, node_bytes = 0;
  for (int i = 0; i < 5; i++) { // warm-up
    our_bytes = scrape(our_port);
    node_bytes = scrape(node_port);
  }
  std::vector<double> our_ms, node_ms;
  const double cpu0 = cpu_seconds(ours);
  for (int i = 0; i < 41; i++) {
    auto t0 = Clock::now();
    scrape(our_port);
    auto t1 = Clock::now();
    scrape(node_port);
    auto t2 = Clock::now();
    our_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    node_ms.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  const double our_cpu_ms = (cpu_seconds(ours) - cpu0) * 1000.0 / 41;
  const double ours_med = median_ms(our_ms), node_med = median_ms(node_ms);
  printf("scrape, %d segments: zpr_exporter %.2f ms (%zu bytes, %.2f ms CPU), node_exporter "
         "%.2f ms (%zu bytes), ratio %.2f (target < 1)\n",
         n, ours_med, our_bytes, our_cpu_ms, node_med, node_bytes, ours_med / node_med);
  std::this_thread::sleep_for(std::chrono::seconds(2)); // a collection after the scrapes
  printf("resident memory, %d segments: %ld KiB after the scrapes, %ld KiB peak "
         "(target < 20480)\n",
         n, status_kib(ours, "VmRSS:"), status_kib(ours, "VmHWM:"));
  end(node);
  end(ours);
  stop_all(&writers);
}

// Resident memory with COLLECTOR_MAX_JOBS records: crafted ones, of pids
// no process can have, so no writer process is needed for each.
void measure_cap(const std::string &exporter, const char *err_path) {
  const uint32_t first = 4300000; // above the kernel's largest pid
  for (uint32_t i = 0; i < COLLECTOR_MAX_JOBS; i++) {
    ProgressSegment r{};
    r.magic = PROGRESS_MAGIC;
    r.version = PROGRESS_VERSION;
    r.pid = first + i;
    r.state = STATE_RUNNING;
    r.start_wall = time(nullptr);
    snprintf(r.name, sizeof r.name, "bench-vm-%u", i);
    snprintf(r.path, sizeof r.path, "/dev/bench/%u", i);
    char name[64];
    snprintf(name, sizeof name, "/zpr_progress.%u", r.pid);
    int fd = shm_open(name, O_CREAT | O_RDWR | O_TRUNC, 0600);
    if (fd < 0 || pwrite(fd, &r, sizeof r, 0) != static_cast<ssize_t>(sizeof r))
      exit(1);
    close(fd);
  }
  pid_t ours = spawn({exporter, "--listen", "127.0.0.1:0"}, err_path);
  const int port = exporter_port(err_path);
  std::this_thread::sleep_for(std::chrono::seconds(5)); // collections of the whole set
  for (int i = 0; i < 5; i++)
    scrape(port);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  printf("resident memory, %zu records (the limit): %ld KiB after 5 scrapes, %ld KiB peak\n",
         COLLECTOR_MAX_JOBS, status_kib(ours, "VmRSS:"), status_kib(ours, "VmHWM:"));
  end(ours);
  for (uint32_t i = 0; i < COLLECTOR_MAX_JOBS; i++) {
    char name[64];
    snprintf(name, sizeof name, "/zpr_progress.%u", first + i);
    shm_unlink(name);
  }
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: exporter_bench <zpr_exporter> [cpu seconds] [segments]\n");
    return 2;
  }
  const std::string exporter = argv[1];
  const int cpu_s = argc > 2 ? atoi(argv[2]) : 60;
  const int segments = argc > 3 ? atoi(argv[3]) : 1000;
  const char *err_path = "/tmp/zpr_exporter_bench.err";

  setvbuf(stdout, nullptr, _IOLBF, 0); // nothing buffered is copied into the forks
  for (int n : {segments / 10, segments})
    measure_scrapes(exporter, n, err_path);
  measure_cap(exporter, err_path);

  std::vector<pid_t> writers;
  pid_t ours;
  writers = spawn_writers(10);
  while (segments_in_shm() < 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ours = spawn({exporter, "--listen", "127.0.0.1:0"}, err_path);
  exporter_port(err_path);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double c0 = cpu_seconds(ours);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(cpu_s));
  double c1 = cpu_seconds(ours);
  double span = std::chrono::duration<double>(Clock::now() - t0).count();
  printf("CPU, 10 segments, no scrapes, %.0f s: %.3f s per minute = %.4f %% of a core "
         "(target < 0.1 %%); resident %ld KiB\n",
         span, (c1 - c0) * 60.0 / span, 100.0 * (c1 - c0) / span, status_kib(ours, "VmRSS:"));
  end(ours);
  stop_all(&writers);
  return 0;
}
