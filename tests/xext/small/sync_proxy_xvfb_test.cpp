// SYNC through the proxy program in front of two Xvfb: counters and alarms
// live on the first server and keep the client's ids, another client's
// change ends a wait, and a client of the other byte order gets the same
// answers, one per request.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "support/heldclient.h"
#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>
#include <X11/extensions/sync.h>

namespace palvon::test {
namespace {

// Plain, or with B behind a relay that moves SYNC to other codes.
class Sync : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x480x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      if (i == 1 && GetParam()) {
        relay = std::make_unique<ExtensionRelay>(*servers.back());
        ASSERT_TRUE(relay->ok()) << relay->error();
        relay->moveExtension("SYNC", 221, 120, 2, 240, 2);
        words.push_back(relay->display() + ".0");
      } else {
        words.push_back(servers.back()->display() + ".0");
      }
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr) << proxy->log();
    int event = 0, error = 0;
    ASSERT_TRUE(XSyncQueryExtension(display, &event, &error));
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  static XSyncValue value(int v) {
    XSyncValue out;
    XSyncIntToValue(&out, v);
    return out;
  }
  static int number(XSyncValue v) { return XSyncValueLow32(v); }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ExtensionRelay> relay;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
};

TEST_P(Sync, VersionCountersAndAlarmsKeepTheClientsTerms) {
  int major = 0, minor = 0;
  ASSERT_TRUE(XSyncInitialize(display, &major, &minor));
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 0);

  int count = 0;
  XSyncSystemCounter* counters = XSyncListSystemCounters(display, &count);
  bool serverTime = false;
  for (int i = 0; i < count; i++) serverTime = serverTime || std::string(counters[i].name) == "SERVERTIME";
  XSyncFreeSystemCounterList(counters);
  EXPECT_TRUE(serverTime) << count << " counters";

  XSyncCounter counter = XSyncCreateCounter(display, value(5));
  XSyncValue got;
  ASSERT_TRUE(XSyncQueryCounter(display, counter, &got));
  EXPECT_EQ(number(got), 5);
  XSyncSetCounter(display, counter, value(10));
  XSyncChangeCounter(display, counter, value(3));
  ASSERT_TRUE(XSyncQueryCounter(display, counter, &got));
  EXPECT_EQ(number(got), 13);

  XSyncAlarmAttributes wanted{};
  wanted.trigger.counter = counter;
  wanted.trigger.value_type = XSyncAbsolute;
  wanted.trigger.wait_value = value(20);
  wanted.trigger.test_type = XSyncPositiveComparison;
  wanted.delta = value(1);
  XSyncAlarm alarm = XSyncCreateAlarm(
      display, XSyncCACounter | XSyncCAValueType | XSyncCAValue | XSyncCATestType | XSyncCADelta, &wanted);
  XSyncAlarmAttributes attributes{};
  ASSERT_TRUE(XSyncQueryAlarm(display, alarm, &attributes));
  EXPECT_EQ(attributes.trigger.counter, counter);
  EXPECT_EQ(number(attributes.trigger.wait_value), 20);

  // Changing the alarm names the counter again: it must reach the server
  // as the server knows it.
  wanted.trigger.wait_value = value(30);
  XSyncChangeAlarm(display, alarm, XSyncCACounter | XSyncCAValue, &wanted);
  ASSERT_TRUE(XSyncQueryAlarm(display, alarm, &attributes));
  EXPECT_EQ(attributes.trigger.counter, counter);
  EXPECT_EQ(number(attributes.trigger.wait_value), 30);

  XSyncDestroyAlarm(display, alarm);
  XSyncDestroyCounter(display, counter);
  XSync(display, False);
}

// A wait on the client's own counter ends when another client sets it.
// The waiter's server holds its link meanwhile: neither the waiter's next
// request (a warp onto another head) nor another client's move across the
// seam (which settles the focus the waiter set) may make the proxy wait on
// that link, else nobody could set it.
TEST_P(Sync, AwaitEndsWhenAnotherClientSetsTheCounter) {
  Display* other = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(other, nullptr);
  Window root = DefaultRootWindow(display);
  XWarpPointer(display, None, root, 0, 0, 0, 0, 1000, 100);
  XSyncCounter counter = XSyncCreateCounter(display, value(0));
  XSync(display, False);
  XSyncWaitCondition condition{};
  condition.trigger.counter = counter;
  condition.trigger.value_type = XSyncAbsolute;
  condition.trigger.wait_value = value(7);
  condition.trigger.test_type = XSyncPositiveComparison;
  condition.event_threshold = value(0);
  XSetInputFocus(display, PointerRoot, RevertToPointerRoot, CurrentTime);
  XSyncAwait(display, &condition, 1);
  XWarpPointer(display, None, root, 0, 0, 0, 0, 100, 100);
  XFlush(display);
  auto waiting = std::async(std::launch::async, [this] { XSync(display, False); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);

  auto setting = std::async(std::launch::async, [&] {
    XWarpPointer(other, None, root, 0, 0, 0, 0, 300, 200);
    XSync(other, False);
    XSyncSetCounter(other, counter, value(7));
    XSync(other, False);
  });
  EXPECT_EQ(setting.wait_for(std::chrono::seconds(10)), std::future_status::ready) << proxy->log();
  EXPECT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready) << proxy->log();
  XCloseDisplay(other);
}

// The system counters' names have lengths of their own: a client of the
// other byte order must read the same list.
TEST_P(Sync, OtherByteOrderReadsTheSameAnswers) {
  int count = 0;
  XSyncSystemCounter* counters = XSyncListSystemCounters(display, &count);
  ASSERT_GT(count, 0);
  std::string firstName = counters[0].name;
  XSyncFreeSystemCounterList(counters);

  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy->number()));
  ASSERT_EQ(raw.setup('B'), 1);
  std::string name = "SYNC";
  uint8_t major = raw.queryExtension(name).major;
  ASSERT_NE(major, 0);
  Bytes answer;

  ASSERT_TRUE(raw.send(raw.request(major, 0, {3, 1, 0, 0})));  // Initialize 3.1
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(raw.get16(answer, 2), 2);
  EXPECT_EQ(answer[8], 3);
  EXPECT_EQ(answer[9], 0);

  ASSERT_TRUE(raw.send(raw.request(major, 1)));  // ListSystemCounters
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(raw.get32(answer, 8), static_cast<uint32_t>(count));
  uint16_t nameLength = raw.get16(answer, 32 + 12);
  ASSERT_GE(answer.size(), 32u + 14 + nameLength);
  EXPECT_EQ(std::string(answer.begin() + 46, answer.begin() + 46 + nameLength), firstName);
  // The second entry starts where the first one's name ends.
  if (count > 1) {
    size_t second = 32 + ((14 + nameLength + 3) & ~size_t{3});
    ASSERT_GE(answer.size(), second + 14);
    EXPECT_LT(raw.get16(answer, second + 12), 64) << "the second entry is misread";
  }

  uint32_t counter = raw.resourceIdBase() + 1;
  Bytes create(12);
  raw.put32(create, 0, counter);
  raw.put32(create, 8, 42);  // value: high 0, low 42
  ASSERT_TRUE(raw.send(raw.request(major, 2, create)));
  Bytes ask(4);
  raw.put32(ask, 0, counter);
  ASSERT_TRUE(raw.send(raw.request(major, 5, ask)));  // QueryCounter
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(raw.get16(answer, 2), 5);
  EXPECT_EQ(raw.get32(answer, 12), 42u);
  // Exactly one answer per request: nothing else is waiting.
  EXPECT_TRUE(raw.readMessage(300).empty());
}

// A priority is every server's: it reaches B at B's own codes.
TEST_P(Sync, PriorityReachesEveryServer) {
  ASSERT_TRUE(XSyncSetPriority(display, None, 5));
  int priority = 0;
  ASSERT_TRUE(XSyncGetPriority(display, None, &priority));
  EXPECT_EQ(priority, 5);
  if (!relay) return;
  bool reached = false;
  for (const auto& r : relay->allExtensionRequests()) reached = reached || (r.major == 221 && r.minor == 12);
  EXPECT_TRUE(reached) << "SetPriority at B's major";
}

INSTANTIATE_TEST_SUITE_P(Heads, Sync, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "CodesMovedOnB" : "Plain"); });

// A wait on a counter the client made and nobody sets, then a request
// with a reply behind it.
bool awaitNobodysCounter(RawClient& held) {
  uint8_t sync = held.queryExtension("SYNC").major;
  if (!sync) return false;
  uint32_t counter = held.resourceIdBase() | 2;
  Bytes create(12, 0), condition(28, 0);
  held.put32(create, 0, counter);  // value 0
  held.put32(condition, 0, counter);
  held.put32(condition, 12, 1);  // absolute, until it is 1 or more
  return held.send(held.request(sync, 2, create)) && held.send(held.request(sync, 7, condition)) &&
         held.send(held.request(43, 0));
}

// A client held by its wait leaves, killed by another client or with its
// socket closed: its window goes at once, as on a plain server, and the
// proxy serves the others on (a release of the wait's round trip must not
// reach the client its link has left).
class AwaitingClient : public ::testing::TestWithParam<HeldEnd> {};

TEST_P(AwaitingClient, EndIsSeenAtOnceAsOnAPlainServer) {
  expectHeldEndAsOnAPlainServer(awaitNobodysCounter, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Ends, AwaitingClient, ::testing::Values(HeldEnd::kKilledByAnother, HeldEnd::kSocketClosed),
                         [](const auto& info) { return heldEndName(info.param); });

// The waiter's counter is on the first server, which then leaves with
// Failsafe (the atom server is the other): the wait ends with it, and the
// client, which lives on with the other server, is read again.
TEST(AwaitingClientOnALostServer, IsServedOnByTheOthers) {
  Xvfb a({"-screen", "0", "640x480x24"}), b({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "options", "+Failsafe", "screen", a.display() + ".0", "screen",
                      b.display() + ".0", "tags", "atom"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient held, other;
  ASSERT_TRUE(held.connectUnix(proxy.number()) && held.setup() == 1) << proxy.log();
  ASSERT_TRUE(other.connectUnix(proxy.number()) && other.setup() == 1) << proxy.log();
  ASSERT_TRUE(awaitNobodysCounter(held));
  EXPECT_TRUE(held.readMessage(300).empty()) << "not held";
  a.stop();
  // Its fifth request: a reply to it comes after every earlier answer.
  ASSERT_TRUE(held.send(held.request(43, 0)));
  bool answered = false;
  while (!answered) {
    Bytes message = held.readMessage(10000);
    if (message.empty()) break;
    answered = message[0] == 1 && held.get16(message, 2) == 5;
  }
  EXPECT_TRUE(answered) << proxy.log();
  ASSERT_TRUE(other.send(other.request(43, 0)));
  Bytes reply = other.readMessage(10000);
  EXPECT_FALSE(reply.empty()) << proxy.log();
  EXPECT_EQ(proxy.wait(0), -1) << proxy.log();
}

}  // namespace
}  // namespace palvon::test
