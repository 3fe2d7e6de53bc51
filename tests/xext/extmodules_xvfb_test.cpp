// The small extension modules between raw clients of either byte order and
// two real servers, each behind the rig's extension relay: A, and B started
// with XTEST off (so its extensions sit one major lower) and 512 clients (so
// it gives its clients one id bit fewer). B's relay tells everyone that B
// takes requests of at most 100,000 words; both relays offer a fake
// SUN_ALLPLANES (200 on A, 210 on B) and answer version queries with a
// version of their own, so that the proxy's replacement shows.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Xext/modules.h"
#include "support/peers/extrelay.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::ExtensionRelay;
using test::RawClient;

constexpr u8 kAllPlanesOnA = 200, kAllPlanesOnB = 210;
constexpr u32 kLimitOnB = 100000;

// A version reply of the relay's own: 9.9 in whatever fields it has.
void claimVersion99(Bytes& reply, char order) {
  test::putWire16(reply, 8, 9, order);
  test::putWire16(reply, 10, 9, order);
}

class ModulesThroughRelays : public test::ProxyLoopTest,
                             public ::testing::WithParamInterface<std::tuple<char, bool>> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfbA.ok() && xvfbB.ok()) << xvfbA.error() << xvfbB.error();
    relayA = std::make_unique<ExtensionRelay>(xvfbA);
    relayB = std::make_unique<ExtensionRelay>(xvfbB);
    ASSERT_TRUE(relayA->ok() && relayB->ok()) << relayA->error() << relayB->error();
    ExtensionRelay::Codes bigA, bigB, miscA, miscB;
    ASSERT_TRUE(relayA->serverCodes("BIG-REQUESTS", &bigA) && relayB->serverCodes("BIG-REQUESTS", &bigB));
    ASSERT_TRUE(relayA->serverCodes("XC-MISC", &miscA) && relayB->serverCodes("XC-MISC", &miscB));
    ASSERT_NE(bigA.major, bigB.major) << "B numbers its extensions apart";
    relayB->rewriteReply(bigB.major, 0, [](Bytes& reply, char order) { test::putWire32(reply, 8, kLimitOnB, order); });
    // B offers the Generic Event Extension at a major of its own.
    relayB->moveExtension("Generic Event Extension", 250);
    for (auto [relay, misc, fake] : {std::tuple{relayA.get(), miscA.major, kAllPlanesOnA},
                                     std::tuple{relayB.get(), miscB.major, kAllPlanesOnB}}) {
      relay->rewriteReply(misc, 0, claimVersion99);
      relay->addFakeExtension("SUN_ALLPLANES", fake);
      relay->setFakeResponder(fake, [](const Bytes& request, char order) {
        if (request[1] != 0) return Bytes{};
        Bytes reply(32, 0);
        reply[0] = 1;
        claimVersion99(reply, order);
        return reply;
      });
    }
    relayA->rewriteReply(128, 0, claimVersion99);

    ProxyLoopTest::SetUp();
    savedConfig = proxyConfig;
    proxyConfig.extensions = nullptr;
    proxyConfig.extensionCount = 0;
    proxyState.maxBigRequestBytes = 0xffffffff;
    resetAllExtensions();
    installBuiltinExtensionModules();
    ASSERT_EQ(openServerDisplay(relayA->display().c_str(), 5000, &serverA), nullptr);
    ASSERT_EQ(openServerDisplay(relayB->display().c_str(), 5000, &serverB), nullptr);
    ExtensionServer servers[] = {{serverA->display, serverA->displayName, &serverA->codes},
                                 {serverB->display, serverB->displayName, &serverB->codes}};
    ASSERT_EQ(setupServerExtensions(servers, 2), nullptr);
    buildScreen();
    for (ServerDisplay* server : {serverA, serverB}) {
      LinkServerInfo info{};
      info.display = server;
      info.displayName = server->displayName;
      info.serverIndex = server->index;
      info.bigEndian = server == serverB && std::get<1>(GetParam());
      info.offlineTimeoutMs = 10000;
      info.codes = &server->codes;
      links.push_back(info);
    }
    clientServerList = ClientServerList{links.data(), 2};
  }

  void TearDown() override {
    ProxyLoopTest::TearDown();
    clientServerList = ClientServerList{};
    proxyState.screens = nullptr;
    inputControlDisplay = nullptr;
    for (ServerDisplay* server : {serverA, serverB}) {
      if (!server) continue;
      server->firstHead = nullptr;
      freeServerDisplay(server);
    }
    resetAllExtensions();
    setExtensionModules(nullptr, 0);
    proxyConfig = savedConfig;
  }

  // One meta screen A|B; A's server is the input-control server.
  void buildScreen() {
    for (auto [head, server] : {std::pair{&a, serverA}, std::pair{&b, serverB}}) {
      head->display = server->display;
      head->serverDisplay = server;
      head->serverIndex = server->index;
      head->root = DefaultRootWindow(server->display);
      head->metaScreen = &screen;
      server->firstHead = head;
    }
    a.logical = {0, 0, 640, 480};
    b.logical = {640, 0, 640, 480};
    a.clip = b.clip = {0, 0, 640, 480};
    a.next = &b;
    b.back = &a;
    screen.heads = &a;
    screen.mainHead = &a;
    screen.headCount = 2;
    proxyState.screens = &screen;
    inputControlDisplay = serverA;
  }

  char order() const { return std::get<0>(GetParam()); }

  // Sends while the proxy reads: a long request does not fit the socket.
  bool sendStepping(RawClient& c, const Bytes& bytes) {
    size_t done = 0;
    for (int tries = 0; done < bytes.size() && tries < 20000; tries++) {
      ssize_t n = ::send(c.fd(), bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      step(1);
    }
    return done == bytes.size();
  }
  // The next message for the client, stepping the proxy; empty after 10 s.
  Bytes next(RawClient& c) {
    for (int tries = 0; tries < 2000; tries++) {
      step(2);
      Bytes m = c.readMessage(5);
      if (!m.empty()) return m;
    }
    return {};
  }
  // Every message until a reply or error of that sequence.
  std::vector<Bytes> through(RawClient& c, u16 sequence) {
    std::vector<Bytes> seen;
    while (seen.size() < 20) {
      Bytes m = next(c);
      if (m.empty()) break;
      seen.push_back(m);
      if (m[0] <= 1 && c.get16(m, 2) == sequence) break;
    }
    return seen;
  }
  u8 offered(const char* name) {
    const ExtensionEntry* entry = findExtensionByName(name);
    EXPECT_NE(entry, nullptr) << name;
    return entry ? entry->major : 0;
  }

  test::Xvfb xvfbA{{"-screen", "0", "640x480x24"}};
  test::Xvfb xvfbB{{"-screen", "0", "640x480x24", "-extension", "XTEST", "-maxclients", "512"}};
  std::unique_ptr<ExtensionRelay> relayA, relayB;
  ProxyConfiguration savedConfig{};
  ServerDisplay* serverA = nullptr;
  ServerDisplay* serverB = nullptr;
  MetaScreen screen{};
  Head a{}, b{};
  std::vector<LinkServerInfo> links;
};

TEST_P(ModulesThroughRelays, BigReqEnableAnswersOnceWithTheLimitThatHolds) {
  EXPECT_EQ(proxyState.maxBigRequestBytes, 4 * kLimitOnB) << "known from the proxy's own connections";
  RawClient c;
  ASSERT_NE(connect(c, order()), nullptr);
  u8 big = offered("BIG-REQUESTS"), misc = offered("XC-MISC");
  c.send(c.request(big, 0));
  c.send(c.request(misc, 1));  // answered by the proxy: a marker
  std::vector<Bytes> seen = through(c, 2);
  ASSERT_EQ(seen.size(), 2u) << "one answer to BigReqEnable";
  EXPECT_EQ(seen[0][0], 1);
  EXPECT_EQ(c.get16(seen[0], 2), 1);
  EXPECT_EQ(c.get32(seen[0], 8), kLimitOnB);
  for (auto* relay : {relayA.get(), relayB.get()}) {
    ExtensionRelay::Codes codes;
    relay->serverCodes("BIG-REQUESTS", &codes);
    bool reached = false;
    for (const auto& r : relay->allExtensionRequests()) reached = reached || (r.major == codes.major && r.minor == 0);
    EXPECT_TRUE(reached) << "every server gets BigReqEnable, at its own major";
  }

  // The largest request granted passes; one word more is refused.
  for (u32 words : {kLimitOnB, kLimitOnB + 1}) {
    Bytes request(4 * size_t{words}, 0);
    request[0] = X_NoOperation;
    c.put32(request, 4, words);
    ASSERT_TRUE(sendStepping(c, request));
  }
  c.send(c.request(misc, 1));
  seen = through(c, 5);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0][0], 0);
  EXPECT_EQ(seen[0][1], BadLength);
  EXPECT_EQ(c.get16(seen[0], 2), 4) << "the request one word too long";
  EXPECT_EQ(c.get16(seen[1], 2), 5);
}

TEST_P(ModulesThroughRelays, VersionsAreTheProxysAndRequestsReachTheRightServers) {
  auto count = [](const std::vector<ExtensionRelay::LoggedRequest>& log, u8 major, u8 minor) {
    int n = 0;
    for (const auto& r : log) n += r.major == major && r.minor == minor;
    return n;
  };
  RawClient c;
  ASSERT_NE(connect(c, order()), nullptr);
  u8 misc = offered("XC-MISC"), ge = offered("Generic Event Extension"), allPlanes = offered("SUN_ALLPLANES");
  EXPECT_EQ(allPlanes, kAllPlanesOnA) << "offered at A's codes";
  EXPECT_EQ(serverB->codes.majorToServer[ge], 250) << "B's own major for an extension the proxy answers itself";
  Bytes version(4, 0);
  c.put16(version, 0, 1);
  c.put16(version, 2, 1);
  c.send(c.request(misc, 0, version));  // to B: fewer id bits
  c.send(c.request(ge, 0, version));    // to A: the main head of the first screen
  c.send(c.request(allPlanes, 0));      // to A
  Bytes rectangle(12, 0);
  c.put32(rectangle, 0, 0x2a);
  c.put16(rectangle, 8, 10);
  c.put16(rectangle, 10, 10);
  c.send(c.request(allPlanes, 4, rectangle));  // to both
  c.send(c.request(misc, 1));
  std::vector<Bytes> seen = through(c, 5);
  ASSERT_EQ(seen.size(), 4u) << "one answer per request with a reply";
  u32 versions[] = {1 << 16 | 1, 1 << 16 | 0, 1 << 16 | 0};
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(seen[k][0], 1) << k;
    EXPECT_EQ(c.get16(seen[k], 2), k + 1);
    EXPECT_EQ(u32{c.get16(seen[k], 8)} << 16 | c.get16(seen[k], 10), versions[k]) << "the offered version";
  }
  ExtensionRelay::Codes miscA, miscB;
  relayA->serverCodes("XC-MISC", &miscA);
  relayB->serverCodes("XC-MISC", &miscB);
  // The client's link is each relay's last connection (modules ask the
  // servers on the proxy's own connection at start-up).
  auto clientRequests = [](ExtensionRelay* relay) { return relay->extensionRequests(relay->connectionCount() - 1); };
  ASSERT_TRUE(relayB->waitFor([&] { return clientRequests(relayB.get()).size() >= 2; }));
  std::vector<ExtensionRelay::LoggedRequest> onA = clientRequests(relayA.get()), onB = clientRequests(relayB.get());
  EXPECT_EQ(count(onB, miscB.major, 0), 1);
  EXPECT_EQ(count(onA, miscA.major, 0), 0);
  EXPECT_EQ(count(onA, 128, 0), 1);
  EXPECT_EQ(count(onB, 250, 0), 0);
  EXPECT_EQ(count(onA, kAllPlanesOnA, 0), 1);
  EXPECT_EQ(count(onA, kAllPlanesOnA, 4), 1);
  EXPECT_EQ(count(onB, kAllPlanesOnB, 4), 1) << "reaches B at B's major";
  EXPECT_EQ(count(onA, miscA.major, 1) + count(onB, miscB.major, 1), 0) << "the id range reaches no server";
}

// The proxy offers the Generic Event Extension even where a server lacks
// it; its requests must then not reach that server at all.
TEST(ModuleCodes, AServerWithoutAnExtensionTheProxyAnswersGetsNoCodeForIt) {
  test::Xvfb xvfb{{"-screen", "0", "320x200x24"}};
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  ExtensionRelay relay(xvfb);
  ASSERT_TRUE(relay.ok()) << relay.error();
  relay.hideExtension("Generic Event Extension");
  ProxyConfiguration saved = proxyConfig;
  proxyConfig.extensions = nullptr;
  proxyConfig.extensionCount = 0;
  resetAllExtensions();
  installBuiltinExtensionModules();
  ServerDisplay *first = nullptr, *second = nullptr;
  ASSERT_EQ(openServerDisplay(xvfb.display().c_str(), 5000, &first), nullptr);
  ASSERT_EQ(openServerDisplay(relay.display().c_str(), 5000, &second), nullptr);
  ExtensionServer servers[] = {{first->display, first->displayName, &first->codes},
                               {second->display, second->displayName, &second->codes}};
  EXPECT_EQ(setupServerExtensions(servers, 2), nullptr);
  const ExtensionEntry* ge = findExtensionByName("Generic Event Extension");
  ASSERT_NE(ge, nullptr) << "offered all the same";
  EXPECT_EQ(first->codes.majorToServer[ge->major], 128);
  EXPECT_EQ(second->codes.majorToServer[ge->major], 0);
  freeServerDisplay(first);
  freeServerDisplay(second);
  resetAllExtensions();
  setExtensionModules(nullptr, 0);
  proxyConfig = saved;
}

INSTANTIATE_TEST_SUITE_P(Orders, ModulesThroughRelays,
                         ::testing::Combine(::testing::Values('l', 'B'), ::testing::Values(false, true)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == 'B' ? "MsbClient" : "LsbClient") +
                                  (std::get<1>(info.param) ? "MsbLinkB" : "LsbLinkB");
                         });

}  // namespace
}  // namespace palvon
