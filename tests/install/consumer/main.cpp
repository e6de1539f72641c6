// A worker tool in miniature built against the installed library: one
// update, "ready <pid>", then DONE once a line arrives on standard input.
#include <cstdio>
#include <unistd.h>

#include "progress/writer.h"

int main() {
  ProgressSegment *seg = nullptr;
  if (progress_create(&seg, TOOL_AGENT, "consumer", BACKUP_FULL, 100, "/srv/consumer.img") != ST_OK)
    return 1;
  ProgressSample s{};
  s.blocks_done = 42;
  s.bytes_raw = 42 * 4096;
  s.bytes_compressed = 42 * 1024;
  s.q_raw_cap = 8;
  s.q_out_cap = 8;
  s.workers_active = 3;
  s.workers_total = 4;
  s.level = 3;
  progress_update(seg, &s);
  printf("ready %d\n", getpid());
  fflush(stdout);
  char line[64];
  progress_finish(fgets(line, sizeof line, stdin) != nullptr);
}
