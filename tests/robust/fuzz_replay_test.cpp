// A fuzz target's committed corpus (seeds and every fault found) through its entry point in the
// ordinary builds; built once per target, ZPR_FUZZ_CORPUS naming the corpus, ZPR_FUZZ_TEST the
// test.
#include <gtest/gtest.h>

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
  if (LLVMFuzzerInitialize != nullptr)
    LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string &file : files) { // a fault ends the program (abort or sanitizer)
    const std::string bytes = zt::read_file(file);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()),
              0)
        << file;
  }
}
