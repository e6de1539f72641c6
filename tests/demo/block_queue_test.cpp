#include "block_queue.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

void *item(uintptr_t v) { return reinterpret_cast<void *>(v); }

TEST(BlockQueue, FifoWithinCapacityAndDrainsAfterClose) {
  BlockQueue q;
  ASSERT_EQ(block_queue_init(&q, 3), ST_OK);
  for (uintptr_t v = 1; v <= 3; v++)
    ASSERT_EQ(block_queue_push(&q, item(v)), 0);
  EXPECT_EQ(block_queue_depth(&q), 3u);
  EXPECT_EQ(block_queue_pop(&q), item(1));
  ASSERT_EQ(block_queue_push(&q, item(4)), 0); // wraps around the ring
  block_queue_close(&q);
  EXPECT_EQ(block_queue_push(&q, item(5)), -1);
  EXPECT_EQ(block_queue_pop(&q), item(2));
  EXPECT_EQ(block_queue_pop(&q), item(3));
  EXPECT_EQ(block_queue_pop(&q), item(4));
  EXPECT_EQ(block_queue_pop(&q), nullptr);
  block_queue_destroy(&q);
}

TEST(BlockQueue, RejectsZeroCapacity) {
  BlockQueue q{};
  EXPECT_EQ(block_queue_init(&q, 0), ST_INVAL);
  EXPECT_EQ(q.slots, nullptr);
}

TEST(BlockQueue, TimedPopReportsTimeoutOnlyWhenOpenAndEmpty) {
  BlockQueue q;
  ASSERT_EQ(block_queue_init(&q, 2), ST_OK);
  int timed_out = 0;
  EXPECT_EQ(block_queue_pop_timed(&q, 10, &timed_out), nullptr);
  EXPECT_EQ(timed_out, 1);
  block_queue_push(&q, item(9));
  EXPECT_EQ(block_queue_pop_timed(&q, 10, &timed_out), item(9));
  EXPECT_EQ(timed_out, 0);
  block_queue_close(&q);
  EXPECT_EQ(block_queue_pop_timed(&q, 10000, &timed_out), nullptr);
  EXPECT_EQ(timed_out, 0) << "closed: the end, not a timeout";
  block_queue_destroy(&q);
}

TEST(BlockQueue, CloseWakesBlockedProducersAndConsumers) {
  BlockQueue full, empty;
  ASSERT_EQ(block_queue_init(&full, 1), ST_OK);
  ASSERT_EQ(block_queue_init(&empty, 1), ST_OK);
  block_queue_push(&full, item(1));
  std::atomic<int> push_result{1};
  std::atomic<void *> pop_result{item(1)};
  std::atomic<pid_t> producer_tid{0}, consumer_tid{0};
  std::thread producer([&] {
    producer_tid = gettid();
    push_result = block_queue_push(&full, item(2));
  });
  std::thread consumer([&] {
    consumer_tid = gettid();
    pop_result = block_queue_pop(&empty);
  });
  // Close only once both threads are asleep in the queue, so that the
  // close has to wake them.
  auto sleeping = [](pid_t tid) {
    if (tid == 0)
      return false;
    std::string stat = zt::read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
  };
  ASSERT_TRUE(zt::wait_until([&] { return sleeping(producer_tid) && sleeping(consumer_tid); }));
  block_queue_close(&full);
  block_queue_close(&empty);
  producer.join();
  consumer.join();
  EXPECT_EQ(push_result.load(), -1);
  EXPECT_EQ(pop_result.load(), nullptr);
  block_queue_destroy(&full);
  block_queue_destroy(&empty);
}

// Several producers and consumers through a small ring: every item arrives
// exactly once, and the depth never exceeds the capacity.
TEST(BlockQueue, ManyThreadsLoseAndDuplicateNothing) {
  BlockQueue q;
  ASSERT_EQ(block_queue_init(&q, 4), ST_OK);
  constexpr uintptr_t PER = 20000;
  std::vector<std::atomic<int>> seen(4 * PER + 1);
  std::vector<std::thread> threads;
  std::atomic<bool> overfull{false};
  for (uintptr_t p = 0; p < 4; p++)
    threads.emplace_back([&, p] {
      for (uintptr_t i = 1; i <= PER; i++)
        block_queue_push(&q, item(p * PER + i));
    });
  std::vector<std::thread> consumers;
  for (int c = 0; c < 3; c++)
    consumers.emplace_back([&] {
      while (void *v = block_queue_pop(&q)) {
        seen[reinterpret_cast<uintptr_t>(v)]++;
        if (block_queue_depth(&q) > 4)
          overfull = true;
      }
    });
  for (auto &t : threads)
    t.join();
  block_queue_close(&q);
  for (auto &t : consumers)
    t.join();
  EXPECT_FALSE(overfull.load());
  for (uintptr_t v = 1; v <= 4 * PER; v++)
    ASSERT_EQ(seen[v].load(), 1) << "item " << v;
  block_queue_destroy(&q);
}

} // namespace
