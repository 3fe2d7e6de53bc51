// The event loop: idle, descriptor and timer orders, stepped on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>

#include <ctime>
#include <string>
#include <sys/socket.h>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "base/orders.h"

namespace palvon {
namespace {

u64 gFakeMs;
std::vector<int> gWaits;

u64 fakeClock() { return gFakeMs; }

// Looks at the descriptors without sleeping; a time-out lets the fake clock
// run on by the whole wait.
int fakePoll(pollfd* table, nfds_t count, int timeoutMs) {
  gWaits.push_back(timeoutMs);
  int ready = ::poll(table, count, 0);
  if (ready == 0) gFakeMs += static_cast<u64>(timeoutMs);
  return ready;
}

std::vector<std::string> gCalls;
void record(void* argument) { gCalls.push_back(static_cast<const char*>(argument)); }

class OrdersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gFakeMs = 1000000;
    gWaits.clear();
    gCalls.clear();
    ordersSetClock(fakeClock);
    ordersSetPoll(fakePoll);
    ordersInit();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  }
  void TearDown() override {
    ordersFreeAll();
    ordersSetClock(nullptr);
    ordersSetPoll(nullptr);
    close(pair[0]);
    close(pair[1]);
  }
  int pair[2];
};

struct SelfCancel {
  Order* order;
  int calls;
};

void stopOnThird(void* argument) {
  auto* self = static_cast<SelfCancel*>(argument);
  if (++self->calls < 3) return;
  orderCancel(self->order);
  ordersStop(7);
}

TEST_F(OrdersTest, IdleOrdersRunEveryStepAndAStopEndsTheMainLoop) {
  u64 start = ordersClock();
  EXPECT_EQ(ordersRunFor(5000), 0u);
  EXPECT_EQ(ordersClock() - start, 5000u);
  EXPECT_EQ(gWaits, (std::vector<int>{5000}));

  SelfCancel idle{nullptr, 0};
  idle.order = orderAddIdle(stopOnThird, &idle);
  orderAddIdle(record, const_cast<char*>("other"));
  EXPECT_EQ(ordersMainLoop(), 7u);
  EXPECT_EQ(idle.calls, 3);
  EXPECT_EQ(gCalls.size(), 3u);
  EXPECT_EQ(gWaits.back(), 3600000);
}

// Idle work that hands over to new idle work (a client's reading resumed
// from inside its resume): the step's poll only looks, the new work runs
// next; the step after waits again.
void handOver(void* argument) {
  auto* self = static_cast<SelfCancel*>(argument);
  orderCancel(self->order);
  self->order = self->calls++ ? nullptr : orderAddIdle(handOver, self);
}

TEST_F(OrdersTest, IdleWorkAddedByIdleWorkRunsWithoutAWait) {
  SelfCancel idle{nullptr, 0};
  idle.order = orderAddIdle(handOver, &idle);
  orderAddTimer(5000, record, const_cast<char*>("timer"));
  for (int i = 0; i < 3; i++) ordersRun(kOrdersMaxWait);
  EXPECT_EQ(idle.calls, 2);
  EXPECT_EQ(gWaits, (std::vector<int>{0, 5000, 3600000}));
}

void readOne(void* argument) {
  int descriptor = *static_cast<int*>(argument);
  char byte;
  if (read(descriptor, &byte, 1) == 1) gCalls.push_back(std::string(1, byte));
  else gCalls.push_back("eof");
}

TEST_F(OrdersTest, DescriptorOrdersFollowReadiness) {
  Order* reader = orderAddFd(pair[0], readOne, &pair[0]);
  EXPECT_EQ(orderFdWatched(pair[0]), 1);
  ordersRun(0);
  EXPECT_TRUE(gCalls.empty());
  ASSERT_EQ(write(pair[1], "ab", 2), 2);
  for (int i = 0; i < 3; i++) ordersRun(0);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"a", "b"}));

  // A hung-up peer keeps reporting until the order is cancelled.
  close(pair[1]);
  pair[1] = -1;
  for (int i = 0; i < 2; i++) ordersRun(0);
  EXPECT_EQ(gCalls.size(), 4u);
  orderCancel(reader);
  EXPECT_EQ(orderFdWatched(pair[0]), 0);
  ordersRun(0);
  EXPECT_EQ(gCalls.size(), 4u);
}

// Orders on one descriptor: each is woken by its own direction, a cancel
// leaves the others alone, and a second cancel of a spent order touches
// nothing.
TEST_F(OrdersTest, OrdersOnOneDescriptorAreWokenByTheirOwnDirection) {
  Order* reader = orderAddFd(pair[0], record, const_cast<char*>("read"));
  Order* writer = orderAddFdWrite(pair[0], record, const_cast<char*>("write"));
  Order* other = orderAddFd(pair[0], record, const_cast<char*>("read2"));
  EXPECT_EQ(ordersWatchCount(), 3u);
  ordersRun(0);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"write"}));
  gCalls.clear();
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  orderCancel(writer);
  ordersRun(0);
  std::sort(gCalls.begin(), gCalls.end());
  EXPECT_EQ(gCalls, (std::vector<std::string>{"read", "read2"}));
  gCalls.clear();
  orderCancel(other);
  orderCancel(writer);
  EXPECT_EQ(ordersWatchCount(), 1u);
  EXPECT_EQ(orderFdWatched(pair[0]), 1);
  ordersRun(0);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"read"}));
  orderCancel(reader);
  EXPECT_EQ(orderFdWatched(pair[0]), 0);
  EXPECT_EQ(ordersWatchCount(), 0u);
}

TEST_F(OrdersTest, IdleTimersFireOnlyOnATimeOutOfTheirPeriod) {
  orderAddTimerSorted(800, record, const_cast<char*>("late"));
  orderAddTimerSorted(500, record, const_cast<char*>("first"));
  orderAddTimerSorted(500, record, const_cast<char*>("second"));
  // A busy descriptor keeps every idle timer quiet.
  Order* busy = orderAddFdWrite(pair[0], orderNoop, nullptr);
  for (int i = 0; i < 10; i++) ordersRun(kOrdersMaxWait);
  EXPECT_TRUE(gCalls.empty());
  orderCancel(busy);
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gWaits.back(), 500);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"first", "second"}));
  gCalls.clear();
  ordersRun(200);  // a shorter wait fires none of them
  EXPECT_TRUE(gCalls.empty());
}

u64 gFiredAt;
void noteTime(void*) { gFiredAt = gFakeMs; }

// The wait is the smaller of the idle timer's period and the next one-shot.
TEST_F(OrdersTest, OneShotsBesideAnIdleTimerFireOnTime) {
  orderAddTimerSorted(2972, record, const_cast<char*>("keep-alive"));
  orderAddTimer(1000, record, const_cast<char*>("once"));
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gWaits.back(), 1000);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"once"}));
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gWaits.back(), 2972);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"once", "keep-alive"}));

  u64 start = gFakeMs;
  orderAddTimer(10000, noteTime, nullptr);
  gFiredAt = 0;
  for (int i = 0; i < 6 && !gFiredAt; i++) ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gFiredAt - start, 10000u);
}

TEST_F(OrdersTest, OneShotTimersAgeWithTheClock) {
  Order* zero = orderAddTimer(0, record, const_cast<char*>("zero"));
  EXPECT_EQ(orderTime(zero), 0u);
  // The poll of this step takes no time: the clock reads the same, nothing
  // ages and nothing fires.
  Order* busy = orderAddFdWrite(pair[0], orderNoop, nullptr);
  ordersRun(kOrdersMaxWait);
  EXPECT_TRUE(gCalls.empty());
  gFakeMs += 1;
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"zero"}));
  orderCancel(busy);

  Order* early = orderAddTimer(700, record, const_cast<char*>("early"));
  orderAddTimer(900, record, const_cast<char*>("late"));
  orderCancel(early);
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gWaits.back(), 900);
  EXPECT_EQ(gCalls.back(), "late");
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gWaits.back(), 3600000);
  EXPECT_EQ(gCalls.size(), 2u);

  // A jump of the clock ages timers by at most the earliest plus 20 s.
  orderAddTimer(1000, record, const_cast<char*>("soon"));
  Order* later = orderAddTimer(100000, record, const_cast<char*>("later"));
  Order* busy2 = orderAddFdWrite(pair[0], orderNoop, nullptr);
  gFakeMs += 86400000;
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gCalls.back(), "soon");
  EXPECT_EQ(orderTime(later), 100000u - 21000u);
  orderCancel(busy2);
}

// Time the thread spent blocked outside the loop (a connect, a sleep) is
// skipped: neither the timers armed before it nor those armed after it
// count it, and the loop clock reads the real time again.
TEST_F(OrdersTest, SkippedBlockedTimeAgesNoTimer) {
  orderAddTimer(1000, record, const_cast<char*>("before"));
  Order* busy = orderAddFdWrite(pair[0], orderNoop, nullptr);
  gFakeMs += 5000;
  ordersSkipBlockedTime();
  EXPECT_EQ(ordersClock(), gFakeMs);
  orderAddTimer(1000, record, const_cast<char*>("after"));
  gFakeMs += 1;
  ordersRun(kOrdersMaxWait);
  EXPECT_TRUE(gCalls.empty());
  orderCancel(busy);
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(gWaits.back(), 999);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"after", "before"}));
}

void stopWithFive(void* argument) {
  ordersStop(5);
  orderCancel(*static_cast<Order**>(argument));
}

TEST_F(OrdersTest, StopFromADescriptorCallbackEndsTheNextStep) {
  Order* writer = nullptr;
  writer = orderAddFdWrite(pair[0], stopWithFive, &writer);
  orderAddTimer(0, record, const_cast<char*>("aged"));
  orderAddIdle(record, const_cast<char*>("idle"));
  gFakeMs += 1;
  EXPECT_EQ(ordersRun(kOrdersMaxWait), 0u);
  // The step finished: the due timer still fired.
  EXPECT_EQ(gCalls, (std::vector<std::string>{"idle", "aged"}));
  EXPECT_EQ(ordersRun(kOrdersMaxWait), 5u);
  EXPECT_EQ(gCalls.size(), 2u);
}

void reRegister(void* argument) {
  auto* self = static_cast<SelfCancel*>(argument);
  self->calls++;
  orderCancel(self->order);
  self->order = orderAddTimerSorted(100, reRegister, self);
}

TEST_F(OrdersTest, IdleTimerThatRegistersItselfAgainFiresOncePerTimeOut) {
  SelfCancel timer{nullptr, 0};
  timer.order = orderAddTimerSorted(100, reRegister, &timer);
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(timer.calls, 1);
  ordersRun(kOrdersMaxWait);
  EXPECT_EQ(timer.calls, 2);
}

int gIdleSteps;
int gTimerFired;

// With the real clock: a free slot inside the table must not make poll()
// report anything, even with descriptor 0 closed, so an idle loop sleeps.
TEST(OrdersRealClock, ClosedStandardInputDoesNotSpinTheLoop) {
  ordersInit();
  // The loop's clock is monotonic: a step of the wall clock cannot reach it.
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_NEAR(static_cast<double>(ordersClock()), now.tv_sec * 1000.0 + now.tv_nsec / 1e6, 1000.0);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Order* first = orderAddFd(pair[0], orderNoop, nullptr);
  orderAddFd(pair[1], orderNoop, nullptr);
  orderCancel(first);
  ASSERT_EQ(ordersWatchCount(), 1u);
  gIdleSteps = gTimerFired = 0;
  orderAddIdle([](void*) { gIdleSteps++; }, nullptr);
  orderAddTimerSorted(100, [](void*) { gTimerFired++; }, nullptr);

  int savedInput = dup(0);
  ASSERT_GE(savedInput, 0);
  close(0);
  ordersRunFor(650);
  dup2(savedInput, 0);
  close(savedInput);
  ordersFreeAll();
  close(pair[0]);
  close(pair[1]);
  EXPECT_LE(gIdleSteps, 20);
  EXPECT_GE(gTimerFired, 4);
}

// The loop's own wait (epoll), with the real clock: descriptors come and go
// as connections do, and their numbers are reused at once.
class OrdersEpoll : public ::testing::Test {
 protected:
  void SetUp() override {
    ordersInit();
    gCalls.clear();
  }
  void TearDown() override {
    ordersFreeAll();
    for (int descriptor : opened) close(descriptor);
  }
  // A connected pair whose ends the fixture closes.
  std::pair<int, int> socketPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    opened.push_back(ends[0]);
    opened.push_back(ends[1]);
    return {ends[0], ends[1]};
  }
  void closeOpened(int descriptor) {
    close(descriptor);
    opened.erase(std::find(opened.begin(), opened.end(), descriptor));
  }
  std::vector<int> opened;
};

// A descriptor closed after its last order went and its number given to a
// new connection at once: the new order is woken by the new connection
// only, also while a copy of the old one (a child's, say) lives on and
// gets data.
TEST_F(OrdersEpoll, AReusedDescriptorNumberWatchesTheNewConnection) {
  auto [oldEnd, oldPeer] = socketPair();
  Order* old = orderAddFd(oldEnd, record, const_cast<char*>("old"));
  ordersRun(0);
  int copy = dup(oldEnd);
  ASSERT_GE(copy, 0);
  opened.push_back(copy);
  orderCancel(old);
  closeOpened(oldEnd);
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
  opened.push_back(ends[0]);
  opened.push_back(ends[1]);
  ASSERT_EQ(ends[0], oldEnd);  // the lowest free number comes back
  orderAddFd(ends[0], record, const_cast<char*>("new"));
  ASSERT_EQ(write(oldPeer, "x", 1), 1);
  ordersRunFor(50);
  EXPECT_TRUE(gCalls.empty());
  ASSERT_EQ(write(ends[1], "y", 1), 1);
  ordersRunFor(50);
  ASSERT_FALSE(gCalls.empty());
  EXPECT_EQ(gCalls[0], "new");
}

int gSteps;

// An order added in a callback on a descriptor already ready waits for the
// next step, and one cancelled by an earlier callback of the step is not
// called.
struct Rival {
  Order* self;
  Rival* other;
  int descriptor;
  int calls;
};

void cancelRival(void* argument) {
  auto* rival = static_cast<Rival*>(argument);
  rival->calls++;
  orderCancel(rival->other->self);
  orderAddFd(rival->descriptor, record, const_cast<char*>("added"));
}

TEST_F(OrdersEpoll, OrdersAddedOrCancelledInAStepKeepTheirPlace) {
  auto [a, b] = socketPair();
  ASSERT_EQ(write(b, "z", 1), 1);
  // Both are ready (a is readable and writable); whichever runs first
  // cancels the other.
  Rival reader{nullptr, nullptr, a, 0}, writer{nullptr, &reader, a, 0};
  reader.other = &writer;
  reader.self = orderAddFd(a, cancelRival, &reader);
  writer.self = orderAddFdWrite(a, cancelRival, &writer);
  ordersRun(0);
  EXPECT_EQ(reader.calls + writer.calls, 1);
  EXPECT_TRUE(gCalls.empty());
  Rival& survivor = reader.calls ? reader : writer;
  orderCancel(survivor.self);
  ordersRun(0);
  EXPECT_EQ(reader.calls + writer.calls, 1);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"added"}));
}

// A regular file cannot be watched by epoll; poll() reported it ready on
// every step, and so does the loop, without blocking. Once its order goes,
// the loop sleeps again.
TEST_F(OrdersEpoll, ARegularFileIsReadyOnEveryStep) {
  char path[] = "/tmp/palvon-orders-XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  opened.push_back(file);
  gSteps = 0;
  Order* order = orderAddFd(file, [](void*) { gSteps++; }, nullptr);
  // A bounded wait: a loop that blocked here would fail, not hang.
  for (int i = 0; i < 5; i++) ordersRun(2000);
  EXPECT_EQ(gSteps, 5);
  orderCancel(order);
  int idleSteps = 0;
  static int* counter;
  counter = &idleSteps;
  orderAddIdle([](void*) { ++*counter; }, nullptr);
  ordersRunFor(300);
  EXPECT_LE(idleSteps, 5);
}

// A watch for the peer's end only: request bytes waiting unread wake
// nothing, so the loop sleeps; the peer's close wakes it, the bytes still
// unread.
TEST_F(OrdersEpoll, AHangupWatchSleepsOverUnreadBytesAndWakesAtThePeersEnd) {
  auto [end, peer] = socketPair();
  ASSERT_EQ(write(peer, "x", 1), 1);
  Order* watch = orderAddFdHangup(end, record, const_cast<char*>("end"));
  EXPECT_EQ(orderFdWatched(end), 0);  // nobody reads it
  gSteps = 0;
  Order* idle = orderAddIdle([](void*) { gSteps++; }, nullptr);
  ordersRunFor(300);
  EXPECT_LE(gSteps, 5);
  EXPECT_TRUE(gCalls.empty());
  orderCancel(idle);
  closeOpened(peer);
  ordersRun(2000);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"end"}));
  char byte = 0;
  EXPECT_EQ(recv(end, &byte, 1, MSG_PEEK), 1);
  orderCancel(watch);
}

}  // namespace
}  // namespace palvon
