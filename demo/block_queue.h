// A bounded FIFO of pointers between the stages of the demo pipeline
// (reader -> workers -> output, and the free pool back to the reader).
// The ring is allocated once by block_queue_init; pushing and popping
// allocate nothing.  Any number of producers and consumers.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "runtime/status.h"

struct BlockQueue {
  void **slots;
  uint32_t cap;
  uint32_t head;  // next slot to pop
  uint32_t count; // items held
  int closed;     // no more pushes; pops drain what is left
  pthread_mutex_t lock;
  pthread_cond_t not_empty;
  pthread_cond_t not_full;
};

// Allocates a ring of cap (at least 1) slots.  ST_INVAL for cap 0,
// ST_NOMEM when the ring cannot be allocated; q is untouched on failure.
StatusCode block_queue_init(BlockQueue *q, uint32_t cap);

// Frees the ring; no thread may still use the queue.
void block_queue_destroy(BlockQueue *q);

// Appends item, waiting while the queue is full.  Returns 0, or -1 when
// the queue is (or becomes) closed; the item is then not taken.
int block_queue_push(BlockQueue *q, void *item);

// Takes the oldest item, waiting while the queue is empty and open.
// Returns null once the queue is closed and empty.
void *block_queue_pop(BlockQueue *q);

// As block_queue_pop, but gives up after timeout_ms and returns null with
// *timed_out set (it is cleared otherwise).
void *block_queue_pop_timed(BlockQueue *q, int timeout_ms, int *timed_out);

// Marks the queue closed and wakes every waiter.
void block_queue_close(BlockQueue *q);

// Items held now (a snapshot, for reporting).
uint32_t block_queue_depth(BlockQueue *q);
