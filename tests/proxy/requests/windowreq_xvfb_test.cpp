// Window requests through the proxy's handlers onto two real Xvfb servers
// shown side by side as one meta screen (A | B, B optionally zoomed): the
// real windows on both servers follow every request at each head's place,
// the queries answer in meta terms, refused requests send nothing and
// answer as a plain server answers, and VisibilityNotify comes once, from
// the proxy.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "base/outbuffer.h"
#include "support/linkrig.h"
#include "support/rawclient.h"
#include "support/resource_rig.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

constexpr u32 kHeadWidth = 320, kHeadHeight = 240;
constexpr u32 kRoot = 32;

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

// Where a window is on a server: absolute position, size, map state.
struct Seen {
  bool exists = false;
  int x = 0, y = 0;
  unsigned width = 0, height = 0;
  int mapState = -1;
};

// One server shown as one head of the meta screen, with the proxy's own
// connection to it and the head's copy of the meta root.
struct HeadRig {
  std::unique_ptr<Xvfb> xvfb;
  std::unique_ptr<Display, DisplayCloser> own;
  ServerDisplay server{};
  Head head{};

  void open(u32 width, u32 height) {
    xvfb = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", std::to_string(width) + "x" +
                                                                            std::to_string(height) + "x24"});
    ASSERT_TRUE(xvfb->ok()) << xvfb->error();
    own.reset(XOpenDisplay(xvfb->display().c_str()));
    ASSERT_NE(own, nullptr);
  }

  Seen seen(u32 id) {
    Seen s;
    Window root, child;
    unsigned border, depth;
    int x, y;
    xErrorTrapBegin(own.get());
    Status known = XGetGeometry(own.get(), id, &root, &x, &y, &s.width, &s.height, &border, &depth);
    XWindowAttributes attributes{};
    if (known) XGetWindowAttributes(own.get(), id, &attributes);
    if (known) XTranslateCoordinates(own.get(), id, root, 0, 0, &s.x, &s.y, &child);
    XSync(own.get(), False);
    if (xErrorTrapEnd() || !known) return s;
    s.exists = true;
    s.mapState = attributes.map_state;
    return s;
  }

  std::vector<Window> children(Window parent) {
    Window root, up, *list = nullptr;
    unsigned count = 0;
    std::vector<Window> out;
    if (XQueryTree(own.get(), parent, &root, &up, &list, &count)) out.assign(list, list + count);
    if (list) XFree(list);
    return out;
  }
};

class TwoHeads : public ::testing::Test {
 protected:
  HeadRig a, b;
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  MetaScreen screen{};
  VisualRecord visual{};
  u32 nextLocal = 1;

  // B is shown at `zoom` times its logical size, turned by `rotation`
  // quarter turns.
  void build(u32 zoom, u32 rotation = 0) {
    a.open(kHeadWidth, kHeadHeight);
    if (rotation % 2) {
      b.open(kHeadHeight * zoom, kHeadWidth * zoom);
    } else {
      b.open(kHeadWidth * zoom, kHeadHeight * zoom);
    }
    if (HasFatalFailure()) return;
    XSetErrorHandler(xtargetErrorHandler);
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    ASSERT_NE(rig->open(*a.xvfb, false, 0), nullptr);
    ASSERT_NE(rig->open(*b.xvfb, true, 1), nullptr);
    rig->client()->hasLinks = 1;
    ASSERT_EQ(initClientResourceTable(1), 1);
    screen.width = 2 * kHeadWidth;
    screen.height = kHeadHeight;
    visual.visualId = 0x21;
    visual.depth = 24;
    visual.visualClass = TrueColor;
    screen.visuals = screen.rootVisual = &visual;
    screen.visualCount = 1;
    setUpHead(a, 0, HeadRect{0, 0, i32(kHeadWidth), i32(kHeadHeight)}, 1, 0);
    setUpHead(b, 1, HeadRect{i32(kHeadWidth), 0, i32(kHeadWidth), i32(kHeadHeight)}, zoom, rotation);
    screen.heads = &a.head;
    a.head.next = &b.head;
    b.head.back = &a.head;
    screen.mainHead = &a.head;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    ASSERT_TRUE(createRootWindowRecord(&screen, kRoot));
    currentClient = rig->client();
  }

  void setUpHead(HeadRig& h, u32 index, HeadRect logical, u32 zoom, u32 rotation) {
    const ServerSetup& setup = rig->setup(index);
    h.server.display = h.own.get();
    h.server.index = index;
    h.server.firstHead = &h.head;
    // The proxy's 20 id bits under the server's mask, as for a real server.
    computeIdPartition(&h.server, 0xfffff);
    Head& head = h.head;
    head.serverDisplay = &h.server;
    head.serverIndex = index;
    head.metaScreen = &screen;
    head.display = h.own.get();
    head.root = setup.root;
    head.defaultColormap = setup.colormap;
    head.defaultDepth = 24;
    head.logical = logical;
    head.rotation = rotation;
    head.clip = {0, 0, logical.width * i32(zoom), logical.height * i32(zoom)};
    if (rotation % 2) std::swap(head.clip.width, head.clip.height);
    HeadRect whole{0, 0, i32(screen.width), i32(screen.height)}, shown = logical;
    if (zoom != 1 || rotation) {
      proxyConfig.options |= kOptionTavel;
      // The screen's size is the test's own, whatever the heads layer
      // makes of a changed head.
      u32 width = screen.width, height = screen.height;
      ASSERT_EQ(setupHeadScaling(&head), nullptr);
      screen.width = width;
      screen.height = height;
      scaleRectangleRotated(head.scaler, &whole, screen.width, screen.height);
      scaleRectangleRotated(head.scaler, &shown, screen.width, screen.height);
    }
    // The meta root's copy on the head, placed so that the head shows its
    // part of the meta screen.
    head.rootWindow = XCreateSimpleWindow(h.own.get(), setup.root, whole.x - shown.x, whole.y - shown.y,
                                          u32(whole.width), u32(whole.height), 0, 0, 0);
    XMapWindow(h.own.get(), head.rootWindow);
    XSync(h.own.get(), False);
    setClientServerIdBase(1, &head, setup.idBase);
  }

  void TearDown() override {
    currentClient = nullptr;
    rig.reset();
    database.reset();
    for (Head* head : {&a.head, &b.head}) releaseScaler(&head->scaler);
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
  }

  u32 newId() { return (1u << 20) | nextLocal++; }
  u32 onA(u32 id) { return translateXid(id, RT_WINDOW, &a.head); }
  u32 onB(u32 id) { return translateXid(id, RT_WINDOW, &b.head); }

  // Runs a request through the dispatcher, then lets both servers pass it.
  void send(const std::vector<u8>& request) {
    std::vector<u8> copy = request;
    dispatchClientRequest(rig->client(), copy.data(), u32(copy.size()));
    ASSERT_TRUE(rig->sync());
  }

  void createWindow(u32 id, u32 parent, i16 x, i16 y, u16 width, u16 height, u16 border = 0, u32 mask = 0,
                    std::vector<u32> values = {}) {
    std::vector<u8> body(28 + 4 * values.size());
    put32At(body, 0, id);
    put32At(body, 4, parent);
    put16At(body, 8, u16(x));
    put16At(body, 10, u16(y));
    put16At(body, 12, width);
    put16At(body, 14, height);
    put16At(body, 16, border);
    put16At(body, 18, InputOutput);
    put32At(body, 24, mask);
    for (size_t k = 0; k < values.size(); k++) put32At(body, 28 + 4 * k, values[k]);
    send(makeRequest(X_CreateWindow, 0, body));
  }
  void windowRequest(u8 major, u32 id, u8 data = 0) {
    std::vector<u8> body(4);
    put32At(body, 0, id);
    send(makeRequest(major, data, body));
  }
  void configure(u32 id, u16 mask, std::vector<u32> values) {
    std::vector<u8> body(8 + 4 * values.size());
    put32At(body, 0, id);
    put16At(body, 4, mask);
    for (size_t k = 0; k < values.size(); k++) put32At(body, 8 + 4 * k, values[k]);
    send(makeRequest(X_ConfigureWindow, 0, body));
  }
  // The replies, events and errors the client got since the last call.
  std::vector<Message> delivered() { return rig->take(); }
  std::vector<Message> only(u8 type) {
    std::vector<Message> out;
    for (Message& m : delivered()) {
      if ((m[0] & 0x7f) == type) out.push_back(m);
    }
    return out;
  }
};

// --- Requests onto both servers -----------------------------------------------------------------

TEST_F(TwoHeads, EveryWindowRequestChangesTheRealWindowsOnBothServersAlike) {
  build(1);
  if (HasFatalFailure()) return;
  u32 w1 = newId(), w2 = newId();
  createWindow(w1, kRoot, 250, 50, 100, 80, 1);
  Seen onServerA = a.seen(onA(w1)), onServerB = b.seen(onB(w1));
  ASSERT_TRUE(onServerA.exists);
  ASSERT_TRUE(onServerB.exists);
  EXPECT_EQ(onServerA.x, 251);
  EXPECT_EQ(onServerB.x, 251 - i32(kHeadWidth)) << "the meta position less B's origin";
  EXPECT_EQ(onServerB.width, 100u);
  EXPECT_EQ(onServerB.mapState, IsUnmapped);

  windowRequest(X_MapWindow, w1);
  EXPECT_EQ(a.seen(onA(w1)).mapState, IsViewable);
  EXPECT_EQ(b.seen(onB(w1)).mapState, IsViewable);

  configure(w1, CWX | CWY | CWWidth | CWHeight, {400, 60, 120, 90});  // across the seam
  for (Seen s : {a.seen(onA(w1)), b.seen(onB(w1))}) {
    EXPECT_EQ(s.width, 120u);
    EXPECT_EQ(s.height, 90u);
  }
  EXPECT_EQ(a.seen(onA(w1)).x, 401);
  EXPECT_EQ(b.seen(onB(w1)).x, 401 - i32(kHeadWidth));
  EXPECT_EQ(lookupWindow(w1)->x, 401);

  createWindow(w2, kRoot, 380, 40, 150, 150);
  windowRequest(X_MapWindow, w2);
  EXPECT_EQ(a.children(a.head.rootWindow).back(), onA(w2));
  configure(w1, CWStackMode, {Above});
  EXPECT_EQ(a.children(a.head.rootWindow).back(), onA(w1)) << "raised on A";
  EXPECT_EQ(b.children(b.head.rootWindow).back(), onB(w1)) << "raised on B";
  EXPECT_EQ(screen.rootWindow->topChild, lookupWindow(w1));

  windowRequest(X_CirculateWindow, kRoot, 0);  // RaiseLowest: w2 is covered
  EXPECT_EQ(b.children(b.head.rootWindow).back(), onB(w2));
  EXPECT_EQ(screen.rootWindow->topChild, lookupWindow(w2));

  windowRequest(X_UnmapWindow, w1);
  EXPECT_EQ(a.seen(onA(w1)).mapState, IsUnmapped);
  EXPECT_EQ(b.seen(onB(w1)).mapState, IsUnmapped);
  windowRequest(X_MapWindow, w1);

  std::vector<u8> body(12);
  put32At(body, 0, w1);
  put32At(body, 4, w2);
  put16At(body, 8, 5);
  put16At(body, 10, 6);
  send(makeRequest(X_ReparentWindow, 0, body));
  EXPECT_EQ(a.children(onA(w2)), std::vector<Window>{onA(w1)});
  EXPECT_EQ(b.children(onB(w2)), std::vector<Window>{onB(w1)});
  EXPECT_EQ(b.seen(onB(w1)).x, 380 + 5 + 1 - i32(kHeadWidth));
  EXPECT_EQ(b.seen(onB(w1)).mapState, IsViewable);

  windowRequest(X_DestroySubwindows, w2);
  EXPECT_FALSE(a.seen(onA(w1)).exists);
  EXPECT_FALSE(b.seen(onB(w1)).exists);
  EXPECT_EQ(lookupWindow(w1), nullptr);
  windowRequest(X_DestroyWindow, w2);
  EXPECT_FALSE(b.seen(onB(w2)).exists);
  EXPECT_TRUE(a.children(a.head.rootWindow).empty());
  EXPECT_EQ(screen.rootWindow->topChild, nullptr);
}

// The requests queued on A's link and not yet written (A speaks the
// proxy's byte order).
std::vector<Message> queuedOnA(ServerLink* link) {
  std::vector<u8> bytes;
  for (OutSegment* s = link->output.head; s; s = s->next) bytes.insert(bytes.end(), s->readPosition, s->end);
  std::vector<Message> requests;
  for (size_t at = 0; at + 4 <= bytes.size();) {
    size_t length = 4u * get16At(bytes, at + 2);
    if (!length || at + length > bytes.size()) break;
    requests.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + length));
    at += length;
  }
  return requests;
}

TEST_F(TwoHeads, ConditionalStackModesReachTheHeadsAsTheModelDecidedThem) {
  build(1);
  if (HasFatalFailure()) return;
  u32 low = newId(), high = newId(), apart = newId();
  createWindow(low, kRoot, 0, 0, 100, 100);
  createWindow(high, kRoot, 50, 50, 100, 100);
  createWindow(apart, kRoot, 500, 0, 50, 50);
  for (u32 w : {low, high, apart}) windowRequest(X_MapWindow, w);
  struct Case {
    u32 window, sibling, mode;
    u16 sentMask;
    u32 sentMode;
  } cases[] = {
      {low, high, TopIf, CWStackMode, Above},  // covered by its sibling: to the top
      {apart, 0, TopIf, 0, 0},                 // covered by none: stays between, nothing to stack
      {high, 0, Opposite, CWStackMode, Above},  // covered at the bottom: to the top
      {high, 0, BottomIf, CWStackMode, Below},  // covering low: to the bottom
  };
  for (const Case& c : cases) {
    std::vector<u32> values;
    u16 mask = CWStackMode;
    if (c.sibling) {
      mask |= CWSibling;
      values.push_back(c.sibling);
    }
    values.push_back(c.mode);
    std::vector<u8> body(8 + 4 * values.size());
    put32At(body, 0, c.window);
    put16At(body, 4, mask);
    for (size_t k = 0; k < values.size(); k++) put32At(body, 8 + 4 * k, values[k]);
    std::vector<u8> request = makeRequest(X_ConfigureWindow, 0, body);
    dispatchClientRequest(rig->client(), request.data(), u32(request.size()));
    std::vector<Message> queued = queuedOnA(clientLink(rig->client(), 0));
    ASSERT_FALSE(queued.empty());
    const Message& sent = queued.back();
    EXPECT_EQ(sent[0], X_ConfigureWindow);
    EXPECT_EQ(get16At(sent, 8), c.sentMask) << "no sibling once decided";
    if (c.sentMask & CWStackMode) {
      EXPECT_EQ(get32At(sent, 12), c.sentMode);
    }
    ASSERT_TRUE(rig->sync());
    std::vector<Window> onServer = a.children(a.head.rootWindow);
    std::vector<Window> inModel;
    for (ProxyWindow* w = screen.rootWindow->bottomChild; w; w = w->nextUpper) inModel.push_back(onA(w->id));
    EXPECT_EQ(onServer, inModel) << "the server stacks as the model";
  }
}

TEST_F(TwoHeads, RootWindowsAreNeitherDestroyedNorUnmapped) {
  build(1);
  if (HasFatalFailure()) return;
  u64 before = clientLink(rig->client(), 0)->requestsSent;
  windowRequest(X_DestroyWindow, kRoot);
  windowRequest(X_UnmapWindow, kRoot);
  configure(kRoot, CWX, {5});
  EXPECT_EQ(clientLink(rig->client(), 0)->requestsSent, before + 3) << "only the markers of the test's syncs";
  EXPECT_EQ(a.seen(a.head.rootWindow).mapState, IsViewable);
  EXPECT_TRUE(delivered().empty()) << "no error either";
}

// --- Queries ----------------------------------------------------------------------------------------

TEST_F(TwoHeads, QueriesAnswerWithClientIdsTheMetaRootAndMetaGeometry) {
  build(2);  // B shows its half twice as large
  if (HasFatalFailure()) return;
  screen.mainHead = &b.head;  // the queries go to the zoomed head
  u32 w = newId(), child = newId();
  createWindow(w, kRoot, 400, 30, 100, 80, 2, CWEventMask, {StructureNotifyMask | KeyPressMask});
  createWindow(child, w, 10, 10, 20, 20);
  Seen zoomed = b.seen(onB(w));
  EXPECT_EQ(zoomed.width, 200u);
  EXPECT_EQ(zoomed.x, 2 * (402 - i32(kHeadWidth))) << "the inside corner, doubled, on B";
  delivered();

  windowRequest(X_GetGeometry, w);
  std::vector<Message> replies = only(X_Reply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(get32At(replies[0], 8), kRoot);
  EXPECT_EQ(i16(get16At(replies[0], 12)), 400);
  EXPECT_EQ(i16(get16At(replies[0], 14)), 30);
  EXPECT_EQ(get16At(replies[0], 16), 100);
  EXPECT_EQ(get16At(replies[0], 18), 80);
  EXPECT_EQ(get16At(replies[0], 20), 2);
  EXPECT_EQ(replies[0][1], 24);

  windowRequest(X_GetGeometry, kRoot);
  replies = only(X_Reply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(get16At(replies[0], 12), 0);
  EXPECT_EQ(get16At(replies[0], 14), 0);

  windowRequest(X_QueryTree, kRoot);
  replies = only(X_Reply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(get32At(replies[0], 8), kRoot);
  EXPECT_EQ(get32At(replies[0], 12), 0u) << "the meta root has no parent";
  ASSERT_EQ(get16At(replies[0], 16), 1);
  EXPECT_EQ(get32At(replies[0], 32), w);

  windowRequest(X_QueryTree, w);
  replies = only(X_Reply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(get32At(replies[0], 12), kRoot);
  ASSERT_EQ(get16At(replies[0], 16), 1);
  EXPECT_EQ(get32At(replies[0], 32), child);

  windowRequest(X_GetWindowAttributes, w);
  replies = only(X_Reply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(get32At(replies[0], 36), u32(StructureNotifyMask | KeyPressMask)) << "your event mask";
  EXPECT_EQ(get32At(replies[0], 32), u32(StructureNotifyMask | KeyPressMask)) << "all event masks";
  EXPECT_EQ(get32At(replies[0], 28), screen.defaultColormap) << "the meta screen's colormap";
  EXPECT_EQ(replies[0][26], IsUnmapped);
}

TEST_F(TwoHeads, OnATurnedHeadWindowsAreTurnedAndQueriesTurnBack) {
  build(1, 1);  // B turned a quarter
  if (HasFatalFailure()) return;
  screen.mainHead = &b.head;
  u32 w = newId();
  createWindow(w, kRoot, 400, 30, 100, 80);
  // (x, y) goes to (y, 639 - x): the meta rectangle's right edge becomes
  // its top, B showing meta x 639 down to 320 from its top.
  Seen turned = b.seen(onB(w));
  EXPECT_EQ(turned.width, 80u);
  EXPECT_EQ(turned.height, 100u);
  EXPECT_EQ(turned.x, 30);
  EXPECT_EQ(turned.y, 639 - 499);
  EXPECT_EQ(a.seen(onA(w)).width, 100u) << "unturned on A";
  configure(w, CWX | CWWidth, {420, 60});
  turned = b.seen(onB(w));
  EXPECT_EQ(turned.height, 60u);
  EXPECT_EQ(turned.y, 639 - 479);
  delivered();
  windowRequest(X_GetGeometry, w);
  std::vector<Message> replies = only(X_Reply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(i16(get16At(replies[0], 12)), 420);
  EXPECT_EQ(i16(get16At(replies[0], 14)), 30);
  EXPECT_EQ(get16At(replies[0], 16), 60);
  EXPECT_EQ(get16At(replies[0], 18), 80);
}

// --- Refusals -----------------------------------------------------------------------------------------

// Ids as the proxy's client and as a plain server's client know them.
struct Ids {
  u32 root, window, other, child, fresh;
};

struct Refusal {
  const char* name;
  std::function<std::vector<u8>(const Ids&)> request;
  u8 code;
  bool sameValue = true;  // false: the proxy names the window where the server names the new parent
};

std::vector<u8> create(u32 id, u32 parent, u32 mask, size_t values) {
  std::vector<u8> body(28 + 4 * values);
  put32At(body, 0, id);
  put32At(body, 4, parent);
  put16At(body, 12, 10);
  put16At(body, 14, 10);
  put16At(body, 18, InputOutput);
  put32At(body, 24, mask);
  return makeRequest(X_CreateWindow, 0, body);
}

std::vector<u8> onWindow(u8 major, u8 data, u32 id, std::vector<u32> words = {}) {
  std::vector<u8> body(4 + 4 * words.size());
  put32At(body, 0, id);
  for (size_t k = 0; k < words.size(); k++) put32At(body, 4 + 4 * k, words[k]);
  return makeRequest(major, data, body);
}

const Refusal kRefusals[] = {
    {"CreateWithMaskBit15", [](const Ids& i) { return create(i.fresh, i.root, 0x8000, 1); }, BadValue},
    {"CreateLengthNotMask", [](const Ids& i) { return create(i.fresh, i.root, CWBackPixel, 0); }, BadLength},
    {"CreateUsedId", [](const Ids& i) { return create(i.window, i.root, 0, 0); }, BadIDChoice},
    {"CreateUnknownParent", [](const Ids& i) { return create(i.fresh, i.fresh + 1, 0, 0); }, BadWindow},
    {"CirculateDirection2", [](const Ids& i) { return onWindow(X_CirculateWindow, 2, i.window); }, BadValue},
    {"SaveSetOwnWindow", [](const Ids& i) { return onWindow(X_ChangeSaveSet, 0, i.window); }, BadMatch},
    {"ConfigureSiblingNoStackMode",
     [](const Ids& i) {
       std::vector<u8> r = onWindow(X_ConfigureWindow, 0, i.window, {CWSibling, i.other});
       // The mask is 16 bits and padded: value list after it.
       put16At(r, 8, CWSibling);
       put16At(r, 10, 0);
       return r;
     },
     BadMatch},
    {"ReparentIntoOwnChild",
     [](const Ids& i) { return onWindow(X_ReparentWindow, 0, i.window, {i.child, 0}); }, BadMatch, false},
    {"ConfigureNotASibling",
     [](const Ids& i) {
       std::vector<u8> r = onWindow(X_ConfigureWindow, 0, i.window, {0, i.child, Above});
       put16At(r, 8, CWSibling | CWStackMode);
       return r;
     },
     BadMatch},
    {"ConfigureZeroWidthWithSiblingOnly",
     [](const Ids& i) {
       std::vector<u8> r = onWindow(X_ConfigureWindow, 0, i.window, {0, 0, i.other});
       put16At(r, 8, CWWidth | CWSibling);
       return r;
     },
     BadMatch},
    {"MapUnknown", [](const Ids& i) { return onWindow(X_MapWindow, 0, i.fresh); }, BadWindow},
};

class Refusals : public TwoHeads, public ::testing::WithParamInterface<Refusal> {};

// The link wrote nothing since `before` but the proxy's own round trips
// (which hold the error until every server has passed the request).
bool onlyRoundTripsSince(ServerLink* link, u64 before) {
  for (u64 s = before + 1; s <= link->requestsSent; s++) {
    if (link->ring->previous->slots[s & (kRingSlots - 1)].key != kKeyNoOperation) return false;
  }
  return true;
}

// The same request on a plain server: the code and value it answers.
std::pair<u8, u32> plainAnswer(int display, const Refusal& refusal, Ids* ids) {
  RawClient raw;
  EXPECT_TRUE(raw.connectUnix(display));
  EXPECT_EQ(raw.setup('l'), 1);
  u32 base = raw.resourceIdBase();
  *ids = {raw.rootWindow(), base | 1, base | 2, base | 3, base | 9};
  raw.send(create(ids->window, ids->root, 0, 0));
  raw.send(create(ids->other, ids->root, 0, 0));
  raw.send(create(ids->child, ids->window, 0, 0));
  raw.send(refusal.request(*ids));
  Bytes error = raw.readMessage();
  EXPECT_EQ(error.size(), 32u);
  if (error.size() < 32) return {0, 0};
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(raw.get16(error, 2), 4) << "the fourth request";
  return {error[1], raw.get32(error, 4)};
}

TEST_P(Refusals, AnsweredAsAPlainServerAnswersWithNothingSentToAnyHead) {
  build(1);
  if (HasFatalFailure()) return;
  const Refusal& refusal = GetParam();
  Ids proxyIds{kRoot, newId(), newId(), newId(), (1u << 20) | 9};
  createWindow(proxyIds.window, kRoot, 0, 0, 10, 10);
  createWindow(proxyIds.other, kRoot, 0, 0, 10, 10);
  createWindow(proxyIds.child, proxyIds.window, 0, 0, 10, 10);
  delivered();
  std::vector<Window> childrenA = a.children(a.head.rootWindow), childrenB = b.children(b.head.rootWindow);
  u64 sentA = clientLink(rig->client(), 0)->requestsSent, sentB = clientLink(rig->client(), 1)->requestsSent;
  std::vector<u8> request = refusal.request(proxyIds);
  dispatchClientRequest(rig->client(), request.data(), u32(request.size()));
  EXPECT_TRUE(onlyRoundTripsSince(clientLink(rig->client(), 0), sentA));
  EXPECT_TRUE(onlyRoundTripsSince(clientLink(rig->client(), 1), sentB));
  ASSERT_TRUE(rig->sync());
  std::vector<Message> errors = only(0);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0][1], refusal.code);
  EXPECT_EQ(get16At(errors[0], 2), u16(rig->client()->requestCounter));
  EXPECT_EQ(a.children(a.head.rootWindow), childrenA);
  EXPECT_EQ(b.children(b.head.rootWindow), childrenB);

  Ids plainIds{};
  auto [code, value] = plainAnswer(a.xvfb->number(), refusal, &plainIds);
  EXPECT_EQ(code, refusal.code);
  // Ids in the value are compared as the two clients know them.
  u32 proxyValue = get32At(errors[0], 4);
  const u32 proxyList[] = {proxyIds.window, proxyIds.other, proxyIds.child, proxyIds.fresh, proxyIds.fresh + 1};
  const u32 plainList[] = {plainIds.window, plainIds.other, plainIds.child, plainIds.fresh, plainIds.fresh + 1};
  for (size_t k = 0; k < 5; k++) {
    if (proxyValue == proxyList[k]) proxyValue = plainList[k];
  }
  if (refusal.code != BadLength && refusal.sameValue) {
    EXPECT_EQ(proxyValue, value);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// --- VisibilityNotify ----------------------------------------------------------------------------------

class Visibility : public TwoHeads, public ::testing::WithParamInterface<i16> {};

TEST_P(Visibility, OneEventPerChangeFromTheProxyNotOnePerHead) {
  build(1);
  if (HasFatalFailure()) return;
  i16 x = GetParam();
  u32 watched = newId(), cover = newId();
  createWindow(watched, kRoot, x, 20, 200, 100, 0, CWEventMask, {VisibilityChangeMask});
  windowRequest(X_MapWindow, watched);
  createWindow(cover, kRoot, i16(x + 100), 20, 200, 100);
  windowRequest(X_MapWindow, cover);
  windowRequest(X_UnmapWindow, cover);
  std::vector<Message> events = only(VisibilityNotify);
  std::vector<std::pair<u32, u8>> seen;
  for (const Message& e : events) seen.emplace_back(get32At(e, 4), e[8]);
  EXPECT_EQ(seen, (std::vector<std::pair<u32, u8>>{{watched, VisibilityUnobscured},
                                                    {watched, VisibilityPartiallyObscured},
                                                    {watched, VisibilityUnobscured}}));
}

INSTANTIATE_TEST_SUITE_P(OnOneHeadAndAcrossTheSeam, Visibility, ::testing::Values(i16(10), i16(250)));

}  // namespace
}  // namespace palvon::test
