// The thread pool: ordered results, saturation, cancelling, limits and
// shutdown. Every wait here has a deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "base/threadlib.h"
#include "support/waitfor.h"

namespace palvon {
namespace {

using Clock = std::chrono::steady_clock;

void* word(uintptr_t n) { return reinterpret_cast<void*>(n); }
uintptr_t number(void* p) { return reinterpret_cast<uintptr_t>(p); }

bool waitUntil(const std::function<bool()>& predicate) { return test::waitFor(predicate, 10000, 1); }

int threadCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

std::vector<uintptr_t> drain(TaskResults* results) {
  std::vector<uintptr_t> values;
  if (!results) return values;
  for (u32 i = 0; i < results->count; i++) values.push_back(number(results->values[i]));
  taskResultsRelease(results);
  return values;
}

// Posts its argument as the result after a short random sleep.
void sleepAndPost(void* argument, TaskItem* item) {
  thread_local std::minstd_rand random(std::hash<std::thread::id>()(std::this_thread::get_id()));
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
  EXPECT_EQ(taskPostResult(item, argument, nullptr), nullptr);
}

TEST(ThreadPool, TenThousandItemsComeBackInSubmissionOrder) {
  ThreadPool* pool = nullptr;
  ASSERT_EQ(threadPoolCreate(8, 0, &pool), nullptr);
  Task* task = nullptr;
  ASSERT_EQ(taskCreate(pool, "order", kTaskThreaded | kTaskOrdered | kTaskPriority2, &task), nullptr);
  std::vector<uintptr_t> got;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  for (uintptr_t i = 0; i < 10000; i++) {
    while (taskIsSaturated(task) && Clock::now() < deadline) {
      for (uintptr_t v : drain(taskTakeResults(task))) got.push_back(v);
      taskWaitSome(task);
    }
    ASSERT_EQ(taskRun(task, sleepAndPost, word(i)), nullptr);
  }
  for (uintptr_t v : drain(taskFinish(task))) got.push_back(v);
  ASSERT_EQ(got.size(), 10000u);
  for (uintptr_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], i);
  // Destroying joins the manager and the eight workers.
  int running = threadCount();
  threadPoolDestroy(pool);
  EXPECT_EQ(threadCount(), running - 9);
}

// Items that post only when the test lets them, to fix the posting order.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int turn = -1;
  int posted = 0;
  u32 lastStatus = 99;
};

void postOnTurn(void* argument, TaskItem* item) {
  auto* gate = static_cast<Gate*>(argument);
  int me = static_cast<int>(item->sequence);
  std::unique_lock<std::mutex> lock(gate->mutex);
  if (!gate->changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate->turn == me; })) return;
  taskPostResult(item, word(static_cast<uintptr_t>(me)), &gate->lastStatus);
  if (me == 1) taskPostResult(item, word(100), &gate->lastStatus);  // a second result of one item
  gate->posted++;
  gate->changed.notify_all();
}

TEST(ThreadPool, OrderedResultsWaitForTheirTurn) {
  ThreadPool* pool = nullptr;
  ASSERT_EQ(threadPoolCreate(3, 0, &pool), nullptr);
  Task* task = nullptr;
  ASSERT_EQ(taskCreate(pool, "turns", kTaskThreaded | kTaskOrdered, &task), nullptr);
  Gate gate;
  for (int i = 0; i < 3; i++) ASSERT_EQ(taskRun(task, postOnTurn, &gate), nullptr);
  auto let = [&](int turn) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    int before = gate.posted;
    gate.turn = turn;
    gate.changed.notify_all();
    return gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.posted == before + 1; });
  };
  ASSERT_TRUE(let(2));
  EXPECT_EQ(gate.lastStatus, 0u);
  EXPECT_EQ(taskTakeResults(task), nullptr);
  ASSERT_TRUE(let(0));
  EXPECT_EQ(gate.lastStatus, 1u);
  EXPECT_EQ(drain(taskTakeResults(task)), (std::vector<uintptr_t>{0}));
  ASSERT_TRUE(let(1));
  EXPECT_EQ(gate.lastStatus, 2u);  // the last outstanding result
  EXPECT_EQ(drain(taskTakeResults(task)), (std::vector<uintptr_t>{1, 100, 2}));
  EXPECT_TRUE(drain(taskFinish(task)).empty());
  threadPoolDestroy(pool);
}

void recordThread(void* argument, TaskItem* item) {
  static_cast<std::vector<std::thread::id>*>(argument)->push_back(std::this_thread::get_id());
  taskPostResult(item, word(item->sequence), nullptr);
}

TEST(ThreadPool, PoolWithoutThreadsRunsInline) {
  ThreadPool* pool = nullptr;
  ASSERT_EQ(threadPoolCreate(0, 0, &pool), nullptr);
  Task* task = nullptr;
  ASSERT_EQ(taskCreate(pool, "inline", kTaskThreaded | kTaskOrdered, &task), nullptr);
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 5; i++) ASSERT_EQ(taskRun(task, recordThread, &threads), nullptr);
  ASSERT_EQ(threads.size(), 5u);
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(drain(taskFinish(task)), (std::vector<uintptr_t>{0, 1, 2, 3, 4}));
  threadPoolDestroy(pool);
}

struct Latch {
  std::atomic<bool> open{false};
  std::atomic<int> ran{0};
};

void waitForLatch(void* argument, TaskItem* item) {
  auto* latch = static_cast<Latch*>(argument);
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!latch->open && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  latch->ran++;
  taskPostResult(item, word(item->sequence), nullptr);
}

TEST(ThreadPool, CancelDropsItemsNotStarted) {
  ThreadPool* pool = nullptr;
  ASSERT_EQ(threadPoolCreate(1, 0, &pool), nullptr);
  Task* task = nullptr;
  ASSERT_EQ(taskCreate(pool, "cancel", kTaskThreaded, &task), nullptr);
  Latch latch;
  for (int i = 0; i < 100; i++) ASSERT_EQ(taskRun(task, waitForLatch, &latch), nullptr);
  ASSERT_TRUE(waitUntil([&] { return threadPoolBusyWorkers(pool) == 1 && threadPoolQueuedItems(pool) == 99; }));
  TaskResults* results = nullptr;
  std::thread canceller([&] { results = taskCancel(task); });
  // The queued items go at once; the running one is waited for.
  EXPECT_TRUE(waitUntil([&] { return threadPoolQueuedItems(pool) == 0; }));
  latch.open = true;
  canceller.join();
  EXPECT_EQ(latch.ran, 1);
  EXPECT_EQ(drain(results), (std::vector<uintptr_t>{0}));
  threadPoolDestroy(pool);
}

TEST(ThreadPool, FinishDoesNotHangWhenThreadsAreTakenAway) {
  ThreadPool* pool = nullptr;
  ASSERT_EQ(threadPoolCreate(1, 0, &pool), nullptr);
  Task* task = nullptr;
  ASSERT_EQ(taskCreate(pool, "shrink", kTaskThreaded | kTaskOrdered, &task), nullptr);
  Latch latch;
  for (int i = 0; i < 6; i++) ASSERT_EQ(taskRun(task, waitForLatch, &latch), nullptr);
  ASSERT_TRUE(waitUntil([&] { return threadPoolBusyWorkers(pool) == 1; }));
  threadPoolSetThreads(pool, 0, 0);
  latch.open = true;
  EXPECT_EQ(drain(taskFinish(task)), (std::vector<uintptr_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(latch.ran, 6);
  threadPoolDestroy(pool);
}

TEST(ThreadPool, ThreadFactorScalesSaturation) {
  setenv("ZAVthreadFactor", "0.5", 1);
  ThreadPool* pool = nullptr;
  ASSERT_EQ(threadPoolCreate(8, 0, &pool), nullptr);
  unsetenv("ZAVthreadFactor");
  auto counts = [&] {
    pthread_mutex_lock(&pool->mutex);
    std::pair<u32, u32> c{pool->kind0Count, pool->effectiveCount};
    pthread_mutex_unlock(&pool->mutex);
    return c;
  };
  ASSERT_TRUE(waitUntil([&] { return counts().first == 8; }));
  EXPECT_EQ(counts().second, 4u);
  Task* task = nullptr;
  ASSERT_EQ(taskCreate(pool, "saturate", kTaskThreaded, &task), nullptr);
  Latch latch;
  for (int i = 0; i < 4; i++) ASSERT_EQ(taskRun(task, waitForLatch, &latch), nullptr);
  EXPECT_EQ(taskIsSaturated(task), 0);
  ASSERT_EQ(taskRun(task, waitForLatch, &latch), nullptr);
  EXPECT_EQ(taskIsSaturated(task), 1);
  latch.open = true;
  EXPECT_EQ(drain(taskFinish(task)).size(), 5u);
  threadPoolDestroy(pool);
}

TEST(ThreadPool, DefaultPoolIsKeptAcrossCountChanges) {
  ASSERT_EQ(threadPoolSetDefaultThreads(2), nullptr);
  ThreadPool* pool = threadPoolDefault();
  ASSERT_NE(pool, nullptr);
  ASSERT_EQ(threadPoolSetDefaultThreads(3), nullptr);
  EXPECT_EQ(threadPoolDefault(), pool);
  EXPECT_EQ(threadPoolGetThreads(pool), 3u);
}

}  // namespace
}  // namespace palvon
