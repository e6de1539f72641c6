#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zt {

std::string build_dir() {
  return getenv("ZPR_BUILD_DIR") != nullptr ? getenv("ZPR_BUILD_DIR") : ".";
}

TempDir::TempDir() {
  char templ[] = "/tmp/zpr-test-XXXXXX";
  path = mkdtemp(templ) != nullptr ? templ : "/tmp";
}
TempDir::~TempDir() {
  std::error_code ec;
  if (path != "/tmp")
    std::filesystem::remove_all(path, ec);
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (; !cond(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() > deadline)
      return false;
  return true;
}

std::string read_file(const std::string &path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}
void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string capture_stderr(const std::function<void()> &fn) {
  TempDir dir;
  fflush(stderr);
  int saved = dup(2), fd = creat((dir.path + "/err").c_str(), 0600);
  dup2(fd, 2);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  return read_file(dir.path + "/err");
}

void expect_statuses(std::initializer_list<StatusRow> rows) {
  for (const StatusRow &row : rows)
    EXPECT_EQ(row.got, row.want) << row.name;
}

} // namespace zt
