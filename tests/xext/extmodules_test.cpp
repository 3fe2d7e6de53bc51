// The small extension modules in-process, on a meta screen of two heads
// whose links are never connected (what a handler writes is read back):
// SUN_ALLPLANES drawing rewritten for each head (a window's coordinates on
// the head's root, a zoomed head, relative points, empty sides), a shown
// telepointer taken down around the drawing and put back even when the
// copy fails, XC-MISC's id range answered by the proxy alone, BigReqEnable
// on every server, and the answers each module gives in a lost server's
// place. Clients and links of either byte order.
//
// This program is linked with the allocator's entry points wrapped, so that
// a test can make large allocations fail.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Xext/modules.h"
#include "base/wordswap.h"
#include "support/linkrig.h"
#include "support/resource_rig.h"
#include "xsupport/rclib/pointer.h"

namespace {
// Allocations of this size or more fail while it is not 0.
size_t failFrom = 0;
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* pointer, size_t size);
void* __wrap_malloc(size_t size) { return failFrom && size >= failFrom ? nullptr : __real_malloc(size); }
void* __wrap_calloc(size_t count, size_t size) {
  return failFrom && count * size >= failFrom ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* pointer, size_t size) {
  return failFrom && size >= failFrom ? nullptr : __real_realloc(pointer, size);
}
}

namespace palvon {
namespace {

using test::OfflineLink;
using Bytes = std::vector<u8>;

constexpr u8 kAllPlanes = 200, kAllPlanesOnB = 210, kXCMisc = 136, kBigRequests = 133, kGenericEvent = 128;
constexpr u32 kRootA = 0x111, kRootB = 0x222, kTelepointerId = 0x777;

// One request or message read back, with fields in its writer's order.
struct Wire {
  Bytes bytes;
  bool swapped;
  u16 at16(size_t at) const { return loadU16(bytes.data() + at, swapped); }
  u32 at32(size_t at) const { return loadU32(bytes.data() + at, swapped); }
  i16 signed16(size_t at) const { return static_cast<i16>(at16(at)); }
};

std::vector<Wire> splitRequests(const Bytes& stream, bool swapped) {
  std::vector<Wire> out;
  for (size_t at = 0; at + 4 <= stream.size();) {
    size_t length = size_t{loadU16(stream.data() + at + 2, swapped)} * 4;
    if (length == 0) length = size_t{loadU32(stream.data() + at + 4, swapped)} * 4;
    if (length < 4 || at + length > stream.size()) break;
    out.push_back({Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + length)),
                   swapped});
    at += length;
  }
  return out;
}

std::vector<Wire> splitMessages(const Bytes& stream, bool swapped) {
  std::vector<Wire> out;
  for (size_t at = 0; at + 32 <= stream.size();) {
    size_t length = 32;
    if (stream[at] == 1) length += size_t{loadU32(stream.data() + at + 4, swapped)} * 4;
    if (at + length > stream.size()) break;
    out.push_back({Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + length)),
                   swapped});
    at += length;
  }
  return out;
}

// Byte orders of the client and of the two links (B speaks the other
// order than A).
struct Orders {
  bool clientSwapped;
  bool linkASwapped;
};

class ModuleRig : public ::testing::TestWithParam<Orders> {
 protected:
  void SetUp() override {
    savedConfig = proxyConfig;
    proxyConfig.extensions = nullptr;
    proxyConfig.extensionCount = 0;
    ASSERT_EQ(initClientResourceTable(client()->number), 1);
    resetAllExtensions();
    installBuiltinExtensionModules();
    ASSERT_NE(initExtensionRegistry("SUN_ALLPLANES", 0, kAllPlanes, 0, 0), nullptr);
    ASSERT_NE(initExtensionRegistry("XC-MISC", 0, kXCMisc, 0, 0), nullptr);
    ASSERT_NE(initExtensionRegistry("BIG-REQUESTS", 0, kBigRequests, 0, 0), nullptr);
    ASSERT_NE(initExtensionRegistry("Generic Event Extension", 0, kGenericEvent, 0, 0), nullptr);
    savedLimit = proxyState.maxBigRequestBytes;
    proxyState.maxBigRequestBytes = 1000000;
    buildScreen();
    linkA = std::make_unique<OfflineLink>(client(), orders().linkASwapped);
    linkB = std::make_unique<OfflineLink>(client(), !orders().linkASwapped);
    linkA->link()->server.serverIndex = 0;
    linkB->link()->server.serverIndex = 1;
    // B numbers SUN_ALLPLANES apart.
    for (u32 major = 0; major < 256; major++) codesB.majorToServer[major] = static_cast<u8>(major);
    codesB.majorToServer[kAllPlanes] = kAllPlanesOnB;
    linkB->link()->server.codes = &codesB;
    slots[0] = linkA->link();
    slots[1] = linkB->link();
    client()->links = slots;
    client()->linkCount = 2;
    client()->parser.swapped = orders().clientSwapped;
  }

  void TearDown() override {
    failFrom = 0;
    client()->links = nullptr;
    client()->linkCount = 0;
    proxyState.screens = nullptr;
    releaseScaler(&b.scaler);
    resetAllExtensions();
    setExtensionModules(nullptr, 0);
    proxyState.maxBigRequestBytes = savedLimit;
    proxyConfig = savedConfig;
  }

  // A meta screen of 1000 x 800: head A shows x 0 to 599 as it is, head B
  // shows x 600 to 999 at zoom 2. A window of 200 x 100 at (100, 50).
  void buildScreen() {
    root = allocProxyWindow();
    ASSERT_NE(root, nullptr);
    root->id = 32;
    root->screen = &screen;
    root->windowClass = kInputOutput;
    root->depth = 24;
    root->width = 1000;
    root->height = 800;
    initWindowDefaults(root);
    ASSERT_EQ(addResource(root->id, RT_WINDOW, root), 1);
    windowId = (client()->number << 20) | 1;
    window = createProxyWindow(windowId, root, 100, 50, 200, 100, 0, kInputOutput, 24);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(addResource(windowId, RT_WINDOW, window), 1);
    screen.rootWindow = root;
    screen.rootId = root->id;
    screen.width = 1000;
    screen.height = 800;
    a.serverIndex = 0;
    a.root = kRootA;
    a.logical = {0, 0, 600, 800};
    a.clip = {0, 0, 600, 800};
    b.serverIndex = 1;
    b.root = kRootB;
    b.logical = {600, 0, 400, 800};
    b.clip = {0, 0, 800, 1600};
    b.scaler = createScaler(800, 400, 1600, 800, 0);
    ASSERT_NE(b.scaler, nullptr);
    for (Head* head : {&a, &b}) head->metaScreen = &screen;
    a.next = &b;
    b.back = &a;
    screen.heads = &a;
    screen.mainHead = &a;
    screen.headCount = 2;
    proxyState.screens = &screen;
  }

  const Orders& orders() const { return GetParam(); }
  ProxyClient* client() { return rig.client(); }

  // A request in the client's order: fields given as (offset, width, value).
  struct Field {
    u32 at, width, value;
  };
  Bytes request(u8 major, u8 minor, u32 length, std::initializer_list<Field> fields) {
    Bytes r(length, 0);
    r[0] = major;
    r[1] = minor;
    storeU16(r.data() + 2, static_cast<u16>(length / 4), orders().clientSwapped);
    for (const Field& f : fields) {
      if (f.width == 1) r[f.at] = static_cast<u8>(f.value);
      if (f.width == 2) storeU16(r.data() + f.at, static_cast<u16>(f.value), orders().clientSwapped);
      if (f.width == 4) storeU32(r.data() + f.at, f.value, orders().clientSwapped);
    }
    return r;
  }
  // Through the request prologue, as the client input parser hands it on.
  void send(Bytes r, u32 length = 0) {
    dispatchClientRequest(client(), r.data(), length ? length : static_cast<u32>(r.size()));
  }
  std::vector<Wire> sentTo(std::unique_ptr<OfflineLink>& link) {
    return splitRequests(link->take(), link->link()->writer.swap);
  }
  std::vector<Wire> delivered() { return splitMessages(rig.takeRaw(), orders().clientSwapped); }

  test::DatabaseRig database;
  test::LinkRig rig;
  ProxyConfiguration savedConfig{};
  u32 savedLimit = 0;
  MetaScreen screen{};
  Head a{}, b{};
  ProxyWindow* root = nullptr;
  ProxyWindow* window = nullptr;
  u32 windowId = 0;
  ExtensionCodeMap codesB{};
  ServerLink* slots[kMaxServerLinks] = {};
  std::unique_ptr<OfflineLink> linkA, linkB;
};

const Orders kOrders[] = {{false, false}, {true, false}, {false, true}, {true, true}};
std::string ordersName(const Orders& o) {
  return std::string(o.clientSwapped ? "SwappedClient" : "Client") + (o.linkASwapped ? "SwappedA" : "A");
}

// --- SUN_ALLPLANES ---------------------------------------------------------------------

// One drawing request on the window and the coordinates each head's server
// gets (16-bit fields from byte 8 for segments and rectangles, from 12 for
// points and lines).
struct DrawCase {
  const char* name;
  u8 minor;
  u8 mode;
  std::vector<i16> values;
  std::vector<i16> onA;
  std::vector<i16> onB;
};

const DrawCase kDrawCases[] = {
    // x 5 width 10 on the window at (100, 50): x 105 on A; on B (origin 600,
    // zoom 2) x (105 - 600) x 2 and every size doubled.
    {"Rectangle", 4, 0, {5, 7, 10, 4}, {105, 57, 10, 4}, {-990, 114, 20, 8}},
    {"FilledRectangles", 5, 0, {0, 0, 1, 1, 20, 30, 3, 2}, {100, 50, 1, 1, 120, 80, 3, 2},
     {-1000, 100, 2, 2, -960, 160, 6, 4}},
    // An empty side stays empty.
    {"EmptySides", 4, 0, {5, 7, 0, 4, 5, 7, 6, 0}, {105, 57, 0, 4, 105, 57, 6, 0}, {-990, 114, 0, 8, -990, 114, 12, 0}},
    {"Segments", 3, 0, {0, 0, 10, 10}, {100, 50, 110, 60}, {-1000, 100, -980, 120}},
    {"AbsolutePoints", 1, 0, {5, 5, 8, 5}, {105, 55, 108, 55}, {-990, 110, -984, 110}},
    // Relative points are summed, converted and taken apart again.
    {"RelativePoints", 1, 1, {5, 5, 3, 0, 0, 2}, {105, 55, 3, 0, 0, 2}, {-990, 110, 6, 0, 0, 4}},
    {"RelativeLine", 2, 1, {0, 0, -1, -1}, {100, 50, -1, -1}, {-1000, 100, -2, -2}},
};

class AllPlanesDrawing : public ModuleRig {};

TEST_P(AllPlanesDrawing, EveryHeadGetsTheDrawingOnItsRootAtTheWindowsPlace) {
  for (const DrawCase& c : kDrawCases) {
    SCOPED_TRACE(c.name);
    u32 start = c.minor <= 2 ? 12 : 8;
    u32 length = start + 2 * static_cast<u32>(c.values.size());
    Bytes r = request(kAllPlanes, c.minor, length, {{4, 4, windowId}, {8, 1, c.mode}});
    for (size_t k = 0; k < c.values.size(); k++)
      storeU16(r.data() + start + 2 * k, static_cast<u16>(c.values[k]), orders().clientSwapped);
    send(r);
    for (auto [link, root, major, expected] :
         {std::tuple{&linkA, kRootA, kAllPlanes, &c.onA}, std::tuple{&linkB, kRootB, kAllPlanesOnB, &c.onB}}) {
      std::vector<Wire> sent = sentTo(*link);
      ASSERT_EQ(sent.size(), 1u);
      const Wire& w = sent[0];
      EXPECT_EQ(w.bytes[0], major);
      EXPECT_EQ(w.bytes[1], c.minor);
      EXPECT_EQ(w.at32(4), root);
      if (c.minor <= 2) {
        EXPECT_EQ(w.bytes[8], c.mode);
      }
      ASSERT_EQ(w.bytes.size(), length);
      std::vector<i16> got;
      for (size_t k = 0; k < c.values.size(); k++) got.push_back(w.signed16(start + 2 * k));
      EXPECT_EQ(got, *expected);
    }
  }
  EXPECT_TRUE(delivered().empty()) << "no answer to a drawing";
}

TEST_P(AllPlanesDrawing, AShownTelepointerIsTakenDownAroundTheDrawingAndPutBackWhenTheCopyFails) {
  Telepointer telepointer{};
  telepointer.kind = kTelepointerWindow;
  telepointer.shown = 1;
  telepointer.window = kTelepointerId;
  a.telepointer = &telepointer;
  send(request(kAllPlanes, 4, 16, {{4, 4, windowId}, {12, 2, 1}, {14, 2, 1}}));
  std::vector<Wire> sent = sentTo(linkA);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].bytes[0], X_GrabServer);
  EXPECT_EQ(sent[1].bytes[0], X_UnmapWindow);
  EXPECT_EQ(sent[1].at32(4), kTelepointerId);
  EXPECT_EQ(sent[2].bytes[0], kAllPlanes);
  EXPECT_EQ(sent[3].bytes[0], X_MapWindow);
  EXPECT_EQ(sent[3].at32(4), kTelepointerId);
  EXPECT_EQ(sent[4].bytes[0], X_UngrabServer);
  EXPECT_EQ(sentTo(linkB).size(), 1u) << "no telepointer shown on B";

  // 100,000 points: the copy needs a block of its own, which is refused.
  u32 length = 12 + 4 * 100000;
  Bytes many = request(kAllPlanes, 1, 12, {{4, 4, windowId}});
  many.resize(length, 0);
  many[2] = many[3] = 0;  // arrived in the long form
  failFrom = 300000;
  send(many, length);
  failFrom = 0;
  sent = sentTo(linkA);
  ASSERT_EQ(sent.size(), 4u) << "grab, unmap, map, ungrab: nothing left grabbed or hidden";
  EXPECT_EQ(sent[0].bytes[0], X_GrabServer);
  EXPECT_EQ(sent[1].bytes[0], X_UnmapWindow);
  EXPECT_EQ(sent[2].bytes[0], X_MapWindow);
  EXPECT_EQ(sent[3].bytes[0], X_UngrabServer);
  EXPECT_TRUE(sentTo(linkB).empty()) << "the heads after a failed copy get nothing";
  std::vector<Wire> answers = delivered();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes[0], 0);
  EXPECT_EQ(answers[0].bytes[1], BadAlloc);
  EXPECT_EQ(answers[0].at32(4), 0u);
  EXPECT_EQ(answers[0].bytes[10], kAllPlanes);
}

TEST_P(AllPlanesDrawing, WrongLengthsAreRefusedBeforeAnyServerSeesThem) {
  send(request(kAllPlanes, 1, 12, {{4, 4, windowId}}), 11);
  send(request(kAllPlanes, 4, 12, {{4, 4, windowId}}));  // half a rectangle
  send(request(kAllPlanes, 0, 8, {}));                     // a version query has no body
  EXPECT_TRUE(sentTo(linkA).empty());
  EXPECT_TRUE(sentTo(linkB).empty());
  std::vector<Wire> answers = delivered();
  ASSERT_EQ(answers.size(), 3u);
  u32 lengths[] = {11, 12, 8};
  for (size_t k = 0; k < 3; k++) {
    EXPECT_EQ(answers[k].bytes[1], BadLength);
    EXPECT_EQ(answers[k].at32(4), lengths[k]);
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, AllPlanesDrawing, ::testing::ValuesIn(kOrders),
                         [](const ::testing::TestParamInfo<Orders>& info) { return ordersName(info.param); });

// --- XC-MISC and BIG-REQUESTS --------------------------------------------------------------

class ProxyAnswers : public ModuleRig {};

TEST_P(ProxyAnswers, TheFreeIdRangeComesFromTheProxyAloneAndCountsBothEnds) {
  send(request(kXCMisc, 1, 4, {}));
  EXPECT_TRUE(sentTo(linkA).empty());
  EXPECT_TRUE(sentTo(linkB).empty());
  std::vector<Wire> answers = delivered();
  ASSERT_EQ(answers.size(), 1u);
  const Wire& reply = answers[0];
  EXPECT_EQ(reply.bytes[0], 1);
  EXPECT_EQ(reply.at16(2), client()->requestCounter);
  EXPECT_EQ(reply.at32(4), 0u);
  u32 start = reply.at32(8), count = reply.at32(12);
  // The client's space holds only the window (local id 1): the range runs
  // from the id after it to the top of the space.
  EXPECT_EQ(start, windowId + 1);
  EXPECT_EQ(start + count - 1, (client()->number << 20) | 0xfffff);
}

TEST_P(ProxyAnswers, BigReqEnableReachesEveryServerAndOpensTheLongForm) {
  client()->bigRequests = 0;
  send(request(kBigRequests, 0, 4, {}));
  for (auto* link : {&linkA, &linkB}) {
    std::vector<Wire> sent = sentTo(*link);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[0], kBigRequests);
    EXPECT_EQ(sent[0].at16(2), 1);
  }
  EXPECT_EQ(client()->bigRequests, 1);
}

TEST_P(ProxyAnswers, AVersionQueryTheMainHeadsServerCannotTakeIsAnsweredByTheProxy) {
  send(request(kGenericEvent, 0, 8, {{4, 2, 1}}));
  EXPECT_EQ(sentTo(linkA).size(), 1u) << "the main head's server has it";
  screen.mainHead = &b;
  codesB.majorToServer[kGenericEvent] = 0;  // B lacks it
  send(request(kGenericEvent, 0, 8, {{4, 2, 1}}));
  EXPECT_TRUE(sentTo(linkB).empty());
  std::vector<Wire> answers = delivered();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes[0], 1);
  EXPECT_EQ(answers[0].at16(2), static_cast<u16>(client()->requestCounter));
  EXPECT_EQ(answers[0].at16(8), 1);
  EXPECT_EQ(answers[0].at16(10), 0);
}

// The answer each module gives for a request a lost server still owed.
struct LostCase {
  const char* name;
  u8 major, minor;
  bool reply;
  u32 value8;  // a reply's word at byte 8 (for versions: major << 16 | minor in 16-bit fields)
};

const LostCase kLostCases[] = {
    {"BigReqEnable", kBigRequests, 0, true, 1000000 / 4},
    {"XCMiscGetVersion", kXCMisc, 0, true, 1 << 16 | 1},
    {"GEQueryVersion", kGenericEvent, 0, true, 1 << 16 | 0},
    {"XCMiscGetXIDList", kXCMisc, 2, false, 0},
    {"UnknownBigRequestsMinor", kBigRequests, 7, false, 0},
};

TEST_P(ProxyAnswers, ALostServersOwedAnswersComeOnceFromTheProxy) {
  u64 sequence = 40;
  for (const LostCase& c : kLostCases) {
    SCOPED_TRACE(c.name);
    client()->requestCounter = static_cast<u32>(++sequence);
    ExtensionEntry* entry = &proxyState.extensions.entries[c.major];
    ASSERT_NE(entry->lostServerHook, nullptr);
    entry->lostServerHook(client(), sequence, c.minor, static_cast<u16>(c.major | c.minor << 8));
    std::vector<Wire> answers = delivered();
    ASSERT_EQ(answers.size(), 1u);
    const Wire& m = answers[0];
    EXPECT_EQ(m.at16(2), static_cast<u16>(sequence));
    if (c.reply) {
      EXPECT_EQ(m.bytes[0], 1);
      bool version = c.major != kBigRequests;
      EXPECT_EQ(version ? (u32{m.at16(8)} << 16 | m.at16(10)) : m.at32(8), c.value8);
    } else {
      EXPECT_EQ(m.bytes[0], 0);
      EXPECT_EQ(m.bytes[1], BadImplementation);
      EXPECT_EQ(m.bytes[10], c.major);
      EXPECT_EQ(m.at16(8), c.minor);
    }
  }
  EXPECT_EQ(proxyState.extensions.entries[kAllPlanes].lostServerHook, nullptr) << "SUN_ALLPLANES owes no answers";
}

// A client whose servers are all gone still gets one answer to each
// request that has one.
TEST_P(ProxyAnswers, WithoutAServerToAskTheProxyAnswersAtOnce) {
  client()->linkCount = 0;
  struct Asked {
    u8 major, minor;
    u32 length;
    u8 type;     // 1 reply, 0 error
    u32 value8;  // a reply's word at byte 8
  };
  const Asked asked[] = {{kBigRequests, 0, 4, 1, 1000000 / 4},
                         {kXCMisc, 0, 8, 1, 1 << 16 | 1},
                         {kXCMisc, 2, 8, 0, 0},
                         {kGenericEvent, 0, 8, 1, 1 << 16 | 0},
                         {kAllPlanes, 0, 4, 0, 0}};
  for (const Asked& a : asked) {
    send(request(a.major, a.minor, a.length, {}));
    std::vector<Wire> answers = delivered();
    ASSERT_EQ(answers.size(), 1u) << int{a.major} << "." << int{a.minor};
    EXPECT_EQ(answers[0].bytes[0], a.type);
    EXPECT_EQ(answers[0].at16(2), static_cast<u16>(client()->requestCounter));
    u32 value = a.major == kBigRequests ? answers[0].at32(8) : u32{answers[0].at16(8)} << 16 | answers[0].at16(10);
    EXPECT_EQ(a.type == 1 ? value : answers[0].bytes[1], a.type == 1 ? a.value8 : u32{BadImplementation});
  }
  EXPECT_EQ(client()->bigRequests, 1);
}

TEST_P(ProxyAnswers, TheModuleWordsHoldTheEntriesUntilTheReset) {
  for (auto [word, major] : {std::pair{kModuleBigRequests, kBigRequests}, std::pair{kModuleXCMisc, kXCMisc},
                             std::pair{kModuleAllPlanes, kAllPlanes}, std::pair{kModuleGenericEvent, kGenericEvent}}) {
    EXPECT_EQ(proxyState.extensions.moduleState[word], &proxyState.extensions.entries[major]);
    resetExtension(&proxyState.extensions.entries[major]);
    EXPECT_EQ(proxyState.extensions.moduleState[word], nullptr);
  }
  EXPECT_EQ(proxyState.extensions.entries[kGenericEvent].needsNoServer, 0) << "cleared with its entry";
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ProxyAnswers, ::testing::ValuesIn(kOrders),
                         [](const ::testing::TestParamInfo<Orders>& info) { return ordersName(info.param); });

}  // namespace
}  // namespace palvon
