// Throughput of block_reader_read over a 1 GiB file in the page cache, with
// 1 MiB and 64 KiB blocks, against dd reading the same file with the same
// block size in the same run.  Target: ours / dd >= 0.9.
//
//   block_read_bench [directory for the scratch file, default /tmp]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/block.h"

namespace {

constexpr uint64_t kFileSize = uint64_t{1} << 30;
constexpr int kRounds = 7;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool make_file(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0)
    return false;
  std::vector<unsigned char> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); i++)
    chunk[i] = static_cast<unsigned char>(i * 131 + 7);
  bool ok = true;
  for (uint64_t done = 0; ok && done < kFileSize; done += chunk.size())
    ok = write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
  close(fd);
  return ok;
}

// Seconds for one pass over the file through a block handle; -1 on failure.
double read_blocks(const std::string &path, uint32_t block) {
  static std::vector<unsigned char> buf;
  buf.resize(block);
  BlockHandle h;
  if (block_reader_open(&h, path.c_str()) != ST_OK)
    return -1;
  double t0 = now_s();
  uint64_t blocks = kFileSize / block;
  uint64_t sum = 0;
  for (uint64_t i = 0; i < blocks; i++) {
    int32_t n = 0;
    if (block_reader_read(&h, i, block, buf.data(), &n) != ST_OK ||
        n != static_cast<int32_t>(block)) {
      block_reader_close(&h);
      return -1;
    }
    sum += buf[0];
  }
  double t = now_s() - t0;
  block_reader_close(&h);
  if (sum == 1) // keeps the reads from being thought useless
    puts("");
  return t;
}

// dd's own figure of seconds for the copy (start-up excluded); -1 on failure.
double read_dd(const std::string &path, uint32_t block) {
  std::string cmd =
      "LC_ALL=C dd if=" + path + " of=/dev/null bs=" + std::to_string(block) + " 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr)
    return -1;
  char line[512];
  double secs = -1;
  while (fgets(line, sizeof(line), p) != nullptr) {
    const char *copied = strstr(line, "copied, ");
    if (copied != nullptr)
      secs = strtod(copied + 8, nullptr);
  }
  pclose(p);
  return secs;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::string path = dir + "/zpr-block-read-bench." + std::to_string(getpid());
  if (!make_file(path)) {
    fprintf(stderr, "cannot create %s\n", path.c_str());
    unlink(path.c_str());
    return 1;
  }
  // One pass of each reader first, so both start from a warm page cache.
  read_dd(path, 1 << 20);
  read_blocks(path, 1 << 20);

  int status = 0;
  printf("%-9s %12s %12s %8s\n", "block", "ours GB/s", "dd GB/s", "ratio");
  for (uint32_t block : {1u << 20, 64u << 10}) {
    std::vector<double> ours, dd;
    for (int r = 0; r < kRounds; r++) {
      double a = read_blocks(path, block);
      double b = read_dd(path, block);
      if (a <= 0 || b <= 0) {
        fprintf(stderr, "a reading pass failed\n");
        status = 1;
        break;
      }
      ours.push_back(static_cast<double>(kFileSize) / a / 1e9);
      dd.push_back(static_cast<double>(kFileSize) / b / 1e9);
    }
    if (ours.empty())
      continue;
    double mo = median(ours);
    double md = median(dd);
    printf("%-9s %12.2f %12.2f %8.2f %s\n", block == (1u << 20) ? "1 MiB" : "64 KiB", mo, md,
           mo / md, mo / md >= 0.9 ? "(>= 0.9: ok)" : "(below 0.9)");
  }
  unlink(path.c_str());
  return status;
}
