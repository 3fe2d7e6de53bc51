// Grabs, freezes and focus without real servers: the freeze each grab
// leaves and takes back, the time and client checks of ungrabbing and
// AllowEvents, passive grabs and the grabs that presses start and releases
// end, focus reversion, and the two delivery rules of the pending layer that
// crossings and bare GraphicsExposes rely on. Requests go through the
// dispatcher; what they forward is read back from a link that is never
// connected, what the client gets from its socket.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xproto.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "support/linkrig.h"
#include "support/logcapture.h"
#include "support/resource_rig.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {
namespace {

using test::LinkRig;
using test::Message;
using test::OfflineLink;

constexpr u32 kNow = 0x1000;

Message bytes(u32 length) { return Message(length, 0); }

// A request in the proxy's order (length in bytes, a multiple of 4).
Message request(u8 major, u8 data, u32 length) {
  Message m = bytes(length);
  m[0] = major;
  m[1] = data;
  test::put16At(m, 2, u16(length / 4));
  return m;
}

// A key, button or motion event (or a crossing) on the window.
Message inputEvent(u8 code, u8 detail, u32 window, u16 state, u32 time = kNow) {
  Message m = bytes(32);
  m[0] = code;
  m[1] = detail;
  test::put32At(m, 4, time);
  test::put32At(m, 8, 32);
  test::put32At(m, 12, window);
  test::put16At(m, 28, state);
  m[30] = 1;
  return m;
}

// One meta screen without heads, its root (id 32) and the rig's client 1
// with one link that is never connected; the proxy's meta time is kNow.
class GrabTest : public ::testing::Test {
 protected:
  test::DatabaseRig db;
  LinkRig rig;
  OfflineLink server{rig.client()};
  test::LogCapture log{{&logChXhint}};
  MetaScreen screen{};
  ProxyWindow* root = nullptr;
  ProxyClient other{};
  u32 nextLocal = 1;

  void SetUp() override {
    ASSERT_EQ(initClientResourceTable(1), 1);
    ASSERT_EQ(initClientResourceTable(2), 1);
    other.number = 2;
    screen.width = 1000, screen.height = 800, screen.rootId = 32;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    proxyState.minKeycode = 8, proxyState.maxKeycode = 255;
    root = allocProxyWindow();
    ASSERT_NE(root, nullptr);
    root->id = 32, root->screen = &screen, root->windowClass = kInputOutput;
    root->width = 1000, root->height = 800, root->viewable = root->mapped = 1;
    initWindowDefaults(root);
    ASSERT_EQ(addResource(root->id, RT_WINDOW, root), 1);
    screen.rootWindow = root;
    ProxyClient* client = rig.client();
    client->links = static_cast<ServerLink**>(std::calloc(kMaxServerLinks, sizeof(ServerLink*)));
    client->links[0] = server.link();
    client->linkCount = 1;
    inputState = {};
    freezeState = {};
    inputState.lastMetaTime = kNow;
  }

  void TearDown() override {
    deactivatePointerGrab(kXrcMouse, nullptr, 0);
    deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
    releaseClientGrabs(rig.client(), false);
    releaseClientGrabs(&other, false);
    inputState = {};
    freezeState = {};
    currentLink = nullptr;
    currentClient = rig.client();
    rig.client()->links[0] = nullptr;
    rig.client()->linkCount = 0;
  }

  ProxyClient* client() { return rig.client(); }

  // A viewable child of the parent (the root by default) owned by client 1.
  ProxyWindow* window(ProxyWindow* parent = nullptr, i16 x = 10, i16 y = 10) {
    u32 id = (1u << 20) | nextLocal++;
    ProxyWindow* w = createProxyWindow(id, parent ? parent : root, x, y, 100, 100, 0, kInputOutput, 24);
    EXPECT_NE(w, nullptr);
    EXPECT_EQ(addResource(id, RT_WINDOW, w), 1);
    w->mapped = w->viewable = 1;
    return w;
  }

  // The current client's confirmed event mask on the window.
  void select(ProxyWindow* w, u32 mask) {
    auto* entry = static_cast<ConfirmedSelection*>(std::calloc(1, sizeof(ConfirmedSelection)));
    entry->client = client();
    entry->eventMask = mask;
    entry->next = w->attributes->confirmed;
    w->attributes->confirmed = entry;
  }

  // Through the dispatcher, as client 1's next request.
  void send(Message m, ProxyClient* from = nullptr) {
    currentClient = from ? from : client();
    dispatchClientRequest(currentClient, m.data(), u32(m.size()));
    currentClient = client();
  }

  // An event of client 1's link.
  void arrive(Message event) {
    currentClient = client();
    currentLink = server.link();
    test::put16At(event, 2, u16(client()->requestCounter));
    eventHandlerOf(event.data())(event.data());
    currentLink = nullptr;
  }

  // The codes of what client 1 received.
  std::vector<u8> received() {
    std::vector<u8> codes;
    for (const Message& m : rig.take()) codes.push_back(m[0]);
    return codes;
  }

  bool logged(const std::string& text) { return log.contains("Xhint: " + text); }

  const InputGrab& pointer() { return inputState.pointerGrab; }
  const InputGrab& keyboard() { return inputState.keyboardGrab; }
};

// --- The freeze each grab leaves, and what its end takes back ------------------------------

struct FreezeCase {
  const char* what;
  bool keyboardGrab;
  bool passive;
  u8 pointerMode, keyboardMode;
  u8 pointerState, keyboardState;  // after activation
};

class Freezes : public GrabTest, public ::testing::WithParamInterface<FreezeCase> {};

TEST_P(Freezes, FollowTheGrabAndEndWithIt) {
  const FreezeCase& c = GetParam();
  ProxyWindow* w = window();
  bool active = c.keyboardGrab ? activateKeyboardGrab(kXrcKeyboard, client(), w->id, 0, c.pointerMode,
                                                      c.keyboardMode, 38, kNow, c.passive)
                                 : activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, ButtonPressMask,
                                                       c.pointerMode, c.keyboardMode, nullptr, kNow, c.passive);
  ASSERT_TRUE(active);
  EXPECT_EQ(freezeState.pointer.state, c.pointerState);
  EXPECT_EQ(freezeState.keyboard.state, c.keyboardState);
  bool ended = c.keyboardGrab ? deactivateKeyboardGrab(kXrcKeyboard, client(), 0)
                              : deactivatePointerGrab(kXrcMouse, client(), 0);
  ASSERT_TRUE(ended);
  EXPECT_EQ(freezeState.pointer.state, kFreezeNone);
  EXPECT_EQ(freezeState.keyboard.state, kFreezeNone);
  // The next grab is repeated on a head with neither device synchronous.
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, ButtonPressMask, GrabModeAsync, GrabModeAsync,
                                  nullptr, kNow, false));
  EXPECT_FALSE(pointer().pointerFrozen);
  EXPECT_FALSE(pointer().keyboardFrozen);
}

constexpr u8 kSync = GrabModeSync, kAsync = GrabModeAsync;

INSTANTIATE_TEST_SUITE_P(
    Grabs, Freezes,
    ::testing::Values(FreezeCase{"active pointer grab, pointer synchronous", false, false, kSync, kAsync, 3, 0},
                      FreezeCase{"active pointer grab, keyboard synchronous", false, false, kAsync, kSync, 0, 3},
                      FreezeCase{"passive pointer grab, keyboard synchronous", false, true, kAsync, kSync, 0, 5},
                      FreezeCase{"passive pointer grab, both synchronous", false, true, kSync, kSync, 5, 5},
                      FreezeCase{"active keyboard grab, keyboard synchronous", true, false, kAsync, kSync, 0, 4},
                      FreezeCase{"active keyboard grab, pointer synchronous", true, false, kSync, kAsync, 4, 0},
                      FreezeCase{"passive keyboard grab, pointer synchronous", true, true, kSync, kAsync, 5, 0}),
    [](const auto& info) { return std::to_string(info.index); });

TEST_F(GrabTest, EndingThePointerGrabKeepsTheKeyboardGrabsFreeze) {
  ProxyWindow* w = window();
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, 0, kAsync, kSync, nullptr, kNow, false));
  ASSERT_EQ(freezeState.keyboard.state, kFreezeByPointerGrab);
  ASSERT_TRUE(activateKeyboardGrab(kXrcKeyboard, client(), w->id, 0, kAsync, kSync, 0, kNow, false));
  ASSERT_EQ(freezeState.keyboard.state, kFreezeByKeyboardGrab);
  deactivatePointerGrab(kXrcMouse, client(), 0);
  EXPECT_EQ(freezeState.keyboard.state, kFreezeByKeyboardGrab);
  EXPECT_TRUE(keyboard().keyboardFrozen) << "a keyboard grab repeated on a head stays synchronous";
}

// --- Ungrabbing: client and time -------------------------------------------------------------

struct UngrabCase {
  const char* what;
  bool grabbed;    // client 1 holds the pointer grab (time 0x100)
  bool byOther;    // client 2 sends the UngrabPointer
  u32 time;
  bool ends;
  const char* line;  // logged, or "" for nothing
};

class Ungrab : public GrabTest, public ::testing::WithParamInterface<UngrabCase> {};

TEST_P(Ungrab, EndsOnlyTheCallersGrabInTime) {
  const UngrabCase& c = GetParam();
  ProxyWindow* w = window();
  if (c.grabbed) {
    ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, 0, kAsync, kAsync, nullptr, 0x100, false));
  }
  Message m = request(X_UngrabPointer, 0, 8);
  test::put32At(m, 4, c.time);
  client()->requestCounter = 6, other.requestCounter = 6;
  log.clear();
  send(m, c.byOther ? &other : nullptr);
  EXPECT_EQ(pointer().client == nullptr, c.ends || !c.grabbed);
  if (*c.line) {
    EXPECT_TRUE(logged(c.line)) << (log.lines().empty() ? "nothing logged" : log.lines().back());
  } else {
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grabs, Ungrab,
    ::testing::Values(UngrabCase{"CurrentTime", true, false, 0, true, ""},
                      UngrabCase{"the grab time itself", true, false, 0x100, true, ""},
                      UngrabCase{"one tick before the grab", true, false, 0xff, false,
                                 "Time too old in UngrabPointer (0xff < 0x100) by #1"},
                      UngrabCase{"after the proxy's time", true, false, kNow + 1, false,
                                 "Time too new in UngrabPointer (0x1001 > 0x1000) by #1"},
                      UngrabCase{"another client", true, true, 0, false, "Not grab client in UngrabPointer #7 by #2"},
                      UngrabCase{"another client, nothing grabbed", false, true, 0, false, ""}),
    [](const auto& info) { return std::to_string(info.index); });

// --- AllowEvents ---------------------------------------------------------------------------------

struct AllowCase {
  const char* what;
  u8 pointerState, keyboardState;  // frozen for client 1 by its pointer grab
  u8 mode;
  u8 pointerAfter, keyboardAfter;
  bool grabAfter;
  const char* ignored;  // the mode's name when it has no effect
};

class Allow : public GrabTest, public ::testing::WithParamInterface<AllowCase> {};

TEST_P(Allow, ThawsOrArmsWhatTheClientFroze) {
  const AllowCase& c = GetParam();
  ProxyWindow* w = window();
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, 0, kAsync, kAsync, nullptr, kNow, false));
  if (c.pointerState) freezePointer(client(), c.pointerState, kFreezeCausePointerGrab);
  if (c.keyboardState) freezeKeyboard(client(), c.keyboardState, kFreezeCausePointerGrab);
  client()->requestCounter = 2;
  Message allow = request(X_AllowEvents, c.mode, 8);
  test::put32At(allow, 4, kNow);
  send(allow);
  EXPECT_EQ(freezeState.pointer.state, c.pointerAfter);
  EXPECT_EQ(freezeState.keyboard.state, c.keyboardAfter);
  EXPECT_EQ(pointer().client != nullptr, c.grabAfter);
  if (*c.ignored) {
    EXPECT_TRUE(logged(std::string(c.ignored) + " has no effect in AllowEvents #3 by #1"));
  } else {
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
  }
  Message copy = server.take();
  ASSERT_EQ(copy.size(), 8u) << "forwarded whatever its effect";
  EXPECT_EQ(test::get32At(copy, 4), *c.ignored ? kNow : 0u) << "an effective mode goes with CurrentTime";
}

INSTANTIATE_TEST_SUITE_P(
    Grabs, Allow,
    ::testing::Values(AllowCase{"AsyncPointer thaws", 3, 0, AsyncPointer, 0, 0, true, ""},
                      AllowCase{"SyncPointer arms", 3, 0, SyncPointer, 1, 0, true, ""},
                      AllowCase{"SyncPointer on a thawed pointer", 0, 0, SyncPointer, 0, 0, true, "SyncPointer"},
                      AllowCase{"ReplayPointer after the press", 5, 0, ReplayPointer, 0, 0, false, ""},
                      AllowCase{"ReplayPointer of an active grab", 3, 0, ReplayPointer, 3, 0, true, "ReplayPointer"},
                      AllowCase{"SyncBoth with only the pointer frozen", 3, 0, SyncBoth, 3, 0, true, "SyncBoth"},
                      AllowCase{"SyncBoth arms both", 3, 3, SyncBoth, 2, 2, true, ""},
                      AllowCase{"AsyncBoth thaws both", 5, 5, AsyncBoth, 0, 0, true, ""},
                      AllowCase{"AsyncKeyboard without a freeze", 3, 0, AsyncKeyboard, 3, 0, true, "AsyncKeyboard"}),
    [](const auto& info) { return std::to_string(info.index); });

TEST_F(GrabTest, AllowEventsOlderThanTheClientsGrabIsDropped) {
  ProxyWindow* w = window();
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, 0, kSync, kAsync, nullptr, 0x800, false));
  Message m = request(X_AllowEvents, AsyncPointer, 8);
  test::put32At(m, 4, 0x7ff);
  client()->requestCounter = 4;
  send(m);
  EXPECT_TRUE(logged("Time too old in AllowEvents #5 (0x7ff < 0x800) by #1"));
  EXPECT_EQ(freezeState.pointer.state, kFreezeByPointerGrab);
}

TEST_F(GrabTest, AnArmedPointerFreezesAgainAtTheGrabbersNextPress) {
  ProxyWindow* w = window();
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, ButtonPressMask, kSync, kAsync, nullptr, kNow,
                                  false));
  send(request(X_AllowEvents, SyncPointer, 8));
  ASSERT_EQ(freezeState.pointer.state, kFreezeSyncArmed);
  EXPECT_TRUE(pointer().pointerFrozen) << "repeated on another head, the grab keeps its synchronous mode";
  arrive(inputEvent(ButtonPress, 1, w->id, 0));
  EXPECT_EQ(freezeState.pointer.state, kFreezeByEvent);
  EXPECT_EQ(freezeState.pointer.client, client());
}

// --- Presses and releases --------------------------------------------------------------------------

TEST_F(GrabTest, APressWithoutPassiveGrabStartsTheAutomaticGrab) {
  ProxyWindow* w = window();
  select(w, ButtonPressMask | ButtonReleaseMask | PointerMotionMask | OwnerGrabButtonMask);
  arrive(inputEvent(ButtonPress, 1, w->id, 0));
  ASSERT_EQ(pointer().client, client());
  EXPECT_EQ(pointer().window, w->id);
  EXPECT_EQ(pointer().ownerEvents, 1);
  EXPECT_EQ(pointer().eventMask, ButtonPressMask | ButtonReleaseMask | PointerMotionMask)
      << "the window's pointer events, OwnerGrabButton not among them";
  arrive(inputEvent(ButtonPress, 3, w->id, Button1Mask));
  arrive(inputEvent(ButtonRelease, 1, w->id, Button1Mask | Button3Mask));
  EXPECT_EQ(pointer().client, client()) << "button 3 is still down";
  arrive(inputEvent(ButtonRelease, 3, w->id, Button3Mask));
  EXPECT_EQ(pointer().client, nullptr);
  EXPECT_EQ(received(), (std::vector<u8>{ButtonPress, ButtonPress, ButtonRelease, ButtonRelease}));
}

TEST_F(GrabTest, AButtonWithoutStateBitEndsTheAutomaticGrabWhenNothingElseIsDown) {
  ProxyWindow* w = window();
  select(w, ButtonPressMask | ButtonReleaseMask);
  arrive(inputEvent(ButtonPress, 6, w->id, 0));
  ASSERT_EQ(pointer().client, client());
  arrive(inputEvent(ButtonRelease, 6, w->id, 0));
  EXPECT_EQ(pointer().client, nullptr);
}

TEST_F(GrabTest, APassiveGrabWithTheKeyboardSynchronousLeavesNothingFrozen) {
  ProxyWindow* w = window();
  Message grab = request(X_GrabButton, 0, 24);
  test::put32At(grab, 4, w->id);
  test::put16At(grab, 8, ButtonPressMask | ButtonReleaseMask);
  grab[10] = kAsync, grab[11] = kSync, grab[20] = 1;
  test::put16At(grab, 22, kAnyModifier);
  send(grab);
  arrive(inputEvent(ButtonPress, 1, w->id, ShiftMask));
  ASSERT_EQ(pointer().client, client());
  EXPECT_TRUE(pointer().passive);
  EXPECT_EQ(freezeState.keyboard.state, kFreezeByEvent);
  arrive(inputEvent(ButtonRelease, 1, w->id, ShiftMask | Button1Mask));
  EXPECT_EQ(pointer().client, nullptr);
  EXPECT_EQ(freezeState.keyboard.state, kFreezeNone);
  EXPECT_EQ(freezeState.keyboard.client, nullptr);
}

TEST_F(GrabTest, APassiveGrabConfinedToAnUnmappedWindowIsUndoneOnTheServer) {
  ProxyWindow* w = window();
  ProxyWindow* confine = window();
  Message grab = request(X_GrabButton, 0, 24);
  test::put32At(grab, 4, w->id);
  test::put32At(grab, 12, confine->id);
  grab[10] = grab[11] = kAsync, grab[20] = 1;
  send(grab);
  Message copy = server.take();
  ASSERT_EQ(copy.size(), 24u);
  EXPECT_EQ(test::get32At(copy, 12), 0u) << "the server confines to nothing";
  confine->viewable = 0;
  arrive(inputEvent(ButtonPress, 1, w->id, 0));
  EXPECT_TRUE(logged("Fix consequence of GrabButton with confineTo None"));
  EXPECT_EQ(pointer().client, nullptr);
  EXPECT_TRUE(received().empty()) << "the press is dropped";
  Message undone = server.take();
  ASSERT_EQ(undone.size(), 8u);
  EXPECT_EQ(undone[0], X_UngrabPointer);
}

TEST_F(GrabTest, GrabButtonReplacesTheSameButtonAndUngrabAnyModifierRemovesAll) {
  ProxyWindow* w = window();
  auto grabButton = [&](u8 button, u16 modifiers) {
    Message m = request(X_GrabButton, 0, 24);
    test::put32At(m, 4, w->id);
    m[20] = button;
    test::put16At(m, 22, modifiers);
    send(m);
  };
  auto count = [&] {
    u32 n = 0;
    for (PassiveGrab* g = client()->passiveGrabs; g; g = g->next) n++;
    return n;
  };
  grabButton(1, ShiftMask);
  grabButton(1, ShiftMask);
  grabButton(1, ControlMask);
  grabButton(2, ShiftMask);
  EXPECT_EQ(count(), 3u);
  EXPECT_EQ(findPassiveGrab(client(), false, w->id, 1, ControlMask | Button2Mask), client()->passiveGrabs->next);
  EXPECT_EQ(findPassiveGrab(client(), false, w->id, 1, LockMask), nullptr);
  Message ungrab = request(X_UngrabButton, 1, 12);
  test::put32At(ungrab, 4, w->id);
  test::put16At(ungrab, 8, kAnyModifier);
  send(ungrab);
  EXPECT_EQ(count(), 1u);
  EXPECT_EQ(client()->passiveGrabs->detail, 2);
}

struct BadGrabButton {
  const char* what;
  u32 at;      // byte to change, 0 for none
  u32 value;   // 1-byte fields below 24 are written as bytes
  u8 width;
  u8 error;
  u32 badValue;  // ~0u: the window
};

class GrabButtonChecks : public GrabTest, public ::testing::WithParamInterface<BadGrabButton> {};

TEST_P(GrabButtonChecks, AnswerWithTheProtocolsError) {
  const BadGrabButton& c = GetParam();
  ProxyWindow* w = window();
  Message m = request(X_GrabButton, 0, 24);
  test::put32At(m, 4, w->id);
  m[20] = 1;
  if (c.width == 1) m[c.at] = u8(c.value);
  if (c.width == 2) test::put16At(m, c.at, u16(c.value));
  if (c.width == 4) test::put32At(m, c.at, c.value);
  send(m);
  std::vector<Message> got = rig.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0);
  EXPECT_EQ(got[0][1], c.error);
  EXPECT_EQ(test::get32At(got[0], 4), c.badValue);
  EXPECT_EQ(client()->passiveGrabs, nullptr);
  EXPECT_TRUE(server.take().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Grabs, GrabButtonChecks,
    ::testing::Values(BadGrabButton{"pointer mode", 10, 2, 1, BadValue, 2},
                      BadGrabButton{"keyboard mode", 11, 3, 1, BadValue, 3},
                      BadGrabButton{"AnyModifier with others", 22, 0x8001, 2, BadValue, 0x8001},
                      BadGrabButton{"owner events", 1, 2, 1, BadValue, 2},
                      BadGrabButton{"a key event in the mask", 8, KeyPressMask, 2, BadValue, KeyPressMask},
                      BadGrabButton{"unknown confine-to", 12, 0x100077, 4, BadWindow, 0x100077},
                      BadGrabButton{"unknown cursor", 16, 0x100078, 4, BadCursor, 0x100078}),
    [](const auto& info) { return std::to_string(info.index); });

// --- Keys ------------------------------------------------------------------------------------------

TEST_F(GrabTest, KeysReachOnlyAWindowThatSelectedThemOrAGrab) {
  ProxyWindow* quiet = window();
  ProxyWindow* listening = window();
  select(listening, KeyPressMask);
  arrive(inputEvent(KeyPress, 38, quiet->id, 0));
  arrive(inputEvent(KeyPress, 38, listening->id, 0));
  arrive(inputEvent(KeyRelease, 38, listening->id, 0));
  EXPECT_EQ(received(), (std::vector<u8>{KeyPress}));

  Message grab = request(X_GrabKey, 0, 16);
  test::put32At(grab, 4, quiet->id);
  test::put16At(grab, 8, kAnyModifier);
  grab[10] = 38, grab[11] = grab[12] = kAsync;
  send(grab);
  arrive(inputEvent(KeyPress, 38, quiet->id, ShiftMask));
  EXPECT_EQ(keyboard().client, client());
  EXPECT_EQ(keyboard().key, 38u);
  arrive(inputEvent(KeyRelease, 40, quiet->id, ShiftMask));
  EXPECT_EQ(keyboard().client, client()) << "another key's release";
  arrive(inputEvent(KeyRelease, 38, quiet->id, ShiftMask));
  EXPECT_EQ(keyboard().client, nullptr) << "the release of the grabbing key ends the grab";
  EXPECT_EQ(received(), (std::vector<u8>{KeyPress, KeyRelease, KeyRelease}));
}

// --- Crossings -------------------------------------------------------------------------------------

TEST_F(GrabTest, ACrossingReachesOnlyAWindowThatSelectedIt) {
  ProxyWindow* quiet = window();
  ProxyWindow* listening = window();
  select(listening, EnterWindowMask);
  Message enter = inputEvent(EnterNotify, NotifyAncestor, quiet->id, 0);
  enter[30] = NotifyNormal;
  enter[31] = 2;  // same-screen
  arrive(enter);
  test::put32At(enter, 12, listening->id);
  arrive(enter);
  std::vector<Message> got = rig.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(test::get32At(got[0], 12), listening->id);
}

// Normal crossings, and those of mode Grab that tell the way from the grab
// the client replaces to its new one (reported after the new grab's
// request), go by the grab; the Grab-mode crossings of the grab's own start
// by the windows' selections.
TEST_F(GrabTest, DuringAGrabCrossingsFollowTheGrabMaskOnItsWindowAndOwnerEventsElsewhere) {
  ProxyWindow* grabbed = window();
  ProxyWindow* elsewhere = window();
  select(elsewhere, EnterWindowMask);
  // The grab answers the client's request 4; its server reports a crossing
  // after request 5 (under the grab) or with request 4 (the grab's start).
  auto grab = [&](u8 ownerEvents, u16 mask) {
    deactivatePointerGrab(kXrcMouse, nullptr, 0);
    client()->requestCounter = 4;
    ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), grabbed->id, 0, ownerEvents, mask, kAsync, kAsync, nullptr,
                                    kNow, false));
    client()->requestCounter = 5;
  };
  auto heard = [&](u8 mode, u32 window, u16 sequence) {
    Message enter = inputEvent(EnterNotify, NotifyAncestor, window, 0);
    enter[30] = mode;
    test::put16At(enter, 2, sequence);
    return translateCrossingEvent(enter.data(), EnterWindowMask);
  };
  for (u8 mode : {NotifyNormal, NotifyGrab}) {
    SCOPED_TRACE(mode);
    grab(0, EnterWindowMask);
    EXPECT_TRUE(heard(mode, grabbed->id, 5));
    EXPECT_FALSE(heard(mode, elsewhere->id, 5)) << "no owner events";
    grab(1, 0);
    EXPECT_TRUE(heard(mode, elsewhere->id, 5)) << "owner events: the window's own mask";
  }
  grab(0, EnterWindowMask);
  EXPECT_TRUE(heard(NotifyGrab, elsewhere->id, 4)) << "the grab's start: the window's own selection";
  EXPECT_FALSE(heard(NotifyGrab, grabbed->id, 4)) << "the grab's start: not by the grab's mask";
}

// Two heads side by side, each on its own server, the pointer on the right
// one; the window spans both. Crossings come from either server's link.
class SeamTest : public GrabTest {
 protected:
  ServerDisplay serverA{}, serverB{};
  Head* headA = nullptr;
  Head* headB = nullptr;
  OfflineLink linkB{rig.client()};
  int quiet_[2] = {-1, -1};

  void SetUp() override {
    GrabTest::SetUp();
    headA = head(&serverA, 0x100, 0, 0);
    headB = head(&serverB, 0x200, 500, 1);
    headA->next = headB;
    screen.heads = headA;
    screen.headCount = 2;
    proxyState.headCount = 2;
    server.link()->server.display = &serverA;
    linkB.link()->server.display = &serverB;
    linkB.link()->server.serverIndex = 1;
    client()->links[1] = linkB.link();
    client()->linkCount = 2;
    inputState.pointerHead = headB;
    // Live descriptors that never answer: what is held waits for the test
    // to release it.
    ASSERT_EQ(pipe(quiet_), 0);
    server.link()->descriptor = linkB.link()->descriptor = quiet_[0];
  }
  void TearDown() override {
    server.link()->descriptor = linkB.link()->descriptor = -1;
    close(quiet_[0]);
    close(quiet_[1]);
    screen.heads = nullptr;
    proxyState.headCount = 0;
    client()->links[1] = nullptr;
    GrabTest::TearDown();
    std::free(headA);
    std::free(headB);
  }
  Head* head(ServerDisplay* display, u32 root, i32 x, u32 index) {
    auto* h = static_cast<Head*>(std::calloc(1, sizeof(Head)));
    h->metaScreen = &screen;
    h->serverDisplay = display;
    h->serverIndex = index;
    h->root = root;
    h->clip = {0, 0, 500, 800};
    h->logical = {x, 0, 500, 800};
    display->firstHead = h;
    return h;
  }
  // A crossing of the window from one server's link, the pointer at x on
  // that server's screen.
  void cross(ServerLink* link, u8 code, u32 root, u32 window, i16 x) {
    Message event = inputEvent(code, NotifyNonlinear, window, 0);
    test::put32At(event, 8, root);
    test::put16At(event, 20, u16(x));
    test::put16At(event, 22, 100);
    event[30] = NotifyNormal;
    event[31] = 2;
    test::put16At(event, 2, u16(client()->requestCounter));
    currentLink = link;
    eventHandlerOf(event.data())(event.data());
    currentLink = nullptr;
  }
  std::vector<u8> released() {
    while (client()->pendingHead) flushPendingRequest(client()->pendingHead, client());
    return received();
  }
};

TEST_F(SeamTest, MovingOntoTheOtherServersHeadInsideOneWindowCrossesNothing) {
  ProxyWindow* w = window(nullptr, 300, 50);
  select(w, EnterWindowMask | LeaveWindowMask);
  // The new server's EnterNotify first, then the old server's LeaveNotify.
  cross(linkB.link(), EnterNotify, 0x200, w->id, 20);
  cross(server.link(), LeaveNotify, 0x100, w->id, 450);
  EXPECT_TRUE(released().empty());
  // The other order.
  cross(server.link(), LeaveNotify, 0x100, w->id, 450);
  cross(linkB.link(), EnterNotify, 0x200, w->id, 20);
  EXPECT_TRUE(released().empty());
  // Entering from outside the window: only the pointer head's server counts.
  cross(linkB.link(), EnterNotify, 0x200, w->id, 20);
  cross(server.link(), EnterNotify, 0x100, w->id, 450);
  EXPECT_EQ(released(), (std::vector<u8>{EnterNotify}));
}

// --- GrabPointer and its reply ----------------------------------------------------------------------

TEST_F(GrabTest, GrabPointerOlderThanTheLastGrabMakesTheServerRefuse) {
  ProxyWindow* w = window();
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, 0, kAsync, kAsync, nullptr, 0x800, false));
  deactivatePointerGrab(kXrcMouse, nullptr, 0);
  Message grab = request(X_GrabPointer, 1, 24);
  test::put32At(grab, 4, w->id);
  test::put32At(grab, 20, 0x7ff);
  send(grab);
  EXPECT_TRUE(logged("Time too old in GrabPointer (0x7ff < 0x800) by #1"));
  Message copy = server.take();
  ASSERT_EQ(copy.size(), 24u);
  EXPECT_EQ(test::get32At(copy, 20), kNow + 0x7fffffffu) << "a time the server finds too new";
  test::put32At(grab, 20, 0x900);
  send(grab);
  copy = server.take();
  ASSERT_EQ(copy.size(), 24u);
  EXPECT_EQ(test::get32At(copy, 20), 0u) << "a valid time goes as CurrentTime";
}

TEST_F(GrabTest, TheGrabPointerReplyMakesTheGrabActiveAndAnInternalOneStaysWithTheProxy) {
  ProxyWindow* w = window();
  Message grab = request(X_GrabPointer, 0, 24);
  test::put32At(grab, 4, w->id);
  test::put16At(grab, 8, ButtonPressMask);
  grab[10] = kSync, grab[11] = kAsync;
  send(grab);
  server.take();
  ServerLink* link = server.link();
  Message reply = bytes(32);
  reply[0] = 1;
  currentLink = link;
  link->lastServerSequence = link->requestsSent;
  link->requestKeyAnswered = X_GrabPointer;
  ReplyGrabPointer(reply.data(), 32);
  EXPECT_EQ(pointer().client, client());
  EXPECT_EQ(pointer().time, kNow) << "CurrentTime is the proxy's time";
  EXPECT_EQ(freezeState.pointer.state, kFreezeByPointerGrab);
  EXPECT_EQ(received(), (std::vector<u8>{1}));
  reply[1] = AlreadyGrabbed;
  ReplyGrabPointer(reply.data(), 32);
  currentLink = nullptr;
  EXPECT_TRUE(logged("ALREADY GRABBED in internal GrabPointer reply from offline:0 by #1"));
  EXPECT_TRUE(received().empty());
}

// --- Windows going away -------------------------------------------------------------------------------

TEST_F(GrabTest, UnmappingTheGrabWindowsParentEndsTheGrabs) {
  ProxyWindow* parent = window();
  ProxyWindow* child = window(parent);
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), child->id, 0, 0, 0, kAsync, kSync, nullptr, kNow, false));
  ASSERT_TRUE(activateKeyboardGrab(kXrcKeyboard, client(), child->id, 0, kAsync, kAsync, 0, kNow, false));
  // The unmapping walks the subtree that stops being viewable.
  for (ProxyWindow* each : {parent, child}) {
    each->viewable = 0;
    endGrabsOnUnmappedWindow(each);
  }
  EXPECT_EQ(pointer().client, nullptr);
  EXPECT_EQ(keyboard().client, nullptr);
  EXPECT_EQ(freezeState.keyboard.state, kFreezeNone);
  char line[80];
  snprintf(line, sizeof line, "Pointer grab window 0x%x unmapped by #1", child->id);
  EXPECT_TRUE(logged(line));
}

TEST_F(GrabTest, AFocusRevertingToItsParentTakesTheNearestViewableAncestorThenNone) {
  ProxyWindow* top = window();
  ProxyWindow* middle = window(top);
  ProxyWindow* focus = window(middle);
  inputState.focusWindow = focus->id;
  inputState.focusRevertTo = RevertToParent;
  for (ProxyWindow* each : {middle, focus}) {
    each->viewable = 0;
    endGrabsOnUnmappedWindow(each);
  }
  EXPECT_EQ(inputState.focusWindow, top->id);
  EXPECT_EQ(inputState.focusRevertTo, RevertToNone);
  top->viewable = 0;
  endGrabsOnUnmappedWindow(top);
  EXPECT_EQ(inputState.focusWindow, u32(None));

  Message reply = bytes(32);
  reply[0] = 1;
  test::put32At(reply, 8, 0x1234);
  ReplyGetInputFocus(reply.data(), 32);
  std::vector<Message> got = rig.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(test::get32At(got[0], 8), u32(None)) << "the proxy's focus, not the server's";
}

TEST_F(GrabTest, ASessionStartsWithoutGrabsAndWithThePointerRootFocus) {
  ProxyWindow* w = window();
  ASSERT_TRUE(activatePointerGrab(kXrcMouse, client(), w->id, 0, 0, 0, kSync, kSync, nullptr, kNow, false));
  inputState.focusWindow = None;
  releaseProxyGrabs();
  EXPECT_EQ(pointer().client, nullptr);
  EXPECT_EQ(freezeState.keyboard.state, kFreezeNone);
  EXPECT_EQ(inputState.focusWindow, u32(PointerRoot)) << "the heads would be given None and drop every key";
}

// --- Two rules of in-order delivery ----------------------------------------------------------------

TEST_F(GrabTest, ACrossingNotMeantForTheClientIsDroppedOnTheDirectPathToo) {
  Message enter = inputEvent(EnterNotify, 0, 0x100001, 0);
  sendEventToClient(enter.data(), "bbsiiiisssss", 0x400001);
  sendEventToClient(enter.data(), "bbsiiiisssss", 0x400001 | kCrossingDelivered);
  EXPECT_EQ(rig.take().size(), 1u);
}

struct BareExposeCase {
  const char* workaround;  // the configuration's word
  bool pixmap;
  std::vector<u8> codes;
};

class BareGraphicsExpose : public GrabTest, public ::testing::WithParamInterface<BareExposeCase> {};

TEST_P(BareGraphicsExpose, FollowsTheWorkaroundsOnAWindowOnly) {
  const BareExposeCase& c = GetParam();
  ProxyWindow* w = window();
  u32 drawable = w->id;
  if (c.pixmap) {
    drawable = (1u << 20) | 0x900;
    PixmapRecord* pixmap = createPixmapRecord(drawable, 8, 8, 24, &screen, nullptr);
    ASSERT_NE(pixmap, nullptr);
    ASSERT_EQ(addResource(drawable, RT_PIXMAP, pixmap), 1);
  }
  proxyConfig.workarounds = 0;
  ASSERT_TRUE(!*c.workaround || applySetWord(kWorkaroundWords, c.workaround, &proxyConfig.workarounds));
  client()->requestCounter = 3;
  PendingRequest* entry = insertPendingRequest(client(), 3, 62);
  Message graphics = inputEvent(GraphicsExpose, 0, 0, 0);
  test::put16At(graphics, 2, 3);
  test::put32At(graphics, 4, drawable);
  holdMessage(graphics.data(), 32, "bbsissssss", 0, entry);
  flushPendingRequest(entry, client());
  proxyConfig.workarounds = 0;
  EXPECT_EQ(received(), c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Pending, BareGraphicsExpose,
    ::testing::Values(BareExposeCase{"", false, {GraphicsExpose}},
                      BareExposeCase{"ExposeBeforeGraphicsExpose", false, {Expose, GraphicsExpose}},
                      BareExposeCase{"ExposeInsteadOfGraphicsExpose", false, {Expose}},
                      BareExposeCase{"ExposeAfterGraphicsExpose", false, {GraphicsExpose, Expose}},
                      BareExposeCase{"ExposeInsteadOfGraphicsExpose", true, {GraphicsExpose}}),
    [](const auto& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace palvon
