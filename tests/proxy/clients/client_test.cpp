// The client layer driven in-process: the proxy listens on a free display
// number, the test steps its event loop and talks to it with raw clients.
// No real X server is involved; test handlers stand in for the request
// handlers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/links/pending.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/testrows.h"

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;
using test::rawRequest;

constexpr u8 kRecorded = 127;    // NoOperation: recorded by the test handler
constexpr u8 kAnswered = 43;     // GetInputFocus: answered with a 32-byte reply
constexpr u8 kGrab = 36, kUngrab = 37, kKillSelf = 113;

struct Seen {
  ProxyClient* client;
  u32 length;
  Bytes bytes;
};
std::vector<Seen> seen;

void recordRequest(u8* request, u32 length) {
  seen.push_back({currentClient, length, Bytes(request, request + (length ? length : 4))});
}

void answerRequest(u8*, u32) {
  u8 reply[32] = {1};
  reply[2] = static_cast<u8>(currentClient->requestCounter);
  reply[3] = static_cast<u8>(currentClient->requestCounter >> 8);
  writeToClient(reply, 32, "bbsi", currentClient);
}

void grabRequest(u8* r, u32 n) { recordRequest(r, n), suspendOtherClients(currentClient); }
void ungrabRequest(u8* r, u32 n) { recordRequest(r, n), resumeAllClients(); }
void killSelfRequest(u8* r, u32 n) { recordRequest(r, n), stopClient(currentClient, "KillClient", 0); }

std::vector<std::string> resets;
void noteReset(const char* reason) { resets.push_back(reason); }

void setHandler(u8 major, RequestHandler handler) { test::setTestRequestRow(major, handler); }

class ClientLayer : public test::ProxyLoopTest {
 protected:
  void SetUp() override {
    ProxyLoopTest::SetUp();
    setHandler(kRecorded, recordRequest);
    setHandler(kAnswered, answerRequest);
    setHandler(kGrab, grabRequest);
    setHandler(kUngrab, ungrabRequest);
    setHandler(kKillSelf, killSelfRequest);
    seen.clear();
    resets.clear();
    clientHooks.requestReset = noteReset;
  }
  // The next error the client reads. Without servers nothing is left for
  // an error to wait for: it reaches the client when its parse ends.
  Bytes nextError(RawClient& raw) {
    Bytes error;
    stepUntil([&] {
      Bytes m = raw.readMessage(20);
      if (!m.empty() && m[0] == 0) error = m;
      return !error.empty();
    });
    return error;
  }
};

class ByteOrders : public ClientLayer, public ::testing::WithParamInterface<char> {};

TEST_P(ByteOrders, SetupAndRequestsSplitAtEveryByteAreFramedAsWhole) {
  char order = GetParam();
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(display));
  ASSERT_TRUE(stepUntil([] { return clientCount == 1; }));
  ProxyClient* client = clientList;
  for (u8 byte : setupBytes(order)) {
    EXPECT_EQ(client->parser.bytesNeeded, kParserSetup);
    raw.send(&byte, 1);
    step(2);
  }
  ASSERT_EQ(client->parser.bytesNeeded, kParserRequests);
  EXPECT_EQ(client->parser.swapped, order == 'B' ? 1u : 0u);
  Bytes stream;
  for (const Bytes& r : {rawRequest(order, kRecorded, 1, 1), rawRequest(order, kRecorded, 2, 3),
                         rawRequest(order, kRecorded, 3, 0), rawRequest(order, kRecorded, 4, 2)})
    stream.insert(stream.end(), r.begin(), r.end());
  raw.send(stream);
  ASSERT_TRUE(stepUntil([] { return seen.size() == 4; }));
  std::vector<Seen> whole = seen;
  EXPECT_EQ(whole[2].length, 0u);  // a zero length without BIG-REQUESTS
  for (size_t cut = 1; cut < stream.size(); cut++) {
    SCOPED_TRACE(cut);
    seen.clear();
    raw.send(stream.data(), cut);
    step();
    raw.send(stream.data() + cut, stream.size() - cut);
    ASSERT_TRUE(stepUntil([] { return seen.size() == 4; }));
    for (size_t i = 0; i < 4; i++) {
      EXPECT_EQ(seen[i].length, whole[i].length);
      EXPECT_EQ(seen[i].bytes, whole[i].bytes);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Client, ByteOrders, ::testing::Values('l', 'B'));

TEST_F(ClientLayer, SetupRefusals) {
  RawClient badOrder;
  ASSERT_TRUE(badOrder.connectUnix(display));
  Bytes setup = setupBytes('l');
  setup[0] = 'X';
  badOrder.send(setup);
  EXPECT_TRUE(peerClosed(badOrder));

  RawClient version;
  ASSERT_TRUE(version.connectUnix(display));
  version.send(setupBytes('B', 11, 1));
  EXPECT_EQ(refusalText(version), "X protocol version mismatch");
  EXPECT_TRUE(peerClosed(version));
  EXPECT_EQ(clientCount, 0u);

  // The parser's own refusal text for a bad byte order.
  ProxyClient* internal = startClient(nullptr);
  ASSERT_NE(internal, nullptr);
  u8 bytes[12] = {'Q'};
  bufferAppend(bytes, sizeof bytes, &internal->input);
  EXPECT_STREQ(setupClientConnection(internal), "Invalid byte order 81 in X connection setup (size=12)");
}

TEST_F(ClientLayer, BigRequestsLengthsAndOversizedRequests) {
  RawClient raw;
  ProxyClient* client = connect(raw, 'B');
  ASSERT_NE(client, nullptr);
  client->bigRequests = 1;
  Bytes tiny0 = rawRequest('B', kRecorded, 0, 0, 0);
  tiny0.resize(8, 0);
  Bytes tiny1 = rawRequest('B', kRecorded, 1, 0, 1);
  Bytes three = rawRequest('B', kRecorded, 2, 0, 3);
  three.resize(12, 0xee);
  for (const Bytes& r : {tiny0, tiny1, three}) raw.send(r);
  ASSERT_TRUE(stepUntil([] { return seen.size() == 3; }));
  EXPECT_EQ(seen[0].length, 4u);
  EXPECT_EQ(seen[1].length, 4u);
  EXPECT_EQ(seen[2].length, 8u);
  EXPECT_EQ(seen[2].bytes[2], 0);  // the handler sees a 16-bit length of 0
  EXPECT_EQ(seen[2].bytes[4], 0xee);

  // 4 MiB announced over a 1 MiB limit: answered at once, streamed past.
  u32 words = (4 << 20) / 4;
  raw.send(rawRequest('B', kRecorded, 9, 0, words));
  Bytes error = nextError(raw);
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], 16);  // BadLength
  EXPECT_EQ(u32{error[4]} << 24 | error[5] << 16 | error[6] << 8 | error[7], words);  // in the client's order
  Bytes chunk(65536, 0);
  u64 largest = 0;
  for (u64 sent = 8; sent < (4u << 20); sent += chunk.size()) {
    raw.send(chunk.data(), std::min<u64>(chunk.size(), (4u << 20) - sent));
    step(2);
    largest = std::max(largest, client->input.size);
  }
  raw.send(rawRequest('B', kRecorded, 7, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 4; }));
  EXPECT_EQ(seen[3].bytes[1], 7);
  EXPECT_LT(largest, 1u << 20);

  // A 32-bit length whose byte count does not fit 32 bits.
  raw.send(rawRequest('B', kRecorded, 9, 0, 0xffffffffu));
  error = nextError(raw);
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[1], 16);
  EXPECT_EQ(error[4], 0xff);
  EXPECT_EQ(seen.size(), 4u);
}

TEST_F(ClientLayer, ClientThatNeverReadsIsThrottledWhileOthersAreServed) {
  RawClient greedy, polite;
  ProxyClient* greedyClient = connect(greedy);
  ASSERT_NE(greedyClient, nullptr);
  ASSERT_NE(connect(polite), nullptr);
  int flags = 0;
  setsockopt(greedy.fd(), SOL_SOCKET, SO_RCVBUF, &flags, sizeof flags);  // smallest receive buffer
  test::RequestFeeder requests(rawRequest('l', kAnswered, 0, 1));
  size_t sentTotal = 0, largest = 0;
  for (int round = 0; round < 400; round++) {
    sentTotal += requests.feed(greedy.fd());
    step(1);
    largest = std::max(largest, outbufferCapacity(&greedyClient->output));
  }
  // The proxy stopped taking its requests once the replies backed up.
  EXPECT_GT(sentTotal, kClientBacklogLimit / 8);
  EXPECT_LT(sentTotal, 64u << 20);
  EXPECT_LE(largest, kClientBacklogLimit + 2 * 65504);
  EXPECT_EQ(greedyClient->readOrder, nullptr);  // held back while its output is full

  polite.send(rawRequest('l', kAnswered, 0, 1));
  Bytes reply = readBytes(polite, 32);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[0], 1);

  EXPECT_LE(greedyClient->input.size, kBufferClassSmall);

  // Once the greedy client reads, it is served again.
  u32 before = greedyClient->requestCounter;
  EXPECT_TRUE(stepUntil([&] {
    u8 sink[65536];
    while (recv(greedy.fd(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    requests.feed(greedy.fd());
    return greedyClient->requestCounter > before + 16384;
  }));
}

TEST_F(ClientLayer, StoppingAClientThatStoppedReadingTakesBoundedTime) {
  RawClient stuck;
  ProxyClient* client = connect(stuck);
  ASSERT_NE(client, nullptr);
  test::RequestFeeder requests(rawRequest('l', kAnswered, 0, 1));
  ASSERT_TRUE(stepUntil([&] {
    requests.feed(stuck.fd());
    return outbufferCapacity(&client->output) >= kClientBacklogLimit;
  }));
  auto start = std::chrono::steady_clock::now();
  stopClient(client, "test", 0);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(kCloseFlushTimeoutMs + 500));
  EXPECT_EQ(clientCount, 0u);
}

TEST_F(ClientLayer, ServerGrabSuspendsOthersButNotGrabExemptClients) {
  RawClient holder, other, exempt;
  ProxyClient* holderClient = connect(holder);
  ProxyClient* otherClient = connect(other);
  ASSERT_TRUE(exempt.connectUnix(display));
  ASSERT_TRUE(stepUntil([] { return clientCount == 3; }));
  ProxyClient* exemptClient = newestClient();
  exempt.send(setupBytes('l', 11, 0, '*', 0x4201));
  ASSERT_TRUE(stepUntil([&] { return exemptClient->parser.bytesNeeded == kParserRequests; }));
  EXPECT_EQ(exemptClient->grabExempt, 1);
  EXPECT_EQ(otherClient->grabExempt, 0);

  holder.send(rawRequest('l', kGrab, 0, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 1; }));
  other.send(rawRequest('l', kRecorded, 1, 1));
  exempt.send(rawRequest('l', kRecorded, 2, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 2; }));
  step(20);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].client, exemptClient);

  // The grab ends with its holder: the suspended request is handled then.
  holder.send(rawRequest('l', kKillSelf, 0, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 4; }));
  EXPECT_EQ(seen[3].client, otherClient);
  EXPECT_EQ(grabHolder, nullptr);
  (void)holderClient;
}

TEST_F(ClientLayer, CloseDownModes) {
  std::vector<bool> released;
  static std::vector<bool>* releasedNotes;
  releasedNotes = &released;
  clientHooks.releaseClient = [](ProxyClient*, bool keeping) { releasedNotes->push_back(keeping); };
  {
    RawClient destroyed;
    ASSERT_NE(connect(destroyed), nullptr);
  }
  ASSERT_TRUE(stepUntil([] { return clientCount == 0; }));
  ASSERT_EQ(released.size(), 1u);
  EXPECT_FALSE(released[0]);
  ASSERT_EQ(resets.size(), 1u);  // it was the last real client
  EXPECT_EQ(resets[0].rfind("End of last", 0), 0u);

  ProxyClient* kept = nullptr;
  {
    RawClient retained;
    kept = connect(retained);
    ASSERT_NE(kept, nullptr);
    kept->closeDownMode = kRetainPermanent;
  }
  step(20);
  ASSERT_EQ(clientCount, 1u);
  EXPECT_EQ(clientList, kept);
  EXPECT_EQ(kept->transport, nullptr);
  EXPECT_EQ(kept->grabExempt, 1);
  EXPECT_EQ(findClientByNumber(kept->number), kept);
  u32 xid = kept->number << 20 | 5;
  EXPECT_EQ(findClientByXid(xid), kept);
  EXPECT_EQ(findClientByXid(5), nullptr);
  // Killing it later frees it; nothing may touch the record afterwards.
  stopClient(kept, "KillClient", 0);
  EXPECT_EQ(clientCount, 0u);
  EXPECT_EQ(released, (std::vector<bool>{false, true, false}));
  step(5);

  // A client that never finished its set-up asks for no reset.
  resets.clear();
  {
    RawClient early;
    ASSERT_TRUE(early.connectUnix(display));
    ASSERT_TRUE(stepUntil([] { return clientCount == 1; }));
  }
  ASSERT_TRUE(stepUntil([] { return clientCount == 0; }));
  EXPECT_TRUE(resets.empty());
}

TEST_F(ClientLayer, ClientNumbersFitTheResourceIdBits) {
  proxyState.resourceIdShift = 27;  // two bits for the client number: 1 to 3
  RawClient raws[4];
  for (int i = 0; i < 3; i++) ASSERT_NE(connect(raws[i]), nullptr);
  ASSERT_TRUE(raws[3].connectUnix(display));
  raws[3].send(setupBytes('l'));
  EXPECT_EQ(refusalText(raws[3]), "Maximum number of clients reached");
  EXPECT_TRUE(peerClosed(raws[3]));
  proxyState.resourceIdShift = 20;
}

TEST_F(ClientLayer, HandlerStoppingItsOwnClientMidBuffer) {
  RawClient raw;
  ASSERT_NE(connect(raw), nullptr);
  Bytes stream = rawRequest('l', kRecorded, 1, 1);
  for (const Bytes& r : {rawRequest('l', kKillSelf, 0, 1), rawRequest('l', kRecorded, 2, 1)})
    stream.insert(stream.end(), r.begin(), r.end());
  raw.send(stream);
  ASSERT_TRUE(stepUntil([] { return clientCount == 0; }));
  step(5);
  EXPECT_EQ(seen.size(), 2u);  // nothing after the request that stopped it
  EXPECT_TRUE(peerClosed(raw));
}

}  // namespace
}  // namespace palvon
