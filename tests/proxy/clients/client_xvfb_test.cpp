// Flow control between a client and its link to a real X server: a server
// that stops reading holds back the client that feeds it, and only that
// client.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>

#include <initializer_list>
#include <utility>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/links/linkdispatch.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/testrows.h"
#include "support/xvfb.h"

#include <X11/Xlib.h>

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;
using test::rawRequest;

constexpr u8 kForwarded = 127;  // NoOperation, copied to the client's link
constexpr u8 kAnswered = 43;    // answered by the proxy itself
constexpr u8 kAsking = 38;      // forwarded, and the server answers it
constexpr u8 kAskingMuch = 44;  // the same, with a reply of a size the proxy does not bound

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
    // The row keeps the reply handler of the proxy's own round trips,
    // which carry the same key.
    test::setTestRequestRow(kForwarded, forwardToFirstLink, "bbs", anySize(), ReplyNoOperation);
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

// A client that stops reading while its server goes on answering: once its
// output has backed up, its link is no longer read, so what waits for the
// client stays bounded, however much more the server has for it.
TEST_F(ClientLinks, ClientThatStopsReadingLeavesItsLinkUnread) {
  constexpr u8 kGetImage = 73;
  constexpr u16 kSide = 256;
  constexpr size_t kReplyBytes = 32 + size_t{kSide} * kSide * 4;
  test::setTestRequestRow(kGetImage, forwardToFirstLink, "bbsiwwwwi", anySize(), nullptr, "bbsii");
  Display* display = XOpenDisplay(name.c_str());
  ASSERT_NE(display, nullptr);
  u32 root = u32(DefaultRootWindow(display));
  XCloseDisplay(display);
  // The client's own set-up answer is not this test's business: what its
  // server answers reaches it once the link's set-up is in.
  serverSetupHandler = [](ServerLink* link, const u8*, u32) {
    if (link->client) link->client->setupRepliesAwaited = 0;
  };
  RawClient reader;
  ProxyClient* client = connect(reader);
  bool answered = client && stepUntil([&] { return client->setupRepliesAwaited == 0; });
  serverSetupHandler = nullptr;
  ASSERT_TRUE(answered);
  ASSERT_EQ(client->linkCount, 1u);
  ServerLink* link = client->links[0];
  int smallest = 0;
  setsockopt(reader.fd(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
  Bytes requests;
  for (int i = 0; i < 64; i++) {
    Bytes get = rawRequest('l', kGetImage, ZPixmap, 5);
    for (auto [at, value] : {std::pair{4, root}, {8, 0u}, {12, u32{kSide} | u32{kSide} << 16}, {16, ~0u}})
      for (int k = 0; k < 4; k++) get[size_t(at + k)] = u8(value >> (8 * k));
    requests.insert(requests.end(), get.begin(), get.end());
  }
  ASSERT_TRUE(reader.send(requests));
  size_t largest = 0;
  auto backlog = [client] { return outbufferCapacity(&client->output) + outbufferCountCapacity(&client->behindStream); };
  ASSERT_TRUE(stepUntil([&] {
    largest = std::max(largest, backlog());
    return !link->readOrder;
  })) << "the link was read on";
  step(50);
  largest = std::max(largest, backlog());
  EXPECT_EQ(link->readOrder, nullptr);
  EXPECT_LE(largest, kClientBacklogLimit + kReplyBytes + 2 * kOutSegmentData);
}

// Drawing that reaches the server as NoOperation: its weight is read
// from the request as the client sent it, and the stopped server is not
// asked to draw on windows nobody made.
void forwardAsNoOperation(u8* request, u32 length) {
  request[0] = kForwarded;
  forwardToFirstLink(request, length);
}

// A request of `words` with 16-bit fields set in the client's byte order.
Bytes requestWith(char order, u8 major, u32 words, std::initializer_list<std::pair<u32, u16>> fields) {
  Bytes request = rawRequest(order, major, 0, words);
  for (auto [at, value] : fields) {
    request[at] = u8(order == 'B' ? value >> 8 : value);
    request[at + 1] = u8(order == 'B' ? value : value >> 8);
  }
  return request;
}

// What waits at a server for one client is bounded by windows of its
// requests: a client is held back once kPaceMarksAhead windows are
// unanswered, though its link holds few bytes. A request whose reply may
// be of any size counts for many, and so does drawing by the pixels it
// touches (in either byte order); other drawing, which leaves no reply,
// counts as much as a small fixed reply (its cost is the server's time,
// which the window follows).
TEST_F(ClientLinks, ClientFeedingAStoppedServerIsHeldBackAfterItsWindows) {
  constexpr u8 kCopyArea = 62, kPolyFillRectangle = 70;
  test::setTestRequestRow(kAskingMuch, forwardToFirstLink, "bbs", anySize(), nullptr, "bbsi");
  test::setTestRequestRow(kCopyArea, forwardAsNoOperation);
  test::setTestRequestRow(kPolyFillRectangle, forwardAsNoOperation);
  struct Case {
    const char* name;
    char order;
    Bytes request;
    u32 weight;
  };
  const Case cases[] = {
      {"no reply", 'l', rawRequest('l', kForwarded, 0, 1), 1},
      {"small reply", 'l', rawRequest('l', kAsking, 0, 1), 1},
      {"reply of any size", 'l', rawRequest('l', kAskingMuch, 0, 1), kPaceHeavy},
      {"copy of 1000x700", 'l', requestWith('l', kCopyArea, 7, {{24, 1000}, {26, 700}}), 1 + 700000 / kPacePixelsPerUnit},
      {"copy of 1000x700, swapped", 'B', requestWith('B', kCopyArea, 7, {{24, 1000}, {26, 700}}),
       1 + 700000 / kPacePixelsPerUnit},
      {"two fills", 'l', requestWith('l', kPolyFillRectangle, 7, {{16, 300}, {18, 100}, {24, 100}, {26, 100}}),
       1 + 40000 / kPacePixelsPerUnit},
  };
  for (const Case& c : cases) {
    u32 taken = kPaceMarksAhead * ((kPaceWindowStart + c.weight - 1) / c.weight);
    RawClient asker;
    ProxyClient* client = connect(asker, c.order);
    ASSERT_NE(client, nullptr) << c.name;
    ASSERT_EQ(client->linkCount, 1u);
    ASSERT_TRUE(stepUntil([&] { return client->links[0]->setupAnswered == kSetupAnswered; }));
    ASSERT_EQ(kill(xvfb.pid(), SIGSTOP), 0);
    Bytes requests;
    for (u32 i = 0; i < 2 * taken; i++) requests.insert(requests.end(), c.request.begin(), c.request.end());
    u32 before = client->requestCounter;
    ASSERT_TRUE(asker.send(requests));
    step(10);
    EXPECT_EQ(client->requestCounter - before, taken) << c.name;
    EXPECT_EQ(client->readOrder, nullptr) << c.name;
    ASSERT_EQ(kill(xvfb.pid(), SIGCONT), 0);
    EXPECT_TRUE(stepUntil([&] { return client->requestCounter - before == 2 * taken; })) << c.name;
    // The next case's client is told apart by the count.
    u32 count = clientCount;
    shutdown(asker.fd(), SHUT_RDWR);
    EXPECT_TRUE(stepUntil([&] { return clientCount < count; }));
  }
}

// The window follows the server's pace: marks that come back at once let
// it grow to its largest, marks that take long shrink it to its smallest.
// The clock moves on by `paceStep` each time it is read, so a mark takes
// at least that long however the loop's turns fall.
u64 paceNow;
u64 paceStep;
u64 paceClock() { return paceNow += paceStep; }

TEST_F(ClientLinks, TheWindowFollowsTheServersPace) {
  paceStep = 0;
  setParseClockForTesting(paceClock);
  RawClient drawer;
  ProxyClient* client = connect(drawer);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(stepUntil([&] { return client->links[0] && client->links[0]->setupAnswered == kSetupAnswered; }));
  ServerLink* link = client->links[0];
  test::RequestFeeder requests(rawRequest('l', kForwarded, 0, 1));
  for (u64 late : {u64{0}, 4 * kPaceTargetNs}) {
    u32 goal = late ? kPaceWindowMin : kPaceWindowMax;
    paceStep = late;
    EXPECT_TRUE(stepUntil([&] {
      requests.feed(drawer.fd());
      return link->paceWindow == goal;
    })) << "late " << late << ": window " << link->paceWindow;
  }
  setParseClockForTesting(nullptr);
}

// A batch that keeps the proxy busy reaches the server in pieces while it
// is parsed, not only when the whole of it is done: the link's output is
// written out on the way (it is found empty again) once the proxy's time
// on the batch passes the push period.
u64 parseNow;
u64 steppedParseClock() { return parseNow; }
int slowForwards;
bool emptiedOnTheWay;

void slowForward(u8* request, u32 length) {
  ServerLink* link = clientLink(currentClient, 0);
  if (!link) return;
  // Each request takes a third of the period.
  parseNow += kPushAfterNs / 3;
  if (slowForwards++ > 0 && outbufferSize(&link->output) == 0) emptiedOnTheWay = true;
  copyRequestToServer(request, length, link);
}

TEST_F(ClientLinks, ALongBatchReachesTheServerWhileItIsParsed) {
  test::setTestRequestRow(kForwarded, slowForward, "bbs", anySize(), ReplyNoOperation);
  setParseClockForTesting(steppedParseClock);
  RawClient sender;
  ProxyClient* client = connect(sender);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(stepUntil([&] { return client->links[0] && client->links[0]->setupAnswered == kSetupAnswered; }));
  slowForwards = 0;
  emptiedOnTheWay = false;
  Bytes requests;
  for (int i = 0; i < 64; i++) {
    Bytes one = rawRequest('l', kForwarded, 0, 1);
    requests.insert(requests.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(sender.send(requests));
  EXPECT_TRUE(stepUntil([&] { return slowForwards == 64; }));
  setParseClockForTesting(nullptr);
  EXPECT_TRUE(emptiedOnTheWay) << "the link held the whole batch";
}

}  // namespace
}  // namespace palvon
