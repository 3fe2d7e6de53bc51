// Memory wrappers, temporary strings, the scratch block, locked queues and the
// host/clock/file-lock primitives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "base/hostclock.h"
#include "base/queue.h"
#include "base/strings.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

int hookA(size_t) { return 0; }
int hookB(size_t) { return 0; }

TEST(Memory, HookInstalledOnlyOverTheDefault) {
  memResetOutOfMemoryHook();
  memSetOutOfMemoryHook(hookA);
  memSetOutOfMemoryHook(hookB);
  EXPECT_EQ(memOutOfMemoryHook(), &hookA);
  memResetOutOfMemoryHook();
  memSetOutOfMemoryHook(hookB);
  EXPECT_EQ(memOutOfMemoryHook(), &hookB);
  memResetOutOfMemoryHook();
  EXPECT_EQ(memOutOfMemoryHook(), &memDefaultOutOfMemoryHook);
}

int gRetries;
int retryTwice(size_t) { return ++gRetries < 3 ? 1 : 0; }

TEST(Memory, FailedAllocationRetriesThroughTheHook) {
  memResetOutOfMemoryHook();
  memSetOutOfMemoryHook(retryTwice);
  gRetries = 0;
  // Larger than any address space: every attempt fails.
  void* p = memAlloc(static_cast<size_t>(1) << 62);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(gRetries, 3);
  memResetOutOfMemoryHook();
}

// Finds the pool's start by allocating until the ring wraps.
char* ringStart() {
  char* previous = tmpAlloc(1000);
  for (;;) {
    char* next = tmpAlloc(1000);
    if (next < previous) return next;
    previous = next;
  }
}

TEST(TmpRing, WrapsExactlyPastTheLastByte) {
  char* p = ringStart();  // the cursor is now p + 1000
  EXPECT_EQ(tmpAlloc(0), p + 1000);
  // A piece ending exactly on the pool start + 65,527 is served at the cursor.
  EXPECT_EQ(tmpAlloc(65527 - 1000), p + 1000);
  // One byte more than fits starts over at the pool start.
  EXPECT_EQ(tmpAlloc(1), p);
  EXPECT_EQ(tmpAlloc(kTmpRingSize + 1), nullptr);
}

TEST(TmpRing, Texts) {
  EXPECT_STREQ(tmpStrndup(nullptr, 5), "");
  std::string big(20000, 'q');
  const char* cut = tmpStrndup(big.data(), big.size());
  EXPECT_EQ(std::strlen(cut), 16383u);
  std::string longText(3000, 'a');
  EXPECT_EQ(std::strlen(tmpPrintf("%s", longText.c_str())), 1023u);
  EXPECT_STREQ(tmpPrintable("a\nb\xc3\xa4"), "a b??");
  EXPECT_NE(std::string(errnoText(99999)).find("(errno 99999)"), std::string::npos);
}

TEST(Scratch, LentOnceAndReallocBeyondTheBlockCopiesAndReleases) {
  void* tooBig = scratchAlloc(kScratchSize + 1);
  EXPECT_FALSE(scratchIsBlock(tooBig));
  scratchFree(tooBig);
  auto* block = static_cast<unsigned char*>(scratchAlloc(kScratchSize));
  ASSERT_TRUE(scratchIsBlock(block));
  void* second = scratchAlloc(100);
  EXPECT_FALSE(scratchIsBlock(second));
  scratchFree(second);
  for (size_t i = 0; i < kScratchSize; ++i) block[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(scratchRealloc(block, 1000), block);
  auto* heap = static_cast<unsigned char*>(scratchRealloc(block, 70000));
  ASSERT_FALSE(scratchIsBlock(heap));
  for (size_t i = 0; i < kScratchSize; ++i) ASSERT_EQ(heap[i], static_cast<unsigned char>(i * 7));
  void* free = scratchAlloc(5);
  EXPECT_TRUE(scratchIsBlock(free));
  scratchFree(free);
  scratchFree(heap);
}

TEST(Scratch, ConcurrentTakersNeverShareTheBlock) {
  std::atomic<int> holders{0};
  std::atomic<bool> overlap{false};
  auto worker = [&] {
    for (int i = 0; i < 20000; ++i) {
      void* p = scratchAlloc(64);
      if (scratchIsBlock(p) && holders.fetch_add(1) != 0) overlap = true;
      if (scratchIsBlock(p)) holders.fetch_sub(1);
      scratchFree(p);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_FALSE(overlap.load());
}

TEST(Strings, CopyAndAppendReportCuts) {
  char buffer[8];
  EXPECT_EQ(strCopy(buffer, "abcdefghij", sizeof buffer), 7u);
  EXPECT_STREQ(buffer, "abcdefg");
  strCopy(buffer, "ab", sizeof buffer);
  EXPECT_EQ(strAppend(buffer, "cd", sizeof buffer), 4u);
  EXPECT_EQ(strAppend(buffer, "efghij", sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_STREQ(sourceModule("/a/b/orders.test.cpp"), "orders");
}

TEST(Queue, LinksStayConsistent) {
  Queue* q = queueCreate();
  int a = 1, b = 2, c = 3;
  ASSERT_EQ(queueAppend(&a, q), nullptr);
  QueueNode* only = queuePop(q);
  EXPECT_EQ(q->head, nullptr);
  EXPECT_EQ(q->tail, nullptr);
  EXPECT_EQ(q->count, 0u);
  free(only);

  queueAppend(&a, q);
  queueAppend(&b, q);
  QueueNode* tail = q->tail;
  queueUnlink(tail, q);
  EXPECT_EQ(q->tail->data, &a);
  EXPECT_EQ(q->tail->next, nullptr);
  free(tail);

  queueInsertAfter(&c, q->tail, q);
  EXPECT_EQ(q->tail->data, &c);
  queueInsertBefore(&b, q->head, q);
  EXPECT_EQ(q->head->data, &b);
  EXPECT_EQ(q->count, 3u);
  QueueNode stranger{nullptr, nullptr};
  queueUnlink(&stranger, q);
  EXPECT_EQ(q->count, 3u);
  for (int want : {2, 1, 3}) {
    QueueNode* n = queuePop(q);
    EXPECT_EQ(*static_cast<int*>(n->data), want);
    free(n);
  }
  queueDestroy(q);
}

TEST(HostClock, DurationsAtTheUnitEdges) {
  struct Row { long seconds; const char* text; } rows[] = {
      {-5, "0 sec."}, {179, "179 sec."}, {180, "3 min."}, {7199, "120 min."}, {7200, "2 hours"},
      {2678400, "31 days"}, {2678401, "4 weeks"}, {63072000, "2 years"}};
  for (const Row& row : rows) EXPECT_STREQ(formatDuration(row.seconds), row.text) << row.seconds;
}

TEST(HostClock, ReopenAndLockAcrossProcesses) {
  test::TempDir dir;
  FILE* stream = fopen(dir.file("log").c_str(), "w");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(fileReopen(stream, (dir.path() + "/missing/x").c_str(), "r"), nullptr);
  fprintf(stream, "still open\n");

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    FILE* own = fopen(dir.file("log").c_str(), "r+");
    fileLockWrite(own);
    (void)!write(ready[1], "x", 1);
    usleep(400000);
    fileUnlock(own);
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(fileLockWrite(stream), 1);
  auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_EQ(fileUnlock(stream), 1);
  int status = 0;
  waitpid(child, &status, 0);
  fclose(stream);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace palvon
