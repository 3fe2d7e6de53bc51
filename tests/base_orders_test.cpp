// The event loop: idle, descriptor and timer orders, stepped on a fake clock.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <sys/socket.h>
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

TEST_F(OrdersTest, FreeSlotsAreReusedAndTheCountShrinks) {
  Order* slots[5];
  for (auto& slot : slots) slot = orderAddFd(pair[0], orderNoop, nullptr);
  for (int cancel : {2, 4, 3}) orderCancel(slots[cancel]);
  EXPECT_EQ(ordersPollCount(), 2u);
  Order* again = orderAddFd(pair[1], orderNoop, nullptr);
  EXPECT_EQ(orderPollSlot(again), 2);
  EXPECT_EQ(ordersPollCount(), 3u);
  orderCancel(slots[2]);  // a second cancel leaves the slot's new owner alone
  EXPECT_EQ(orderFdWatched(pair[1]), 1);
  EXPECT_EQ(ordersPollCount(), 3u);
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
  ASSERT_EQ(ordersPollCount(), 2u);
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

}  // namespace
}  // namespace palvon
