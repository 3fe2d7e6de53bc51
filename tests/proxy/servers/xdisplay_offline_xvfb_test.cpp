// Offline time-outs, keep-alive and watchdog of server displays, stepped on a
// fake loop clock against real servers, and the order of a drop's steps.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/buffer.h"
#include "base/fd.h"
#include "base/orders.h"
#include "support/linkrig.h"
#include "support/xvfb.h"
// For the library's own request calls; its min and max macros go at once.
#include <X11/Xlibint.h>
#undef min
#undef max

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
  // The pings were answered: the answers wait in Xlib's queue (it read
  // them while it wrote the next ping, which counts as the server's
  // traffic), or the watchdog found them on the socket.
  EXPECT_TRUE(XQLength(record->display) > 0 || !gIntakeCalls.empty());
}

// A server silent while the proxy asks it something is dropped a whole
// time-out after it fell silent: not later, and never for a silence the
// proxy made itself by being held up (the loop ran no keep-alive). The
// time-out is 1000 ms, a keep-alive every 100 ms; the loop is held up at
// 450 ms when a row says so.
struct SilenceRow {
  const char* name;
  bool frozen;
  u64 trafficAtMs;   // traffic noted then; 0: none
  u64 heldUpMs;      // the loop's clock jumps on by this much at 450 ms
  u64 keptUntilMs;   // still in the session then
  u64 droppedByMs;   // dropped by then; 0: never (run to 6000 ms)
};

const SilenceRow kSilenceRows[] = {
    {"DroppedAtTheTimeOut", true, 0, 0, 990, 1010},
    {"TrafficMovesTheDueTimeOn", true, 600, 0, 1590, 1610},
    {"AHeldUpProxyDropsNoLiveServer", false, 0, 3000, 6000, 0},
    // The ping of 100 ms went unanswered through the hold-up: the time-out
    // counts from there, not from the end of the hold-up.
    {"AHeldUpProxyCountsFromTheFirstQuestion", true, 0, 3000, 0, 3600},
};

class SilenceTest : public OfflineTest, public ::testing::WithParamInterface<SilenceRow> {};

TEST_P(SilenceTest, DropsAtTheDueTime) {
  const SilenceRow& row = GetParam();
  record->offlineTimeoutMs = 1000;
  armOfflineTimeout(record);
  u64 start = gFakeMs;
  if (row.frozen) freeze();
  // In steps: the loop's first step after a hold-up ends a run it began
  // before.
  auto runTo = [&](u64 at) {
    while (gFakeMs < start + at) ordersRunFor(start + at - gFakeMs);
  };
  if (row.trafficAtMs) {
    runTo(row.trafficAtMs);
    restartDisplayWatchdog(record->display);
  }
  if (row.heldUpMs) {
    runTo(450);
    gFakeMs += row.heldUpMs;
  }
  if (row.keptUntilMs) {
    runTo(row.keptUntilMs);
    EXPECT_FALSE(dropped()) << "at " << gFakeMs - start;
  }
  runTo(row.droppedByMs ? row.droppedByMs : 6000);
  EXPECT_EQ(dropped(), row.droppedByMs != 0) << "at " << gFakeMs - start;
}

INSTANTIATE_TEST_SUITE_P(Rows, SilenceTest, ::testing::ValuesIn(kSilenceRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A client's link to the server, which is watched with a time-out of
// 1000 ms and stopped at `start`.
class WatchedServerLink : public OfflineTest {
 protected:
  void SetUp() override {
    OfflineTest::SetUp();
    rig.emplace();
    link = rig->open(server, false, 0, 1000);
    ASSERT_NE(link, nullptr);
    link->server.display = record;
    clientList = rig->client();
    record->offlineTimeoutMs = 1000;
    armOfflineTimeout(record);
    start = gFakeMs;
    freeze();
  }
  void TearDown() override {
    // The rig's end frees the loop's orders: the server's go first.
    if (!dropped()) {
      if (link) link->server.display = nullptr;
      while (serverDisplayList) freeServerDisplay(serverDisplayList);
    }
    clientList = nullptr;
    rig.reset();
    OfflineTest::TearDown();
  }
  std::optional<test::LinkRig> rig;
  ServerLink* link = nullptr;
  u64 start = 0;
};

// The link has waited for the rest of a message for a whole time-out,
// while its server fell silent later (it talked at 500 ms): the client is
// not cut, it waits for the server's drop, which closes the link.
TEST_F(WatchedServerLink, AStalledLinkWaitsForItsServersDrop) {
  const u8 partial[8] = {1};
  bufferAppend(partial, sizeof partial, &link->input);
  watchServerLinkStall(link, false);
  ordersRunFor(500);
  restartDisplayWatchdog(record->display);
  ordersRunFor(700);
  EXPECT_FALSE(dropped());
  EXPECT_FALSE(fdIsReadable(link->descriptor)) << "the link was shut at " << gFakeMs - start;
  ordersRunFor(400);
  EXPECT_TRUE(dropped()) << "at " << gFakeMs - start;
  EXPECT_EQ(openLinkCount(rig->client()), 0u);
}

// In the step in which the link's stall fires (at 1000 ms), the server's
// last bytes are read and then a call on its display breaks: the client is
// not cut, its link goes with the drop.
TEST_F(WatchedServerLink, ALinkOfAServerFoundLostGoesWithTheDrop) {
  const u8 partial[8] = {1};
  bufferAppend(partial, sizeof partial, &link->input);
  watchServerLinkStall(link, false);
  ordersRunFor(850);
  auto lastWords = [](void* server) {
    Display* display = static_cast<ServerDisplay*>(server)->display;
    restartDisplayWatchdog(display);
    handleDisplayOffline(display);
  };
  orderAddTimer(start + 1000 - gFakeMs, lastWords, record);
  ordersRunFor(150);
  ASSERT_NE(record->lossOrder, nullptr);
  EXPECT_FALSE(fdIsReadable(link->descriptor)) << "the link was cut";
  ordersRunFor(10);
  EXPECT_TRUE(dropped());
}

// A wait of the descriptors moves the loop's clock on by what it waited.
std::vector<int> gLinkWaits;
int pollMovingTheClock(pollfd* table, nfds_t count, int timeoutMs) {
  int ready = ::poll(table, count, 0);
  if (ready == 0 && timeoutMs > 0) gLinkWaits.push_back(timeoutMs), gFakeMs += u64(timeoutMs);
  return ready;
}

// A round trip on the link that begins at 500 ms ends when the server is
// due (at 1000 ms), not a whole time-out after it began, and the server's
// loss is declared.
TEST_F(WatchedServerLink, ABlockingWaitEndsWhenItsServerIsDue) {
  ordersRunFor(500);
  gLinkWaits.clear();
  fdSetPoll(pollMovingTheClock);
  const char* error = syncServerLink(link);
  fdSetPoll(nullptr);
  EXPECT_NE(error, nullptr);
  EXPECT_EQ(gLinkWaits, std::vector<int>{500});
  EXPECT_NE(record->lossOrder, nullptr);
  ordersRunFor(10);
  EXPECT_TRUE(dropped());
}

// --- One long step of the proxy's own ------------------------------------------------

// A step of the loop that lasts longer than the server's time-out (the
// start-up, an opening while clients are served) asks the server many
// things, and the X library reads each answer inside its own wait, where
// the loop never sees it. The loop's clock runs as the real one here, plus
// what the step's own work adds (gWorkMs); a row's work happens in chunks,
// each followed by a round trip, and the step ends with one more round trip
// that the server, stopped, leaves unanswered for `stallMs` (-1: for good).
// A server that answered everything is kept through a stall shorter than
// its time-out; one that stopped is still cut a whole time-out after its
// last answer. An answer that waits unread because the proxy was late to
// read it (no processor on a busy machine, or its own work after asking)
// is no silence either.
u64 gWorkMs;
u64 realMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return u64(now.tv_sec) * 1000 + u64(now.tv_nsec) / 1000000;
}

// The proxy held up in the middle of a wait on the stopped server: the
// clock, read 300 ms into the wait, wakes the server, lets its answer
// arrive and jumps on by 10 s.
struct HoldUp {
  bool armed = false;
  u64 since = 0;
  pid_t server = 0;
  int descriptor = -1;
} gHoldUp;

u64 realPlusWork() {
  if (gHoldUp.armed && realMs() >= gHoldUp.since + 300) {
    gHoldUp.armed = false;
    kill(gHoldUp.server, SIGCONT);
    char byte;
    for (u64 end = realMs() + 10000; realMs() < end;) {
      if (recv(gHoldUp.descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    gWorkMs += 10000;
  }
  return realMs() + gWorkMs;
}

struct LongStepRow;
void PrintTo(const LongStepRow& row, std::ostream* os);

struct LongStepRow {
  const char* name;
  bool watched;    // armed with Failsafe's time-out of 3000 ms; else a bare bound per call (boundMs)
  bool oneCall;    // the whole step is one guarded call (xfsRun), its work real time
  u64 chunkMs;     // the step's own work before each round trip
  int chunks;
  int stallMs;     // the last round trip's wait on the stopped server; -1: for good
  bool asksFirst;  // oneCall: the chunk's question goes out and is answered before its work, read after
  bool heldUp;     // the last round trip's wait is held up (HoldUp) while the server answers
  u64 boundMs;
};

void PrintTo(const LongStepRow& row, std::ostream* os) { *os << row.name; }

const LongStepRow kLongStepRows[] = {
    {"AServerThatAnsweredIsKeptThroughAShortStall", true, false, 800, 5, 900, false, false, 0},
    {"AGuardedCallIsBoundedByTheSilenceNotItsLength", false, true, 450, 3, 0, false, false, 1000},
    {"AStoppedServerIsStillCutAfterItsTimeOut", true, false, 800, 5, -1, false, false, 0},
    {"AnAnswerLeftUnreadByABusyProxyIsNoSilence", false, true, 2500, 1, 0, true, false, 2000},
    {"AnAnswerThatCameWhileTheWaitWasHeldUpIsRead", true, false, 800, 5, 0, false, true, 0},
};

class LongStepTest : public OfflineTest, public ::testing::WithParamInterface<LongStepRow> {
 protected:
  void SetUp() override {
    OfflineTest::SetUp();
    gWorkMs = 0;
    gHoldUp = {};
    ordersSetClock(realPlusWork);
    ordersSkipBlockedTime();
  }
  void TearDown() override {
    gHoldUp = {};
    OfflineTest::TearDown();
  }
};

struct StepWork {
  const LongStepRow* row;
  Display* display;
  int answered = 0;
};

void doStepWork(void* argument) {
  auto* work = static_cast<StepWork*>(argument);
  for (int i = 0; i < work->row->chunks; i++) {
    if (work->row->oneCall) {
      if (work->row->asksFirst) {
        // GetInputFocus written as the library writes it, its reply read
        // as the library reads it, after the work; nothing read between
        // (XFlush would take in what has come).
        LockDisplay(work->display);
        _XGetRequest(work->display, X_GetInputFocus, 4);
        _XSend(work->display, nullptr, 0);
        UnlockDisplay(work->display);
        char byte;
        for (u64 end = realMs() + 10000; realMs() < end;) {
          if (recv(ConnectionNumber(work->display), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(work->row->chunkMs));
        xReply reply;
        LockDisplay(work->display);
        Status read = _XReply(work->display, &reply, 0, True);
        UnlockDisplay(work->display);
        if (!read) return;
        work->answered++;
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(work->row->chunkMs));
      if (!XSync(work->display, False)) return;
    } else {
      gWorkMs += work->row->chunkMs;
      if (!XfsSync(work->display, False)) return;
    }
    work->answered++;
  }
}

TEST_P(LongStepTest, ItsServerIsJudgedByItsSilenceAlone) {
  const LongStepRow& row = GetParam();
  Display* display = record->display;
  if (row.watched) {
    record->offlineTimeoutMs = 3000;
    armOfflineTimeout(record);
  } else {
    xfsSetOfflineTimeout(display, row.boundMs);
  }
  StepWork work{&row, display};
  if (row.oneCall) {
    EXPECT_TRUE(xfsRun(display, doStepWork, &work));
  } else {
    doStepWork(&work);
  }
  EXPECT_EQ(work.answered, row.chunks);
  ASSERT_FALSE(isDisplayOffline(display)) << "cut after " << work.answered << " answers";
  if (!row.stallMs && !row.heldUp) return;
  // Before the last answer, which freeze() reads.
  auto beforeLastAnswer = std::chrono::steady_clock::now();
  freeze();
  if (row.heldUp) {
    gHoldUp = {true, realMs(), server.pid(), ConnectionNumber(display)};
    EXPECT_NE(XfsSync(display, False), 0);
    EXPECT_FALSE(gHoldUp.armed) << "the wait was not held up";
    stopped = gHoldUp.armed;
    EXPECT_FALSE(isDisplayOffline(display));
    EXPECT_EQ(record->lossOrder, nullptr);
    return;
  }
  std::thread wake;
  if (row.stallMs > 0) wake = std::thread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(row.stallMs));
    kill(server.pid(), SIGCONT);
  });
  Status synced = XfsSync(display, False);
  long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                           beforeLastAnswer)
                         .count();
  if (wake.joinable()) wake.join();
  if (row.stallMs > 0) {
    stopped = false;
    EXPECT_NE(synced, 0) << "cut after " << waited << " ms";
    EXPECT_FALSE(isDisplayOffline(display));
    EXPECT_EQ(record->lossOrder, nullptr);
    return;
  }
  EXPECT_EQ(synced, 0);
  EXPECT_TRUE(isDisplayOffline(display));
  EXPECT_NE(record->lossOrder, nullptr);
  // The time-out counts from its last answer, whatever the step's own
  // work took before: not from the step's start, nor from the first
  // question after the answer less a keep-alive period.
  EXPECT_GE(waited, 3000 - 1);
  EXPECT_LT(waited, 3000 + 2000);
}

INSTANTIATE_TEST_SUITE_P(Rows, LongStepTest, ::testing::ValuesIn(kLongStepRows),
                         [](const auto& info) { return std::string(info.param.name); });

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
