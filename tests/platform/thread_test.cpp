#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Handoff {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  void *seen_arg = nullptr;
  bool ran = false;
};

int record_arg(void *arg) {
  auto *h = static_cast<Handoff *>(arg);
  mutex_lock(&h->mutex);
  h->seen_arg = arg;
  h->ran = true;
  cond_signal(&h->cond);
  mutex_unlock(&h->mutex);
  return -5;
}

} // namespace

TEST(Threads, EntryGetsItsArgumentAndJoinSucceeds) {
  Handoff h;
  ASSERT_EQ(mutex_init(&h.mutex), 0);
  ASSERT_EQ(cond_init(&h.cond), 0);
  pthread_t t;
  ASSERT_EQ(thread_start(&t, record_arg, &h), 0);
  mutex_lock(&h.mutex);
  while (!h.ran)
    ASSERT_EQ(cond_wait(&h.cond, &h.mutex), 0);
  mutex_unlock(&h.mutex);
  EXPECT_EQ(h.seen_arg, &h);
  EXPECT_EQ(thread_join(t), 0); // the entry's -5 is not passed on
  EXPECT_EQ(cond_destroy(&h.cond), 0);
  EXPECT_EQ(mutex_destroy(&h.mutex), 0);
}

TEST(Threads, ExitValueIsTheEntryResultWidened) {
  pthread_t t;
  ASSERT_EQ(thread_start(&t, [](void *) -> int { return -5; }, nullptr), 0);
  void *value = nullptr;
  ASSERT_EQ(pthread_join(t, &value), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(value), -5);
}

TEST(Threads, FailedCreatePassesTheErrorNumberOn) {
  // Under a process limit of 0 threads (as root too, once capabilities are
  // dropped by the uid change) pthread_create fails with EAGAIN.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(3);
    rlimit none{0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0)
      _exit(4);
    pthread_t t;
    int rc = thread_start(&t, [](void *) -> int { return 0; }, nullptr);
    _exit(rc == EAGAIN ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Threads, SignalAndBroadcastWithoutWaitersSucceed) {
  pthread_cond_t c;
  ASSERT_EQ(cond_init(&c), 0);
  EXPECT_EQ(cond_signal(&c), 0);
  EXPECT_EQ(cond_broadcast(&c), 0);
  EXPECT_EQ(cond_destroy(&c), 0);
}
