// The rig's extension relay in front of a real Xvfb, with raw clients of
// both byte orders: untouched traffic passes byte for byte (set-up, big
// requests, replies, events, generic events, errors), and each feature
// changes exactly what it names while every later sequence stays right.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

constexpr uint8_t kXCMiscGetVersion = 0, kBigReqEnable = 0;
constexpr uint8_t kBadImplementation = 17;

class Relay : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    relay = std::make_unique<ExtensionRelay>(xvfb);
    ASSERT_TRUE(relay->ok()) << relay->error();
  }

  // A raw client of the test's byte order, set up through the relay.
  void connect(RawClient& c) {
    ASSERT_TRUE(c.connectUnix(relay->number()));
    ASSERT_EQ(c.setup(GetParam()), 1);
  }
  Bytes named(const RawClient& c, const std::string& name) {
    Bytes body(4 + ((name.size() + 3) & ~size_t{3}), 0);
    c.put16(body, 0, static_cast<uint16_t>(name.size()));
    std::copy(name.begin(), name.end(), body.begin() + 4);
    return body;
  }
  // QueryExtension's present flag and codes.
  Bytes query(RawClient& c, const std::string& name) {
    c.send(c.request(X_QueryExtension, 0, named(c, name)));
    Bytes reply = c.readMessage();
    return reply.size() >= 12 ? Bytes(reply.begin() + 8, reply.begin() + 12) : Bytes{};
  }
  std::vector<std::string> list(RawClient& c) {
    c.send(c.request(X_ListExtensions, 0));
    Bytes reply = c.readMessage();
    std::vector<std::string> names;
    for (size_t at = 32, k = 0; reply.size() >= 32 && k < reply[1] && at < reply.size(); k++) {
      names.emplace_back(reply.begin() + static_cast<long>(at + 1), reply.begin() + static_cast<long>(at + 1 + reply[at]));
      at += 1 + reply[at];
    }
    return names;
  }
  uint8_t serverMajor(const std::string& name) {
    ExtensionRelay::Codes codes;
    EXPECT_TRUE(relay->serverCodes(name, &codes)) << name;
    return codes.major;
  }
  // Reads until a reply or error of that sequence; the messages on the way.
  std::vector<Bytes> readThrough(RawClient& c, uint16_t sequence) {
    std::vector<Bytes> seen;
    for (int k = 0; k < 50; k++) {
      Bytes m = c.readMessage();
      if (m.empty()) break;
      seen.push_back(m);
      if (m[0] <= 1 && c.get16(m, 2) == sequence) break;
    }
    return seen;
  }

  Xvfb xvfb{{"-screen", "0", "640x480x24"}};
  std::unique_ptr<ExtensionRelay> relay;
};

TEST_P(Relay, UntouchedTrafficPassesByteForByte) {
  relay->keepTranscripts(true);
  RawClient c;
  connect(c);
  uint32_t window = c.resourceIdBase() | 1;
  uint8_t big = serverMajor("BIG-REQUESTS"), xinput = serverMajor("XInputExtension"), xtest = serverMajor("XTEST");
  std::vector<Bytes> requests;
  requests.push_back(c.request(X_QueryExtension, 0, named(c, "BIG-REQUESTS")));
  requests.push_back(c.request(big, kBigReqEnable));
  Bytes create(28, 0);
  c.put32(create, 0, window);
  c.put32(create, 4, c.rootWindow());
  c.put16(create, 12, 30);
  c.put16(create, 14, 30);
  c.put16(create, 18, 1);
  c.put32(create, 24, 0);
  requests.push_back(c.request(X_CreateWindow, 0, create));
  // A property of 300,000 bytes in the long form.
  Bytes property(4 + 24 + 300000, 0x5a);
  property[0] = X_ChangeProperty;
  property[1] = 0;
  c.put16(property, 2, 0);
  c.put32(property, 4, static_cast<uint32_t>(property.size() / 4));
  c.put32(property, 8, window);
  c.put32(property, 12, 39);  // WM_NAME
  c.put32(property, 16, 31);  // STRING
  property[20] = 8;
  c.put32(property, 24, 300000);
  requests.push_back(property);
  Bytes get(20, 0);
  c.put32(get, 0, window);
  c.put32(get, 4, 39);
  c.put32(get, 16, 100000);
  requests.push_back(c.request(X_GetProperty, 0, get));
  // Events: a ClientMessage to itself; generic events: raw motion through
  // XInput 2, caused by XTEST.
  Bytes send(40, 0);
  c.put32(send, 0, window);
  send[8] = 33;
  send[9] = 32;
  c.put32(send, 12, window);
  requests.push_back(c.request(X_SendEvent, 0, send));
  Bytes version(4, 0);
  c.put16(version, 0, 2);
  c.put16(version, 2, 2);
  requests.push_back(c.request(xinput, 47, version));  // XIQueryVersion
  Bytes select(16, 0);
  c.put32(select, 0, c.rootWindow());
  c.put16(select, 4, 1);   // one mask
  c.put16(select, 8, 1);   // all master devices
  c.put16(select, 10, 1);  // one word
  select[12 + 17 / 8] = 1 << (17 % 8);  // XI_RawMotion: masks are bytes
  requests.push_back(c.request(xinput, 46, select));
  Bytes motion(32, 0);
  motion[0] = 6;  // MotionNotify
  c.put16(motion, 20, 77);
  c.put16(motion, 22, 55);
  requests.push_back(c.request(xtest, 2, motion));
  // An error, then a round trip.
  Bytes bad(4, 0);
  c.put32(bad, 0, 0x1fffffff);
  requests.push_back(c.request(X_GetGeometry, 0, bad));
  requests.push_back(c.request(X_GetInputFocus, 0));
  for (const Bytes& r : requests) ASSERT_TRUE(c.send(r));
  std::vector<Bytes> seen = readThrough(c, static_cast<uint16_t>(requests.size()));
  bool generic = false, error = false, longReply = false;
  for (const Bytes& m : seen) {
    generic = generic || (m[0] & 0x7f) == 35;
    error = error || m[0] == 0;
    longReply = longReply || (m[0] == 1 && m.size() > 100000);
  }
  EXPECT_TRUE(generic && error && longReply) << "the traffic had every kind of message";
  ASSERT_TRUE(relay->waitFor([&] {
    ExtensionRelay::Transcript t = relay->transcript(0);
    return t.toServer.size() == t.fromClient.size() && t.toClient.size() == t.fromServer.size();
  }));
  ExtensionRelay::Transcript t = relay->transcript(0);
  EXPECT_TRUE(t.toServer == t.fromClient);
  EXPECT_TRUE(t.toClient == t.fromServer);
  EXPECT_GT(t.fromClient.size(), 300000u);
}

TEST_P(Relay, AFakeExtensionIsOfferedAndAnsweredInTheServersSequence) {
  relay->addFakeExtension("SUN_ALLPLANES", 200);
  relay->setFakeResponder(200, [](const Bytes& request, char order) {
    if (request[1] != 0) return Bytes{};
    Bytes reply(32, 0);
    reply[0] = 1;
    putWire16(reply, 8, 1, order);
    putWire16(reply, 10, 3, order);
    return reply;
  });
  RawClient c;
  connect(c);
  EXPECT_EQ(query(c, "SUN_ALLPLANES"), (Bytes{1, 200, 0, 0}));
  std::vector<std::string> names = list(c);
  EXPECT_NE(std::find(names.begin(), names.end(), "SUN_ALLPLANES"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "XC-MISC"), names.end()) << "the server's own stay";
  Bytes rectangle(12, 0);
  c.put32(rectangle, 0, c.rootWindow());
  c.put16(rectangle, 4, 10);
  c.put16(rectangle, 6, 10);
  c.send(c.request(200, 4, rectangle));  // no answer: a NoOperation
  c.send(c.request(200, 0));              // the responder's answer
  c.send(c.request(X_GetInputFocus, 0));
  Bytes version = c.readMessage();
  ASSERT_EQ(version.size(), 32u);
  EXPECT_EQ(c.get16(version, 2), 4);
  EXPECT_EQ(c.get16(version, 8), 1);
  EXPECT_EQ(c.get16(version, 10), 3);
  Bytes focus = c.readMessage();
  ASSERT_EQ(focus.size(), 32u);
  EXPECT_EQ(c.get16(focus, 2), 5) << "later sequences unchanged";
  std::vector<ExtensionRelay::LoggedRequest> log = relay->extensionRequests(0);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].major, 200);
  EXPECT_EQ(log[0].minor, 4);
  EXPECT_EQ(log[0].sequence, 3u);
  EXPECT_EQ(wire16(log[0].bytes, 8, log[0].order), 10);
}

TEST_P(Relay, AHiddenExtensionIsAbsentAndAMovedOneAnswersAtItsNewCodes) {
  ExtensionRelay::Codes shape, fixes;
  ASSERT_TRUE(relay->serverCodes("SHAPE", &shape) && relay->serverCodes("XFIXES", &fixes));
  relay->hideExtension("XC-MISC");
  relay->moveExtension("SHAPE", 220, 120, 1);
  relay->moveExtension("XFIXES", 221, 121, 2, 200, 1);
  RawClient c;
  connect(c);
  EXPECT_EQ(query(c, "XC-MISC"), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(query(c, "SHAPE"), (Bytes{1, 220, 120, 0}));
  EXPECT_EQ(query(c, "XFIXES"), (Bytes{1, 221, 121, 200}));
  std::vector<std::string> names = list(c);
  EXPECT_EQ(std::find(names.begin(), names.end(), "XC-MISC"), names.end());
  // ShapeNotify from the moved SHAPE, BadRegion from the moved XFIXES.
  uint32_t window = c.resourceIdBase() | 1;
  Bytes create(28, 0);
  c.put32(create, 0, window);
  c.put32(create, 4, c.rootWindow());
  c.put16(create, 12, 30);
  c.put16(create, 14, 30);
  c.put16(create, 18, 1);
  c.send(c.request(X_CreateWindow, 0, create));
  Bytes selectShape(8, 0);
  c.put32(selectShape, 0, window);
  selectShape[4] = 1;
  c.send(c.request(220, 6, selectShape));  // ShapeSelectInput
  Bytes rectangles(20, 0);
  c.put32(rectangles, 4, window);
  c.put16(rectangles, 16, 5);
  c.put16(rectangles, 18, 5);
  c.send(c.request(220, 1, rectangles));  // ShapeRectangles
  Bytes fixesVersion(8, 0);
  c.put32(fixesVersion, 0, 5);
  c.send(c.request(221, 0, fixesVersion));  // XFixesQueryVersion
  Bytes region(4, 0);
  c.put32(region, 0, 0x1fffffff);
  c.send(c.request(221, 10, region));  // XFixesDestroyRegion of no region
  c.send(c.request(X_GetInputFocus, 0));
  std::vector<Bytes> seen = readThrough(c, 10);
  bool shapeNotify = false, badRegion = false, version = false;
  for (const Bytes& m : seen) {
    shapeNotify = shapeNotify || m[0] == 120;
    version = version || (m[0] == 1 && c.get16(m, 2) == 8 && c.get32(m, 8) == 5);
    if (m[0] == 0) {
      EXPECT_EQ(m[1], 200) << "BadRegion renumbered";
      EXPECT_EQ(m[10], 221) << "its major renumbered";
      badRegion = m[1] == 200;
    }
  }
  EXPECT_TRUE(shapeNotify && badRegion && version);
}

TEST_P(Relay, RepliesRewrittenMessagesInjectedAndAnswersHeld) {
  uint8_t big = serverMajor("BIG-REQUESTS"), misc = serverMajor("XC-MISC");
  relay->rewriteReply(big, kBigReqEnable, [](Bytes& reply, char order) { putWire32(reply, 8, 100000, order); });
  Bytes error(32, 0);
  error[1] = kBadImplementation;
  error[10] = misc;
  relay->injectAfter(misc, kXCMiscGetVersion, error);
  RawClient c;
  connect(c);
  c.send(c.request(big, kBigReqEnable));
  Bytes enabled = c.readMessage();
  ASSERT_EQ(enabled.size(), 32u);
  EXPECT_EQ(c.get32(enabled, 8), 100000u);
  Bytes version(4, 0);
  c.put16(version, 0, 1);
  c.put16(version, 2, 1);
  c.send(c.request(misc, kXCMiscGetVersion, version));
  c.send(c.request(X_GetInputFocus, 0));
  Bytes reply = c.readMessage(), injected = c.readMessage(), focus = c.readMessage();
  ASSERT_TRUE(reply.size() == 32 && injected.size() == 32 && focus.size() == 32);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(c.get16(reply, 2), 2);
  EXPECT_EQ(injected[0], 0);
  EXPECT_EQ(injected[1], kBadImplementation);
  EXPECT_EQ(c.get16(injected, 2), 2) << "the injected error answers that request";
  EXPECT_EQ(c.get16(focus, 2), 3) << "the relay's own round trip is not seen";

  relay->holdAnswer(X_GetInputFocus, 0);
  c.send(c.request(X_GetInputFocus, 0));
  c.send(c.request(X_GetInputFocus, 0));
  EXPECT_TRUE(relay->waitFor([&] { return relay->holding(); }));
  EXPECT_TRUE(c.readMessage(300).empty()) << "held back";
  relay->release();
  Bytes first = c.readMessage(), second = c.readMessage();
  ASSERT_TRUE(first.size() == 32 && second.size() == 32);
  EXPECT_EQ(c.get16(first, 2), 4);
  EXPECT_EQ(c.get16(second, 2), 5);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Relay, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char>& info) {
                           return std::string(info.param == 'l' ? "LsbFirst" : "MsbFirst");
                         });

}  // namespace
}  // namespace palvon::test
