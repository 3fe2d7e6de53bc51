// The crossings of the pointer told from the meta screens' window tree as
// one server tells them: a LeaveNotify on the window the pointer leaves,
// virtual crossings on the windows between it and the common ancestor (up
// to and down from the roots when the windows lie on two screens), an
// EnterNotify on the window it enters.
#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/crossings.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/relay.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/pending.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u8 kFocusFlag = 0x01, kSameScreenFlag = 0x02;  // byte 31 of a crossing
constexpr char kCrossingLayout[] = "bbsiiiisssss";

// What every crossing of one move shares: the pointer's screen and place,
// and the input server's keys, read once when a KeymapNotify is first due.
struct Move {
  const MetaScreen* screen;
  i32 x, y;
  u32 time;
  u16 state;
  u8 mode;
  bool keysRead;
  u8 keys[32];
};

Move startMove(const MetaScreen* screen, i32 x, i32 y, u16 state, u8 mode) {
  return Move{screen, x, y, currentMetaTime(), state, mode, false, {}};
}

// The buttons and modifiers as the input server holds them now (the last
// pointer report may be older than a press or a key).
u16 inputServerState() {
  Head* input = inputControlDisplay ? inputControlDisplay->firstHead : nullptr;
  if (headDisplayOpen(input)) return u16(pointerStateOn(input));
  return u16(inputState.buttonState | inputState.modifierState);
}

// The focus is the window, one of its ancestors, or PointerRoot.
bool focusHolds(const ProxyWindow* window) {
  u32 focus = inputState.focusWindow;
  if (focus == None) return false;
  if (focus == PointerRoot) return true;
  for (const ProxyWindow* w = window; w; w = w->parent)
    if (w->id == focus) return true;
  return false;
}

u32 maskOf(const ProxyWindow* window, const ProxyClient* client) {
  for (const EventSelection* s = window->selections; s; s = s->next)
    if (s->client == client) return s->eventMask;
  return 0;
}

void sendTo(ProxyClient* client, u8* event) {
  put16(event + 2, composedEventSequence(client));
  sendComposedEvent(event, kCrossingLayout, client);
}

// The keys held on the input server, in meta keycodes, as its KeymapNotify
// gives them (keycodes 8 to 255).
void sendKeymapTo(ProxyClient* client, Move& move) {
  if (!move.keysRead) {
    move.keysRead = true;
    ServerDisplay* input = inputControlDisplay;
    u8 held[32] = {};
    if (input && input->display && !isDisplayOffline(input->display))
      xrcQueryKeymap(input->display, kXrcKeyboard, held);
    for (u32 key = 8; key < 256; key++) {
      if (!(held[key / 8] >> (key % 8) & 1)) continue;
      u32 meta = headToMetaKeycode(kXrcKeyboard, key, input) & 0xff;
      if (meta) move.keys[meta / 8] |= u8(1 << (meta % 8));
    }
  }
  u8 event[32] = {};
  event[0] = KeymapNotify;
  for (u32 i = 1; i < 32; i++) event[i] = move.keys[i];
  sendComposedEvent(event, "", client);
}

// One crossing on the window to the clients that hear it: the grabbing
// client by the grab's mask on its window and, with owner events, by its
// own; without a grab every client that selected it. An EnterNotify is
// followed by a KeymapNotify where that is selected, whether or not the
// crossing itself is.
void tell(Move& move, const ProxyWindow* window, u8 type, u8 detail, const ProxyWindow* child) {
  bool sameScreen = window->screen == move.screen;
  u8 event[32] = {};
  event[0] = type;
  event[1] = detail;
  put32(event + 4, move.time);
  put32(event + 8, move.screen->rootId);
  put32(event + 12, window->id);
  put32(event + 16, child ? child->id : None);
  put16(event + 20, u16(move.x));
  put16(event + 22, u16(move.y));
  put16(event + 24, sameScreen ? u16(move.x - window->x) : 0);
  put16(event + 26, sameScreen ? u16(move.y - window->y) : 0);
  put16(event + 28, move.state);
  event[30] = move.mode;
  event[31] = u8((sameScreen ? kSameScreenFlag : 0) | (focusHolds(window) ? kFocusFlag : 0));
  bool enter = type == EnterNotify;
  u32 filter = enter ? EnterWindowMask : LeaveWindowMask;
  const InputGrab& grab = inputState.pointerGrab;
  if (grab.client) {
    u32 mask = (window->id == grab.window ? grab.eventMask : 0) | (grab.ownerEvents ? maskOf(window, grab.client) : 0);
    if (mask & filter) sendTo(grab.client, event);
    if (enter && (mask & KeymapStateMask)) sendKeymapTo(grab.client, move);
    return;
  }
  for (const EventSelection* s = window->selections; s; s = s->next)
    if (s->client && (s->eventMask & filter)) sendTo(s->client, event);
  if (!enter) return;
  for (const EventSelection* s = window->selections; s; s = s->next)
    if (s->client && (s->eventMask & KeymapStateMask)) sendKeymapTo(s->client, move);
}

bool isAncestor(const ProxyWindow* ancestor, const ProxyWindow* window) {
  for (const ProxyWindow* w = window->parent; w; w = w->parent)
    if (w == ancestor) return true;
  return false;
}

// Null for windows of two screens.
const ProxyWindow* commonAncestor(const ProxyWindow* a, const ProxyWindow* b) {
  for (const ProxyWindow* w = a->parent; w; w = w->parent)
    if (w == b || isAncestor(w, b)) return w;
  return nullptr;
}

// LeaveNotify on the windows above `from` up to (not with) `ancestor`, or
// up to its root with none, lowest first, each naming the child the
// pointer left it by.
void leaveUpTo(Move& move, const ProxyWindow* from, const ProxyWindow* ancestor, u8 detail) {
  const ProxyWindow* child = from;
  for (const ProxyWindow* w = from->parent; w && w != ancestor; w = w->parent) {
    tell(move, w, LeaveNotify, detail, child);
    child = w;
  }
}

// EnterNotify on the windows below `ancestor` (from the root down with
// none) down to (not with) `to`, highest first, each naming the child the
// pointer goes on into.
void enterDownTo(Move& move, const ProxyWindow* ancestor, const ProxyWindow* to, u8 detail) {
  if (!to->parent || to->parent == ancestor) return;
  enterDownTo(move, ancestor, to->parent, detail);
  tell(move, to->parent, EnterNotify, detail, to);
}

// The crossings from the window `from` to `to`; with one of them null only
// the part on the other's screen, from or to the other screen.
void crossBetween(Move& move, const ProxyWindow* from, const ProxyWindow* to) {
  if (from == to) return;
  if (from && to && isAncestor(from, to)) {
    tell(move, from, LeaveNotify, NotifyInferior, nullptr);
    enterDownTo(move, from, to, NotifyVirtual);
    tell(move, to, EnterNotify, NotifyAncestor, nullptr);
  } else if (from && to && isAncestor(to, from)) {
    tell(move, from, LeaveNotify, NotifyAncestor, nullptr);
    leaveUpTo(move, from, to, NotifyVirtual);
    tell(move, to, EnterNotify, NotifyInferior, nullptr);
  } else {
    const ProxyWindow* common = from && to ? commonAncestor(from, to) : nullptr;
    if (from) {
      tell(move, from, LeaveNotify, NotifyNonlinear, nullptr);
      leaveUpTo(move, from, common, NotifyNonlinearVirtual);
    }
    if (to) {
      enterDownTo(move, common, to, NotifyNonlinearVirtual);
      tell(move, to, EnterNotify, NotifyNonlinear, nullptr);
    }
  }
}

}  // namespace

void tellPointerCrossings(MetaScreen* screen, i32 fromX, i32 fromY, i32 x, i32 y) {
  const ProxyWindow* from = pointerWindowAt(screen, fromX, fromY);
  const ProxyWindow* to = pointerWindowAt(screen, x, y);
  if (!from || !to || from == to) return;
  Move move = startMove(screen, x, y, inputServerState(), NotifyNormal);
  crossBetween(move, from, to);
}

void announceScreenEntry(MetaScreen* screen, i32 x, i32 y, u16 state) {
  const ProxyWindow* root = screen ? screen->rootWindow : nullptr;
  const ProxyWindow* window = root ? pointerWindowAt(screen, x, y) : nullptr;
  if (!window || window == root) return;
  Move move = startMove(screen, x, y, state, NotifyNormal);
  crossBetween(move, root, window);
}

void announceGrabAcross(u32 grabWindow, u8 mode, const u16* state) {
  const ProxyWindow* window = lookupWindow(grabWindow);
  const Head* holder = pointerHead();
  const MetaScreen* screen = holder ? holder->metaScreen : nullptr;
  if (!window || !window->viewable || !screen || window->screen == screen) return;
  Move move = startMove(screen, inputState.pointerX, inputState.pointerY,
                        u16(state ? *state : pointerStateOn(holder)), mode);
  if (mode == NotifyGrab)
    crossBetween(move, nullptr, window);
  else
    crossBetween(move, window, nullptr);
}

void announceGrabFrom(u32 from, u32 grabWindow) {
  const ProxyWindow* was = lookupWindow(from);
  const ProxyWindow* window = lookupWindow(grabWindow);
  const Head* holder = pointerHead();
  const MetaScreen* screen = holder ? holder->metaScreen : nullptr;
  if (!was || !window || !was->viewable || !window->viewable || was->screen != screen || window->screen != screen)
    return;
  Move move = startMove(screen, inputState.pointerX, inputState.pointerY, inputServerState(), NotifyGrab);
  crossBetween(move, was, window);
}

}  // namespace palvon
