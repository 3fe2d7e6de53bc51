// The client layer driven in-process: the proxy listens on a free display
// number, the test steps its event loop and talks to it with raw clients.
// No real X server is involved; test handlers stand in for the request
// handlers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Proxy/auth.h"
#include "Proxy/client.h"
#include "Proxy/clientinput.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;

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
  currentClient->requestCounter++;
  seen.push_back({currentClient, length, Bytes(request, request + (length ? length : 4))});
}

void answerRequest(u8*, u32) {
  currentClient->requestCounter++;
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

void setHandler(u8 major, RequestHandler handler) {
  for (u32 minor = 0; minor < 256; minor++) proxyState.dispatch.requestHandlers[major + 256 * minor] = handler;
}

class ClientLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ordersInit();
    proxyState.resourceIdShift = 20;
    proxyState.maxBigRequestBytes = 1 << 20;
    setHandler(kRecorded, recordRequest);
    setHandler(kAnswered, answerRequest);
    setHandler(kGrab, grabRequest);
    setHandler(kUngrab, ungrabRequest);
    setHandler(kKillSelf, killSelfRequest);
    clientHooks.requestReset = noteReset;
    seen.clear();
    resets.clear();
    for (display = 150; display < 400; display++)
      if (!openListeningPorts((":" + std::to_string(display)).c_str(), 1)) return;
    FAIL() << "no free display number";
  }
  void TearDown() override {
    while (clientList) stopClient(clientList, "test end", 0);
    closeListeningPorts();
    for (int i = 0; i < 5; i++) ordersRun(0);
    clientHooks = ClientHooks{};
  }

  void step(int times = 3) {
    for (int i = 0; i < times; i++) ordersRun(1);
  }
  // Steps the loop until the condition holds (at most 3 s).
  bool stepUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 3000; i++) {
      if (condition()) return true;
      ordersRun(1);
    }
    return condition();
  }
  ProxyClient* newestClient() { return clientList ? clientList->previous : nullptr; }

  // Connects and sends a set-up; returns the new client's record.
  ProxyClient* connect(RawClient& raw, char order = 'l', const Bytes& extra = {}) {
    u32 before = clientCount;
    if (!raw.connectUnix(display)) return nullptr;
    if (!stepUntil([&] { return clientCount > before; })) return nullptr;
    ProxyClient* client = newestClient();
    raw.send(setupBytes(order));
    if (!extra.empty()) raw.send(extra);
    stepUntil([&] { return client->parser.bytesNeeded == kParserRequests || client->stopped; });
    return client;
  }
  static Bytes setupBytes(char order, u16 major = 11, u16 minor = 0, u8 marker = 0, u16 word = 0,
                          const std::string& name = "", const std::string& data = "") {
    Bytes s(12, 0);
    s[0] = static_cast<u8>(order);
    s[1] = marker;
    auto put = [&](size_t at, u16 v) {
      s[at] = static_cast<u8>(order == 'B' ? v >> 8 : v);
      s[at + 1] = static_cast<u8>(order == 'B' ? v : v >> 8);
    };
    put(2, major);
    put(4, minor);
    put(10, word);
    put(6, static_cast<u16>(name.size()));
    put(8, static_cast<u16>(data.size()));
    for (const std::string* part : {&name, &data}) {
      s.insert(s.end(), part->begin(), part->end());
      s.resize((s.size() + 3) & ~size_t{3}, 0);
    }
    return s;
  }
  // Reads at least n bytes (fewer when the peer closes or time runs out).
  Bytes readBytes(RawClient& raw, size_t n) {
    Bytes out;
    stepUntil([&] {
      u8 buffer[65536];
      ssize_t got = recv(raw.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) out.insert(out.end(), buffer, buffer + got);
      return out.size() >= n || got == 0;
    });
    return out;
  }
  bool peerClosed(RawClient& raw) {
    return stepUntil([&] {
      u8 byte;
      return recv(raw.fd(), &byte, 1, MSG_DONTWAIT) == 0;
    });
  }
  int display = 0;
};

Bytes request(char order, u8 major, u8 data, u32 words, u32 bigWords = 0) {
  Bytes r(bigWords ? 8 : 4 * std::max<u32>(words, 1), 0);
  r[0] = major;
  r[1] = data;
  r[2] = static_cast<u8>(order == 'B' ? words >> 8 : words);
  r[3] = static_cast<u8>(order == 'B' ? words : words >> 8);
  for (int i = 0; bigWords && i < 4; i++) r[4 + i] = static_cast<u8>(bigWords >> (order == 'B' ? 24 - 8 * i : 8 * i));
  for (size_t i = 4 + (bigWords ? 4 : 0); i < r.size(); i++) r[i] = static_cast<u8>(i);
  return r;
}

class ByteOrders : public ClientLayer, public ::testing::WithParamInterface<char> {};

TEST_P(ByteOrders, SetupAndRequestsSplitAtEveryByteAreFramedAsWhole) {
  char order = GetParam();
  RawClient raw;
  ProxyClient* client = connect(raw, order);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->parser.bytesNeeded, kParserRequests);
  EXPECT_EQ(client->parser.swapped, order == 'B' ? 1u : 0u);
  Bytes stream;
  for (Bytes r : {request(order, kRecorded, 1, 1), request(order, kRecorded, 2, 3), request(order, kRecorded, 3, 0),
                  request(order, kRecorded, 4, 2)})
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

TEST_P(ByteOrders, SetupArrivingOneByteAtATime) {
  char order = GetParam();
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(display));
  ASSERT_TRUE(stepUntil([] { return clientCount == 1; }));
  ProxyClient* client = clientList;
  Bytes setup = setupBytes(order);
  for (u8 byte : setup) {
    EXPECT_EQ(client->parser.bytesNeeded, kParserSetup);
    raw.send(&byte, 1);
    step(2);
  }
  EXPECT_EQ(client->parser.bytesNeeded, kParserRequests);
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
  Bytes answer = readBytes(version, 8 + 28);
  ASSERT_GE(answer.size(), 8u + 27);
  EXPECT_EQ(answer[0], 0);  // Failed
  EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 8 + answer[1]), "X protocol version mismatch");
  EXPECT_EQ(answer[2] << 8 | answer[3], 11);  // in the client's byte order
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
  Bytes tiny0 = request('B', kRecorded, 0, 0, 0);
  tiny0.resize(8, 0);
  Bytes tiny1 = request('B', kRecorded, 1, 0, 1);
  Bytes three = request('B', kRecorded, 2, 0, 3);
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
  raw.send(request('B', kRecorded, 9, 0, words));
  Bytes error = readBytes(raw, 32);
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], 16);  // BadLength
  EXPECT_EQ(u32{error[4]} << 24 | error[5] << 16 | error[6] << 8 | error[7], words);
  Bytes chunk(65536, 0);
  u64 largest = 0;
  for (u64 sent = 8; sent < (4u << 20); sent += chunk.size()) {
    raw.send(chunk.data(), std::min<u64>(chunk.size(), (4u << 20) - sent));
    step(2);
    largest = std::max(largest, client->input.size);
  }
  raw.send(request('B', kRecorded, 7, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 4; }));
  EXPECT_EQ(seen[3].bytes[1], 7);
  EXPECT_LT(largest, 1u << 20);

  // A 32-bit length whose byte count does not fit 32 bits.
  raw.send(request('B', kRecorded, 9, 0, 0xffffffffu));
  error = readBytes(raw, 32);
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
  Bytes burst;
  for (int i = 0; i < 16384; i++) {
    Bytes r = request('l', kAnswered, 0, 1);
    burst.insert(burst.end(), r.begin(), r.end());
  }
  size_t sentTotal = 0, largest = 0;
  for (int round = 0; round < 400; round++) {
    ssize_t n = ::send(greedy.fd(), burst.data(), burst.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) sentTotal += n;
    step(1);
    largest = std::max(largest, outbufferCapacity(&greedyClient->output));
  }
  EXPECT_GT(sentTotal, 4u << 20) << "the greedy client should have sent plenty";
  EXPECT_LE(largest, kClientBacklogLimit + 16384 * 32 + 65504);
  EXPECT_EQ(greedyClient->readOrder, nullptr);  // held back while its output is full

  polite.send(request('l', kAnswered, 0, 1));
  Bytes reply = readBytes(polite, 32);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[0], 1);

  // Once the greedy client reads, it is served again.
  u32 before = greedyClient->requestCounter;
  readBytes(greedy, 4 << 20);
  EXPECT_GT(greedyClient->requestCounter, before);
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

  holder.send(request('l', kGrab, 0, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 1; }));
  other.send(request('l', kRecorded, 1, 1));
  exempt.send(request('l', kRecorded, 2, 1));
  ASSERT_TRUE(stepUntil([] { return seen.size() == 2; }));
  step(20);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].client, exemptClient);

  // The grab ends with its holder: the suspended request is handled then.
  holder.send(request('l', kKillSelf, 0, 1));
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
  EXPECT_EQ(maxClientNumber(), 3u);
  RawClient raws[4];
  for (int i = 0; i < 3; i++) ASSERT_NE(connect(raws[i]), nullptr);
  ASSERT_TRUE(raws[3].connectUnix(display));
  raws[3].send(setupBytes('l'));
  Bytes answer = readBytes(raws[3], 8 + 36);
  ASSERT_GE(answer.size(), 8u);
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 8 + answer[1]), "Maximum number of clients reached");
  EXPECT_TRUE(peerClosed(raws[3]));
  proxyState.resourceIdShift = 20;
  EXPECT_EQ(maxClientNumber(), 511u);
}

TEST_F(ClientLayer, HandlerStoppingItsOwnClientMidBuffer) {
  RawClient raw;
  ASSERT_NE(connect(raw), nullptr);
  Bytes stream = request('l', kRecorded, 1, 1);
  for (const Bytes& r : {request('l', kKillSelf, 0, 1), request('l', kRecorded, 2, 1)})
    stream.insert(stream.end(), r.begin(), r.end());
  raw.send(stream);
  ASSERT_TRUE(stepUntil([] { return clientCount == 0; }));
  step(5);
  EXPECT_EQ(seen.size(), 2u);  // nothing after the request that stopped it
  EXPECT_TRUE(peerClosed(raw));
}

// Last in the file: loading cookies switches the local host off for the rest
// of the process.
TEST_F(ClientLayer, MitCookieFromXauthIsAcceptedAndAWrongOneRefused) {
  test::TempDir dir;
  std::string file = dir.file("auth");
  std::string hex = "0123456789abcdef0123456789abcdef";
  test::ProgramResult r = test::runProgram(
      {"xauth", "-f", file, "add", ":" + std::to_string(display), "MIT-MAGIC-COOKIE-1", hex}, "", 10000);
  ASSERT_EQ(r.status, 0) << r.err;
  setHostAccessFile(file.c_str());
  std::string cookie;
  for (size_t i = 0; i < hex.size(); i += 2) cookie += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));

  RawClient good;
  ASSERT_TRUE(good.connectUnix(display));
  ASSERT_TRUE(stepUntil([] { return clientCount == 1; }));
  ProxyClient* client = clientList;
  good.send(setupBytes('l', 11, 0, 0, 0, "MIT-MAGIC-COOKIE-1", cookie));
  ASSERT_TRUE(stepUntil([&] { return client->parser.bytesNeeded == kParserRequests; }));
  EXPECT_GT(client->authorizationId, 0u);
  ASSERT_EQ(client->grantedLength, 16u);
  EXPECT_EQ(0, memcmp(client->grantedData, cookie.data(), 16));

  std::string wrong = cookie;
  wrong[0] ^= 1;
  for (const std::string& data : {wrong, std::string()}) {
    RawClient bad;
    ASSERT_TRUE(bad.connectUnix(display));
    bad.send(setupBytes('l', 11, 0, 0, 0, "MIT-MAGIC-COOKIE-1", data));
    Bytes answer = readBytes(bad, 8 + 32);
    ASSERT_GE(answer.size(), 8u);
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 8 + answer[1]), "Invalid MIT-MAGIC-COOKIE-1 key");
    EXPECT_TRUE(peerClosed(bad));
  }
  setHostAccessFile(nullptr);
}

}  // namespace
}  // namespace palvon
