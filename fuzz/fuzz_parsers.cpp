// The system description's and the load sampler's parsers on one arbitrary file, a memfd's
// /proc/self/fd/N, so they open and read it as they read the real files.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/sysutil_internal.h"
#include "sampler/load.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int fd = memfd_create("fuzz_parsers", 0);
  static char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (ftruncate(fd, 0) != 0 || (size != 0 && pwrite(fd, data, size, 0) != ssize_t(size)))
    abort();
  // The description in a heap block of exactly its size, terminated inside.
  for (size_t cap : {1, 9, 512}) {
    char *buf = static_cast<char *>(malloc(cap));
    if (os_description_from(path, buf, cap) != 0 || strnlen(buf, cap) == cap)
      abort();
    free(buf);
  }
  // A reading of the file as each source, and the loads since a zero reading a second earlier: all
  // in 0..100.
  const BgSources sources{path, path, path, path, path};
  const BgSampler prev{1, 0, 0, 0, 0, 0, 0, 0, 0}; // primed
  BgSampler cur{};
  bg_take_reading(&sources, 1000, &cur);
  BgLoad load{};
  bg_load_between(&prev, &cur, &load);
  for (uint32_t p : {load.foreign_cpu, load.foreign_io, load.foreign_net, load.self_cpu,
                     load.self_io, load.self_net})
    if (p > 100)
      abort();
  return 0;
}
