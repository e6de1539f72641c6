// Small helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

namespace zt {

std::string build_dir(); // ZPR_BUILD_DIR (set by ctest): the programs under test

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
};

// Polls cond until it holds or timeout_ms passed: tests wait for conditions.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 20000);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::string capture_stderr(const std::function<void()> &fn); // fn's standard error

// A call's status against the expected one, named for the failure message.
// The calls of one braced list run in order, so a row may rely on the rows
// before it.
struct StatusRow {
  const char *name;
  int32_t got;
  int32_t want;
};
void expect_statuses(std::initializer_list<StatusRow> rows);

} // namespace zt
