// The sequence ring, the request stash and reply hooks on a link that is
// never connected (what it writes is read back).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "support/linkrig.h"

namespace palvon::test {
namespace {

u32 chunks(const ServerLink* link) {
  u32 n = 0;
  // Bounded: a ring whose chunks link back into it is counted as too long.
  for (const SequenceRing* c = link->ring; c && n < 100; c = c->next) n++;
  return n;
}

void sendNoOperation(ProxyClient* client, ServerLink* link) {
  client->requestCounter++;
  const u8 request[4] = {127, 0, 1, 0};
  ASSERT_NE(copyRequestToServer(request, 4, link), nullptr);
}

struct Released {
  std::vector<int> ids;
};
Released released;
int ids[4] = {1, 2, 3, 4};
void noteRelease(void* data) { released.ids.push_back(*static_cast<int*>(data)); }

TEST(SequenceRing, InsertsARoundTripAfter4094UnansweredRequests) {
  released = {};
  ProxyClient client{};
  OfflineLink offline(&client);
  ServerLink* link = offline.link();
  for (int i = 0; i < 4093; i++) sendNoOperation(&client, link);
  EXPECT_EQ(chunks(link), 1u);
  EXPECT_EQ(offline.take().size(), 4093u * 4);
  sendNoOperation(&client, link);
  stashRequestData(link, 1, &ids[0], noteRelease);
  std::vector<u8> out = offline.take();
  ASSERT_EQ(out.size(), 8u) << "the 4094th request and an inserted round trip";
  EXPECT_EQ(out[4], 43) << "GetInputFocus";
  EXPECT_EQ(link->requestsSent, 4095u);
  EXPECT_EQ(chunks(link), 2u);

  // Replies for sequences of both chunks are attributed; the first chunk
  // goes when its round trip is answered.
  popServerSequence(link, 100);
  EXPECT_EQ(client.sequenceAnswered, 100);
  EXPECT_EQ(link->requestKeyAnswered, 127);
  popServerSequence(link, 4094);
  EXPECT_EQ(takeStashedData(link, 1), &ids[0]) << "the stash keeps request order past the round trip";
  EXPECT_TRUE(released.ids.empty());
  popServerSequence(link, 4095);
  EXPECT_EQ(link->requestKeyAnswered, kKeyNoOperation);
  EXPECT_EQ(chunks(link), 1u);
  sendNoOperation(&client, link);
  popServerSequence(link, 4096);
  EXPECT_EQ(client.sequenceAnswered, 4095);
}

// A busy link retires a chunk and takes another every few thousand
// requests; chunks retired before come back as if new, turn after turn.
TEST(SequenceRing, RetiredChunksServeAgainAsNewOnes) {
  ProxyClient client{};
  OfflineLink offline(&client);
  ServerLink* link = offline.link();
  for (int turn = 0; turn < 8; turn++) {
    u64 roundTrip = 0;
    for (int i = 0; i < 5000 && !roundTrip; i++) {
      sendNoOperation(&client, link);
      if (offline.take().size() == 8) roundTrip = link->requestsSent;
    }
    ASSERT_NE(roundTrip, 0u) << "no round trip closed the chunk in turn " << turn;
    EXPECT_EQ(chunks(link), 2u) << "turn " << turn;
    popServerSequence(link, static_cast<u16>(roundTrip - 1));
    EXPECT_EQ(link->requestKeyAnswered, 127) << "turn " << turn;
    EXPECT_EQ(client.sequenceAnswered, static_cast<u16>(client.requestCounter)) << "turn " << turn;
    popServerSequence(link, static_cast<u16>(roundTrip));
    EXPECT_EQ(link->requestKeyAnswered, kKeyNoOperation) << "turn " << turn;
    EXPECT_EQ(chunks(link), 1u) << "turn " << turn;
  }
}

// A closed link's chunk may serve the next link: whatever the one before
// wrote (a few requests, or thousands over two chunks) must not show.
TEST(SequenceRing, ANewLinksRingShowsNothingOfClosedLinks) {
  ProxyClient client{};
  for (int sent : {10, 1015, 1016, 9000}) {
    {
      OfflineLink before(&client);
      for (int i = 0; i < sent; i++) sendNoOperation(&client, before.link());
      popServerSequence(before.link(), static_cast<u16>(before.link()->requestsSent));
    }
    OfflineLink after(&client);
    ServerLink* link = after.link();
    EXPECT_EQ(chunks(link), 1u) << "after " << sent;
    u32 written = 0;
    for (u64 s = 0; s < kRingSlots; s++) {
      const SequenceSlot* slot = findRingSlot(link, s);
      written += slot->clientSequence != 0 || slot->key != 0;
    }
    EXPECT_EQ(written, 0u) << "slots left by a link of " << sent << " requests";
    for (int i = 0; i < 4093; i++) sendNoOperation(&client, link);
    sendNoOperation(&client, link);
    EXPECT_EQ(after.take().size(), 4093u * 4 + 8) << "the round trip comes where it does on a fresh ring";
  }
}

TEST(RequestStash, TakesTheEntryOfTheAnsweredRequestAndReleasesOlderOnes) {
  released = {};
  ProxyClient client{};
  OfflineLink offline(&client);
  ServerLink* link = offline.link();
  for (int i = 0; i < 3; i++) {
    sendNoOperation(&client, link);
    stashRequestData(link, 1, &ids[i], noteRelease);
  }
  popServerSequence(link, 2);
  EXPECT_EQ(peekStashedData(link, 2), nullptr) << "other code";
  EXPECT_EQ(takeStashedData(link, 1), &ids[1]);
  EXPECT_EQ(released.ids, std::vector<int>{1}) << "the entry whose reply never came";
  popServerSequence(link, 3);
  dropStaleStash(link);
  EXPECT_EQ(peekStashedData(link, 1), &ids[2]) << "not stale yet";
  popServerSequence(link, 4);
  dropStaleStash(link);
  EXPECT_EQ(released.ids, (std::vector<int>{1, 3}));
  EXPECT_EQ(link->stashHead, nullptr);
}

TEST(ReplyHook, MatchesTheSequenceAsTheServerWritesIt) {
  for (bool swap : {false, true}) {
    ProxyClient client{};
    OfflineLink offline(&client, swap);
    ServerLink* link = offline.link();
    for (int i = 0; i < 0x102; i++) sendNoOperation(&client, link);
    int calls = 0;
    addReplyHook(link, [](ServerLink*, const u8*, void* a) { return ++*static_cast<int*>(a), 1; }, &calls);
    u8 reply[32] = {1};
    reply[2] = swap ? 0x01 : 0x02;  // 0x102 as the server writes it
    reply[3] = swap ? 0x02 : 0x01;
    u8 other[32] = {1, 0, 0x01, 0x01};
    EXPECT_EQ(dispatchReplyHook(link, other), 0);
    EXPECT_EQ(dispatchReplyHook(link, reply), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(link->hookHead, nullptr);
  }
}

// The marker of the proxy's synchronous round trip is the proxy's alone,
// however its wait ended: its answer is nobody's reply. A request of the
// client's that the server numbers with the marker's 16 bits a wrap later
// is the client's, and a server lost under it owes the client its answer.
TEST(SyncMarker, IsOwedToTheProxyAloneAndNamesNoRequestAWrapLater) {
  ProxyClient client{};
  OfflineLink offline(&client);
  ServerLink* link = offline.link();
  sendNoOperation(&client, link);
  sendSyncMarker(link);  // never answered: the link is not connected
  u64 marker = link->requestsSent;
  ASSERT_NE(findRingSlot(link, marker), nullptr);
  EXPECT_EQ(findRingSlot(link, marker)->key, kKeyNoOperation);
  while (link->requestsSent + 1 < marker + 0x10000) {
    sendNoOperation(&client, link);
    if (link->requestsSent % 4096 == 0) offline.take();
  }
  client.requestCounter++;
  const u8 getInputFocus[4] = {43, 0, 1, 0};
  ASSERT_NE(copyRequestToServer(getInputFocus, 4, link), nullptr);
  ASSERT_EQ(link->requestsSent, marker + 0x10000);
  EXPECT_EQ(findRingSlot(link, marker + 0x10000)->key, 43);
  EXPECT_FALSE(isProxysOwnRequest(link, marker + 0x10000));
}

}  // namespace
}  // namespace palvon::test
