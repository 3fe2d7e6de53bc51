// Server links against real Xvfb servers, in the proxy's byte order and in
// the other one (the link announces MSB first and Xvfb answers that way).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Proxy/links/linkdispatch.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/buffer.h"
#include "base/fd.h"
#include "base/orders.h"
#include "support/linkrig.h"
#include "support/testrows.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

class ServerLinkTest : public ::testing::TestWithParam<bool> {
 protected:
  ServerLink* open(u32 offlineTimeoutMs = 10000) {
    EXPECT_TRUE(xvfb.ok()) << xvfb.error();
    return xvfb.ok() ? rig.open(xvfb, GetParam(), 0, offlineTimeoutMs) : nullptr;
  }
  Xvfb xvfb;
  LinkRig rig;
};

std::vector<u8> noOperation() { return makeRequest(127, 0, {}); }
std::vector<u8> getInputFocus() { return makeRequest(43, 0, {}); }
std::vector<u8> freeGC(u32 gc) {
  std::vector<u8> body(4);
  put32At(body, 0, gc);
  return makeRequest(60, 0, body);
}

u32 chunkCount(const ServerLink* link) {
  u32 n = 0;
  for (const SequenceRing* chunk = link->ring; chunk; chunk = chunk->next) n++;
  return n;
}

// What the client should see: replies and errors with its own sequences.
struct Expected {
  u8 type;
  u16 sequence;
};

// Sends `count` requests: NoOperation, except a BadGC error and a reply at
// chosen client sequences; notes what the client must receive.
void sendMixed(LinkRig& rig, ServerLink* link, u32 count, std::vector<Expected>& expected) {
  for (u32 i = 0; i < count; i++) {
    rig.nextRequest();
    u32 sequence = rig.client()->requestCounter;
    if (sequence % 997 == 0) {
      ASSERT_NE(rig.forward(link, freeGC(0x1fffffff), "bbsi"), nullptr);
      expected.push_back({0, static_cast<u16>(sequence)});
    } else if (sequence % 1499 == 0) {
      ASSERT_NE(rig.forward(link, getInputFocus(), "bbs"), nullptr);
      expected.push_back({1, static_cast<u16>(sequence)});
    } else {
      ASSERT_NE(rig.forward(link, noOperation(), "bbs"), nullptr);
    }
  }
}

void expectDelivered(LinkRig& rig, const std::vector<Expected>& expected) {
  std::vector<Message> got;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) got.push_back(std::move(m));
    return got.size() >= expected.size();
  }));
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < expected.size(); i++) {
    EXPECT_EQ(got[i][0], expected[i].type) << "message " << i;
    EXPECT_EQ(get16At(got[i], 2), expected[i].sequence) << "message " << i;
    if (got[i][0] == 0) {
      EXPECT_EQ(got[i][1], 13) << "BadGC";
      EXPECT_EQ(got[i][10], 60) << "FreeGC";
    }
  }
}

// Past both 16-bit wraps (the client's counter and the server's), with the
// ring's inserted round trips on the way, every reply and error reaches the
// client once, in order, with its own sequence.
TEST_P(ServerLinkTest, AttributesEveryMessageAcrossRoundTripsAndWraps) {
  ServerLink* link = open();
  ASSERT_NE(link, nullptr);
  rig.client()->requestCounter = 65536 - 6000;
  std::vector<Expected> expected;

  // 10,000 requests without a reply, nothing read: the ring chains chunks.
  for (u32 i = 0; i < 10000; i++) {
    rig.nextRequest();
    ASSERT_NE(rig.forward(link, i == 4321 ? freeGC(0x1ffffffe) : noOperation(), "bbsi"), nullptr);
    if (i == 4321) expected.push_back({0, static_cast<u16>(rig.client()->requestCounter)});
  }
  EXPECT_GE(chunkCount(link), 3u);
  rig.nextRequest();
  ASSERT_NE(rig.forward(link, getInputFocus(), "bbs"), nullptr);
  expected.push_back({1, static_cast<u16>(rig.client()->requestCounter)});
  ASSERT_EQ(flushServerLink(link), nullptr);
  expectDelivered(rig, expected);
  EXPECT_EQ(chunkCount(link), 1u) << "answered chunks are freed";

  // Then past the server's wrap, reading as we go.
  for (int round = 0; round < 30; round++) {
    expected.clear();
    sendMixed(rig, link, 2000, expected);
    rig.nextRequest();
    ASSERT_NE(rig.forward(link, getInputFocus(), "bbs"), nullptr);
    expected.push_back({1, static_cast<u16>(rig.client()->requestCounter)});
    expectDelivered(rig, expected);
  }
  EXPECT_GT(link->requestsSent, 65536u);
  EXPECT_EQ(chunkCount(link), 1u);
  EXPECT_EQ(link->stashHead, nullptr) << "every round trip's closure was taken";
}

struct CapturedReply {
  std::vector<u8> bytes;
};

int captureReply(ServerLink*, const u8* reply, void* argument) {
  static_cast<CapturedReply*>(argument)->bytes.assign(reply, reply + 32);
  return 1;
}

u32 fromServer32(const ServerLink* link, const u8* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  return link->writer.swap ? __builtin_bswap32(v) : v;
}

// Sends a request written by hand and waits for its reply through a hook.
std::vector<u8> roundTrip(ServerLink* link, const std::vector<u8>& request, const char* layout) {
  u8* p = allocServerRequest(link, request[0], request[1], static_cast<u32>(request.size()));
  std::memcpy(p + 4, request.data() + 4, request.size() - 4);
  swapServerRequest(link, p, static_cast<u32>(request.size()), layout);
  CapturedReply captured;
  addReplyHook(link, captureReply, &captured);
  EXPECT_EQ(syncServerLink(link), nullptr);
  return captured.bytes;
}

// Pages of the ring's first chunk that are in memory.
u32 residentRingPages(const ServerLink* link) {
  uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  uintptr_t start = uintptr_t(link->ring) & ~(page - 1);
  size_t length = uintptr_t(link->ring) + sizeof(SequenceRing) - start;
  std::vector<unsigned char> pages((length + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(start), length, pages.data()) != 0) return ~0u;
  u32 n = 0;
  for (unsigned char p : pages) n += p & 1;
  return n;
}

// Memory of an idle link: the set-up's buffers are gone and its ring takes
// one page (the chunk holds 16 KiB), also after other links came and went.
TEST_P(ServerLinkTest, AnIdleLinkKeepsNoSetUpBufferAndOneRingPage) {
  for (int i = 0; i < 3; i++) {
    ServerLink* gone = open();
    ASSERT_NE(gone, nullptr);
    ASSERT_NE(roundTrip(gone, getInputFocus(), "bbs").size(), 0u);
    closeServerLink(gone);
  }
  ServerLink* link = open();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->input.data, nullptr);
  EXPECT_EQ(link->output.spare, nullptr);
  EXPECT_LE(residentRingPages(link), 1u);
  // The link still reads and writes.
  EXPECT_EQ(roundTrip(link, getInputFocus(), "bbs").size(), 32u);
}

// Replaces WM_NAME with a STRING of 8-bit 'x's that fills `total` bytes.
std::vector<u8> changeProperty(u32 window, u32 total) {
  std::vector<u8> request(total, 'x');
  request[0] = 18;
  request[1] = request[2] = request[3] = 0;
  put32At(request, 4, window);
  put32At(request, 8, 39);   // WM_NAME
  put32At(request, 12, 31);  // STRING
  put32At(request, 16, 8);   // format, then padding
  put32At(request, 20, total - 24);
  return request;
}

TEST_P(ServerLinkTest, LargestPlainAndSmallestBigRequestReachTheServer) {
  ServerLink* link = open();
  ASSERT_NE(link, nullptr);

  std::vector<u8> query = makeRequest(98, 0, {12, 0, 0, 0, 'B', 'I', 'G', '-', 'R', 'E', 'Q', 'U', 'E', 'S', 'T', 'S'});
  std::vector<u8> answer = roundTrip(link, query, "bbss");
  ASSERT_EQ(answer.size(), 32u);
  ASSERT_EQ(answer[8], 1) << "BIG-REQUESTS present";
  u8 major = answer[9];
  ExtensionEntry& entry = proxyState.extensions.entries[major];
  entry.name = "BIG-REQUESTS";
  entry.major = major;
  proxyState.extensions.moduleState[kModuleBigRequests] = &entry;
  ASSERT_TRUE(requestBigReqEnable(&link->writer));
  addReplyHook(link, acceptReplyHook, nullptr);
  ASSERT_EQ(syncServerLink(link), nullptr);
  proxyState.extensions.moduleState[kModuleBigRequests] = nullptr;
  entry = {};

  u32 root = rig.setup(0).root;
  for (u32 total : {0x3fffcu, 0x40000u}) {
    std::vector<u8> request = changeProperty(root, total);
    rig.nextRequest();
    u8* copy = copyRequestToServer(request.data(), total, link);
    ASSERT_NE(copy, nullptr);
    swapServerRequest(link, copy, total, "bbsiiibbbbi");
    std::vector<u8> get = makeRequest(20, 0, std::vector<u8>(20, 0));
    put32At(get, 4, root);
    put32At(get, 8, 39);
    put32At(get, 16, 0);
    put32At(get, 20, 0x20000);
    std::vector<u8> property = roundTrip(link, get, "bbsiiiii");
    ASSERT_EQ(property.size(), 32u);
    EXPECT_EQ(property[1], 8) << "format";
    EXPECT_EQ(fromServer32(link, property.data() + 16), total - 24) << "the server read the whole request";
  }
  rig.sync();
  EXPECT_TRUE(rig.take().empty()) << "no error for either form";
}

// A receiver that refuses its reply stops the round trip with a text that
// says so (it is no memory shortage).
TEST_P(ServerLinkTest, RefusedReplyEndsTheRoundTripWithItsReason) {
  ServerLink* link = open();
  ASSERT_NE(link, nullptr);
  u8* request = allocServerRequest(link, 43, 0, 4);
  ASSERT_NE(request, nullptr);
  swapServerRequest(link, request, 4, "bbs");
  addReplyHook(link, [](ServerLink*, const u8*, void*) { return 0; }, nullptr);
  const char* error = syncServerLink(link);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("Failed X reply order"), std::string::npos) << error;
  EXPECT_EQ(std::string(error).find("Out of memory"), std::string::npos) << error;
  EXPECT_EQ(link->hookHead, nullptr);
  EXPECT_EQ(syncServerLink(link), nullptr) << "the link goes on";
}

// What arrives before a synchronous round trip's marker is dispatched from
// the event loop afterwards, not from inside the wait.
TEST_P(ServerLinkTest, InputBeforeTheMarkerIsDispatchedFromTheLoop) {
  ServerLink* link = open();
  ASSERT_NE(link, nullptr);
  rig.nextRequest();
  rig.forward(link, freeGC(0x1fffffff), "bbsi");
  u16 sequence = static_cast<u16>(rig.client()->requestCounter);
  ASSERT_EQ(syncServerLink(link), nullptr);
  EXPECT_TRUE(rig.take().empty()) << "nothing dispatched inside the wait";
  EXPECT_EQ(link->input.used, 32u) << "only the marker was taken out";
  for (int i = 0; i < 10 && link->input.used; i++) ordersRun(0);
  EXPECT_EQ(link->input.used, 0u);
  // Errors are held until the server has answered the proxy's round trip.
  std::vector<Message> got;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) got.push_back(std::move(m));
    return !got.empty();
  }));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0);
  EXPECT_EQ(get16At(got[0], 2), sequence);
  ASSERT_EQ(syncServerLink(link), nullptr) << "the link reads from its descriptor again";
}

// A round trip on a link whose set-up answer has not been taken yet (its
// client connected just before): the answer lies in front of the marker and
// is no message of that form; the wait finds the marker behind it, and the
// loop takes the answer afterwards.
TEST_P(ServerLinkTest, ARoundTripBeforeTheSetUpAnswerFindsItsMarker) {
  ASSERT_NE(open(), nullptr);
  std::string name = xvfb.display();
  LinkServerInfo info{};
  info.displayName = name.c_str();
  info.serverIndex = 1;
  info.bigEndian = GetParam();
  info.offlineTimeoutMs = 3000;
  ServerLink* link = openServerLink(rig.client(), info);
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(link->setupAnswered, 0u);
  ASSERT_EQ(syncServerLink(link), nullptr);
  for (int i = 0; i < 10 && link->setupAnswered != kSetupAnswered; i++) ordersRun(0);
  EXPECT_EQ(link->setupAnswered, kSetupAnswered);
  EXPECT_EQ(syncServerLink(link), nullptr);
}

// A handler may close the link whose input is being dispatched: the
// dispatch takes no further message and frees the link when it unwinds.
TEST_P(ServerLinkTest, HandlerClosingItsOwnLinkEndsTheDispatch) {
  ServerLink* link = open();
  ASSERT_NE(link, nullptr);
  static int calls;
  calls = 0;
  test::setTestErrorRow(13, [](u8*) {
    calls++;
    closeServerLink(currentLink);
  });
  for (int i = 0; i < 3; i++) {
    rig.nextRequest();
    rig.forward(link, freeGC(0x1fffffff), "bbsi");
  }
  rig.nextRequest();
  rig.forward(link, getInputFocus(), "bbs");
  ASSERT_EQ(flushServerLink(link), nullptr);
  // Read until all three errors and the reply are in (at most 5 s), then
  // dispatch them in one go.
  for (int i = 0; i < 500 && link->input.used < 4 * 32; i++)
    if (fdWaitReadable(link->descriptor, 10)) bufferReadFd(link->descriptor, 65536, &link->input);
  ASSERT_GE(link->input.used, 4u * 32);
  dispatchServerInput(link);
  test::registerCoreRowsForTest();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(rig.client()->linkCount, 0u);
  EXPECT_EQ(currentLink, nullptr);
  EXPECT_TRUE(rig.take().empty());
}

// A server that stops answering ends every wait after the offline time-out.
// SIGSTOP lands some time after kill() returns: wait until the kernel shows
// the process stopped, so that nothing it does can race the test.
bool stopAndConfirm(pid_t pid) {
  if (kill(pid, SIGSTOP) != 0) return false;
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  for (int i = 0; i < 5000; i++) {
    std::ifstream stat(path);
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T') return true;
    usleep(1000);
  }
  return false;
}

// The waits a blocking call asks for, answered at once: what is ready now is
// reported, anything else times out without sleeping. The outcome depends on
// the time-out asked for, never on how busy the machine is.
std::vector<int> askedWaits;
int pollWithoutSleeping(pollfd* table, nfds_t count, int timeoutMs) {
  int ready = ::poll(table, count, 0);
  if (ready == 0 && timeoutMs != 0) askedWaits.push_back(timeoutMs);
  return ready;
}
struct InstantWaits {
  InstantWaits() {
    askedWaits.clear();
    fdSetPoll(pollWithoutSleeping);
  }
  ~InstantWaits() { fdSetPoll(nullptr); }
};

TEST_P(ServerLinkTest, StoppedServerFailsAfterTheOfflineTimeout) {
  ServerLink* link = open(1500);
  ASSERT_NE(link, nullptr);
  ASSERT_TRUE(stopAndConfirm(xvfb.pid()));
  InstantWaits waits;

  const char* error = syncServerLink(link);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("Broken connection to " + xvfb.display()), std::string::npos) << error;
  // One wait for the answer, as long as the offline time-out, then failure.
  EXPECT_EQ(askedWaits, std::vector<int>{1500});
  closeServerLink(link);  // its server's slot takes the next link

  std::string name = xvfb.display();
  LinkServerInfo info{};
  info.displayName = name.c_str();
  info.bigEndian = GetParam();
  info.offlineTimeoutMs = 1500;
  askedWaits.clear();
  ServerLink* second = openServerLink(rig.client(), info);
  ASSERT_NE(second, nullptr) << "the kernel accepts the connection for the stopped server";
  error = waitServerLinkSetup(second);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("Maybe the X Window server has been stopped"), std::string::npos) << error;
  EXPECT_EQ(askedWaits, std::vector<int>{1500});
  kill(xvfb.pid(), SIGCONT);
}

// A round trip that gave up on a stopped server is answered once the
// server goes on: that answer is the proxy's own, and the client's next
// message is the reply to its next request, with that request's sequence.
TEST_P(ServerLinkTest, ARoundTripThatGaveUpLeavesItsLateAnswerToTheProxy) {
  ServerLink* link = open(1500);
  ASSERT_NE(link, nullptr);
  rig.nextRequest();
  ASSERT_NE(rig.forward(link, noOperation(), "bbs"), nullptr);
  ASSERT_TRUE(stopAndConfirm(xvfb.pid()));
  {
    InstantWaits waits;
    ASSERT_NE(syncServerLink(link), nullptr);
  }
  kill(xvfb.pid(), SIGCONT);
  rig.nextRequest();
  ASSERT_NE(rig.forward(link, getInputFocus(), "bbs"), nullptr);
  ASSERT_EQ(flushServerLink(link), nullptr);
  expectDelivered(rig, {{1, static_cast<u16>(rig.client()->requestCounter)}});
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ServerLinkTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MsbServer" : "LsbServer"; });

}  // namespace
}  // namespace palvon::test
