// Pointer and keyboard across heads without real servers: where a pointer
// leaving one head enters another, keycode shifts, meta time stamps, the
// rate limit of pointer moves on a stepped clock, the intake's small rules,
// heads by point, server ids back to client ids, the poll stack and the
// resource-server decision.
#include <gtest/gtest.h>

#include <X11/Xlibint.h>
#undef min
#undef max

#include <cstring>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "base/orders.h"
#include "support/logcapture.h"
#include "support/resource_rig.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/ximage.h"

namespace palvon {
namespace {

// --- Head entry ---------------------------------------------------------------------------

HeadArea area(i32 x, i32 y, i32 w, i32 h) {
  HeadArea a{};
  a.originX = a.x = x, a.originY = a.y = y, a.width = w, a.height = h;
  return a;
}

struct EntryCase {
  const char* what;
  HeadArea from;
  i32 px, py;     // where the pointer is on leaving `from`
  HeadArea to;
  bool same;      // from and to are one area
  u32 score;
  i32 ex, ey;     // entry into `to` (when scored)
};

class HeadEntry : public testing::TestWithParam<EntryCase> {};

TEST_P(HeadEntry, ScoresAndEntry) {
  EntryCase c = GetParam();
  c.from.pointerX = c.px, c.from.pointerY = c.py;
  HeadArea* to = c.same ? &c.from : &c.to;
  u32 score = findHeadEntry(&c.from, to);
  EXPECT_EQ(score, c.score);
  if (score < kNoEntrySameArea) {
    EXPECT_EQ(to->entryX, c.ex);
    EXPECT_EQ(to->entryY, c.ey);
  }
}

HeadArea wrapping(HeadArea a) {
  a.wrapX = 1;
  return a;
}

HeadArea excluded(HeadArea a) {
  a.excluded = 1;
  return a;
}

const EntryCase kEntries[] = {
    {"pointer already inside the neighbour", area(0, 0, 100, 100), 150, 50, area(100, 0, 100, 100), false, 0, 150, 50},
    {"one pixel beyond the right edge", area(0, 0, 100, 100), 300, 50, area(100, 0, 100, 100), false, 1, 100, 50},
    {"one pixel below the bottom edge", area(0, 0, 100, 100), 50, 300, area(0, 100, 100, 100), false, 1, 50, 100},
    {"a gap of 20 along the row", area(0, 0, 100, 100), 300, 50, area(120, 0, 100, 100), false, 22, 120, 50},
    {"a neighbour off the row is missed", area(0, 0, 100, 100), 300, 50, area(120, 200, 100, 100), false,
     kNoEntry, 0, 0},
    {"the corner probes diagonally", area(0, 0, 100, 100), -5, -5, area(-300, -300, 100, 100), false, 402, -201, -201},
    {"the corner misses a head beside it", area(0, 0, 100, 100), 300, 300, area(100, 0, 100, 100), false,
     kNoEntry, 0, 0},
    {"the corner of the same head", area(0, 0, 100, 100), 300, 300, {}, true, kNoEntrySameArea, 0, 0},
    {"the same head without wrap", area(0, 0, 100, 100), 300, 50, {}, true, kNoEntrySameArea, 0, 0},
    {"wrapping back onto itself", wrapping(area(0, 0, 100, 100)), 300, 50, {}, true, 0x7fffffffu + 2, 0, 50},
    {"wrapping to the leftmost head of the row", wrapping(area(100, 0, 100, 100)), 300, 50, area(-400, 0, 100, 100),
     false, 0x7fffffffu - 400 + 2, -400, 50},
    {"an excluded head is never entered", area(0, 0, 100, 100), 150, 50, excluded(area(100, 0, 100, 100)), false,
     kNoEntry, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Heads, HeadEntry, testing::ValuesIn(kEntries),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(HeadEntryNearest, TheLeftmostOfAWrappingRowScoresLowest) {
  HeadArea left = area(0, 0, 100, 100), middle = area(100, 0, 100, 100), right = wrapping(area(200, 0, 100, 100));
  right.pointerX = 400, right.pointerY = 10;
  u32 toLeft = findHeadEntry(&right, &left), toMiddle = findHeadEntry(&right, &middle);
  EXPECT_LT(toLeft, toMiddle);
  EXPECT_EQ(left.entryX, 0);
}

TEST(PointerOffsets, PixelsBecomeUnitsOfTheScreensMillimetres) {
  HeadArea a = area(1000, 2000, 0, 0);
  pointerOffsetToUnitsBySize(&a, 1280, 338, 1024, 270, 640, -1);
  EXPECT_EQ(a.pointerX, 1000 + i32(640LL * 338 * 10000 / 1280));
  EXPECT_EQ(a.pointerY, 2000 - 270 * 10000 / 1024);
  EXPECT_EQ(a.entryX, a.pointerX);
}

// --- Keycodes -------------------------------------------------------------------------------

struct KeycodeCase {
  u32 keycode, metaMin, metaMax, headMin, headMax, expected;
};

class KeycodeToHead : public testing::TestWithParam<KeycodeCase> {};

TEST_P(KeycodeToHead, ShiftsClampsOrMarksOutside) {
  const KeycodeCase& c = GetParam();
  EXPECT_EQ(shiftKeycodeToHead(c.keycode, c.metaMin, c.metaMax, c.headMin, c.headMax), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Ranges, KeycodeToHead,
                         testing::Values(KeycodeCase{0, 8, 255, 8, 255, 0},       // none stays none
                                         KeycodeCase{38, 8, 255, 8, 255, 38},     // same ranges
                                         KeycodeCase{38, 8, 255, 10, 255, 40},    // head starts later
                                         KeycodeCase{255, 8, 255, 10, 200, 200},  // clamped to the head
                                         KeycodeCase{7, 8, 255, 8, 255, 7},       // below the meta range
                                         KeycodeCase{20, 30, 100, 12, 255, 11}));  // below: head minimum - 1

TEST(KeycodeToMeta, ShiftsByTheServersMinimum) {
  EXPECT_EQ(shiftKeycodeToMeta(38, 8, 8), 38u);
  EXPECT_EQ(shiftKeycodeToMeta(40, 10, 8), 38u);
  EXPECT_EQ(shiftKeycodeToMeta(9, 10, 8) & 0xffu, 7u);
}

// --- Meta time stamps ------------------------------------------------------------------------

class MetaTime : public testing::Test {
 protected:
  ServerDisplay a{}, b{};
  void SetUp() override {
    inputState.lastMetaTime = 0;
    inputState.lastTimeDisplay = nullptr;
    timeDisplay = &a;
    a.clockOffsetMs = 0;
    b.clockOffsetMs = 5000;  // B's clock runs 5 s ahead
  }
  void TearDown() override { timeDisplay = nullptr; }
};

TEST_F(MetaTime, NeverGoesBackwardsAcrossDisplays) {
  EXPECT_EQ(translateServerTimestamp(0, &a), 0u);
  EXPECT_EQ(translateServerTimestamp(10000, &a), 10000u);
  EXPECT_EQ(translateServerTimestamp(14000, &b), 10000u);  // 9000 on the meta clock: held at the last
  EXPECT_EQ(translateServerTimestamp(16000, &b), 11000u);
  EXPECT_EQ(translateServerTimestamp(10500, &a), 11000u);
  EXPECT_EQ(translateServerTimestamp(10800, &b), 5800u);   // the same display may report an older event
}

TEST_F(MetaTime, AServerClockWrapCountsAsLater) {
  EXPECT_EQ(translateServerTimestamp(0xfffff000u, &a), 0xfffff000u);
  EXPECT_EQ(translateServerTimestamp(0x1000u + 5000, &b), 0x1000u);
  EXPECT_EQ(translateServerTimestamp(0x2000u, &a), 0x2000u);
}

// --- Rate limit on a stepped clock --------------------------------------------------------------

u64 gNowMs;
u64 fakeClock() { return gNowMs; }
int fakePoll(pollfd*, nfds_t, int timeoutMs) {
  gNowMs += u64(timeoutMs);
  return 0;
}

struct SentMove {
  u64 at;
  bool relative;
  i32 x, y;
};
std::vector<SentMove> gSent;

class RateLimit : public testing::Test {
 protected:
  Head head{};
  void SetUp() override {
    gNowMs = 1000000;
    gSent.clear();
    ordersInit();
    ordersSetClock(fakeClock);
    ordersSetPoll(fakePoll);
    ordersRun(0);
    setPointerMoveSink([](Head*, bool relative, i32 x, i32 y) { gSent.push_back({gNowMs, relative, x, y}); });
    head.pointerSampleRate = 10;
  }
  void TearDown() override {
    setPointerMoveSink(nullptr);
    ordersFreeAll();
    ordersSetClock(nullptr);
    ordersSetPoll(nullptr);
  }
};

TEST_F(RateLimit, OneMovePerPeriodCarryingTheCollectedMotion) {
  moveServerPointer(kXrcMouse, &head, 3, 0, true);
  moveServerPointer(kXrcMouse, &head, 4, -1, true);
  EXPECT_TRUE(gSent.empty());
  for (int i = 0; i < 5 && gSent.empty(); i++) ordersRun(kOrdersMaxWait);
  ASSERT_EQ(gSent.size(), 1u);
  EXPECT_TRUE(gSent[0].relative);
  EXPECT_EQ(gSent[0].x, 7);
  EXPECT_EQ(gSent[0].y, -1);
  // An absolute move replaces what was collected.
  moveServerPointer(kXrcMouse, &head, 2, 2, true);
  moveServerPointer(kXrcMouse, &head, 500, 400, false);
  for (int i = 0; i < 5 && gSent.size() < 2; i++) ordersRun(kOrdersMaxWait);
  ASSERT_EQ(gSent.size(), 2u);
  EXPECT_FALSE(gSent[1].relative);
  EXPECT_EQ(gSent[1].x, 500);
  EXPECT_GE(gSent[1].at - gSent[0].at, 100u);
  head.pointerSampleRate = 0;
  moveServerPointer(kXrcMouse, &head, 1, 1, true);
  EXPECT_EQ(gSent.size(), 3u);  // without a rate it goes out at once
}

// The timer must not fire for a head that is freed.
TEST_F(RateLimit, AHeadThatLeavesDropsItsHeldBackMove) {
  auto* leaving = static_cast<Head*>(calloc(1, sizeof(Head)));
  leaving->pointerSampleRate = 10;
  moveServerPointer(kXrcMouse, leaving, 3, 0, true);
  inputState.pointerHead = leaving;
  forgetHeadInput(leaving);
  EXPECT_EQ(inputState.pointerHead, nullptr);
  free(leaving);
  for (int i = 0; i < 3; i++) ordersRun(kOrdersMaxWait);
  EXPECT_TRUE(gSent.empty());
}

// --- Rules of the intake ---------------------------------------------------------------------

TEST(IntakeRules, PlainClicks) {
  EXPECT_TRUE(isPlainClick(1, Button1Mask));
  EXPECT_TRUE(isPlainClick(5, Button5Mask | ShiftMask));
  EXPECT_FALSE(isPlainClick(2, Button1Mask | Button2Mask));  // button 1 still held
  EXPECT_FALSE(isPlainClick(6, 0));
  EXPECT_FALSE(isPlainClick(1, 0));
}

TEST(IntakeRules, AccelerationAboveTheThreshold) {
  EXPECT_EQ(accelerateDelta(3, 4, 2, 1), 3);
  EXPECT_EQ(accelerateDelta(10, 4, 2, 1), 16);
  EXPECT_EQ(accelerateDelta(-10, 4, 2, 1), -16);
  EXPECT_EQ(accelerateDelta(7, 4, 3, 2), 8);
}

TEST(IntakeRules, AJumpOfMoreThan200RestartsTheReference) {
  i32 dx, dy;
  EXPECT_TRUE(motionDelta(100, 100, 300, 100, &dx, &dy));
  EXPECT_EQ(dx, 200);
  EXPECT_FALSE(motionDelta(100, 100, 301, 100, &dx, &dy));
  EXPECT_FALSE(motionDelta(100, 100, 100, -101, &dx, &dy));
}

TEST(HeadTransforms, RotationKeepsPointsInsideAndZoomScales) {
  Head head{};
  head.zoomX = head.zoomY = 1.0;
  const struct {
    u32 rotation;
    i32 x, y, ex, ey;
  } cases[] = {{0, 0, 0, 0, 0}, {1, 0, 0, 0, 99}, {2, 0, 0, 99, 49}, {3, 0, 0, 49, 0}, {1, 99, 49, 49, 0}};
  for (const auto& c : cases) {
    head.rotation = c.rotation;
    i32 x = c.x, y = c.y;
    rotatePointForHead(&x, &y, 100, 50, &head);
    EXPECT_EQ(x, c.ex) << c.rotation;
    EXPECT_EQ(y, c.ey) << c.rotation;
  }
  head.rotation = 1, head.zoomX = 2.0, head.zoomY = 0.5;
  i32 x = 10, y = 20;
  rotatePointForHead(&x, &y, 100, 50, &head);
  EXPECT_EQ(x, 40);
  EXPECT_EQ(y, 44);
  // A client's cursor that the zoom makes too large for the scaler is
  // refused before its copy is allocated, not copied in part.
  XImage* cursor = ximageCreateWithData(ximageBitmapFormat(), 32, 32);
  ASSERT_NE(cursor, nullptr);
  bool owned = false;
  head.rotation = 0, head.zoomX = head.zoomY = 1100;
  EXPECT_EQ(scaleImageForHead(cursor, false, &owned, &head), nullptr);
  EXPECT_FALSE(owned);
  XDestroyImage(cursor);
}

TEST(HeadTransforms, ColormapEntriesByIndexOrByChannelMasks) {
  u16 r[256] = {}, g[256] = {}, b[256] = {};
  ColormapTables pseudo{r, g, b, 16, PseudoColor, 0, 0, 0};
  setColormapEntry(&pseudo, 17, 100, 200, 300, DoRed | DoBlue);
  XColor colour{};
  getColormapEntry(&pseudo, 1, &colour);
  EXPECT_EQ(colour.red, 100);
  EXPECT_EQ(colour.green, 0);
  EXPECT_EQ(colour.blue, 300);
  ColormapTables direct{r, g, b, 256, DirectColor, 0xff0000, 0xff00, 0xff};
  setColormapEntry(&direct, 0x030201, 7, 8, 9, DoRed | DoGreen | DoBlue);
  EXPECT_EQ(r[3], 7);
  EXPECT_EQ(g[2], 8);
  EXPECT_EQ(b[1], 9);
}

TEST(PointerHelpers, ShorterButtonMapsDisableTheRest) {
  const u8 three[] = {3, 2, 1};
  u8 five[5] = {9, 9, 9, 9, 9};
  mergeButtonMaps(three, 3, five, 5);
  const u8 expected[] = {3, 2, 1, 0, 0};
  EXPECT_EQ(memcmp(five, expected, 5), 0);
}

TEST(PointerHelpers, AlphaOf200AndAboveSetsTheMask) {
  const u32 pixels[] = {199u << 24, 200u << 24, 0xffu << 24, 0};
  u8 bits[1];
  alphaMaskBits(pixels, 4, 1, 24, 0xff, bits);
  EXPECT_EQ(bits[0], 0x6);
}

// --- Heads by point and ids --------------------------------------------------------------------

TEST(HeadsByPoint, RightAndBottomEdgesBelongToTheNeighbour) {
  MetaScreen screen{};
  Head a{}, b{};
  a.logical = {0, 0, 100, 50};
  b.logical = {100, 0, 100, 50};
  screen.heads = &a;
  a.next = &b;
  EXPECT_EQ(findHeadAtPoint(&screen, 0, 0), &a);
  EXPECT_EQ(findHeadAtPoint(&screen, 99, 49), &a);
  EXPECT_EQ(findHeadAtPoint(&screen, 100, 0), &b);
  EXPECT_EQ(findHeadAtPoint(&screen, 150, 50), nullptr);
  EXPECT_EQ(findHeadAtPoint(&screen, -1, 0), nullptr);
}

class ReverseIds : public testing::Test {
 protected:
  test::DatabaseRig rig;
  struct _XDisplay connection{};
  ServerDisplay server{};
  Head h0{}, h1{};
  MetaScreen screen{};
  test::TestClient client{3};
  VisualRecord metaVisuals[2]{};
  VisualRecord matches[2]{};

  void SetUp() override {
    connection.resource_base = 0x1400000;
    connection.resource_mask = 0x1fffff;
    server.display = reinterpret_cast<Display*>(&connection);
    server.baseShift = 0, server.proxyIdShift = 1, server.indexMask = 0x1;
    server.firstHead = &h0;
    h0.nextOnDisplay = &h1;
    for (Head* h : {&h0, &h1}) {
      h->serverDisplay = &server;
      h->metaScreen = &screen;
    }
    h1.numberOnDisplay = 1;
    h0.root = 0x3ad, h1.root = 0x3ae;
    h0.defaultColormap = 0x21, h1.defaultColormap = 0x22;
    h0.rootWindow = 0x1400005, h1.colormap = 0x1400009, h1.cursorWindow = 0x140000a;
    screen.heads = &h0;
    h0.next = &h1;
    screen.rootId = 32, screen.defaultColormap = 33;
    metaVisuals[0].visualId = 0x50, metaVisuals[1].visualId = 0x51;
    matches[0].visualId = 0x21, matches[1].visualId = 0x77;
    screen.visuals = metaVisuals, screen.visualCount = 2;
    h1.visualMatches = matches, h1.visualMatchCount = 2;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    setClientServerIdBase(3, &h0, 0x600000);
  }
};

TEST_F(ReverseIds, ServerIdsGoBackToTheIdsClientsKnow) {
  for (const Head* head : {&h0, &h1}) {
    for (u32 local : {1u, 5u, 0xfffffu}) {
      u32 onServer = translateXid(client.id(local), RT_WINDOW, head);
      EXPECT_EQ(mapServerXidToClient(onServer, &server), client.id(local)) << std::hex << onServer;
      EXPECT_EQ(findHeadForServerXid(onServer, &server), head);
    }
  }
  const struct {
    u32 id, expected;
  } cases[] = {
      {0, 0}, {1, 1},                      // None and PointerRoot
      {0x3ad, 32}, {0x3ae, 32},            // every head's root is the meta root
      {0x21, 33}, {0x22, 33},              // and its default colormap the meta one
      {0x1400005, 32}, {0x1400009, 33},    // the proxy's own stand-ins for them
      {0x140000a, 0},                      // another window of the proxy's own
      {0x1400077, 0x1400077},              // an own id no head keeps
      {0x800005, 0x800005},                // a client base no slot has
      {0x999, 0x999},                      // a server id of no head
  };
  for (const auto& c : cases) EXPECT_EQ(mapServerXidToClient(c.id, &server), c.expected) << std::hex << c.id;
  EXPECT_EQ(findHeadForServerXid(0x3ae, &server), &h1);
  EXPECT_EQ(findHeadForServerXid(0x140000a, &server), &h1);
  EXPECT_EQ(findHeadForServerXid(0x1400077, &server), nullptr);
}

TEST_F(ReverseIds, VisualsByTheHeadsMatches) {
  EXPECT_EQ(mapServerXidToClientByType(RT_VISUAL, 0x77, &h1), 0x51u);
  EXPECT_EQ(mapServerXidToClientByType(RT_VISUAL, 0x21, &h1), 0x50u);
  EXPECT_EQ(mapServerXidToClientByType(RT_COLORMAP, 0x22, &h1), 33u);
}

// --- The poll stack -----------------------------------------------------------------------------

class PollStack : public testing::Test {
 protected:
  void SetUp() override {
    ordersInit();
    inputState.pollCount = 0;
    inputState.pollInterval = 0;
    inputState.pointerHead = nullptr;
  }
  void TearDown() override {
    while (inputState.pollCount) popPointerPollInterval(kXrcMouse);
    ordersFreeAll();
  }
};

TEST_F(PollStack, TheSmallestPushedIntervalPollsUntilTheLastPop) {
  pushPointerPollInterval(kXrcMouse, 1000);
  EXPECT_TRUE(pointerPollActive());
  EXPECT_EQ(inputState.pollInterval, 1000u);
  pushPointerPollInterval(kXrcMouse, 50);
  pushPointerPollInterval(kXrcMouse, 60);
  EXPECT_EQ(inputState.pollInterval, 50u);
  ASSERT_NE(inputState.pollTimer, nullptr);
  EXPECT_EQ(orderTime(inputState.pollTimer), 50u);
  popPointerPollInterval(kXrcMouse);  // the 60 goes: the minimum stays
  EXPECT_EQ(inputState.pollInterval, 50u);
  popPointerPollInterval(kXrcMouse);
  EXPECT_EQ(inputState.pollInterval, 1000u);
  popPointerPollInterval(kXrcMouse);
  EXPECT_FALSE(pointerPollActive());
  EXPECT_EQ(inputState.pollTimer, nullptr);
  popPointerPollInterval(kXrcMouse);  // popping an empty stack does nothing
  for (u32 i = 0; i < kPollStackSlots + 1; i++) pushPointerPollInterval(kXrcMouse, 100 + i);
  EXPECT_EQ(inputState.pollCount, kPollStackSlots);
}

TEST_F(PollStack, OverlappingHeadsPollEvery50MsUntilTheyPartAgain) {
  MetaScreen screen{};
  ServerDisplay one{}, two{};
  Head a{}, b{};
  a.serverDisplay = &one, b.serverDisplay = &two;
  a.logical = {0, 0, 100, 100};
  b.logical = {50, 0, 100, 100};
  screen.heads = &a;
  a.next = &b;
  MetaScreen* saved = proxyState.screens;
  proxyState.screens = &screen;
  inputControlDisplay = &one;
  markOverlappingHeads();
  EXPECT_TRUE(b.input.overlapped);   // b shows the pointer when it is over a
  EXPECT_FALSE(a.input.overlapped);  // the input-control display's head shows its own
  EXPECT_EQ(inputState.pollInterval, 50u);
  EXPECT_EQ(inputState.pollCount, 1u);
  b.logical.x = 100;
  markOverlappingHeads();
  EXPECT_FALSE(b.input.overlapped);
  EXPECT_EQ(inputState.pollCount, 0u);
  proxyState.screens = saved;
  inputControlDisplay = nullptr;
}

TEST(TrackingReplies, RepliesOfUnknownRootsOrOtherServersAreIgnored) {
  test::LogCapture log({&logChXhint});
  int fakeConnection = 0;
  ServerDisplay one{}, two{};
  one.display = reinterpret_cast<Display*>(&fakeConnection);
  MetaScreen screen{};
  Head a{}, b{};
  a.serverDisplay = &one, a.display = one.display, a.root = 0x100;
  b.serverDisplay = &two, b.root = 0x200;
  screen.heads = &a;
  a.next = &b;
  MetaScreen* saved = proxyState.screens;
  proxyState.screens = &screen;
  inputState.pointerHead = &b;
  std::vector<u8> storage(sizeof(ServerLink) + 8, 0);
  auto* link = reinterpret_cast<ServerLink*>(storage.data());
  link->server.display = &one;
  link->server.displayName = ":7";
  u8 reply[32] = {1, 1};
  u32 root = 0x999;
  memcpy(reply + 8, &root, 4);
  EXPECT_EQ(handleTrackingPointerReply(link, reply, nullptr), 1);
  EXPECT_TRUE(log.contains("Xhint: Ignoring query pointer reply (unknown root 0x999) from :7"));
  root = 0x100;
  memcpy(reply + 8, &root, 4);
  handleTrackingPointerReply(link, reply, nullptr);
  EXPECT_TRUE(log.contains("Xhint: Ignoring query pointer reply (wrong server) from :7"));
  EXPECT_EQ(inputState.pointerHead, &b);
  proxyState.screens = saved;
  inputState.pointerHead = nullptr;
}

// --- The resource server ------------------------------------------------------------------------

struct ServerCase {
  const char* what;
  bool dynamic;
  u32 tagsA, tagsB;
  u8 inWindowA, inWindowB;
  bool needed;
};

class ResourceServer : public testing::TestWithParam<ServerCase> {};

TEST_P(ResourceServer, Needed) {
  const ServerCase& c = GetParam();
  MetaScreen screen{};
  Head a{}, b{};
  a.tags = c.tagsA, b.tags = c.tagsB;
  a.inWindow = c.inWindowA, b.inWindow = c.inWindowB;
  // Role tags need a server behind the head.
  ServerDisplay server{};
  a.serverDisplay = b.serverDisplay = &server;
  server.firstHead = &a;
  screen.heads = &a;
  a.next = &b;
  MetaScreen* saved = proxyState.screens;
  u32 savedOptions = proxyConfig.options;
  proxyState.screens = &screen;
  proxyConfig.options = c.dynamic ? kOptionDynamicServer : 0;
  bool needed = !c.needed;
  EXPECT_EQ(decideResourceServer(&needed), nullptr);
  EXPECT_EQ(needed, c.needed);
  proxyState.screens = saved;
  proxyConfig.options = savedOptions;
  atomDisplay = fontDisplay = imageDisplay = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Screens, ResourceServer,
    testing::Values(ServerCase{"heads in windows only", false, 0, 0, 1, 1, true},
                    ServerCase{"an overlay in a window is not enough", false, kHeadTagOverlay, 0, 1, 1, false},
                    ServerCase{"a head on its root", false, 0, 0, 1, 0, false},
                    ServerCase{"dynamic without a static head", true, 0, 0, 0, 0, true},
                    ServerCase{"dynamic with a static head", true, kHeadTagStatic, 0, 0, 0, false},
                    ServerCase{"a static head in a window counts", true, 0, kHeadTagStatic, 1, 1, false}),
    [](const auto& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace palvon
