#include "runtime/log.h"

#include <cctype>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/thread.h"
#include "support/test_support.h"

namespace {

// The logger is process-wide state, so every case that changes it runs in
// a forked child; the child's verdict comes back as its exit status.
template <typename Fn> void in_child(Fn fn) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    fn();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  if (start < text.size())
    lines.push_back(text.substr(start));
  return lines;
}

// "2026-10-05T09:14:03Z " at the start of a line.
bool stamped(const std::string &line) {
  const char *shape = "dddd-dd-ddTdd:dd:ddZ ";
  if (line.size() < 21)
    return false;
  for (size_t i = 0; i < 21; i++) {
    bool ok = shape[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
    if (!ok)
      return false;
  }
  return true;
}

} // namespace

TEST(ConsoleLogger, LineFormatBeforeInitUsesTheDefaultTag) {
  in_child([] {
    std::string out = zt::capture_stderr([] { log_msg(LVL_WARN, "disk %d of %s", 3, "sda"); });
    auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 1u) << out;
    EXPECT_TRUE(stamped(lines[0])) << lines[0];
    EXPECT_EQ(lines[0].substr(21), "[zpr] WARN  disk 3 of sda");
  });
}

TEST(ConsoleLogger, LabelsArePaddedToFiveAndThresholdFilters) {
  in_child([] {
    log_init("zpr_monitor", LVL_INFO);
    std::string out = zt::capture_stderr([] {
      log_msg(LVL_DEBUG, "hidden");
      log_msg(LVL_INFO, "i");
      log_msg(LVL_WARN, "w");
      log_msg(LVL_ERROR, "e");
      log_msg(7, "odd level");
    });
    auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 4u) << out;
    EXPECT_EQ(lines[0].substr(21), "[zpr_monitor] INFO  i");
    EXPECT_EQ(lines[1].substr(21), "[zpr_monitor] WARN  w");
    EXPECT_EQ(lines[2].substr(21), "[zpr_monitor] ERROR e");
    EXPECT_EQ(lines[3].substr(21), "[zpr_monitor] ?     odd level");
  });
}

TEST(ConsoleLogger, ThresholdErrorKeepsOnlyErrorsAndAbove) {
  in_child([] {
    log_init("t", LVL_ERROR);
    std::string out = zt::capture_stderr([] {
      log_msg(LVL_INFO, "no");
      log_msg(LVL_WARN, "no");
      log_msg(LVL_ERROR, "yes");
      log_msg(4, "yes too");
    });
    EXPECT_EQ(lines_of(out).size(), 2u) << out;
  });
}

TEST(ConsoleLogger, TagIsCutAt63AndNewlineIsAlwaysAdded) {
  in_child([] {
    log_init(std::string(80, 'n').c_str(), LVL_INFO);
    std::string out = zt::capture_stderr([] { log_msg(LVL_INFO, "ends in newline\n"); });
    EXPECT_NE(out.find("[" + std::string(63, 'n') + "] "), std::string::npos) << out;
    EXPECT_EQ(out.find(std::string(64, 'n')), std::string::npos);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
  });
}

TEST(ConsoleLogger, LinesOfConcurrentThreadsNeverInterleave) {
  in_child([] {
    log_init("mt", LVL_INFO);
    constexpr int kThreads = 4, kLines = 300;
    std::string out = zt::capture_stderr([] {
      pthread_t threads[kThreads];
      for (auto &t : threads)
        ASSERT_EQ(thread_start(&t, [](void *) -> int {
          for (int i = 0; i < kLines; i++)
            log_msg(LVL_INFO, "%s", std::string(200, 'a' + i % 26).c_str());
          return 0;
        }, nullptr), 0);
      for (auto &t : threads)
        EXPECT_EQ(thread_join(t), 0);
    });
    auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    for (const auto &line : lines) {
      ASSERT_TRUE(stamped(line)) << line;
      const std::string rest = line.substr(21);
      ASSERT_EQ(rest.size(), std::string("[mt] INFO  ").size() + 200) << line;
      ASSERT_EQ(rest.substr(0, 11), "[mt] INFO  ") << line;
      ASSERT_EQ(rest.substr(11), std::string(200, rest[11])) << line;
    }
  });
}
