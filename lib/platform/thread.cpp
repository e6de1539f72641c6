#include "platform/thread.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Handed from thread_start to the new thread, which frees it before the
// entry runs; thread_start frees it only when pthread_create fails.
struct ThreadStart {
  ThreadEntry entry;
  void *arg;
};

void *thread_body(void *p) {
  auto *start = static_cast<ThreadStart *>(p);
  ThreadEntry entry = start->entry;
  void *arg = start->arg;
  free(start);
  int result = entry(arg);
  return reinterpret_cast<void *>(static_cast<intptr_t>(result));
}

} // namespace

int thread_start(pthread_t *thread, ThreadEntry entry, void *arg) {
  auto *start = static_cast<ThreadStart *>(malloc(sizeof(ThreadStart)));
  if (start == nullptr)
    return -1;
  start->entry = entry;
  start->arg = arg;
  int rc = pthread_create(thread, nullptr, thread_body, start);
  if (rc != 0)
    free(start);
  return rc;
}

int thread_join(pthread_t thread) {
  void *ignored = nullptr;
  return pthread_join(thread, &ignored);
}

int mutex_init(pthread_mutex_t *mutex) { return pthread_mutex_init(mutex, nullptr); }
int mutex_destroy(pthread_mutex_t *mutex) { return pthread_mutex_destroy(mutex); }
int mutex_lock(pthread_mutex_t *mutex) { return pthread_mutex_lock(mutex); }
int mutex_unlock(pthread_mutex_t *mutex) { return pthread_mutex_unlock(mutex); }

int cond_init(pthread_cond_t *cond) { return pthread_cond_init(cond, nullptr); }
int cond_destroy(pthread_cond_t *cond) { return pthread_cond_destroy(cond); }
int cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) {
  return pthread_cond_wait(cond, mutex);
}
int cond_signal(pthread_cond_t *cond) { return pthread_cond_signal(cond); }
int cond_broadcast(pthread_cond_t *cond) { return pthread_cond_broadcast(cond); }
