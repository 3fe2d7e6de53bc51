// Offline time-outs, keep-alive and watchdog of server displays, stepped on a
// fake loop clock against real servers, and the order of a drop's steps.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include <poll.h>
#include <signal.h>

#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/orders.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

constexpr u32 kStaticTag = 0x400;

u64 gFakeMs;
int gServerFd = -1;
u64 fakeClock() { return gFakeMs; }
// The loop watches no descriptor here: a wait moves the clock on by the whole
// wait, after giving the server a moment of real time to answer what the
// last step sent.
int fakePoll(pollfd*, nfds_t, int timeoutMs) {
  if (gServerFd >= 0) {
    pollfd server = {gServerFd, POLLIN, 0};
    ::poll(&server, 1, 50);
  }
  gFakeMs += static_cast<u64>(timeoutMs);
  return 0;
}

std::vector<bool> gIntakeCalls;
void recordIntake(Display* display, bool readable) {
  gIntakeCalls.push_back(readable);
  XEvent event;
  while (XQLength(display) > 0) XNextEvent(display, &event);
  if (readable) XSync(display, False);
}

class OfflineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gFakeMs = 1000000;
    gIntakeCalls.clear();
    ordersSetClock(fakeClock);
    ordersSetPoll(fakePoll);
    ordersInit();
    proxyConfig.options = kOptionFailsafe;
    lostServerHooks = {};
    lostServerHooks.processEvents = recordIntake;
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_EQ(openServerDisplay(server.display().c_str(), 5000, &record), nullptr);
    gServerFd = ConnectionNumber(record->display);
  }
  void TearDown() override {
    gServerFd = -1;
    while (serverDisplayList) freeServerDisplay(serverDisplayList);
    if (stopped) kill(server.pid(), SIGCONT);
    proxyState.screens = nullptr;
    lostServerHooks = {};
    ordersFreeAll();
    ordersSetClock(nullptr);
    ordersSetPoll(nullptr);
    proxyConfig.options = 0;
  }
  void freeze() {
    XSync(record->display, False);
    kill(server.pid(), SIGSTOP);
    stopped = true;
  }
  bool dropped() const { return serverDisplayList == nullptr; }

  test::Xvfb server;
  ServerDisplay* record = nullptr;
  bool stopped = false;
};

// --- Arming ---------------------------------------------------------------------

struct ArmRow {
  const char* name;
  u32 options;
  bool staticHead;
  u64 configuredMs;
  u64 timeoutMs;    // handed to the failsafe layer; 0: none
  u64 keepAliveMs;  // first keep-alive; 0: none
};

const ArmRow kArmRows[] = {
    {"WithoutFailsafe", 0, false, 5000, 0, 0},
    {"DefaultTimeout", kOptionFailsafe, false, 0, 20000, 2000},
    {"ConfiguredTimeout", kOptionFailsafe, false, 3000, 3000, 300},
    {"StaticHead", kOptionFailsafe, true, 3000, 0, 0},
};

class ArmTest : public OfflineTest, public ::testing::WithParamInterface<ArmRow> {};

TEST_P(ArmTest, HandsTheTimeoutOnAndStartsTheTimers) {
  const ArmRow& row = GetParam();
  proxyConfig.options = row.options;
  MetaScreen screen = {};
  Head head = {};
  head.serverDisplay = record;
  head.tags = row.staticHead ? kStaticTag : 0;
  screen.heads = &head;
  proxyState.screens = &screen;
  xfsSetOfflineTimeout(record->display, 777);  // a stale value must go
  record->offlineTimeoutMs = row.configuredMs;

  armOfflineTimeout(record);
  EXPECT_EQ(xfsOfflineTimeout(record->display), row.timeoutMs);
  EXPECT_EQ(displayHasStaticHead(record), row.staticHead);
  if (row.keepAliveMs) {
    ASSERT_NE(record->keepAliveTimer, nullptr);
    EXPECT_EQ(orderTime(record->keepAliveTimer), row.keepAliveMs);
    ASSERT_NE(record->watchdogTimer, nullptr);
    EXPECT_EQ(orderTime(record->watchdogTimer), row.timeoutMs);
  } else {
    EXPECT_EQ(record->keepAliveTimer, nullptr);
    EXPECT_EQ(record->watchdogTimer, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, ArmTest, ::testing::ValuesIn(kArmRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Keep-alive and watchdog --------------------------------------------------

TEST_F(OfflineTest, KeepAlivePingsKeepALiveServer) {
  record->offlineTimeoutMs = 1000;
  armOfflineTimeout(record);
  ordersRunFor(5000);
  EXPECT_FALSE(dropped());
  // The pings' answers were what the watchdog found (read on the socket or
  // already taken in by Xlib while it wrote).
  EXPECT_FALSE(gIntakeCalls.empty());
}

// After a whole time-out of silence the server gets one ping and a short
// grace (the silence may have been the proxy's, held up elsewhere); then it
// is dropped.
TEST_F(OfflineTest, ASilentServerIsDroppedAfterAWholeTimeoutAndAPing) {
  record->offlineTimeoutMs = 1000;
  armOfflineTimeout(record);
  freeze();
  ordersRunFor(1100);
  EXPECT_FALSE(dropped());
  ordersRunFor(1000);
  EXPECT_TRUE(dropped());
  EXPECT_TRUE(gIntakeCalls.empty());
}

TEST_F(OfflineTest, TrafficMovesTheDeadlineOn) {
  record->offlineTimeoutMs = 1000;
  armOfflineTimeout(record);
  freeze();
  ordersRunFor(600);
  restartDisplayWatchdog(record->display);
  ordersRunFor(1500);
  EXPECT_FALSE(dropped());
  ordersRunFor(700);
  EXPECT_TRUE(dropped());
}

TEST_F(OfflineTest, QueuedEventsAreHandledInsteadOfDroppingTheServer) {
  record->offlineTimeoutMs = 1000;
  armOfflineTimeout(record);
  Display* display = record->display;
  XSetWindowAttributes attributes = {};
  attributes.event_mask = PropertyChangeMask;
  Window window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                CWEventMask, &attributes);
  long value = 1;
  XChangeProperty(display, window, XA_CURSOR, XA_INTEGER, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&value), 1);
  freeze();  // syncs first: the PropertyNotify waits in Xlib's queue
  ASSERT_GT(XQLength(display), 0);
  ordersRunFor(1100);
  EXPECT_FALSE(dropped());
  ASSERT_EQ(gIntakeCalls.size(), 1u);
  EXPECT_FALSE(gIntakeCalls[0]);
}

// --- The drop ------------------------------------------------------------------------

std::vector<std::string> gDropSteps;
MetaScreen* gScreen;

const char* removeHeadFromScreen(Head* head, bool offline) {
  gDropSteps.push_back(std::string("remove ") + head->name + (offline ? " offline" : ""));
  for (Head** link = &gScreen->heads; *link; link = &(*link)->next) {
    if (*link != head) continue;
    *link = head->next;
    break;
  }
  return nullptr;
}

TEST_F(OfflineTest, ADropAnswersThenRemovesEveryHeadOfTheServerAndRearms) {
  test::Xvfb other;
  ASSERT_TRUE(other.ok());
  ServerDisplay* kept = nullptr;
  ASSERT_EQ(openServerDisplay(other.display().c_str(), 5000, &kept), nullptr);
  Head first = {}, onOther = {}, second = {};
  strCopy(first.name, "first", sizeof first.name);
  strCopy(onOther.name, "other", sizeof onOther.name);
  strCopy(second.name, "second", sizeof second.name);
  first.serverDisplay = second.serverDisplay = record;
  onOther.serverDisplay = kept;
  first.next = &onOther;
  onOther.next = &second;
  MetaScreen screen = {};
  screen.heads = &first;
  proxyState.screens = gScreen = &screen;
  gDropSteps.clear();
  lostServerHooks.removeHead = removeHeadFromScreen;
  lostServerHooks.answerClients = [](ServerDisplay*) { gDropSteps.push_back("answer"); };
  lostServerHooks.rearmPending = [] { gDropSteps.push_back("rearm"); };

  dropServerDisplay(record);
  EXPECT_EQ(gDropSteps, (std::vector<std::string>{"answer", "remove first offline", "remove second offline", "rearm"}));
  EXPECT_EQ(record->display, nullptr);
  EXPECT_EQ(screen.heads, &onOther);
  EXPECT_NE(XfsSync(kept->display, False), 0);
}

}  // namespace
}  // namespace palvon
