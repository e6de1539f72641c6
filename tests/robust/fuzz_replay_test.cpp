// A fuzz target's committed corpus (seeds and every fault found) through its entry point in the
// ordinary builds; built once per target, ZPR_FUZZ_CORPUS naming the corpus, ZPR_FUZZ_TEST the
// test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support/test_support.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

TEST(FuzzReplay, ZPR_FUZZ_TEST) {
  std::set<std::string> files;
  for (const auto &e : std::filesystem::directory_iterator(ZPR_FUZZ_CORPUS))
    files.insert(e.path());
  ASSERT_GE(files.size(), 3u) << ZPR_FUZZ_CORPUS;
  char name[] = "fuzz_replay";
  char *args[] = {name, nullptr};
  char **argv = args;
  int argc = 1;
  const int saved = dup(1);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (LLVMFuzzerInitialize != nullptr)
    LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string &file : files) { // what a target prints goes to /dev/null
    const std::string bytes = zt::read_file(file);
    fflush(stdout);
    dup2(null_fd, 1);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()),
              0)
        << file;
    fflush(stdout); // a fault ends the program (abort or sanitizer)
    dup2(saved, 1);
  }
}
