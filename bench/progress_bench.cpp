// Costs of the progress segment, each beside a floor measured in the same
// run: progress_update against one monotonic clock read plus a 1208-byte
// copy into a shared mapping; an uncontended progress_snapshot against a
// plain 1208-byte copy; scan_segments over 1000 segments against readdir
// plus shm_open, mmap, copy and munmap per entry.  Then the share of
// snapshots that succeed while a writer process on the other core updates
// at 10 kHz and in a tight loop, and the torn copies seen (must be 0).
//
// Runs in a private /dev/shm: it re-executes itself under unshare -m with a
// tmpfs of its own (needs root), so the machine's segments are untouched.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "progress/reader.h"
#include "progress/writer.h"

namespace {

constexpr int ROUNDS = 21;

double now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Keeps the compiler from dropping a copy whose result nobody reads.
void keep(const void *p) { asm volatile("" : : "r"(p) : "memory"); }

// Median ns per call of fn over ROUNDS batches of n calls; a and b are
// measured in alternating batches so both see the same machine.
template <class A, class B> void measure_pair(int n, A a, B b, double *ma, double *mb) {
  std::vector<double> ta, tb;
  for (int r = 0; r < ROUNDS; r++) {
    double t0 = now_ns();
    for (int i = 0; i < n; i++)
      a(i);
    double t1 = now_ns();
    for (int i = 0; i < n; i++)
      b(i);
    double t2 = now_ns();
    ta.push_back((t1 - t0) / n);
    tb.push_back((t2 - t1) / n);
  }
  *ma = median(ta);
  *mb = median(tb);
}

void row(const char *what, double value, double floor, const char *unit, double target) {
  double ratio = value / floor;
  printf("%-34s %10.1f %s   floor %10.1f %s   ratio %5.2f (target <= %.1f)%s\n", what, value, unit,
         floor, unit, ratio, target, ratio <= target ? "" : "  MISSED");
}

void *shared_page() {
  return mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
              -1, 0);
}

ProgressSample stress_sample(uint64_t v, int64_t *blocks) {
  ProgressSample x{};
  x.blocks_done = x.block_current = x.written = x.zero = x.unchanged = v;
  x.bytes_raw = x.bytes_compressed = x.fs_free = v;
  auto v32 = static_cast<uint32_t>(v);
  x.q_raw_depth = x.q_raw_cap = x.q_out_depth = x.q_out_cap = v32;
  x.workers_active = x.workers_total = x.bg_self_net = v32;
  for (int i = 0; i < PROGRESS_MAX_WORKERS; i++)
    blocks[i] = static_cast<int64_t>(v);
  x.worker_blocks = blocks;
  x.worker_count = PROGRESS_MAX_WORKERS;
  return x;
}

bool consistent(const ProgressSegment &c) {
  uint64_t v = c.blocks_done;
  auto v32 = static_cast<uint32_t>(v);
  bool ok = c.block_current == v && c.written == v && c.zero == v && c.unchanged == v &&
            c.bytes_raw == v && c.bytes_compressed == v && c.fs_free == v && c.q_raw_depth == v32 &&
            c.q_out_cap == v32 && c.workers_total == v32 && c.bg_self_net == v32;
  for (int64_t w : c.worker_block)
    ok = ok && w == static_cast<int64_t>(v);
  return ok;
}

void pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

void bench_update() {
  ProgressSegment *seg;
  if (progress_create(&seg, TOOL_AGENT, "bench", 0, 1u << 30, "/bench") != ST_OK) {
    printf("progress_create failed\n");
    return;
  }
  int64_t blocks[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ProgressSample s{};
  s.worker_blocks = blocks;
  s.worker_count = 8;
  auto *dst = static_cast<unsigned char *>(shared_page());
  unsigned char src[PROGRESS_SEGMENT_SIZE];
  memset(src, 1, sizeof src);
  double upd, floor;
  measure_pair(
      20000,
      [&](int i) {
        s.blocks_done = static_cast<uint64_t>(i) + 1;
        progress_update(seg, &s);
      },
      [&](int i) {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        src[0] = static_cast<unsigned char>(i + ts.tv_nsec);
        memcpy(dst, src, sizeof src);
        keep(dst);
      },
      &upd, &floor);
  row("progress_update", upd, floor, "ns", 2.0);
  munmap(dst, PROGRESS_SEGMENT_SIZE);
  progress_destroy(&seg);
}

void bench_snapshot() {
  ProgressSegment *seg;
  if (progress_create(&seg, TOOL_AGENT, "bench", 0, 0, "") != ST_OK)
    return;
  const ProgressSegment *view = nullptr;
  if (progress_attach(static_cast<uint32_t>(getpid()), &view) != ST_OK)
    return;
  ProgressSegment copy;
  unsigned char buf[PROGRESS_SEGMENT_SIZE];
  int failed = 0;
  double snap, floor;
  measure_pair(
      50000,
      [&](int) {
        failed += progress_snapshot(view, &copy) != ST_OK;
        keep(&copy);
      },
      [&](int) {
        memcpy(buf, view, sizeof buf);
        keep(buf);
      },
      &snap, &floor);
  row("progress_snapshot (uncontended)", snap, floor, "ns", 3.0);
  if (failed != 0)
    printf("  %d uncontended snapshots failed\n", failed);
  progress_detach(&view);
  progress_destroy(&seg);
}

void bench_scan() {
  constexpr uint32_t N = 1000;
  for (uint32_t i = 0; i < N; i++) {
    ProgressSegment r;
    memset(&r, 0, sizeof r);
    r.magic = PROGRESS_MAGIC;
    r.version = PROGRESS_VERSION;
    r.pid = 100000 + i;
    snprintf(r.name, sizeof r.name, "job%u", i);
    std::string path = "/dev/shm/" + std::string(PROGRESS_NAME_PREFIX) + std::to_string(r.pid);
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    if (fd < 0 || write(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) {
      printf("cannot create %s\n", path.c_str());
      return;
    }
    close(fd);
  }
  size_t found = 0;
  std::vector<double> ts, tf;
  for (int r = 0; r < ROUNDS; r++) {
    double t0 = now_ns();
    ScanEntry *entries = nullptr;
    size_t count = 0;
    scan_segments(&entries, &count);
    found = count;
    free(entries);
    double t1 = now_ns();
    DIR *dir = opendir("/dev/shm");
    const size_t plen = strlen(PROGRESS_NAME_PREFIX);
    while (const dirent *de = readdir(dir)) {
      if (strncmp(de->d_name, PROGRESS_NAME_PREFIX, plen) != 0)
        continue;
      char name[300];
      snprintf(name, sizeof name, "/%s", de->d_name);
      int fd = shm_open(name, O_RDONLY, 0);
      void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ, MAP_SHARED, fd, 0);
      close(fd);
      unsigned char buf[PROGRESS_SEGMENT_SIZE];
      memcpy(buf, map, sizeof buf);
      keep(buf);
      munmap(map, PROGRESS_SEGMENT_SIZE);
    }
    closedir(dir);
    double t2 = now_ns();
    ts.push_back((t1 - t0) / 1e6);
    tf.push_back((t2 - t1) / 1e6);
  }
  row("scan_segments (1000 segments)", median(ts), median(tf), "ms", 1.2);
  if (found != N)
    printf("  scan found %zu of %u segments\n", found, N);
  for (uint32_t i = 0; i < N; i++) {
    std::string path = "/dev/shm/" + std::string(PROGRESS_NAME_PREFIX) + std::to_string(100000 + i);
    unlink(path.c_str());
  }
}

// A writer process pinned to CPU 1, updating every period_ns (0: tight
// loop), against snapshots taken on CPU 0.
void bench_contended(const char *what, long period_ns) {
  int ready[2];
  if (pipe(ready) != 0)
    return;
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    pin_to_cpu(1);
    ProgressSegment *seg;
    if (progress_create(&seg, TOOL_AGENT, "stress", 0, 0, "") != ST_OK)
      _exit(1);
    if (write(ready[1], "r", 1) != 1)
      _exit(2);
    int64_t blocks[PROGRESS_MAX_WORKERS];
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (uint64_t v = 1;; v++) {
      ProgressSample x = stress_sample(v, blocks);
      progress_update(seg, &x);
      if (period_ns > 0) {
        next.tv_nsec += period_ns;
        if (next.tv_nsec >= 1000000000) {
          next.tv_nsec -= 1000000000;
          next.tv_sec++;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      }
    }
  }
  char c;
  if (read(ready[0], &c, 1) != 1)
    return;
  close(ready[0]);
  close(ready[1]);
  pin_to_cpu(0);
  const ProgressSegment *view = nullptr;
  if (progress_attach(static_cast<uint32_t>(writer), &view) != ST_OK)
    return;
  // Let the writer get going before counting.
  ProgressSegment copy;
  for (int i = 0; i < 1000000 && (progress_snapshot(view, &copy) != ST_OK || copy.blocks_done < 10);
       i++) {
  }
  constexpr long N = 2000000;
  long ok = 0, torn = 0;
  uint64_t first = copy.blocks_done, last = first;
  for (long i = 0; i < N; i++) {
    if (progress_snapshot(view, &copy) != ST_OK)
      continue;
    ok++;
    torn += !consistent(copy);
    last = copy.blocks_done;
  }
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  progress_detach(&view);
  std::string path = "/dev/shm/" + std::string(PROGRESS_NAME_PREFIX) + std::to_string(writer);
  unlink(path.c_str());
  printf("%-34s %6.2f %% of %ld snapshots succeed, %ld torn, %llu updates meanwhile\n", what,
         100.0 * static_cast<double>(ok) / N, N, torn,
         static_cast<unsigned long long>(last - first));
}

bool in_private_shm() { return getenv("ZPR_BENCH_PRIVATE_SHM") != nullptr; }

} // namespace

int main(int argc, char **argv) {
  (void)argc;
  if (!in_private_shm()) {
    setenv("ZPR_BENCH_PRIVATE_SHM", "1", 1);
    execlp("unshare", "unshare", "-m", "--propagation", "private", "sh", "-c",
           "mount -t tmpfs -o mode=1777 zpr-bench-shm /dev/shm && exec \"$@\"", "progress_bench",
           argv[0], static_cast<char *>(nullptr));
    perror("progress_bench: unshare");
    return 1;
  }
  printf("progress segment costs (medians of %d rounds)\n", ROUNDS);
  bench_update();
  bench_snapshot();
  bench_scan();
  bench_contended("snapshot vs writer at 10 kHz", 100000);
  bench_contended("snapshot vs writer in a tight loop", 0);
  return 0;
}
