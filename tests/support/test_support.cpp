#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace zt {

std::string build_dir() {
  const char *dir = getenv("ZPR_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}

TempDir::TempDir() {
  char templ[] = "/tmp/zpr-test-XXXXXX";
  const char *made = mkdtemp(templ);
  path = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (path != "/tmp")
    std::filesystem::remove_all(path, ec);
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string capture_stderr(const std::function<void()> &fn) {
  fflush(stderr);
  char templ[] = "/tmp/zpr-stderr-XXXXXX";
  int fd = mkstemp(templ);
  int saved = dup(2);
  dup2(fd, 2);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::string text = read_file(templ);
  unlink(templ);
  return text;
}

} // namespace zt
