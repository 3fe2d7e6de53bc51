#include "support/heldclient.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>

#include "support/proxyprocess.h"
#include "support/xvfb.h"

namespace palvon::test {

namespace {

constexpr uint8_t kCreateWindow = 1, kChangeWindowAttributes = 2, kGetGeometry = 14, kChangeProperty = 18,
                  kGetInputFocus = 43, kKillClient = 113;
constexpr uint32_t kEventMaskBit = 0x800, kPropertyChangeMask = 0x400000;
constexpr uint32_t kWmName = 39, kString = 31;
constexpr uint8_t kBadDrawable = 9;

// The next reply or error, past the events; empty when none came in time.
Bytes answer(RawClient& client, int timeoutMs = 5000) {
  for (;;) {
    Bytes message = client.readMessage(timeoutMs);
    if (message.empty() || message[0] <= 1) return message;
  }
}

bool roundTrip(RawClient& client) {
  if (!client.send(client.request(kGetInputFocus, 0))) return false;
  Bytes reply = answer(client);
  return !reply.empty() && reply[0] == 1;
}

const char* windowState(RawClient& asker, uint32_t window) {
  Bytes body(4);
  asker.put32(body, 0, window);
  if (!asker.send(asker.request(kGetGeometry, 0, body))) return "no answer";
  Bytes reply = answer(asker);
  if (reply.empty()) return "no answer";
  return reply[0] == 1 ? "window there" : reply[1] == kBadDrawable ? "window gone" : "unexpected error";
}

}  // namespace

std::string heldEndName(HeldEnd end) {
  return end == HeldEnd::kKilledByAnother ? "KilledByAnother" : "SocketClosed";
}

void PrintTo(HeldEnd end, std::ostream* out) { *out << heldEndName(end); }

std::vector<std::string> endHeldClient(int number, const HoldRequest& hold, HeldEnd end, int withinMs) {
  auto held = std::make_unique<RawClient>();
  RawClient other;
  if (!held->connectUnix(number) || held->setup() != 1 || !other.connectUnix(number) || other.setup() != 1)
    return {"cannot connect"};
  std::vector<std::string> seen;
  uint32_t window = held->resourceIdBase() | 1;
  Bytes create(28, 0);
  held->put32(create, 0, window);
  held->put32(create, 4, held->rootWindow());
  held->put16(create, 12, 10);
  held->put16(create, 14, 10);
  held->put16(create, 18, 1);  // InputOutput
  Bytes select(12, 0);
  held->put32(select, 0, held->rootWindow());
  held->put32(select, 4, kEventMaskBit);
  held->put32(select, 8, kPropertyChangeMask);
  if (!held->send(held->request(kCreateWindow, 0, create)) ||
      !held->send(held->request(kChangeWindowAttributes, 0, select)) || !roundTrip(*held))
    return {"no window"};
  if (!hold(*held)) return {"hold not sent"};
  // The other client is served while the held one waits for its answer.
  if (!roundTrip(other)) return {"other client not served while the client is held"};
  Bytes early = answer(*held, 300);
  seen.push_back(early.empty() ? "held" : "not held: message " + std::to_string(early[0]));
  seen.push_back(windowState(other, window));

  if (end == HeldEnd::kKilledByAnother) {
    Bytes kill(4);
    other.put32(kill, 0, window);
    other.send(other.request(kKillClient, 0, kill));
  } else {
    held.reset();
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
  std::string state = windowState(other, window);
  while (state == "window there" && std::chrono::steady_clock::now() < deadline) {
    poll(nullptr, 0, 20);
    state = windowState(other, window);
  }
  seen.push_back(state == "window there" ? "window still there after " + std::to_string(withinMs) + " ms" : state);
  // An event the held client selected: to nobody, it is gone. A proxy
  // that missed its end meets it here.
  Bytes property(24, 0);
  other.put32(property, 0, other.rootWindow());
  other.put32(property, 4, kWmName);
  other.put32(property, 8, kString);
  property[12] = 8;
  other.put32(property, 16, 1);
  property[20] = 'x';
  other.send(other.request(kChangeProperty, 0, property));

  if (held) seen.push_back(held->waitClosed(withinMs) ? "killed client's connection closed" : "killed client connected");
  seen.push_back(roundTrip(other) ? "other client served" : "other client not served");
  return seen;
}

void expectHeldEndAsOnAPlainServer(const HoldRequest& hold, HeldEnd end) {
  constexpr int kWithinMs = 5000;
  std::vector<std::string> expected;
  {
    Xvfb plain({"-screen", "0", "640x480x24"});
    ASSERT_TRUE(plain.ok()) << plain.error();
    expected = endHeldClient(plain.number(), hold, end, kWithinMs);
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(expected[0], "held");
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  EXPECT_EQ(endHeldClient(proxy.number(), hold, end, kWithinMs), expected) << proxy.log();
  EXPECT_EQ(proxy.wait(0), -1) << proxy.log();
}

}  // namespace palvon::test
