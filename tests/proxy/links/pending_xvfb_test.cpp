// In-order delivery for a client with links to two real X servers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/fd.h"
#include "base/outbuffer.h"
#include "support/linkrig.h"
#include "support/xvfb.h"

#include <X11/Xlib.h>

namespace palvon::test {
namespace {

// The second server speaks MSB first when the parameter is set.
class PendingTest : public ::testing::TestWithParam<bool> {};

std::vector<u8> createWindow(u32 id, u32 parent, u16 width, u16 height, u32 eventMask) {
  std::vector<u8> body(32, 0);
  put32At(body, 0, id);
  put32At(body, 4, parent);
  put16At(body, 12, width);
  put16At(body, 14, height);
  put16At(body, 18, 1);       // InputOutput
  put32At(body, 24, 0x800);   // event mask
  put32At(body, 28, eventMask);
  return makeRequest(1, 0, body);
}

std::vector<u8> idRequest(u8 major, u32 id) {
  std::vector<u8> body(4);
  put32At(body, 0, id);
  return makeRequest(major, 0, body);
}

// Code, sequence and, for Expose, x, y, width, height and count.
std::vector<u16> describe(const Message& m) {
  std::vector<u16> fields{m[0], get16At(m, 2)};
  if (m[0] == 12)
    for (size_t at : {8, 10, 12, 14, 16}) fields.push_back(get16At(m, at));
  if (m[0] == 0) fields.push_back(m[1]);
  return fields;
}

// A reply is written to the client in the step that reads it from the
// server, not left in the client's output for a later step of the loop.
TEST(PromptDelivery, AReplyLeavesInTheStepThatReadsIt) {
  Xvfb server;
  ASSERT_TRUE(server.ok());
  LinkRig rig;
  ServerLink* link = rig.open(server, false, 0);
  ASSERT_NE(link, nullptr);
  for (int i = 0; i < 3; i++) {
    rig.nextRequest();
    rig.forward(link, makeRequest(43, 0, {}), "bbs");  // GetInputFocus
    ASSERT_EQ(flushServerLink(link), nullptr);
    ASSERT_TRUE(fdWaitReadable(link->descriptor, 5000));
    // The whole reply may take more than one read.
    u32 before = u32(rig.client()->output.head ? outbufferSize(&rig.client()->output) : 0);
    for (int reads = 0; reads < 10 && rig.client()->lastMessageType != 1; reads++) {
      onServerLinkReadable(link);
      if (rig.client()->lastMessageType != 1) {
        ASSERT_TRUE(fdWaitReadable(link->descriptor, 5000));
      }
    }
    EXPECT_EQ(before, 0u);
    EXPECT_EQ(rig.client()->output.head ? outbufferSize(&rig.client()->output) : 0, 0u) << "round " << i;
    std::vector<Message> delivered = rig.take();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0][0], 1);
    rig.client()->lastMessageType = 0;
  }
}

TEST_P(PendingTest, ReleasesOneSequenceFromBothServersTogetherInRequestOrder) {
  Xvfb first;
  Xvfb second;
  ASSERT_TRUE(first.ok() && second.ok());
  LinkRig rig;
  ServerLink* a = rig.open(first, false, 0);
  ServerLink* b = rig.open(second, GetParam(), 1);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(rig.client()->linkCount, 2u);
  // Fresh servers give their first client the same id base, so one client
  // id names the window on both (the proxy translates ids; this test does not).
  ASSERT_EQ(rig.setup(0).idBase, rig.setup(1).idBase);
  u32 window = rig.newId(0);
  ServerLink* links[2] = {a, b};

  // The window differs in size on the two servers: the client must see the
  // union of both exposures once. Only the second server reports structure.
  rig.nextRequest();
  for (int i = 0; i < 2; i++)
    rig.forward(links[i], createWindow(window, rig.setup(i).root, i ? 150 : 100, i ? 50 : 100,
                                       i ? 0x28000u : 0x8000u), "bbsiissssssI");
  noteRequestWithoutReply(createWindow(window, 0, 0, 0, 0).data());

  rig.nextRequest();
  u16 mapSequence = static_cast<u16>(rig.client()->requestCounter);
  for (ServerLink* link : links) rig.forward(link, idRequest(8, window), "bbsi");
  noteRequestWithoutReply(idRequest(8, window).data());

  // A reply from one server only must wait for the older request on both.
  rig.nextRequest();
  u16 replySequence = static_cast<u16>(rig.client()->requestCounter);
  rig.forward(b, makeRequest(43, 0, {}), "bbs");

  // An error from both servers for one request reaches the client once.
  rig.nextRequest();
  u16 errorSequence = static_cast<u16>(rig.client()->requestCounter);
  for (ServerLink* link : links) rig.forward(link, idRequest(60, 0x1fffffff), "bbsi");
  noteRequestWithoutReply(idRequest(60, 0x1fffffff).data());

  std::vector<Message> got;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) got.push_back(std::move(m));
    return got.size() >= 5;
  }));
  rig.sync();
  for (Message& m : rig.take()) got.push_back(std::move(m));
  ASSERT_EQ(got.size(), 5u);

  // Structure first, then the union of both exposures in two rectangles
  // (count descending), the reply, and BadGC once.
  std::vector<std::vector<u16>> expected{{19, mapSequence},
                                         {12, mapSequence, 0, 0, 150, 50, 1},
                                         {12, mapSequence, 0, 50, 100, 50, 0},
                                         {1, replySequence},
                                         {0, errorSequence, 13}};
  for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(describe(got[i]), expected[i]) << "message " << i;
  EXPECT_EQ(rig.client()->pendingHead, nullptr) << "every entry was released";
}

// Client sequences 65534 to 65538: the wire carries 0xfffe, 0xffff, 0, 1
// and 2, and the held answers still come out in request order.
TEST_P(PendingTest, ReleasesInRequestOrderAcrossTheSixteenBitWrap) {
  Xvfb first;
  Xvfb second;
  ASSERT_TRUE(first.ok() && second.ok());
  LinkRig rig;
  ServerLink* a = rig.open(first, false, 0);
  ServerLink* b = rig.open(second, GetParam(), 1);
  ASSERT_TRUE(a && b);
  ServerLink* links[2] = {a, b};
  rig.client()->requestCounter = 65533;
  const std::vector<u8> getInputFocus = makeRequest(43, 0, {});
  const std::vector<u8> noOperation = makeRequest(127, 0, {});
  const std::vector<u8> badFreeGC = idRequest(60, 0x1fffffff);

  rig.nextRequest();  // 65534: a reply from the second server only
  rig.forward(b, getInputFocus, "bbs");
  noteRequestWithoutReply(getInputFocus.data());
  rig.nextRequest();  // 65535: an error from both, delivered once
  for (ServerLink* link : links) rig.forward(link, badFreeGC, "bbsi");
  noteRequestWithoutReply(badFreeGC.data());
  rig.nextRequest();  // 65536: a reply from the first server only
  rig.forward(a, getInputFocus, "bbs");
  noteRequestWithoutReply(getInputFocus.data());
  rig.nextRequest();  // 65537: nothing to answer
  for (ServerLink* link : links) rig.forward(link, noOperation, "bbs");
  noteRequestWithoutReply(noOperation.data());
  rig.nextRequest();  // 65538: a reply from the second server only
  rig.forward(b, getInputFocus, "bbs");
  noteRequestWithoutReply(getInputFocus.data());

  std::vector<Message> got;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) got.push_back(std::move(m));
    return got.size() >= 4 && !rig.client()->pendingHead;
  }));
  ASSERT_EQ(got.size(), 4u);
  std::vector<std::vector<u16>> expected{{1, 0xfffe}, {0, 0xffff, 13}, {1, 0}, {1, 2}};
  for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(describe(got[i]), expected[i]) << "message " << i;
}

// A link beside others proves itself quiet behind its set-up requests, so
// the client's first request for the other server waits for that server
// alone and asks this one nothing.
TEST_P(PendingTest, ALinkBesideOthersIsQuietFromItsSetUp) {
  Xvfb first;
  Xvfb second;
  ASSERT_TRUE(first.ok() && second.ok());
  // BigReqEnable goes with the set-up: a request the link owes an answer to.
  int major = 0, event = 0, error = 0;
  Display* display = XOpenDisplay(second.display().c_str());
  ASSERT_NE(display, nullptr);
  ASSERT_TRUE(XQueryExtension(display, "BIG-REQUESTS", &major, &event, &error));
  XCloseDisplay(display);
  ExtensionEntry& entry = proxyState.extensions.entries[major];
  ExtensionEntry saved = entry;
  entry.name = "BIG-REQUESTS";
  entry.major = u8(major);
  proxyState.extensions.moduleState[kModuleBigRequests] = &entry;
  LinkRig rig;
  rig.client()->bigRequests = 1;
  ServerLink* a = rig.open(first, false, 0);
  ServerLink* b = rig.open(second, GetParam(), 1);
  proxyState.extensions.moduleState[kModuleBigRequests] = nullptr;
  entry = saved;
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(rig.pump([&] { return serverLinkQuiet(b); })) << "the set-up left the link owing answers";
  u64 secondSent = b->requestsSent;
  std::vector<Message> got;
  rig.nextRequest();
  rig.forward(a, makeRequest(43, 0, {}), "bbs");
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) got.push_back(std::move(m));
    return !got.empty();
  }));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(describe(got[0]), (std::vector<u16>{1, 1}));
  EXPECT_EQ(b->requestsSent, secondSent) << "the second server was asked for a round trip";
}

// A reply of the first server waits while the second owes answers to older
// requests; once the second has answered all it was sent, replies of the
// first go out without a round trip to the second, and what the second then
// sends of its own accord carries the newest sequence the client has seen.
TEST_P(PendingTest, AQuietServerCostsNoRoundTripsAndKeepsSequencesMonotonic) {
  Xvfb first;
  Xvfb second;
  ASSERT_TRUE(first.ok() && second.ok());
  LinkRig rig;
  ServerLink* a = rig.open(first, false, 0);
  ServerLink* b = rig.open(second, GetParam(), 1);
  ASSERT_TRUE(a && b);
  u32 window = rig.newId(1);
  const std::vector<u8> getInputFocus = makeRequest(43, 0, {});
  std::vector<Message> got;
  auto collect = [&](size_t count) {
    return rig.pump([&] {
      for (Message& m : rig.take()) got.push_back(std::move(m));
      return got.size() >= count && !rig.client()->pendingHead;
    });
  };
  // While the second server has not answered, the first one's reply to a
  // later request waits behind what the second owes.
  ASSERT_EQ(kill(second.pid(), SIGSTOP), 0);
  rig.nextRequest();
  rig.forward(b, createWindow(window, rig.setup(1).root, 100, 100, 0x8000u), "bbsiissssssI");
  rig.nextRequest();
  rig.forward(b, idRequest(8, window), "bbsi");
  rig.nextRequest();
  rig.forward(a, getInputFocus, "bbs");
  rig.pump([] { return false; }, 300);
  for (Message& m : rig.take()) got.push_back(std::move(m));
  EXPECT_TRUE(got.empty()) << "the reply went out before the second server answered";
  ASSERT_EQ(kill(second.pid(), SIGCONT), 0);
  ASSERT_TRUE(collect(2));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(describe(got[0]), (std::vector<u16>{12, 2, 0, 0, 100, 100, 0}));
  EXPECT_EQ(describe(got[1]), (std::vector<u16>{1, 3}));
  got.clear();

  u64 secondSent = b->requestsSent;
  for (int i = 0; i < 3; i++) {
    rig.nextRequest();
    rig.forward(a, getInputFocus, "bbs");
    ASSERT_TRUE(collect(1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(describe(got[0]), (std::vector<u16>{1, static_cast<u16>(rig.client()->requestCounter)}));
    got.clear();
  }
  EXPECT_EQ(b->requestsSent, secondSent) << "the quiet server was asked nothing";

  Display* other = XOpenDisplay(second.display().c_str());
  ASSERT_NE(other, nullptr);
  XClearArea(other, window, 0, 0, 10, 10, True);
  XSync(other, False);
  XCloseDisplay(other);
  ASSERT_TRUE(collect(1));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(describe(got[0]),
            (std::vector<u16>{12, static_cast<u16>(rig.client()->requestCounter), 0, 0, 10, 10, 0}));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, PendingTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SecondMsb" : "BothLsb"; });

}  // namespace
}  // namespace palvon::test
