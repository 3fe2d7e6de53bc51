// The pool of the proxy's own shared segments for core images.
#include <gtest/gtest.h>

#include <vector>

#include <sys/shm.h>

#include "Proxy/servers/display.h"
#include "Xext/shm/pool.h"
#include "base/orders.h"

namespace palvon {
namespace {

// The loop's time moves only when a test steps it.
u64 fakeMs;
u64 fakeClock() { return fakeMs; }
int fakePoll(pollfd*, nfds_t, int timeoutMs) {
  if (timeoutMs > 0) fakeMs += u64(timeoutMs);
  return 0;
}

class ShmPool : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeMs = 1000000;
    ordersSetClock(fakeClock);
    ordersSetPoll(fakePoll);
    ordersInit();
  }
  void TearDown() override {
    for (PooledSegment* loan : lent) releasePooledSegment(loan);
    freeIdlePooledSegments();
    EXPECT_EQ(pooledSegmentBytes(), 0u);
    ordersFreeAll();
    ordersSetClock(nullptr);
    ordersSetPoll(nullptr);
  }
  PooledSegment* lend(u64 bytes) {
    PooledSegment* loan = lendPooledSegment(bytes);
    if (loan) lent.push_back(loan);
    return loan;
  }
  // The image went to `servers` servers; `answered` of their round trips
  // came back.
  void giveBack(PooledSegment* loan, int servers, int answered) {
    std::erase(lent, loan);
    for (int i = 0; i < servers; i++) holdPooledSegment(loan);
    for (int i = 0; i < answered; i++) answerPooledSegment(loan);
    for (int i = 0; i < servers; i++) releasePooledSegment(loan);
    if (servers == 0) releasePooledSegment(loan);
  }
  void giveBack(PooledSegment* loan, bool answered) { giveBack(loan, 1, answered ? 1 : 0); }
  std::vector<PooledSegment*> lent;
};

struct Reuse {
  const char* name;
  int servers;     // the image went to so many servers
  int answered;    // of whose round trips so many came back
  u64 nextBytes;   // the next image
  bool reused;
};

class ShmPoolReuse : public ShmPool, public ::testing::WithParamInterface<Reuse> {};

// A segment is lent again only once the server has read it, and only to an
// image it holds without wasting much.
TEST_P(ShmPoolReuse, LendsAgainOnlyWhatTheServerHasRead) {
  const Reuse& c = GetParam();
  PooledSegment* first = lend(1 << 20);
  ASSERT_NE(first, nullptr);
  ShmSegment* segment = first->segment;
  int id = segment->segmentId;
  giveBack(first, c.servers, c.answered);
  u64 made = pooledSegmentsMade();
  PooledSegment* second = lend(c.nextBytes);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->segment == segment && second->segment->segmentId == id, c.reused);
  EXPECT_EQ(pooledSegmentsMade(), made + (c.reused ? 0 : 1));
  EXPECT_GE(second->segment->size, c.nextBytes);
}

INSTANTIATE_TEST_SUITE_P(, ShmPoolReuse,
                         ::testing::Values(Reuse{"Answered", 1, 1, 1 << 20, true},
                                           Reuse{"AnsweredSmaller", 1, 1, 700000, true},
                                           Reuse{"Unanswered", 1, 0, 1 << 20, false},
                                           Reuse{"TwoServersAnswered", 2, 2, 1 << 20, true},
                                           Reuse{"OneOfTwoUnanswered", 2, 1, 1 << 20, false},
                                           Reuse{"NeverSent", 0, 0, 1 << 20, true},
                                           Reuse{"AnsweredTooLarge", 1, 1, 3 << 20, false},
                                           Reuse{"AnsweredMuchSmaller", 1, 1, 4096, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// An image sent to two servers: the segment is not lent again while the
// second server may still read it.
TEST_F(ShmPool, HeldUntilTheLastServerAnswers) {
  PooledSegment* loan = lend(1 << 20);
  ASSERT_NE(loan, nullptr);
  std::erase(lent, loan);
  holdPooledSegment(loan);
  holdPooledSegment(loan);
  answerPooledSegment(loan);
  releasePooledSegment(loan);  // the first server has read it
  PooledSegment* meanwhile = lend(1 << 20);
  ASSERT_NE(meanwhile, nullptr);
  EXPECT_NE(meanwhile->segment, loan->segment);
  answerPooledSegment(loan);
  releasePooledSegment(loan);
  PooledSegment* after = lend(1 << 20);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->segment, loan->segment);
}

// At exit every segment goes, lent or idle, also when the at-exit stack
// has already freed the loop's orders (the idle trim's timer among them).
TEST_F(ShmPool, ExitRemovesEverySegmentAfterTheLoopIsGone) {
  PooledSegment* busy = lend(1 << 20);
  PooledSegment* idle = lend(1 << 20);
  ASSERT_TRUE(busy && idle);
  int idleId = idle->segment->segmentId;
  giveBack(idle, true);  // arms the idle trim
  std::erase(lent, busy);
  ordersFreeAll();
  removeAllPooledSegments();
  EXPECT_EQ(pooledSegmentBytes(), 0u);
  shmid_ds info{};
  EXPECT_EQ(shmctl(idleId, IPC_STAT, &info), -1);
}

// Two images in flight never share a segment, and the pool never holds more
// than its bound: past it nothing is lent (the image goes the plain way)
// until idle segments can make room.
TEST_F(ShmPool, BoundedAndNeverLentTwice) {
  std::vector<PooledSegment*> loans;
  while (PooledSegment* loan = lend(1 << 20)) loans.push_back(loan);
  EXPECT_EQ(loans.size(), kShmPoolBytes >> 20);
  EXPECT_LE(pooledSegmentBytes(), kShmPoolBytes);
  for (size_t i = 0; i < loans.size(); i++)
    for (size_t j = i + 1; j < loans.size(); j++) EXPECT_NE(loans[i]->segment, loans[j]->segment);
  // Idle segments of another size make room for a new one.
  giveBack(loans[0], true);
  giveBack(loans[1], true);
  EXPECT_NE(lend(2 << 20), nullptr);
  EXPECT_LE(pooledSegmentBytes(), kShmPoolBytes);
  EXPECT_EQ(lend(kShmPoolBytes + 1), nullptr);
}

// A burst of images leaves nothing behind: idle segments go after a while,
// one in use stays, and one lent again in time is kept.
TEST_F(ShmPool, IdleSegmentsGoAfterAWhile) {
  PooledSegment* busy = lend(1 << 20);
  PooledSegment* reused = lend(1 << 20);
  PooledSegment* idle = lend(1 << 20);
  ASSERT_TRUE(busy && reused && idle);
  giveBack(reused, true);
  giveBack(idle, true);
  ordersRunFor(kShmPoolIdleMs + 10);
  PooledSegment* again = lend(1 << 20);  // one of the two idle ones
  ASSERT_NE(again, nullptr);
  u64 size = again->segment->size;
  giveBack(again, true);
  ordersRunFor(kShmPoolIdleMs);
  // The one never lent again has gone; the busy one and the reused one stay.
  EXPECT_EQ(pooledSegmentBytes(), 2 * size);
  ordersRunFor(3 * kShmPoolIdleMs);
  EXPECT_EQ(pooledSegmentBytes(), busy->segment->size);
}

}  // namespace
}  // namespace palvon
