// Flow control between a client and its link to a real X server: a server
// that stops reading holds back the client that feeds it, and only that
// client.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/testrows.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;
using test::rawRequest;

constexpr u8 kForwarded = 127;  // NoOperation, copied to the client's link
constexpr u8 kAnswered = 43;    // answered by the proxy itself
constexpr u8 kAsking = 38;      // forwarded, and the server answers it

void forwardToFirstLink(u8* request, u32 length) {
  if (ServerLink* link = clientLink(currentClient, 0)) copyRequestToServer(request, length, link);
}

void answerRequest(u8*, u32) {
  u8 reply[32] = {1};
  writeToClient(reply, 32, "bbsi", currentClient);
}

class ClientLinks : public test::ProxyLoopTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    name = xvfb.display();
    server = LinkServerInfo{};
    server.displayName = name.c_str();
    server.offlineTimeoutMs = 5000;
    clientServerList = ClientServerList{&server, 1};
    ProxyLoopTest::SetUp();
    test::setTestRequestRow(kForwarded, forwardToFirstLink);
    test::setTestRequestRow(kAnswered, answerRequest);
    test::setTestRequestRow(kAsking, forwardToFirstLink, "bbs", anySize(), nullptr, "bbsi");
  }
  void TearDown() override {
    kill(xvfb.pid(), SIGCONT);
    ProxyLoopTest::TearDown();
    clientServerList = ClientServerList{};
  }
  test::Xvfb xvfb;
  std::string name;
  LinkServerInfo server;
};

class ClientLinksHeldBack : public ClientLinks, public testing::WithParamInterface<u32> {};

TEST_P(ClientLinksHeldBack, ClientFeedingAStoppedServerIsHeldBackAndResumed) {
  const u32 requestBytes = GetParam();
  RawClient feeder, bystander;
  ProxyClient* client = connect(feeder);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->linkCount, 1u);
  ASSERT_NE(connect(bystander), nullptr);
  ServerLink* link = client->links[0];

  ASSERT_EQ(kill(xvfb.pid(), SIGSTOP), 0);
  test::RequestFeeder requests(rawRequest('l', kForwarded, 0, requestBytes / 4));
  size_t largest = 0;
  for (int round = 0; round < 300; round++) {
    requests.feed(feeder.fd());
    step(1);
    largest = std::max(largest, outbufferSize(&link->output));
  }
  EXPECT_EQ(client->readOrder, nullptr);
  // Parsing stops right behind the request that took the link over the
  // limit, however many more one read brought in.
  EXPECT_LE(largest, kLinkBacklogLimit + requestBytes);
  EXPECT_LE(client->input.size, kBufferClassMedium);

  // The other client is still served while the server is stopped.
  bystander.send(rawRequest('l', kAnswered, 0, 1));
  Bytes reply = readBytes(bystander, 32);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[0], 1);

  u32 before = client->requestCounter;
  ASSERT_EQ(kill(xvfb.pid(), SIGCONT), 0);
  EXPECT_TRUE(stepUntil([&] {
    requests.feed(feeder.fd());
    return client->requestCounter > before + 64;
  }));
}

// A whole output segment per request, and small requests of which one read
// of the client brings hundreds.
INSTANTIATE_TEST_SUITE_P(RequestSizes, ClientLinksHeldBack, testing::Values(65504u, 256u));

u64 standingClock() { return 1000000; }

// The loop's clock stands still while it lives.
struct StandingClock {
  StandingClock() { ordersSetClock(standingClock); }
  ~StandingClock() { ordersSetClock(nullptr); }
};

// A client held back with requests still in its input goes on with them as
// soon as its link has drained, without waiting for any time to pass.
TEST_F(ClientLinks, HeldBackClientGoesOnOnceItsLinkDrains) {
  RawClient feeder;
  ProxyClient* client = connect(feeder);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(kill(xvfb.pid(), SIGSTOP), 0);
  test::RequestFeeder requests(rawRequest('l', kForwarded, 0, 64));
  ASSERT_TRUE(stepUntil([&] {
    requests.feed(feeder.fd());
    return !client->readOrder && client->input.used > 0;
  }));
  StandingClock standing;
  step(1);
  u32 before = client->requestCounter;
  ASSERT_EQ(kill(xvfb.pid(), SIGCONT), 0);
  EXPECT_TRUE(stepUntil([&] { return client->requestCounter > before; }));
}

// Requests with a reply leave replies at the server: a client is held back
// once two windows of them are unanswered, though its link holds little.
TEST_F(ClientLinks, ClientAskingAStoppedServerIsHeldBackAfterTwoWindows) {
  RawClient asker;
  ProxyClient* client = connect(asker);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->linkCount, 1u);
  ASSERT_TRUE(stepUntil([&] { return client->links[0]->setupAnswered == kSetupAnswered; }));
  ASSERT_EQ(kill(xvfb.pid(), SIGSTOP), 0);
  Bytes requests;
  for (u32 i = 0; i < 4 * kPaceWindow; i++) {
    Bytes one = rawRequest('l', kAsking, 0, 1);
    requests.insert(requests.end(), one.begin(), one.end());
  }
  u32 before = client->requestCounter;
  ASSERT_TRUE(asker.send(requests));
  step(10);
  EXPECT_EQ(client->requestCounter - before, kPaceWindow * kPaceMarksAhead);
  EXPECT_EQ(client->readOrder, nullptr);
}

}  // namespace
}  // namespace palvon
