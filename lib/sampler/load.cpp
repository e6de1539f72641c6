#include "sampler/load.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "runtime/clock.h"

namespace {

constexpr BgSources kProcSources = {
    "/proc/stat", "/proc/self/stat", "/proc/diskstats", "/proc/self/io", "/proc/net/dev",
};

// Line buffers per file, sized for what each file's lines hold.
constexpr size_t kStatLine = 512;
constexpr size_t kSelfStatLine = 1024;
constexpr size_t kDiskLine = 256;
constexpr size_t kSelfIoLine = 128;
constexpr size_t kNetLine = 512;

// Reads a file line by line through a fixed chunk, without stdio (which
// would allocate).  A line longer than the caller's buffer is cut there and
// the rest of it skipped, so the tail is never taken for a line of its own.
struct LineReader {
  int fd;
  size_t pos;
  size_t len;
  bool eof;
  char chunk[4096];
};

bool line_open(LineReader *r, const char *path) {
  r->fd = open(path, O_RDONLY | O_CLOEXEC);
  r->pos = 0;
  r->len = 0;
  r->eof = false;
  return r->fd >= 0;
}

void line_close(LineReader *r) {
  if (r->fd >= 0)
    close(r->fd);
  r->fd = -1;
}

bool line_fill(LineReader *r) {
  if (r->eof)
    return false;
  ssize_t n;
  do {
    n = read(r->fd, r->chunk, sizeof(r->chunk));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    r->eof = true;
    return false;
  }
  r->pos = 0;
  r->len = static_cast<size_t>(n);
  return true;
}

// Copies the next line, without its newline, into line (capacity cap,
// always terminated).  False at the end of the file.
bool line_next(LineReader *r, char *line, size_t cap) {
  size_t n = 0;
  bool any = false;
  for (;;) {
    if (r->pos == r->len && !line_fill(r))
      break;
    const char *start = r->chunk + r->pos;
    size_t avail = r->len - r->pos;
    const auto *nl = static_cast<const char *>(memchr(start, '\n', avail));
    size_t take = nl != nullptr ? static_cast<size_t>(nl - start) : avail;
    size_t copy = std::min(take, cap - 1 - n);
    memcpy(line + n, start, copy);
    n += copy;
    r->pos += take + (nl != nullptr ? 1 : 0);
    any = true;
    if (nl != nullptr)
      break;
  }
  line[n] = '\0';
  return any;
}

uint64_t rise(uint64_t cur, uint64_t prev) { return cur > prev ? cur - prev : 0; }

// A rate as a share of full scale, truncated and limited to 0..100.
uint32_t percent_of(double rate, double full) {
  if (!(rate > 0.0))
    return 0;
  double pct = rate * 100.0 / full;
  if (pct >= 100.0)
    return 100;
  return static_cast<uint32_t>(pct);
}

} // namespace

void bg_read_cpu_ticks_from(const char *path, uint64_t *out_total, uint64_t *out_idle) {
  *out_total = 0;
  *out_idle = 0;
  LineReader r;
  if (!line_open(&r, path))
    return;
  char line[kStatLine];
  bool got = line_next(&r, line, sizeof(line));
  line_close(&r);
  if (!got)
    return;
  unsigned long long c[10] = {};
  sscanf(line, "cpu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &c[0], &c[1], &c[2], &c[3],
         &c[4], &c[5], &c[6], &c[7], &c[8], &c[9]);
  // guest and guest_nice are already part of user and nice.
  uint64_t total = 0;
  for (int i = 0; i < 8; i++)
    total += c[i];
  *out_total = total;
  *out_idle = c[3] + c[4];
}

uint64_t bg_read_own_cpu_ticks_from(const char *path) {
  LineReader r;
  if (!line_open(&r, path))
    return 0;
  char line[kSelfStatLine];
  bool got = line_next(&r, line, sizeof(line));
  line_close(&r);
  if (!got)
    return 0;
  // The command name may itself hold ")" and blanks; the last ")" ends it.
  // A line cut right after it has no fields to read.
  const char *end = strrchr(line, ')');
  if (end == nullptr || end[1] == '\0')
    return 0;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  if (sscanf(end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return 0;
  return utime + stime;
}

uint64_t bg_read_disk_bytes_from(const char *path) {
  LineReader r;
  if (!line_open(&r, path))
    return 0;
  char line[kDiskLine];
  uint64_t bytes = 0;
  while (line_next(&r, line, sizeof(line))) {
    unsigned major = 0;
    unsigned minor = 0;
    char name[64];
    unsigned long long s[8];
    if (sscanf(line, "%u %u %63s %llu %llu %llu %llu %llu %llu %llu %llu", &major, &minor, name,
               &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6], &s[7]) != 11)
      continue;
    bytes += (s[2] + s[6]) * 512;
  }
  line_close(&r);
  return bytes;
}

void bg_read_own_io_from(const char *path, uint64_t *out_disk, uint64_t *out_net) {
  *out_disk = 0;
  *out_net = 0;
  LineReader r;
  if (!line_open(&r, path))
    return;
  char line[kSelfIoLine];
  unsigned long long rchar = 0;
  unsigned long long wchar = 0;
  unsigned long long read_bytes = 0;
  unsigned long long write_bytes = 0;
  while (line_next(&r, line, sizeof(line))) {
    if (sscanf(line, "rchar: %llu", &rchar) == 1)
      continue;
    if (sscanf(line, "wchar: %llu", &wchar) == 1)
      continue;
    if (sscanf(line, "read_bytes: %llu", &read_bytes) == 1)
      continue;
    sscanf(line, "write_bytes: %llu", &write_bytes);
  }
  line_close(&r);
  // Bytes that went through read and write calls without reaching storage
  // are taken for the process's network traffic.
  uint64_t disk = read_bytes + write_bytes;
  uint64_t moved = rchar + wchar;
  *out_disk = disk;
  *out_net = moved > disk ? moved - disk : 0;
}

uint64_t bg_read_net_bytes_from(const char *path) {
  LineReader r;
  if (!line_open(&r, path))
    return 0;
  char line[kNetLine];
  uint64_t bytes = 0;
  int lineno = 0;
  while (line_next(&r, line, sizeof(line))) {
    if (++lineno <= 2)
      continue; // the two header lines
    char *colon = strchr(line, ':');
    if (colon == nullptr)
      continue;
    const char *name = line;
    while (*name == ' ' || *name == '\t')
      name++;
    size_t name_len = std::min(static_cast<size_t>(colon - name), static_cast<size_t>(63));
    if (name_len == 2 && memcmp(name, "lo", 2) == 0)
      continue;
    unsigned long long rx = 0;
    unsigned long long tx = 0;
    if (sscanf(colon + 1, "%llu %*u %*u %*u %*u %*u %*u %*u %llu", &rx, &tx) == 2)
      bytes += rx + tx;
  }
  line_close(&r);
  return bytes;
}

void read_cpu_ticks(uint64_t *out_total, uint64_t *out_idle) {
  bg_read_cpu_ticks_from(kProcSources.stat, out_total, out_idle);
}

uint64_t read_own_cpu_ticks() { return bg_read_own_cpu_ticks_from(kProcSources.self_stat); }

uint64_t read_net_bytes() { return bg_read_net_bytes_from(kProcSources.net_dev); }

void bg_take_reading(const BgSources *sources, uint64_t now_ms, BgSampler *out_reading) {
  BgSampler r{};
  r.primed = 1;
  r.last_ms = now_ms;
  bg_read_cpu_ticks_from(sources->stat, &r.cpu_total, &r.cpu_idle);
  r.own_ticks = bg_read_own_cpu_ticks_from(sources->self_stat);
  r.disk_bytes = bg_read_disk_bytes_from(sources->diskstats);
  bg_read_own_io_from(sources->self_io, &r.own_disk_bytes, &r.own_net_bytes);
  r.net_bytes = bg_read_net_bytes_from(sources->net_dev);
  *out_reading = r;
}

void bg_load_between(const BgSampler *prev, const BgSampler *cur, BgLoad *out) {
  BgLoad load{};
  double dt = cur->last_ms > prev->last_ms
                  ? static_cast<double>(cur->last_ms - prev->last_ms) / 1000.0
                  : 0.001;

  // CPU as shares of all processors together, in whole percent.
  uint64_t dtotal = rise(cur->cpu_total, prev->cpu_total);
  if (dtotal != 0) {
    uint64_t didle = std::min(rise(cur->cpu_idle, prev->cpu_idle), dtotal);
    uint64_t busy = (dtotal - didle) * 100 / dtotal;
    uint64_t own_ticks = rise(cur->own_ticks, prev->own_ticks);
    uint64_t own = std::min<uint64_t>(own_ticks * 100 / dtotal, 100);
    load.self_cpu = static_cast<uint32_t>(own);
    load.foreign_cpu = busy > own ? static_cast<uint32_t>(std::min<uint64_t>(busy - own, 100)) : 0;
  }

  double own_io = static_cast<double>(rise(cur->own_disk_bytes, prev->own_disk_bytes)) / dt;
  double all_io = static_cast<double>(rise(cur->disk_bytes, prev->disk_bytes)) / dt;
  load.foreign_io = percent_of(all_io - own_io, BG_IO_FULL_BYTES_PER_S);
  load.self_io = percent_of(own_io, BG_IO_FULL_BYTES_PER_S);

  double own_net = static_cast<double>(rise(cur->own_net_bytes, prev->own_net_bytes)) / dt;
  double all_net = static_cast<double>(rise(cur->net_bytes, prev->net_bytes)) / dt;
  load.foreign_net = percent_of(all_net - own_net, BG_NET_FULL_BYTES_PER_S);
  load.self_net = percent_of(own_net, BG_NET_FULL_BYTES_PER_S);

  *out = load;
}

void bg_sample_from(BgSampler *sampler, BgLoad *out, const BgSources *sources, uint64_t now_ms) {
  if (sampler == nullptr || out == nullptr || sources == nullptr)
    return;
  *out = BgLoad{};
  BgSampler reading;
  bg_take_reading(sources, now_ms, &reading);
  if (sampler->primed != 0)
    bg_load_between(sampler, &reading, out);
  *sampler = reading;
}

void bg_sample(BgSampler *sampler, BgLoad *out) {
  bg_sample_from(sampler, out, &kProcSources, static_cast<uint64_t>(monotonic_ms()));
}
