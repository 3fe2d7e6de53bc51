// The resource-id database in-process: table growth and walk order, client
// slots, freeing with destructors that free more, the proxy's own ids, free
// id ranges and the translation of ids for heads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/xidpair.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "support/resource_rig.h"

namespace palvon {
namespace {

using test::DatabaseRig;
using test::destroyedTokens;
using test::kOtherTokenType;
using test::kTokenType;
using test::TestClient;
using test::token;

// --- Growth -----------------------------------------------------------------------

struct GrowthCase {
  u32 nodes;
  u32 buckets;
  u32 bits;
};

class TableGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(TableGrowth, DoublesAtFourNodesPerBucketUpTo2048AndKeepsEveryId) {
  DatabaseRig rig;
  TestClient client(1);
  const GrowthCase& c = GetParam();
  // Spread ids over the space so that every bucket width is exercised.
  auto idOf = [&](u32 i) { return client.id((i * 2654435761u) & 0xfffff); };
  for (u32 i = 0; i < c.nodes; i++) ASSERT_EQ(addResource(idOf(i), kTokenType, token()), 1);
  const ClientResourceTable& table = proxyState.resources.slots[1];
  EXPECT_EQ(table.bucketCount, c.buckets);
  EXPECT_EQ(table.hashBits, c.bits);
  EXPECT_EQ(table.nodeCount, c.nodes);
  for (u32 i = 0; i < c.nodes; i++) ASSERT_EQ(lookupResourceByType(idOf(i), kTokenType), token()) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, TableGrowth,
                         ::testing::Values(GrowthCase{256, 64, 6}, GrowthCase{257, 128, 7}, GrowthCase{513, 256, 8},
                                           GrowthCase{4097, 2048, 11}, GrowthCase{8193, 2048, 11}));

TEST(ResourceDatabase, GrowthKeepsTheOrderOfEachChain) {
  DatabaseRig rig;
  TestClient client(1);
  // Ids that share a bucket at 64 and at 128 buckets: their chain order (the
  // newest first) must survive the re-hash.
  std::vector<u32> same;
  for (u32 local = 0; same.size() < 3; local += 1) {
    u32 i = local;
    if ((((i >> 6) ^ i ^ (i >> 12)) & 63) == 5 && (((i >> 7) ^ i ^ (i >> 13)) & 127) == 5) same.push_back(local);
  }
  for (u32 local : same) ASSERT_EQ(addResource(client.id(local), kOtherTokenType, token()), 1);
  for (u32 i = 0; proxyState.resources.slots[1].nodeCount < 257; i++) {
    if (!lookupResourceObject(client.id(0x80000 + i))) addResource(client.id(0x80000 + i), kTokenType, token());
  }
  ASSERT_EQ(proxyState.resources.slots[1].bucketCount, 128u);
  u32 count = 0;
  u32* ids = listResourceIdsOfType(kOtherTokenType, &count);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(ids[0], client.id(same[2]));
  EXPECT_EQ(ids[1], client.id(same[1]));
  EXPECT_EQ(ids[2], client.id(same[0]));
  std::free(ids);
}

// --- Slots -------------------------------------------------------------------------

TEST(ResourceDatabase, SlotsAreNeverSlotZeroAndRunOutAtTheIdBitsReach) {
  DatabaseRig rig;
  u32 last = maxClientNumber();
  ASSERT_EQ(last, 511u) << "20 client-local bits leave 9 bits of client number in a 29-bit id";
  for (u32 expected = 1; expected <= last; expected++) {
    u32 slot = findFreeClientSlot();
    ASSERT_EQ(slot, expected);
    ASSERT_EQ(initClientResourceTable(slot), 1);
  }
  EXPECT_EQ(findFreeClientSlot(), 0u) << "no slot left: refused, not slot 0";
  freeClientResources(0);
  EXPECT_EQ(findFreeClientSlot(), 0u) << "slot 0 is never handed out, even while free";
  freeClientResources(7);
  EXPECT_EQ(findFreeClientSlot(), 7u);
}

TEST(ResourceDatabase, IdsOutsideEverySlotAreNeitherAddedNorFound) {
  DatabaseRig rig;
  const u32 farId = 1024u << 20 | 5;
  EXPECT_EQ(addResource(farId, kTokenType, token()), 0);
  EXPECT_EQ(destroyedTokens(), std::vector<u32>{farId}) << "the object is destroyed";
  EXPECT_EQ(lookupResourceObject(farId), nullptr);
  const u32 unusedSlotId = 9u << 20 | 5;
  EXPECT_EQ(addResource(unusedSlotId, kTokenType, token()), 0);
  EXPECT_EQ(lookupResourceObject(unusedSlotId), nullptr);
}

TEST(ResourceDatabase, BadIdChoiceForeignOrUsedIds) {
  DatabaseRig rig;
  TestClient mine(1), other(2);
  currentClient = mine.get();
  EXPECT_EQ(isBadIdChoice(mine.id(5)), 0);
  EXPECT_EQ(isBadIdChoice(other.id(5)), 1) << "another client's space, although unused";
  addResource(mine.id(5), kTokenType, token());
  EXPECT_EQ(isBadIdChoice(mine.id(5)), 1);
  currentClient = nullptr;
}

// --- Freeing ----------------------------------------------------------------------------

TEST(ResourceDatabase, FreeingAnIdDestroysEveryNodeOfItButTheSparedType) {
  DatabaseRig rig;
  TestClient client(1);
  u32 id = client.id(5);
  addResource(id, kTokenType, token());
  addResource(id, kOtherTokenType, token());
  addResource(client.id(6), kTokenType, token());
  freeResourceById(id, kOtherTokenType);
  EXPECT_EQ(destroyedTokens(), std::vector<u32>{id}) << "only the unspared one destroyed";
  EXPECT_EQ(lookupResourceObject(id), nullptr) << "both nodes gone";
  EXPECT_NE(lookupResourceObject(client.id(6)), nullptr);
  freeResourceById(client.id(6), RT_NONE);
  EXPECT_EQ(proxyState.resources.slots[1].nodeCount, 0u);
}

// A destructor that frees other ids of the same slot (as a window frees its
// descendants) while the chain holding its node is being walked.
u32 cascadeTargets[2];
void destroyCascade(u32, void*) {
  destroyedTokens().push_back(0);
  for (u32 target : cascadeTargets) freeResourceById(target, RT_NONE);
}

TEST(ResourceDatabase, DestructorsMayFreeNeighboursOfTheirOwnChain) {
  DatabaseRig rig;
  ASSERT_TRUE(registerResourceType({RT_XIE_PHOTOFLO, "CASCADE", destroyCascade, nullptr, nullptr}));
  TestClient client(1);
  // Multiples of 64 cubed: all in bucket 0 of a 64-bucket table.
  u32 id = client.id(0x40000);
  cascadeTargets[0] = client.id(0x80000);
  cascadeTargets[1] = client.id(0xc0000);
  ASSERT_EQ(hashResourceId(proxyState.resources.slots[1], id),
            hashResourceId(proxyState.resources.slots[1], cascadeTargets[0]));
  addResource(id, kTokenType, token());
  addResource(cascadeTargets[1], kTokenType, token());
  addResource(id, RT_XIE_PHOTOFLO, token());
  addResource(cascadeTargets[0], kTokenType, token());
  addResource(id, kOtherTokenType, token());
  freeResourceById(id, RT_NONE);
  EXPECT_EQ(proxyState.resources.slots[1].nodeCount, 0u);
  EXPECT_EQ(destroyedTokens().size(), 5u);

  addResource(id, RT_XIE_PHOTOFLO, token());
  addResource(cascadeTargets[0], kTokenType, token());
  addResource(cascadeTargets[1], kTokenType, token());
  freeClientResources(1);
  EXPECT_EQ(proxyState.resources.slots[1].bucketCount, 0u);
  EXPECT_EQ(destroyedTokens().size(), 8u);
}

TEST(ResourceDatabase, FreeingTheLastDefaultIdGivesItBack) {
  DatabaseRig rig;
  u32 first = allocDefaultXid();
  u32 second = allocDefaultXid();
  EXPECT_EQ(first, 32u);
  EXPECT_EQ(second, 33u);
  addResource(second, kTokenType, token());
  freeResource(first);
  EXPECT_EQ(allocDefaultXid(), 34u) << "32 is not the last one";
  freeResource(34);
  EXPECT_EQ(allocDefaultXid(), 34u);
}

// Heads count their ids up from 1 and the default ids count up from 32 in
// the same slot: neither takes an id the other holds (a head that left took
// a screen's colormap record with it when the 32nd head shared its id).
TEST(ResourceDatabase, HeadIdsAndDefaultIdsNeverMeet) {
  DatabaseRig rig;
  std::vector<u32> taken;
  auto take = [&](u32 id) {
    EXPECT_EQ(std::count(taken.begin(), taken.end(), id), 0) << id;
    addResource(id, kTokenType, token());
    taken.push_back(id);
  };
  for (int i = 0; i < 40; i++) take(allocDefaultXid());
  for (int i = 0; i < 80; i++) take(nextHeadId());
  take(allocDefaultXid());
}

TEST(ResourceDatabase, RetainedTemporaryClientsAreFreedTogether) {
  DatabaseRig rig;
  TestClient kept(1), permanent(2), temporary(3);
  proxyState.resources.slots[1].closeDownMode = kRetainTemporary;
  proxyState.resources.slots[2].closeDownMode = kRetainPermanent;
  proxyState.resources.slots[3].closeDownMode = kRetainTemporary;
  for (u32 slot = 1; slot <= 3; slot++) addResource(slot << 20 | 1, kTokenType, token());
  freeRetainedTemporaryClients();
  EXPECT_EQ(destroyedTokens(), (std::vector<u32>{3u << 20 | 1, 1u << 20 | 1})) << "slots from the top down";
  EXPECT_EQ(proxyState.resources.slots[2].bucketCount, 64u);
}

// --- Walks ----------------------------------------------------------------------------------

TEST(ResourceDatabase, FontByNameSearchesSlotsFromTheTopIgnoringCase) {
  DatabaseRig rig;
  TestClient low(1), high(2);
  FontRecord* lowFont = createFontRecord(low.id(1), "fixed", 5);
  FontRecord* highFont = createFontRecord(high.id(1), "Fixed", 5);
  addResource(low.id(1), RT_FONT, lowFont);
  addResource(high.id(1), RT_FONT, highFont);
  EXPECT_EQ(findFontRecordByName("FIXED"), highFont);
  EXPECT_EQ(findFontRecordByName("fixe"), nullptr);
  u32 count = 0;
  u32* ids = listResourceIdsOfType(RT_FONT, &count);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(ids[0], low.id(1)) << "lists run upwards";
  std::free(ids);
}

struct Visit {
  std::vector<u32> ids;
  u32 stopAt;
};

TEST(ResourceDatabase, ForEachStopsAtTheFirstZero) {
  DatabaseRig rig;
  TestClient a(1), b(2);
  addResource(b.id(1), kTokenType, token());
  addResource(a.id(1), kTokenType, token());
  addResource(a.id(2), kOtherTokenType, token());
  Visit visit{{}, b.id(1)};
  auto callback = [](u32 id, void*, ProxyClient*, void* argument, Head*) {
    auto* v = static_cast<Visit*>(argument);
    v->ids.push_back(id);
    return id == v->stopAt ? 0 : 1;
  };
  EXPECT_EQ(forEachResourceOfType(kTokenType, callback, &visit, nullptr), 0);
  EXPECT_EQ(visit.ids, (std::vector<u32>{a.id(1), b.id(1)}));
  visit = {{}, 0};
  EXPECT_EQ(forEachResourceOfType(kTokenType, callback, &visit, nullptr), 1);
}

// --- The proxy's own ids ---------------------------------------------------------------------

TEST(ResourceDatabase, ProxyIdsComeFromTheTopOfTheClientSpaceSkippingUsedAndZombies) {
  DatabaseRig rig;
  TestClient client(3);
  EXPECT_EQ(allocProxyXid(client.get()), client.id(0xfffff));
  addResource(client.id(0xffffe), kTokenType, token());
  PixmapRecord* zombie = createPixmapRecord(client.id(0xffffd), 1, 1, 1, nullptr, nullptr);
  addResource(zombie->id, RT_PIXMAP, zombie);
  refPixmap(zombie, 0);
  freeResource(zombie->id);
  ASSERT_TRUE(isZombiePixmapId(client.id(0xffffd)));
  EXPECT_EQ(allocProxyXid(client.get()), client.id(0xffffc));
  unrefPixmap(zombie, 0);
  EXPECT_FALSE(isZombiePixmapId(client.id(0xffffd)));
}

TEST(ResourceDatabase, ProxyIdsWithoutAnyClientStayOutOfEveryClientSpace) {
  DatabaseRig rig;
  ASSERT_EQ(clientList, nullptr);
  u32 first = allocProxyXid(nullptr);
  u32 second = allocProxyXid(nullptr);
  EXPECT_EQ(first >> 20, 0u) << "the proxy's own slot";
  EXPECT_GT(first, 31u);
  EXPECT_EQ(second, first - 1);
  addResource(second - 1, kTokenType, token());
  EXPECT_EQ(allocProxyXid(nullptr), second - 2);
}

struct RangeCase {
  std::vector<u32> used;  // client-local parts
  u32 first, last;
};

class FreeRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(FreeRange, KeepsTheLargerSideOfEveryUsedId) {
  DatabaseRig rig;
  TestClient client(2);
  for (u32 local : GetParam().used) addResource(client.id(local), kTokenType, token());
  u32 first = 1, last = 1;
  findFreeXidRange(2, &first, &last);
  EXPECT_EQ(first, client.id(GetParam().first));
  EXPECT_EQ(last, client.id(GetParam().last));
  for (u32 id = first; id <= last && id - first < 70000; id++) ASSERT_EQ(lookupResourceObject(id), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, FreeRange,
                         ::testing::Values(RangeCase{{}, 0, 0xfffff}, RangeCase{{0, 1, 2}, 3, 0xfffff},
                                           RangeCase{{0xfffff}, 0, 0xffffe},
                                           RangeCase{{0x10, 0x80000, 0xc0000}, 0x11, 0x7ffff}));

TEST(ResourceDatabase, FreeRangeOfAFullSpaceIsEmpty) {
  DatabaseRig rig;
  proxyState.resourceIdShift = 4;  // 16 ids per client
  proxyState.resourceIdMask = 0xf;
  TestClient client(2);
  for (u32 i = 0; i < 16; i++) addResource(2u << 4 | i, kTokenType, token());
  u32 first = 1, last = 1;
  findFreeXidRange(2, &first, &last);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(last, 0u);
  freeClientResources(2);
  proxyState.resourceIdShift = 20;
  proxyState.resourceIdMask = 0xfffff;
}

// --- Translation -----------------------------------------------------------------------------

// Two servers: A with three heads (two showing one screen, one in the second
// meta screen), B with one head and no head bits.
class Translation : public ::testing::Test {
 protected:
  DatabaseRig rig;
  int fakeConnection = 0;
  ServerDisplay a{}, b{};
  Head a0{}, a1{}, b0{}, a2{};
  MetaScreen one{}, two{};
  VisualRecord visuals[2]{};
  TestClient client{1};

  void SetUp() override {
    Display* connection = reinterpret_cast<Display*>(&fakeConnection);
    a.display = b.display = connection;
    a.proxyIdShift = 2;  // a 22-bit mask: two head bits below the client part
    a.indexMask = 0x3;
    b.index = 1;
    a.firstHead = &a0;
    a0.nextOnDisplay = &a1;
    a1.nextOnDisplay = &a2;
    b.firstHead = &b0;
    setHead(a0, a, one, 0, 0);
    setHead(a1, a, one, 0, 1);
    a1.equivalentHead = &a0;
    setHead(b0, b, one, 1, 0);
    setHead(a2, a, two, 0, 2);
    one.heads = &a0;
    a0.next = &a1;
    a1.next = &b0;
    two.heads = &a2;
    one.next = &two;
    one.rootId = 32;
    one.defaultColormap = 33;
    one.visuals = visuals;
    one.visualCount = 2;
    two.rootId = 40;
    proxyState.screens = &one;
    proxyState.screenCount = 1;
    setClientServerIdBase(1, &a0, 0x400000);
    setClientServerIdBase(1, &b0, 0x600000);
  }

  void setHead(Head& head, ServerDisplay& display, MetaScreen& screen, u32 index, u32 sub) {
    head.serverDisplay = &display;
    head.metaScreen = &screen;
    head.serverIndex = index;
    head.numberOnDisplay = sub;
    head.root = 0x100 + sub + 16 * index;
    head.rootWindow = 0x200 + sub + 16 * index;
    head.defaultColormap = 0x300 + sub + 16 * index;
    head.colormap = 0x400 + sub + 16 * index;
  }
};

TEST_F(Translation, ClientIdsTakeTheHeadsBaseSubIndexAndLocalPart) {
  struct Case {
    u32 id, kind;
    const Head* head;
    u32 expected;
    const char* what;
  } cases[] = {
      {client.id(5), RT_WINDOW, &a0, 0x400000 | 0 | 5 << 2, "first head of A"},
      {client.id(5), RT_WINDOW, &a1, 0x400000 | 1 | 5 << 2, "second head of A: its own sub-index"},
      {client.id(5), RT_FONT, &a1, 0x400000 | 0 | 5 << 2, "fonts through the font head"},
      {client.id(5), RT_PIXMAP, &b0, 0x600000 | 5, "a server without head bits"},
      {1024u << 20 | 5, RT_WINDOW, &a0, 1024u << 20 | 5, "no slot: unchanged"},
      {32, RT_REAL_ROOT, &a1, 0x101, "the real root"},
      {32, RT_WINDOW, &a1, 0x201, "the meta root's window"},
      {33, RT_REAL_COLORMAP, &b0, 0x310, "the real default colormap"},
      {33, RT_COLORMAP, &b0, 0x410, "the meta default colormap's stand-in"},
      {77, RT_GC, &a0, 77, "other proxy ids unchanged"},
      {client.id(5), RT_WINDOW, nullptr, client.id(5), "no head"},
  };
  for (const Case& c : cases) EXPECT_EQ(translateXid(c.id, c.kind, c.head), c.expected) << c.what;
}

// The drawable and GC of a drawing request are translated together: each
// must come out as translateXid gives it alone, on every kind of head, for
// ids of one client, of two, of the proxy's slot and of no slot, with one
// meta screen and with two, and on a head whose server is gone.
TEST_F(Translation, DrawableAndGCTogetherAsEachAlone) {
  constexpr u32 kDrawableKind = 8;
  TestClient other(2);
  setClientServerIdBase(2, &a0, 0x800000);
  ProxyWindow* window = allocProxyWindow();
  window->screen = &two;
  window->id = client.id(7);
  ASSERT_EQ(addResource(window->id, RT_WINDOW, window), 1);
  const u32 pairs[][2] = {{client.id(5), client.id(9)}, {client.id(5), other.id(9)}, {other.id(3), other.id(4)},
                          {32, client.id(9)},           {77, 78},                    {1024u << 20 | 5, client.id(1)},
                          {window->id, client.id(2)}};
  for (u32 screens : {1u, 2u}) {
    proxyState.screenCount = screens;
    for (bool gone : {false, true}) {
      a.display = gone ? nullptr : b.display;
      for (const Head* head : std::initializer_list<const Head*>{&a0, &a1, &b0, &a2, nullptr}) {
        for (const auto& pair : pairs) {
          u32 out[2] = {1, 1};
          translateDrawableAndGC(pair[0], pair[1], head, out);
          SCOPED_TRACE(testing::Message() << std::hex << pair[0] << " " << pair[1] << " screens " << screens
                                          << " gone " << gone << " head " << head);
          EXPECT_EQ(out[0], translateXid(pair[0], kDrawableKind, head));
          EXPECT_EQ(out[1], translateXid(pair[1], RT_GC, head));
        }
      }
    }
  }
}

TEST_F(Translation, HeadsWithoutServerTakeNoIds) {
  a.display = nullptr;
  EXPECT_EQ(translateXid(client.id(5), RT_WINDOW, &a0), 0u);
  EXPECT_EQ(translateXid(32, RT_REAL_ROOT, &a0), 0u);
  a1.serverDisplay = nullptr;
  EXPECT_EQ(translateXid(client.id(5), RT_WINDOW, &a1), 0u);
}

TEST_F(Translation, ServerIdsFindTheirHeadAgain) {
  for (const Head* head : {&a0, &a1, &a2}) {
    EXPECT_EQ(findHeadByServerXid(translateXid(client.id(9), RT_GC, head), &a), head);
  }
  EXPECT_EQ(findHeadByServerXid(0x20000000 | 0x400001, &a), nullptr) << "a top bit set";
  EXPECT_EQ(findHeadByServerXid(0x400003, &a), nullptr) << "no head with sub-index 3";
}

TEST_F(Translation, ResourcesOfAnotherScreenUseThatScreensHeadOnTheSameServer) {
  constexpr u32 kDrawableKind = 8;  // what drawing requests translate with
  proxyState.screenCount = 2;
  ProxyWindow* window = allocProxyWindow();
  window->screen = &two;
  window->id = client.id(5);
  ASSERT_EQ(addResource(window->id, RT_WINDOW, window), 1);
  EXPECT_EQ(translateXid(window->id, RT_WINDOW, &a0), 0x400000u | 2 | 5 << 2) << "a2, not a0";
  EXPECT_EQ(translateXid(window->id, RT_WINDOW, &b0), 0x400000u | 2 | 5 << 2) << "two has no head on B";
  EXPECT_EQ(translateXid(window->id, RT_CURSOR, &a0), 0x400000u | 0 | 5 << 2) << "cursors are not moved";
  EXPECT_EQ(translateXid(window->id, kDrawableKind, &a0), 0x400000u | 2 | 5 << 2) << "as a drawable too";
  EXPECT_EQ(lookupScreenOfXid(window->id), &two);
  EXPECT_EQ(lookupScreenOfXid(client.id(6)), &one) << "unknown ids: the first screen";
}

TEST_F(Translation, ResourceScreensAndTheRequestResource) {
  proxyState.screenCount = 2;
  addResource(client.id(1), RT_VISUAL, &visuals[1]);
  addResource(client.id(2), RT_HEAD, &a2);
  addResource(client.id(3), RT_SERVER_ID, &two);
  addResource(client.id(4), RT_CURSOR, nullptr);
  EXPECT_EQ(getResourceScreen(client.id(1)), &one);
  EXPECT_EQ(getResourceScreen(client.id(2)), &two);
  EXPECT_EQ(getResourceScreen(client.id(3)), &two);
  EXPECT_EQ(getResourceScreen(client.id(4)), nullptr);
  ProxyClient* record = client.get();
  setRequestResource(record, client.id(3));
  EXPECT_EQ(record->requestResourceType, RT_SERVER_ID);
  EXPECT_EQ(record->requestResourceScreen, &two);
  setRequestResource(record, client.id(4));
  EXPECT_EQ(record->requestResourceType, RT_CURSOR);
  EXPECT_EQ(record->requestResourceScreen, &one) << "a resource of no screen: the first";
  setRequestResource(record, client.id(99));
  EXPECT_EQ(record->requestResourceType, RT_NONE);
  EXPECT_EQ(record->requestResourceObject, nullptr);
  EXPECT_EQ(record->requestResourceScreen, &one);
}

}  // namespace
}  // namespace palvon
