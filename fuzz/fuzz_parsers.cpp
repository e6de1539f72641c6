// The text parsers of the system description and the load sampler, each
// on the same arbitrary file: /etc/os-release, /proc/stat,
// /proc/self/stat, /proc/diskstats, /proc/self/io and /proc/net/dev.
// The input is written to a memfd and handed over as /proc/self/fd/N, so
// the parsers open and read it exactly as they read the real files.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/sysutil_internal.h"
#include "sampler/load.h"

namespace {

int g_fd = -1;
char g_path[64];

void check(bool ok) {
  if (!ok)
    abort();
}

// The description in a heap block of exactly size bytes: terminated inside
// it, never written beyond it.
void describe(size_t size) {
  char *buf = static_cast<char *>(malloc(size == 0 ? 1 : size));
  if (size == 0)
    buf[0] = 'x';
  check(os_description_from(g_path, buf, size) == 0);
  if (size == 0)
    check(buf[0] == 'x');
  else
    check(strnlen(buf, size) < size);
  free(buf);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_fd = memfd_create("fuzz_parsers", 0);
  if (g_fd < 0)
    abort();
  snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (ftruncate(g_fd, 0) != 0 ||
      (size != 0 && pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size)))
    abort();

  describe(0);
  describe(1);
  describe(9);
  describe(512);

  uint64_t total = 7, idle = 7;
  bg_read_cpu_ticks_from(g_path, &total, &idle);
  (void)bg_read_own_cpu_ticks_from(g_path);
  (void)bg_read_disk_bytes_from(g_path);
  uint64_t disk = 0, net = 0;
  bg_read_own_io_from(g_path, &disk, &net);
  (void)bg_read_net_bytes_from(g_path);

  // The whole reading over the same file, and the loads between it and a
  // zero reading one interval earlier: percentages stay within 0..100.
  const BgSources sources{g_path, g_path, g_path, g_path, g_path};
  BgSampler prev{};
  prev.primed = 1;
  BgSampler cur{};
  bg_take_reading(&sources, 1000, &cur);
  BgLoad load{};
  bg_load_between(&prev, &cur, &load);
  for (uint32_t p : {load.foreign_cpu, load.foreign_io, load.foreign_net, load.self_cpu,
                     load.self_io, load.self_net})
    check(p <= 100);
  return 0;
}
