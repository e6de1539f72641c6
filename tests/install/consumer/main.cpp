// A worker tool in miniature, built against an installed zpr library:
// publishes its progress segment, reports one update, says "ready <pid>",
// waits for a line on standard input and finishes the job as DONE.
#include <cinttypes>
#include <cstdio>
#include <unistd.h>

#include "progress/writer.h"
#include "runtime/status.h"
#include "runtime/version.h"

int main()
{
  ProgressSegment *segment = nullptr;
  StatusCode st = progress_create(&segment, TOOL_AGENT, "consumer", BACKUP_FULL, 100,
                                  "/srv/consumer.img");
  if (st != ST_OK) {
    std::fprintf(stderr, "consumer: progress_create: %s\n", status_name(st));
    return 1;
  }

  ProgressSample sample{};
  sample.blocks_done = 42;
  sample.bytes_raw = 42 * 4096;
  sample.bytes_compressed = 42 * 1024;
  sample.q_raw_cap = 8;
  sample.q_out_cap = 8;
  sample.workers_active = 3;
  sample.workers_total = 4;
  sample.level = 3;
  progress_update(segment, &sample);

  std::printf("ready %d %s\n", static_cast<int>(getpid()), VERSION_STRING);
  std::fflush(stdout);

  char line[64];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    progress_finish(0);
    return 1;
  }
  progress_finish(1);
  return 0;
}
