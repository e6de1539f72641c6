#include "block_queue.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/thread.h"

namespace {

void *take_locked(BlockQueue *q) {
  void *item = q->slots[q->head];
  q->head = (q->head + 1) % q->cap;
  q->count--;
  cond_signal(&q->not_full);
  return item;
}

// Absolute CLOCK_MONOTONIC deadline for pthread_cond_clockwait: a wall
// clock stepped back must not stall the waiting output stage.
timespec deadline_after(int timeout_ms) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += timeout_ms / 1000;
  ts.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

} // namespace

StatusCode block_queue_init(BlockQueue *q, uint32_t cap) {
  if (q == nullptr || cap == 0)
    return ST_INVAL;
  auto **slots = static_cast<void **>(calloc(cap, sizeof(void *)));
  if (slots == nullptr)
    return ST_NOMEM;
  q->slots = slots;
  q->cap = cap;
  q->head = 0;
  q->count = 0;
  q->closed = 0;
  mutex_init(&q->lock);
  cond_init(&q->not_empty);
  cond_init(&q->not_full);
  return ST_OK;
}

void block_queue_destroy(BlockQueue *q) {
  if (q == nullptr || q->slots == nullptr)
    return;
  cond_destroy(&q->not_full);
  cond_destroy(&q->not_empty);
  mutex_destroy(&q->lock);
  free(q->slots);
  q->slots = nullptr;
}

int block_queue_push(BlockQueue *q, void *item) {
  mutex_lock(&q->lock);
  while (q->count == q->cap && !q->closed)
    cond_wait(&q->not_full, &q->lock);
  if (q->closed) {
    mutex_unlock(&q->lock);
    return -1;
  }
  q->slots[(q->head + q->count) % q->cap] = item;
  q->count++;
  cond_signal(&q->not_empty);
  mutex_unlock(&q->lock);
  return 0;
}

void *block_queue_pop(BlockQueue *q) {
  mutex_lock(&q->lock);
  while (q->count == 0 && !q->closed)
    cond_wait(&q->not_empty, &q->lock);
  void *item = q->count > 0 ? take_locked(q) : nullptr;
  mutex_unlock(&q->lock);
  return item;
}

void *block_queue_pop_timed(BlockQueue *q, int timeout_ms, int *timed_out) {
  *timed_out = 0;
  timespec deadline = deadline_after(timeout_ms < 0 ? 0 : timeout_ms);
  mutex_lock(&q->lock);
  while (q->count == 0 && !q->closed) {
    if (pthread_cond_clockwait(&q->not_empty, &q->lock, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT) {
      if (q->count == 0 && !q->closed)
        *timed_out = 1;
      break;
    }
  }
  void *item = q->count > 0 ? take_locked(q) : nullptr;
  mutex_unlock(&q->lock);
  return item;
}

void block_queue_close(BlockQueue *q) {
  mutex_lock(&q->lock);
  q->closed = 1;
  cond_broadcast(&q->not_empty);
  cond_broadcast(&q->not_full);
  mutex_unlock(&q->lock);
}

uint32_t block_queue_depth(BlockQueue *q) {
  mutex_lock(&q->lock);
  uint32_t n = q->count;
  mutex_unlock(&q->lock);
  return n;
}
