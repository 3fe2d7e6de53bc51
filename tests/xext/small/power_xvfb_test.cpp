// Power management, screen savers and print through the proxy program in
// front of two Xvfb side by side, each behind the rig's extension relay:
// both relays fake DPMS, FBPM, SCREEN-SAVER and XpExtension at codes of
// their own, and B's also moves the real MIT-SCREEN-SAVER. Raw clients of
// either byte order check where each request goes, what comes back, and
// that every request with a reply gets exactly one.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

constexpr uint8_t kDpms = 0, kFbpm = 1, kSgi = 2, kXp = 3;
const char* const kFakeNames[] = {"DPMS", "FBPM", "SCREEN-SAVER", "XpExtension"};

// What one relay answers for its fakes; `id` tells the relays apart in
// the values they give.
struct FakeServer {
  FakeServer(uint8_t b, uint32_t i) : base(b), id(i) {}
  uint8_t base;       // majors base .. base + 3
  uint32_t id;        // 1 on A, 2 on B
  uint32_t root = 0;  // the real root, for XPrintQueryScreens
  std::mutex mutex;
  uint32_t context = 0;  // the last print context created, as the server saw it

  Bytes answer(const Bytes& r, char order) {
    uint8_t which = static_cast<uint8_t>(r[0] - base), minor = r[1];
    Bytes reply(32, 0);
    reply[0] = 1;
    switch (which) {
      case kDpms:
      case kFbpm:
        if (minor == 0)
          putWire16(reply, 8, 0, order), putWire16(reply, 10, 9, order);
        else if (minor == 1)
          reply[8] = 1;
        else if (minor == 2 && which == kDpms)
          for (int k = 0; k < 3; k++) putWire16(reply, 8 + 2 * k, static_cast<uint16_t>(10 * id + k + 1), order);
        else if (minor == 7)
          putWire16(reply, 8, 0, order), reply[10] = 1;
        else
          return {};
        return reply;
      case kSgi:
        // Older than the proxy's 1.0: the client must see it as it is.
        if (minor == 0)
          putWire16(reply, 8, 0, order), putWire16(reply, 10, 3, order);
        else
          putWire32(reply, 8, 1, order);
        return reply;
      default: break;
    }
    std::lock_guard<std::mutex> lock(mutex);
    switch (minor) {
      case 0: putWire16(reply, 8, 1, order); return reply;
      case 2: context = wire32(r, 4, order); return {};
      case 4: putWire32(reply, 8, context, order); return reply;
      case 19: return reply;
      case 22:
        reply.resize(36);
        putWire32(reply, 8, 1, order);
        putWire32(reply, 32, root, order);
        return reply;
      default: return {};
    }
  }
};

struct Codes {
  uint8_t major = 0, firstEvent = 0, firstError = 0;
};

class PowerThroughRelays : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfbA.ok() && xvfbB.ok()) << xvfbA.error() << xvfbB.error();
    fakeA.root = rootOf(xvfbA.number());
    fakeB.root = rootOf(xvfbB.number());
    relayA = std::make_unique<ExtensionRelay>(xvfbA);
    relayB = std::make_unique<ExtensionRelay>(xvfbB);
    ASSERT_TRUE(relayA->ok() && relayB->ok()) << relayA->error() << relayB->error();
    relayB->moveExtension("MIT-SCREEN-SAVER", 230, 120, 1);
    for (auto [relay, fake] : {std::pair{relayA.get(), &fakeA}, std::pair{relayB.get(), &fakeB}}) {
      for (uint8_t k = 0; k < 4; k++) {
        relay->addFakeExtension(kFakeNames[k], fake->base + k, fake->base - 100 + 2 * k, fake->base - 50 + 3 * k);
        FakeServer* server = fake;  // structured bindings cannot be captured everywhere
        relay->setFakeResponder(fake->base + k,
                                [server](const Bytes& r, char order) { return server->answer(r, order); });
      }
    }
    // The proxy keeps the servers' savers off while input moves; here only
    // the client turns them on and off. Server errors are logged.
    proxy = std::make_unique<ProxyProcess>(
        std::vector<std::string>{"noReset", "on", "syncScreenSavers", "off", "logTypes", "XErrors", "screen",
                                 relayA->display() + ".0", "screen", relayB->display() + ".0"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  static uint32_t rootOf(int display) {
    RawClient c;
    return c.connectUnix(display) && c.setup() == 1 ? c.rootWindow() : 0;
  }

  // A pixel of a drawable of a real server, read directly.
  static uint32_t pixelOf(const Xvfb& xvfb, uint32_t drawable, uint16_t x, uint16_t y) {
    RawClient direct;
    if (!direct.connectUnix(xvfb.number()) || direct.setup() != 1) return ~0u;
    Bytes get(16, 0);
    direct.put32(get, 0, drawable);
    direct.put16(get, 4, x);
    direct.put16(get, 6, y);
    direct.put16(get, 8, 1);
    direct.put16(get, 10, 1);
    direct.put32(get, 12, 0xffffffff);
    direct.send(direct.request(X_GetImage, ZPixmap, get));
    Bytes image = direct.readMessage(5000);
    return image.size() >= 36 ? direct.get32(image, 32) & 0xffffff : ~0u;
  }

  // Connects a raw client of the test's byte order to the proxy.
  bool connect(RawClient& c) { return c.connectUnix(proxy->number()) && c.setup(GetParam()) == 1; }

  static Codes query(RawClient& c, const std::string& name) {
    RawClient::Codes codes = c.queryExtension(name);
    return {codes.major, codes.firstEvent, codes.firstError};
  }

  // Every message up to and including the answer of that sequence.
  static std::vector<Bytes> through(RawClient& c, uint16_t sequence) {
    std::vector<Bytes> seen;
    while (seen.size() < 64) {
      Bytes m = c.readMessage(5000);
      if (m.empty()) break;
      seen.push_back(m);
      if (m[0] <= 1 && c.get16(m, 2) == sequence) break;
    }
    return seen;
  }

  // What reached the relay on the client's own connection: the newest one
  // (the proxy's own connections ask about power settings themselves).
  static std::vector<ExtensionRelay::LoggedRequest> logged(const ExtensionRelay& relay, uint8_t major, uint8_t minor) {
    std::vector<ExtensionRelay::LoggedRequest> out;
    for (auto& r : relay.extensionRequests(relay.connectionCount() - 1))
      if (r.major == major && r.minor == minor) out.push_back(r);
    return out;
  }

  Xvfb xvfbA{{"-screen", "0", "400x300x24"}};
  Xvfb xvfbB{{"-screen", "0", "400x300x24"}};
  FakeServer fakeA{200, 1}, fakeB{210, 2};
  std::unique_ptr<ExtensionRelay> relayA, relayB;
  std::unique_ptr<ProxyProcess> proxy;
};

// Queries reach the main head's server, changes one head of every server.
struct Routed {
  uint8_t extension;  // index into kFakeNames
  uint8_t minor;
  uint8_t words;  // body words after the header
  int onA, onB;   // copies expected on each relay
  bool reply;
};

const Routed kRouted[] = {
    {kDpms, 0, 1, 1, 0, true},  {kDpms, 1, 0, 1, 0, true},  {kDpms, 2, 0, 1, 0, true},  {kDpms, 3, 2, 1, 1, false},
    {kDpms, 4, 0, 1, 1, false}, {kDpms, 5, 0, 1, 1, false}, {kDpms, 6, 1, 1, 1, false}, {kDpms, 7, 0, 1, 0, true},
    {kFbpm, 0, 1, 1, 0, true},  {kFbpm, 1, 0, 1, 0, true},  {kFbpm, 4, 1, 1, 1, false}, {kFbpm, 5, 0, 1, 1, false},
    {kFbpm, 6, 1, 1, 1, false}, {kFbpm, 7, 0, 1, 0, true},  {kSgi, 0, 1, 1, 0, true},   {kSgi, 1, 1, 1, 0, true},
    {kSgi, 2, 1, 1, 0, true},
};

TEST_P(PowerThroughRelays, EachRequestReachesItsServersAndIsAnsweredOnce) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  Codes codes[3];
  for (uint8_t k = 0; k < 3; k++) {
    codes[k] = query(c, kFakeNames[k]);
    ASSERT_NE(codes[k].major, 0) << kFakeNames[k];
  }
  uint16_t sequence = 3;
  int replies = 0;
  for (const Routed& r : kRouted) {
    Bytes body(4 * r.words, 0);
    // The SCREEN-SAVER screen number means the meta screen.
    if (r.extension == kSgi && r.minor) c.put32(body, 0, 5);
    c.send(c.request(codes[r.extension].major, r.minor, body));
    sequence++;
    replies += r.reply;
  }
  c.send(c.request(X_GetInputFocus, 0));
  std::vector<Bytes> seen = through(c, ++sequence);
  ASSERT_EQ(seen.size(), size_t(replies) + 1) << "one answer per request with a reply, nothing else";
  uint16_t expected = 3;
  size_t at = 0;
  for (const Routed& r : kRouted) {
    expected++;
    if (!r.reply) continue;
    const Bytes& m = seen[at++];
    SCOPED_TRACE(std::string(kFakeNames[r.extension]) + " minor " + std::to_string(r.minor));
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(c.get16(m, 2), expected);
    if (r.minor == 0) {
      uint32_t version = c.get16(m, 8) * 64u + c.get16(m, 10);
      EXPECT_EQ(version, r.extension == kSgi ? 3u : 65u) << "the proxy's version; a lower SCREEN-SAVER one kept";
    }
    if (r.extension == kDpms && r.minor == 2) {
      EXPECT_EQ(c.get16(m, 8), 11) << "the main head's time-outs";
    }
  }
  for (const Routed& r : kRouted) {
    SCOPED_TRACE(std::string(kFakeNames[r.extension]) + " minor " + std::to_string(r.minor));
    EXPECT_EQ(logged(*relayA, fakeA.base + r.extension, r.minor).size(), size_t(r.onA));
    EXPECT_EQ(logged(*relayB, fakeB.base + r.extension, r.minor).size(), size_t(r.onB));
  }
  for (uint8_t minor : {1, 2}) {
    auto sent = logged(*relayA, fakeA.base + kSgi, minor);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(wire32(sent[0].bytes, 4, sent[0].order), 0u) << "the input head's screen on its server";
  }
}

// A request of the wrong size is refused by the proxy and reaches no server.
TEST_P(PowerThroughRelays, WrongSizesAreRefused) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  Codes dpms = query(c, "DPMS"), saver = query(c, "MIT-SCREEN-SAVER"), xp = query(c, "XpExtension");
  ASSERT_TRUE(dpms.major && saver.major && xp.major);
  // SetAttributes naming two values but carrying one; GetOneAttribute whose
  // string runs past the request; ForceLevel without its level.
  Bytes attributes(28, 0);
  c.put32(attributes, 0, c.rootWindow());
  c.put32(attributes, 20, CWBackPixel | CWBorderPixel);
  Bytes attribute(12, 0);
  c.put32(attribute, 4, 9);
  c.send(c.request(saver.major, 3, attributes));
  c.send(c.request(xp.major, 19, attribute));
  c.send(c.request(dpms.major, 6));
  c.send(c.request(X_GetInputFocus, 0));
  std::vector<Bytes> seen = through(c, 7);
  ASSERT_EQ(seen.size(), 4u);
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(seen[k][0], 0) << k;
    EXPECT_EQ(seen[k][1], BadLength) << k;
  }
  EXPECT_TRUE(logged(*relayA, fakeA.base + kXp, 19).empty());
  EXPECT_TRUE(logged(*relayA, fakeA.base + kDpms, 6).empty());
}

TEST_P(PowerThroughRelays, PrintContextsKeepTheClientsIds) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  Codes xp = query(c, "XpExtension");
  ASSERT_NE(xp.major, 0);
  uint32_t context = c.resourceIdBase() + 5;
  Bytes create(12, 0);
  c.put32(create, 0, context);
  c.send(c.request(xp.major, 2, create));
  Bytes one(4, 0);
  c.put32(one, 0, context);
  c.send(c.request(xp.major, 3, one));
  c.send(c.request(xp.major, 4));
  Bytes attribute(20, 0);
  c.put32(attribute, 0, context);
  c.put32(attribute, 4, 5);
  std::copy_n("copies", 5, attribute.begin() + 12);
  c.send(c.request(xp.major, 19, attribute));
  c.send(c.request(xp.major, 22));
  std::vector<Bytes> seen = through(c, 6);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(c.get32(seen[0], 8), context) << "GetContext gives the id the client chose";
  EXPECT_EQ(seen[1][0], 1) << "GetOneAttribute with its string passes";
  ASSERT_EQ(seen[2].size(), 36u);
  EXPECT_EQ(c.get32(seen[2], 32), c.rootWindow()) << "QueryScreens names the proxy's root";
  auto created = logged(*relayA, fakeA.base + kXp, 2);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_NE(wire32(created[0].bytes, 4, created[0].order), context) << "the server knows the context by its own id";
  for (const auto& r : relayB->extensionRequests(relayB->connectionCount() - 1))
    EXPECT_NE(r.major, fakeB.base + kXp) << "B sees no print request";
}

// Print events name the client's context; a print error keeps the value
// the server gave and is logged by name.
TEST_P(PowerThroughRelays, PrintEventsAndErrors) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  Codes xp = query(c, "XpExtension");
  ASSERT_NE(xp.major, 0);
  uint32_t context = c.resourceIdBase() + 5;
  Bytes create(12, 0);
  c.put32(create, 0, context);
  c.send(c.request(xp.major, 2, create));
  c.send(c.request(X_GetInputFocus, 0));
  ASSERT_EQ(through(c, 3).size(), 1u);
  auto created = logged(*relayA, fakeA.base + kXp, 2);
  ASSERT_EQ(created.size(), 1u);
  uint32_t onServer = wire32(created[0].bytes, 4, created[0].order);
  Bytes notify(32, 0);
  notify[0] = static_cast<uint8_t>(fakeA.base - 100 + 2 * kXp + 1);  // XPrintAttributeNotify
  putWire32(notify, 4, onServer, created[0].order);
  relayA->injectAfter(fakeA.base + kXp, 3, notify);
  Bytes error(32, 0);
  error[1] = static_cast<uint8_t>(fakeA.base - 50 + 3 * kXp);  // XPrintBadContext
  putWire32(error, 4, onServer, created[0].order);
  error[10] = fakeA.base + kXp;
  error[8] = 5;
  relayA->injectAfter(fakeA.base + kXp, 5, error);
  Bytes one(4, 0);
  c.put32(one, 0, context);
  c.send(c.request(xp.major, 3, one));
  c.send(c.request(xp.major, 5, one));
  c.send(c.request(X_GetInputFocus, 0));
  std::vector<Bytes> seen = through(c, 6);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0][0], xp.firstEvent + 1);
  EXPECT_EQ(c.get32(seen[0], 4), context) << "the client's context";
  EXPECT_EQ(seen[1][0], 0);
  EXPECT_EQ(seen[1][1], xp.firstError);
  EXPECT_EQ(c.get32(seen[1], 4), onServer) << "the value as the server gave it";
  EXPECT_EQ(seen[1][10], xp.major);
  char text[64];
  std::snprintf(text, sizeof text, "XPrintBadContext 0x%x", onServer);
  EXPECT_TRUE(proxy->waitForLog(text, 5000)) << proxy->log();
}

// The saver events of the input server's head name the proxy's root; the
// saver attributes reach every head with the ids of its own server.
TEST_P(PowerThroughRelays, SaverEventsAndAttributes) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  Codes saver = query(c, "MIT-SCREEN-SAVER");
  ASSERT_NE(saver.major, 0);
  uint32_t root = c.rootWindow(), base = c.resourceIdBase();
  uint32_t pixmap = base + 1, gc = base + 2;
  Bytes select(8, 0);
  c.put32(select, 0, root);
  c.put32(select, 4, 1);  // ScreenSaverNotifyMask
  c.send(c.request(saver.major, 2, select));
  Bytes createPixmap(12, 0);
  c.put32(createPixmap, 0, pixmap);
  c.put32(createPixmap, 4, root);
  c.put16(createPixmap, 8, 8);
  c.put16(createPixmap, 10, 8);
  c.send(c.request(X_CreatePixmap, 24, createPixmap));
  Bytes createGC(16, 0);
  c.put32(createGC, 0, gc);
  c.put32(createGC, 4, pixmap);
  c.put32(createGC, 8, GCForeground);
  c.put32(createGC, 12, 0x00ff00);
  c.send(c.request(X_CreateGC, 0, createGC));
  Bytes fill(16, 0);
  c.put32(fill, 0, pixmap);
  c.put32(fill, 4, gc);
  c.put16(fill, 12, 8);
  c.put16(fill, 14, 8);
  c.send(c.request(X_PolyFillRectangle, 0, fill));
  Bytes attributes(28, 0);
  c.put32(attributes, 0, root);
  c.put16(attributes, 8, 800);
  c.put16(attributes, 10, 300);
  attributes[14] = InputOutput;
  c.put32(attributes, 20, CWBackPixmap);
  c.put32(attributes, 24, pixmap);
  c.send(c.request(saver.major, 3, attributes));
  c.send(c.request(X_ForceScreenSaver, ScreenSaverActive));
  c.send(c.request(X_ForceScreenSaver, ScreenSaverReset));
  Bytes info(4, 0);
  c.put32(info, 0, root);
  c.send(c.request(saver.major, 1, info));
  std::vector<Bytes> seen = through(c, 10);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back()[0], 1) << "QueryInfo answers";
  // One event per state change of the input server's head. (The proxy's
  // own pointer traffic may end the saver early: an Off of the activation.)
  // A loaded server may report the change under the next request's
  // sequence: the states are counted, not their sequence numbers.
  std::map<uint8_t, int> events;
  for (size_t k = 0; k + 1 < seen.size(); k++) {
    const Bytes& m = seen[k];
    ASSERT_EQ(m[0], saver.firstEvent) << "only saver events, k " << k;
    EXPECT_EQ(c.get32(m, 8), root) << "the proxy's root";
    EXPECT_TRUE(c.get16(m, 2) == 7 || c.get16(m, 2) == 8) << "after the activation";
    events[m[1]]++;
  }
  EXPECT_EQ(events[1], 1) << "On for the activation";
  EXPECT_EQ(events[0], 1) << "one Off";

  // Each server got the saver attributes with its own copy of the tile.
  for (auto [relay, xvfb] : {std::pair{relayA.get(), &xvfbA}, std::pair{relayB.get(), &xvfbB}}) {
    SCOPED_TRACE(xvfb->display());
    ExtensionRelay::Codes codes;
    ASSERT_TRUE(relay->serverCodes("MIT-SCREEN-SAVER", &codes) || relay == relayB.get());
    uint8_t major = relay == relayB.get() ? 230 : codes.major;
    auto set = logged(*relay, major, 3);
    ASSERT_EQ(set.size(), 1u);
    const Bytes& r = set[0].bytes;
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(wire32(r, 4, set[0].order), rootOf(xvfb->number())) << "the real root";
    EXPECT_EQ(pixelOf(*xvfb, wire32(r, 28, set[0].order), 0, 0), 0x00ff00u) << "the server's pixmap of the tile";
  }
}

// xset drives DPMS through the proxy: each change reaches every server
// once, and the time-outs shown are the main head's.
class XsetThroughRelays : public PowerThroughRelays {};

TEST_F(XsetThroughRelays, Dpms) {
  relayA->clearLog();
  relayB->clearLog();
  for (std::vector<std::string> words : {std::vector<std::string>{"xset", "dpms", "600", "700", "800"},
                                         {"xset", "dpms", "force", "off"},
                                         {"xset", "-dpms"}}) {
    ProgramResult result = runProgram(words, proxy->display());
    EXPECT_EQ(result.status, 0) << words[1] << result.err << proxy->log();
  }
  ProgramResult query = runProgram({"xset", "q"}, proxy->display());
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_NE(query.out.find("Standby: 11    Suspend: 12    Off: 13"), std::string::npos) << query.out;
  for (auto [relay, fake] : {std::pair{relayA.get(), &fakeA}, std::pair{relayB.get(), &fakeB}}) {
    SCOPED_TRACE(relay->display());
    int timeouts = 0, off = 0, disable = 0;
    for (const auto& r : relay->allExtensionRequests()) {
      if (r.major != fake->base + kDpms) continue;
      timeouts += r.minor == 3 && wire16(r.bytes, 4, r.order) == 600 && wire16(r.bytes, 8, r.order) == 800;
      off += r.minor == 6 && wire16(r.bytes, 4, r.order) == 3;
      disable += r.minor == 5;
    }
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(off, 1);
    EXPECT_EQ(disable, 1);
  }
}

// Without DPMS on the servers the proxy offers none; the screen saver
// settings read as the first server's.
TEST(PowerPrograms, XsetQueryWithPlainHeads) {
  Xvfb a{{"-screen", "0", "320x200x24"}}, b{{"-screen", "0", "320x200x24"}};
  ASSERT_TRUE(a.ok() && b.ok());
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "screen", b.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  auto saverPart = [](const std::string& out) {
    size_t from = out.find("Screen Saver:"), to = out.find("Colors:");
    return from == std::string::npos || to == std::string::npos ? std::string() : out.substr(from, to - from);
  };
  ProgramResult through = runProgram({"xset", "q"}, proxy.display()), direct = runProgram({"xset", "q"}, a.display());
  ASSERT_EQ(through.status, 0) << through.err;
  EXPECT_NE(saverPart(through.out), "");
  EXPECT_EQ(saverPart(through.out), saverPart(direct.out));
  EXPECT_NE(through.out.find("Server does not have the DPMS Extension"), std::string::npos) << through.out;
}

INSTANTIATE_TEST_SUITE_P(Orders, PowerThroughRelays, ::testing::Values('l', 'B'),
                         [](const auto& info) { return std::string(info.param == 'B' ? "Msb" : "Lsb"); });

}  // namespace
}  // namespace palvon::test
