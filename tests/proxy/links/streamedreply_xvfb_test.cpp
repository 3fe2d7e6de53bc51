// A large reply passed to the client as it arrives, on a real link to a
// real Xvfb: the client gets the bytes a plain client of that server gets,
// whatever else the proxy writes to the client meanwhile follows the reply
// whole, and a link that closes in the middle of the reply writes nothing
// more to the client.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/streamedreply.h"
#include "support/linkrig.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

// 200 x 200 pixels of 32 bits: above the streaming threshold, and below
// what the rig's socket pair holds, so that the rig never waits on itself.
constexpr u16 kSide = 200;
constexpr size_t kReplySize = 32 + size_t{4} * kSide * kSide;
static_assert(kReplySize >= kStreamedReplyMinimum);
constexpr u8 kPropertyNotify = 28;

std::vector<u8> getImageBody(u32 drawable) {
  std::vector<u8> body(16, 0);
  put32At(body, 0, drawable);
  put16At(body, 8, kSide);
  put16At(body, 10, kSide);
  put32At(body, 12, 0xffffffff);
  return body;
}

// The same GetImage from a plain client of the server.
Bytes plainImage(const Xvfb& server) {
  RawClient plain;
  if (!plain.connectUnix(server.number()) || plain.setup() != 1) return {};
  Bytes body(16, 0);
  plain.put32(body, 0, plain.rootWindow());
  plain.put16(body, 8, kSide);
  plain.put16(body, 10, kSide);
  plain.put32(body, 12, 0xffffffff);
  if (!plain.send(plain.request(X_GetImage, 2, body))) return {};
  return plain.readMessage(10000);
}

Message propertyEvent(u16 sequence) {
  Message m(32, 0);
  m[0] = kPropertyNotify;
  put16At(m, 2, sequence);
  put32At(m, 4, 0x400001);
  return m;
}

// A GetImage of the server's root on a link of the rig, pumped until its
// reply has begun to stream; null (with a failure) when it did not.
ServerLink* beginStream(LinkRig& rig, const Xvfb& server) {
  ServerLink* link = rig.open(server, false);
  if (!link) return nullptr;
  ProxyClient* client = rig.client();
  rig.nextRequest();
  if (!rig.forward(link, makeRequest(X_GetImage, 2, getImageBody(rig.setup(0).root)), "bbsissssi")) return nullptr;
  if (rig.pump([&] { return client->streamingLink != nullptr; })) return link;
  ADD_FAILURE() << "the reply did not stream";
  return nullptr;
}

// Who else writes to the client while the reply streams.
struct Writer {
  const char* name;
  void (*write)(ProxyClient* client, const Message& event);
};

const Writer kWriters[] = {
    {"DirectWrite", [](ProxyClient* c, const Message& e) { writeToClient(e.data(), 32, "bbsiiib", c); }},
    {"ScreensLayerBytes", [](ProxyClient* c, const Message& e) { queueClientBytes(e.data(), 32, "bbsiiib", c); }},
    {"ComposedEvent", [](ProxyClient* c, const Message& e) { sendComposedEvent(e.data(), "bbsiiib", c); }},
};

void PrintTo(const Writer& w, std::ostream* out) { *out << w.name; }

class StreamedReply : public ::testing::TestWithParam<Writer> {};

// The reply, whole and as a plain client gets it (the sequence and the
// visual aside), then the message written in its middle.
TEST_P(StreamedReply, WhatIsWrittenMeanwhileFollowsTheWholeReply) {
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  Bytes plain = plainImage(server);
  ASSERT_EQ(plain.size(), kReplySize);
  LinkRig rig;
  ServerLink* link = beginStream(rig, server);
  ASSERT_NE(link, nullptr);
  ProxyClient* client = rig.client();
  GetParam().write(client, propertyEvent(static_cast<u16>(client->requestCounter)));
  std::vector<Message> got;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) got.push_back(std::move(m));
    return got.size() >= 2;
  })) << got.size() << " messages";
  ASSERT_EQ(got.size(), 2u);
  const Message& reply = got[0];
  ASSERT_EQ(reply.size(), kReplySize);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(reply[1], plain[1]) << "depth";
  EXPECT_EQ(get16At(reply, 2), static_cast<u16>(client->requestCounter));
  EXPECT_TRUE(std::equal(reply.begin() + 32, reply.end(), plain.begin() + 32)) << "the pixels differ";
  EXPECT_EQ(got[1][0], kPropertyNotify);
  EXPECT_EQ(client->streamingLink, nullptr);
  EXPECT_EQ(link->streamRemaining, 0u);
}

INSTANTIATE_TEST_SUITE_P(Writers, StreamedReply, ::testing::ValuesIn(kWriters),
                         [](const ::testing::TestParamInfo<Writer>& info) { return std::string(info.param.name); });

// A link that closes in the middle: the client, whose reply cannot be
// completed, is marked to end, and nothing more reaches it.
TEST(StreamedReplyCut, NothingFollowsAReplyCutOff) {
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  LinkRig rig;
  ServerLink* link = beginStream(rig, server);
  ASSERT_NE(link, nullptr);
  ProxyClient* client = rig.client();
  size_t before = rig.takeRaw().size();
  ASSERT_LT(before, kReplySize);
  closeServerLink(link);
  EXPECT_EQ(client->streamingLink, nullptr);
  EXPECT_EQ(client->streamCut, 1);
  EXPECT_NE(client->streamCutOrder, nullptr) << "the client is not ended";
  writeToClient(propertyEvent(1).data(), 32, "bbsiiib", client);
  EXPECT_TRUE(rig.takeRaw().empty()) << "bytes written behind a reply cut off";
  dropClientStream(client);
}

}  // namespace
}  // namespace palvon::test
