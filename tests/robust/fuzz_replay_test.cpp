// Replays a fuzz target's committed corpus (its seeds and the inputs of
// every fault the fuzzers found, kept as regressions) through the target's
// own entry point, in the ordinary builds: the Release one and the
// sanitizer one.  Compiled once per target with ZPR_FUZZ_CORPUS naming the
// corpus directory and ZPR_FUZZ_TEST the test's name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  DIR *dir = opendir(ZPR_FUZZ_CORPUS);
  if (dir == nullptr)
    return files;
  while (const dirent *de = readdir(dir))
    if (de->d_name[0] != '.')
      files.push_back(std::string(ZPR_FUZZ_CORPUS) + "/" + de->d_name);
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

// One test name per target (ZPR_FUZZ_TEST), so ctest tells them apart.
TEST(FuzzReplay, ZPR_FUZZ_TEST) {
  const std::vector<std::string> files = corpus_files();
  ASSERT_GE(files.size(), 3u) << ZPR_FUZZ_CORPUS;
  // The targets may send their output to standard output, which is this
  // test's report: it goes to /dev/null while an input runs.
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  if (LLVMFuzzerInitialize != nullptr) {
    int argc = 1;
    char name[] = "fuzz_replay";
    char *args[] = {name, nullptr};
    char **argv = args;
    LLVMFuzzerInitialize(&argc, &argv);
  }
  const int null_fd = open("/dev/null", O_WRONLY);
  ASSERT_GE(null_fd, 0);
  for (const std::string &file : files) {
    const std::string bytes = zt::read_file(file);
    fflush(stdout);
    dup2(null_fd, STDOUT_FILENO);
    // A fault ends the test program (abort or a sanitizer report).
    const int rc = LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
                                          bytes.size());
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    EXPECT_EQ(rc, 0) << file;
  }
  close(null_fd);
  close(saved);
}

} // namespace
