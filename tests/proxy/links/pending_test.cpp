// Release order of held messages, and the messages the proxy composes
// itself, for a client without server links.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/proxystate.h"
#include "support/linkrig.h"
#include "xsupport/region.h"

namespace palvon::test {
namespace {

Message event(u8 code, u16 sequence) {
  Message m(32, 0);
  m[0] = code;
  put16At(m, 2, sequence);
  put32At(m, 4, 0x400001);
  return m;
}

// Without links nothing answers the proxy's round trips: release by hand.
std::vector<Message> releaseAll(LinkRig& rig) {
  ProxyClient* client = rig.client();
  while (client->pendingHead) flushPendingRequest(client->pendingHead, client);
  return rig.take();
}

std::vector<u8> codes(const std::vector<Message>& messages) {
  std::vector<u8> out;
  for (const Message& m : messages) out.push_back(m[0]);
  return out;
}

TEST(PendingRelease, StructureThenVisibilityThenMergedExposuresThenTheRest) {
  LinkRig rig;
  ProxyClient* client = rig.client();
  client->requestCounter = 7;
  PendingRequest* entry = insertPendingRequest(client, 7, 8);
  ASSERT_NE(entry, nullptr);
  Message expose = event(12, 7);
  Message reply = event(1, 7);
  put32At(reply, 4, 0);
  Message error = event(0, 7), secondError = event(0, 7);
  error[1] = 3;
  secondError[1] = 9;
  // Arrival order is the reverse of the release order.
  holdMessage(reply.data(), 32, "bbsi", 0, entry);
  holdMessage(error.data(), 32, "bbsisb", 0, entry);
  holdMessage(expose.data(), 32, "bbsisssss", reinterpret_cast<uintptr_t>(regionCreateRect(0, 0, 100, 100)), entry);
  holdMessage(expose.data(), 32, "bbsisssss", reinterpret_cast<uintptr_t>(regionCreateRect(0, 0, 150, 50)), entry);
  holdMessage(secondError.data(), 32, "bbsisb", 0, entry);
  holdMessage(event(15, 7).data(), 32, "bbsi", 0, entry);
  holdMessage(event(22, 7).data(), 32, "bbsiiisssss", 0, entry);
  flushPendingRequest(entry, client);
  std::vector<Message> got = rig.take();
  EXPECT_EQ(codes(got), (std::vector<u8>{22, 15, 12, 12, 1, 0}));
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[5][1], 3) << "only the first error";
  EXPECT_EQ(client->pendingHead, nullptr);
}

// Messages the proxy makes for sequences in any arrival order: one entry per
// sequence, the list in sequence order, released in that order.
class PendingOrder : public ::testing::TestWithParam<std::vector<u16>> {};

TEST_P(PendingOrder, OneEntryPerSequenceReleasedInSequenceOrder) {
  LinkRig rig;
  ProxyClient* client = rig.client();
  client->requestCounter = 100;
  client->dispatching = 1;  // as inside a parse: nothing is armed yet
  std::vector<u16> arrival = GetParam();
  for (u16 sequence : arrival) {
    Message m = event(33, sequence);
    holdMessageForSequence(m.data(), 32, "bbsii", client);
  }
  std::vector<u16> sorted = arrival;
  std::sort(sorted.begin(), sorted.end());
  u32 distinct = static_cast<u32>(std::set<u16>(sorted.begin(), sorted.end()).size());
  EXPECT_EQ(client->pendingCount, distinct);
  u64 previous = 0;
  for (PendingRequest* e = client->pendingHead; e; e = e->next) {
    EXPECT_GT(e->sequence, previous);
    previous = e->sequence;
  }
  EXPECT_EQ(client->pendingTail->sequence, sorted.back());
  client->dispatching = 0;
  std::vector<u16> released;
  for (const Message& m : releaseAll(rig)) released.push_back(get16At(m, 2));
  EXPECT_EQ(released, sorted);
  EXPECT_EQ(client->pendingCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(Arrivals, PendingOrder,
                         ::testing::Values(std::vector<u16>{1, 2, 3, 4, 5}, std::vector<u16>{5, 4, 3, 2, 1},
                                           std::vector<u16>{3, 1, 4, 1, 5, 9, 2, 6, 5, 3},
                                           std::vector<u16>{7, 7, 7}, std::vector<u16>{2, 9, 3, 9, 4}));

TEST(PendingRelease, EmptyGraphicsExposeBecomesNoExpose) {
  LinkRig rig;
  ProxyClient* client = rig.client();
  PendingRequest* entry = insertPendingRequest(client, 1, 62);
  Message graphics = event(13, 1);
  put16At(graphics, 16, 0);  // minor
  graphics[20] = 62;         // CopyArea
  Region* empty = regionCreate(nullptr, 0);
  holdMessage(graphics.data(), 32, "bbsissssss", reinterpret_cast<uintptr_t>(empty), entry);
  flushPendingRequest(entry, client);
  std::vector<Message> got = rig.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 14);
  EXPECT_EQ(got[0][10], 62);
  EXPECT_EQ(get32At(got[0], 4), 0x400001u);
}

TEST(PendingRelease, KeymapNotifyOnlyAfterEnterOrFocusIn) {
  LinkRig rig;
  Message keymap(32, 0);
  keymap[0] = 11;
  for (u8 before : {9, 10}) {
    sendEventToClient(event(before, 1).data(), "bbsi", 0);
    sendEventToClient(keymap.data(), "b", 0);
  }
  EXPECT_EQ(codes(rig.take()), (std::vector<u8>{9, 11, 10}));
}

TEST(ComposedMessages, SetupRefusalCarriesItsReasonCutTo255Bytes) {
  LinkRig rig;
  struct Case {
    size_t length;
    size_t bytes;
  };
  for (Case c : {Case{27, 36}, Case{300, 8 + 256}}) {
    std::string reason(c.length, 'r');
    sendSetupFailed(rig.client(), reason.c_str());
    std::vector<u8> out;
    ASSERT_TRUE(rig.pump([&] {
      Message m = rig.takeRaw();
      out.insert(out.end(), m.begin(), m.end());
      return out.size() >= c.bytes;
    }));
    ASSERT_EQ(out.size(), c.bytes);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], std::min<size_t>(c.length, 255));
    EXPECT_EQ(get16At(out, 6), (c.bytes - 8) / 4);
  }
}

// A client error carries the request's sequence and major code (also for a
// big request, whose length field is 0); an extension's error code counts
// from the extension's first error.
TEST(ComposedMessages, ErrorsCarryTheRequestAndTheExtensionsErrorBase) {
  LinkRig rig;
  ProxyClient* client = rig.client();
  client->requestCounter = 70000;
  const u8 request[8] = {62, 0, 0, 0};
  sendClientXError(9, 0x1234567, request, 262144, static_cast<u16>(client->requestCounter), "bad source", client);
  client->requestCounter++;
  ExtensionEntry& entry = proxyState.extensions.entries[150];
  entry = {};
  entry.name = "TEST-EXTENSION";
  entry.major = 150;
  entry.firstError = 150;
  const u8 extensionRequest[4] = {150, 1, 1, 0};
  sendExtensionError(2, 0, extensionRequest, 4, nullptr);
  entry = {};
  std::vector<Message> got = releaseAll(rig);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][1], 9);
  EXPECT_EQ(get16At(got[0], 2), static_cast<u16>(70000));
  EXPECT_EQ(get32At(got[0], 4), 0x1234567u);
  EXPECT_EQ(got[0][10], 62);
  EXPECT_EQ(got[1][1], 152);
  EXPECT_EQ(got[1][10], 150);
  EXPECT_EQ(client->errorCounter, 2u);
}

TEST(ComposedMessages, KeyboardMappingMovesGroupTwoAndPadsAskedRows) {
  LinkRig rig;
  const u32 keysyms[12] = {1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 0, 0};
  ASSERT_TRUE(sendReplyGetKeyboardMapping(rig.client(), 5, keysyms, 6, 2, 4));
  std::vector<Message> got = releaseAll(rig);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 32u + 96);
  EXPECT_EQ(got[0][1], 6);
  auto at = [&](u32 row, u32 column) { return get32At(got[0], 32 + 4 * (6 * row + column)); };
  EXPECT_EQ(at(0, 2), 5u) << "columns 4 and 5 moved to 2 and 3";
  EXPECT_EQ(at(0, 3), 6u);
  EXPECT_EQ(at(0, 4), 5u) << "the last two columns keep their values";
  EXPECT_EQ(at(1, 2), 13u) << "a row without group-2 symbols is kept";
  for (u32 column = 0; column < 6; column++) {
    EXPECT_EQ(at(2, column), 0u);
    EXPECT_EQ(at(3, column), 0u);
  }

  // The configuration's NoNoXKB keeps the columns as the server gave them.
  ASSERT_TRUE(applySetWord(kWorkaroundWords, "NoNoXKB", &proxyConfig.workarounds));
  ASSERT_TRUE(sendReplyGetKeyboardMapping(rig.client(), 6, keysyms, 6, 2, 2));
  proxyConfig.workarounds = 0;
  got = releaseAll(rig);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(at(0, 2), 3u);
  EXPECT_EQ(at(0, 4), 5u);
}

}  // namespace
}  // namespace palvon::test
