// Pointer and focus requests: QueryPointer, GetMotionEvents,
// TranslateCoordinates, WarpPointer, SetInputFocus, GetInputFocus and
// QueryKeymap with their replies, and the helpers the grab requests share.
#include <X11/Xproto.h>

#include <algorithm>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/relay.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/pool.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/clocks.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kFixPointerCoordinates = 0x80;

Display* linkDisplay(const ServerLink* link) {
  return link && link->server.display ? link->server.display->display : nullptr;
}

// A window-relative point between a head and the meta screen, in the frame
// of the window.
void unscaleInWindow(Head* head, u32 window, i32* x, i32* y) {
  if (!head || !head->scaler) return;
  setScalerDrawable(head->scaler, window);
  unscalePoint(head->scaler, x, y);
}

void scaleInWindow(Head* head, u32 window, i32* x, i32* y) {
  if (!head || !head->scaler) return;
  setScalerDrawable(head->scaler, window);
  scalePoint(head->scaler, x, y);
}

// What GetMotionEvents and TranslateCoordinates leave for their replies.
struct HeadStash {
  u32 window;
  Head* head;
  // TranslateCoordinates between two windows the proxy knows: the answer,
  // from its own records as they stood when it was asked.
  bool modelled;
  u32 child;
  i16 x, y;
};
BlockPool<sizeof(HeadStash), 64> headStashes;

void releaseHeadStash(void* data) { headStashes.give(data); }

void stashHead(ServerLink* link, u8 code, const HeadStash& data) {
  auto* stash = static_cast<HeadStash*>(headStashes.take());
  if (!stash) {
    PALVON_OOM();
    return;
  }
  *stash = data;
  stashRequestData(link, code, stash, releaseHeadStash);
}

// The stash of the reply being handled; its head null when it went away.
bool takeHeadStash(ServerLink* link, u8 code, HeadStash* out) {
  auto* stash = static_cast<HeadStash*>(takeStashedData(link, code));
  if (!stash) return false;
  *out = *stash;
  releaseHeadStash(stash);
  if (!headIsLive(out->head)) out->head = nullptr;
  return true;
}

// The deepest ancestor of `hit` (itself included) that is a child of the
// window; 0 when `hit` is not inside it.
u32 childOfWindowAt(const ProxyWindow* window, const ProxyWindow* hit) {
  for (; hit && hit->parent; hit = hit->parent)
    if (hit->parent == window) return hit->id;
  return None;
}

}  // namespace

// --- Shared helpers -------------------------------------------------------------------------

Head* mainHeadOf(const MetaScreen* screen) {
  if (!screen) return nullptr;
  return screen->mainHead ? screen->mainHead : screen->heads;
}

Head* grabHeadFor(u32 window) {
  Head* pointer = pointerHead();
  MetaScreen* screen = window > PointerRoot + 1 ? lookupWindowScreen(window) : nullptr;
  if (proxyState.screenCount <= 1 || window <= 2 || !screen) return pointer ? pointer : mainHeadOf(screen ? screen : proxyState.screens);
  if (pointer && pointer->metaScreen == screen) return pointer;
  return mainHeadOf(screen);
}

bool headIsLive(const Head* head) {
  if (!head) return false;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* each = screen->heads; each; each = each->next)
      if (each == head) return true;
  return false;
}

ServerLink* forwardToHead(Head* head, const u8* request, u32 length, CopyRewrite rewrite, void* argument,
                          bool* failed) {
  ServerLink* link = copyToHead(head, request, length, rewrite, argument, failed);
  // What this one server answers waits until every server has passed the
  // request.
  if (link && openLinkCount(link->client) > 1) noteRequestWithoutReply(request);
  return link;
}

ServerLink* copyToHead(Head* head, const u8* request, u32 length, CopyRewrite rewrite, void* argument,
                       bool* failed) {
  ProxyClient* client = currentClient;
  if (failed) *failed = false;
  if (!client) return nullptr;
  ServerLink* link = nullptr;
  if (head) {
    link = clientLink(client, head->serverIndex);
  } else {
    for (ServerLink* each : linksOf(client)) {
      link = each;
      break;
    }
  }
  if (!link) return nullptr;
  u8* copy = copyRequestToServer(request, length, link);
  if (!copy) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    if (failed) *failed = true;
    return nullptr;
  }
  if (rewrite) rewrite(copy, length, RouteTarget{head, link}, argument);
  const RequestRow* row = currentRequest.row ? currentRequest.row : requestRowOf(request[0] | request[1] << 8);
  swapServerRequest(link, copy, length, requestLayoutOf(row, request, length));
  return link;
}

// --- QueryPointer ------------------------------------------------------------------------------

namespace {

// A head shown in a window that is inactive has no pointer of its own: the
// model answers.
void answerQueryPointerFromModel(ProxyClient* client, const ProxyWindow* window) {
  const Head* holder = pointerHead();
  const MetaScreen* screen = holder ? holder->metaScreen : window->screen;
  i32 x = 0, y = 0;
  lastPointerPosition(&x, &y);
  bool sameScreen = screen == window->screen;
  u32 child = None;
  if (sameScreen)
    child = childOfWindowAt(window, pointerWindowAt(const_cast<MetaScreen*>(screen), x, y));
  u16 mask = u16(inputState.modifierState | inputState.buttonState);
  sendReplyQueryPointer(client, u16(client->requestCounter), sameScreen, screen ? screen->rootId : window->id, child,
                        i16(x), i16(y), sameScreen ? i16(x - window->x) : 0, sameScreen ? i16(y - window->y) : 0,
                        mask);
}

struct QueryRewrite {
  bool onHeadScreen;
};

// With FixPointerCoordinates a position outside the head's area comes from
// a server that reports it wrongly: the proxy asks the server itself and
// keeps the point on the head the root names.
ServerPointerHit refindPointer(ServerLink* link) {
  LOGF(logChXhint, "Digital bugfix or out of view window");
  ServerPointerHit hit{};
  Display* display = linkDisplay(link);
  if (!display) return hit;
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned int mask = 0;
  if (!XfsQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask))
    return hit;
  Head* head = findHeadByRoot(display, root);
  if (!head) return hit;
  i32 mx = 0, my = 0;
  mapPointToHead(head, rootX, rootY, &mx, &my);
  Rect logical{head->logical.x, head->logical.y, u32(std::max(head->logical.width, 1)),
               u32(std::max(head->logical.height, 1))};
  rectClampPoint(&mx, &my, logical);
  hit.head = head, hit.x = mx, hit.y = my, hit.sameScreen = true;
  return hit;
}

}  // namespace

void ProcQueryPointer(u8* request, u32 length) {
  // A freeze that ended with an event lets a held-back warp go first.
  carryDeferredWarp();
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4);
  ProxyWindow* record = lookupWindow(window);
  if (!record) return sendXError(BadWindow, window, request, length, nullptr);
  setRequestResource(client, window);
  Head* head = pointerHead();
  if (!head) head = mainHeadOf(record->screen);
  if (head && head->inWindow && isHeadInactive(head)) return answerQueryPointerFromModel(client, record);
  QueryRewrite rewrite{!head || head->metaScreen == record->screen};
  ServerLink* link = forwardToHead(head, request, length,
                                   [](u8* copy, u32, const RouteTarget& target, void* argument) {
                                     if (!target.head) return;
                                     bool own = static_cast<QueryRewrite*>(argument)->onHeadScreen;
                                     u32 id = own ? get32(copy + 4) : target.head->metaScreen->rootId;
                                     put32(copy + 4, translateXid(id, RT_WINDOW, target.head));
                                   },
                                   &rewrite);
  // The window id itself is the stash (never 0): QueryPointer is asked many
  // times a second by some clients and allocates nothing.
  if (link) stashRequestData(link, X_QueryPointer, reinterpret_cast<void*>(uintptr_t(window)), nullptr);
}

void ReplyQueryPointer(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  u32 window = u32(reinterpret_cast<uintptr_t>(takeStashedData(link, X_QueryPointer)));
  if (!window) {
    PALVON_UNE();
    forwardReply(reply, length);
    return;
  }
  Display* display = linkDisplay(link);
  u32 root = get32(reply + 8);
  ServerPointerHit hit = findHeadAtServerPointer(display, root, i16(get16(reply + 16)), i16(get16(reply + 18)));
  if ((!hit.head || hit.outsideClip) && (proxyConfig.workarounds & kFixPointerCoordinates)) hit = refindPointer(link);
  Head* head = hit.head;
  if (!head) {
    put32(reply + 8, mapServerXidToClient(root, link->server.display));
    forwardReply(reply, length);
    return;
  }
  // A window destroyed by a later request before this reply came back was
  // the server's when it answered: its answer about the window stands.
  const ProxyWindow* record = lookupWindow(window);
  const MetaScreen* screen = head->metaScreen;
  if (record && record->screen != screen) {
    reply[1] = 0;
    put32(reply + 12, None);
    put16(reply + 20, 0);
    put16(reply + 22, 0);
  } else {
    put32(reply + 12, mapServerXidToClientByType(RT_WINDOW, get32(reply + 12), head));
    i32 x = i16(get16(reply + 20)), y = i16(get16(reply + 22));
    if (reply[1] || !record) {
      unscaleInWindow(head, window, &x, &y);
    } else {
      // The server's pointer is on another of its screens; the meta
      // pointer is on this one.
      x = hit.x - record->x, y = hit.y - record->y;
      reply[1] = 1;
    }
    put16(reply + 20, u16(x));
    put16(reply + 22, u16(y));
  }
  put32(reply + 8, screen ? screen->rootId : root);
  put16(reply + 16, u16(hit.x));
  put16(reply + 18, u16(hit.y));
  put16(reply + 24, u16(keyboardModifiersOn(head, get16(reply + 24))));
  forwardReply(reply, length);
}

// --- GetMotionEvents and TranslateCoordinates ----------------------------------------------------

void ProcGetMotionEvents(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4);
  setRequestResource(client, window);
  MetaScreen* screen = lookupWindowScreen(window);
  Head* head = pointerHead();
  if (screen && (!head || head->metaScreen != screen)) head = screen->heads;
  ServerLink* link = forwardToHead(head, request, length,
                                   [](u8* copy, u32, const RouteTarget& target, void*) {
                                     put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
                                     put32(copy + 8, metaToServerTimestamp(get32(copy + 8), target.head));
                                     put32(copy + 12, metaToServerTimestamp(get32(copy + 12), target.head));
                                   },
                                   nullptr);
  if (link) stashHead(link, X_GetMotionEvents, HeadStash{window, head, false, None, 0, 0});
}

void ReplyGetMotionEvents(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  HeadStash stash{};
  if (!takeHeadStash(link, X_GetMotionEvents, &stash)) {
    PALVON_UNE();
    forwardReply(reply, length);
    return;
  }
  u32 count = std::min<u32>(get32(reply + 8), (length - 32) / 8);
  const ServerDisplay* server = link->server.display;
  for (u32 i = 0; i < count; i++) {
    u8* entry = reply + 32 + 8 * i;
    put32(entry, translateServerTimestamp(get32(entry), server));
    i32 x = i16(get16(entry + 4)), y = i16(get16(entry + 6));
    unscaleInWindow(stash.head, stash.window, &x, &y);
    put16(entry + 4, u16(x));
    put16(entry + 6, u16(y));
  }
  forwardReply(reply, length);
}

namespace {

// The head that shows the source point: where the source window's origin
// plus the offset lies, else the main head of the screen.
Head* translateHeadFor(u32 source, u32 destination, i32 x, i32 y) {
  if (const ProxyWindow* window = lookupWindow(source)) {
    if (Head* head = findHeadAtPoint(window->screen, window->x + x, window->y + y)) return head;
    return mainHeadOf(window->screen);
  }
  MetaScreen* screen = lookupWindowScreen(destination);
  return mainHeadOf(screen ? screen : lookupScreenOfXid(source));
}

}  // namespace

void ProcTranslateCoordinates(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 source = get32(request + 4), destination = get32(request + 8);
  setRequestResource(client, destination);
  // Windows of two meta screens live on different servers, none of which
  // knows both: as on a plain server, nothing translates between screens
  // (same-screen false, child None, 0, 0).
  const ProxyWindow* from = lookupWindow(source);
  const ProxyWindow* to = from ? lookupWindow(destination) : nullptr;
  if (to && from->screen != to->screen) return sendReplyStatus(client, X_TranslateCoords, xFalse);
  i32 x = i16(get16(request + 12)), y = i16(get16(request + 14));
  Head* head = translateHeadFor(source, destination, x, y);
  // Between two windows it knows the proxy answers itself, as a plain
  // server of the meta screen would: a zoomed head folds neighbouring
  // positions into one of its pixels. The head is still asked, so that the
  // answer comes in its place among the servers' own.
  HeadStash stash{destination, head, to != nullptr, None, 0, 0};
  if (to) {
    i32 pointX = from->x + x, pointY = from->y + y;
    const ProxyWindow* child = mappedChildAtPoint(to, pointX, pointY);
    stash.child = child ? child->id : None;
    stash.x = i16(pointX - to->x), stash.y = i16(pointY - to->y);
  }
  ServerLink* link = forwardToHead(head, request, length,
                                   [](u8* copy, u32, const RouteTarget& target, void*) {
                                     u32 from = get32(copy + 4);
                                     i32 x = i16(get16(copy + 12)), y = i16(get16(copy + 14));
                                     scaleInWindow(target.head, from, &x, &y);
                                     put32(copy + 4, translateXid(from, RT_WINDOW, target.head));
                                     put32(copy + 8, translateXid(get32(copy + 8), RT_WINDOW, target.head));
                                     put16(copy + 12, u16(x));
                                     put16(copy + 14, u16(y));
                                   },
                                   nullptr);
  if (link) stashHead(link, X_TranslateCoords, stash);
}

void ReplyTranslateCoordinates(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  HeadStash stash{};
  if (!takeHeadStash(link, X_TranslateCoords, &stash)) {
    PALVON_UNE();
    forwardReply(reply, length);
    return;
  }
  if (stash.modelled) {
    reply[1] = xTrue;
    put32(reply + 8, stash.child);
    put16(reply + 12, u16(stash.x));
    put16(reply + 14, u16(stash.y));
    forwardReply(reply, length);
    return;
  }
  i32 x = i16(get16(reply + 12)), y = i16(get16(reply + 14));
  unscaleInWindow(stash.head, stash.window, &x, &y);
  put16(reply + 12, u16(x));
  put16(reply + 14, u16(y));
  u32 child = get32(reply + 8);
  put32(reply + 8, stash.head ? mapServerXidToClientByType(RT_WINDOW, child, stash.head)
                              : mapServerXidToClient(child, link->server.display));
  forwardReply(reply, length);
}

// --- WarpPointer ---------------------------------------------------------------------------------

namespace {

// A warp while the pointer is frozen moves it only when it thaws: its
// server holds the motion back, and QueryPointer tells where it was. A
// warp onto another head would move it at once (another server, not
// frozen), so the proxy holds that one back itself, and the warps after
// it, until the pointer thaws.
struct DeferredWarp {
  bool due;
  MetaScreen* screen;
  i32 x, y;
} deferredWarp;

}  // namespace

void carryDeferredWarp() {
  if (!deferredWarp.due || pointerFrozen()) return;
  deferredWarp.due = false;
  movePointerToScreen(deferredWarp.screen, deferredWarp.x, deferredWarp.y);
}

void movePointerUnlessFrozen(ProxyClient* client, MetaScreen* screen, i32 x, i32 y) {
  Head* holder = pointerHead();
  if (pointerFrozen() && (deferredWarp.due || !holder || findHeadAtPoint(screen, x, y) != holder)) {
    deferredWarp = {true, screen, x, y};
    return;
  }
  deferredWarp.due = false;
  syncInputAcrossHeads(kXrcMouse, client, screen, x, y, true);
}

MetaScreen* deferredPointerMove(i32* x, i32* y) {
  if (!deferredWarp.due) return nullptr;
  *x = deferredWarp.x, *y = deferredWarp.y;
  return deferredWarp.screen;
}

void ProcWarpPointer(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 source = get32(request + 4), destination = get32(request + 8);
  i32 sourceX = i16(get16(request + 12)), sourceY = i16(get16(request + 14));
  u32 sourceWidth = get16(request + 16), sourceHeight = get16(request + 18);
  i32 dx = i16(get16(request + 20)), dy = i16(get16(request + 22));
  ProxyWindow* from = source ? lookupWindow(source) : nullptr;
  if (source && !from) return sendXError(BadWindow, source, request, length, "invalid source window");
  ProxyWindow* to = destination ? lookupWindow(destination) : nullptr;
  if (destination && !to) return sendXError(BadWindow, destination, request, length, "invalid destination window");
  i32 x = 0, y = 0;
  lastPointerPosition(&x, &y);
  Head* holder = pointerHead();
  MetaScreen* pointerScreen = holder ? holder->metaScreen : proxyState.screens;
  if (from) {
    // Width or height 0 reaches to the window's edge.
    i64 left = i64(from->x) + sourceX, top = i64(from->y) + sourceY;
    i64 right = sourceWidth ? left + sourceWidth : i64(from->x) + from->width;
    i64 bottom = sourceHeight ? top + sourceHeight : i64(from->y) + from->height;
    bool inside = from->screen == pointerScreen && x >= left && x < right && y >= top && y < bottom &&
                  x >= from->x && x < i64(from->x) + from->width && y >= from->y && y < i64(from->y) + from->height;
    if (!inside) {
      LOGF(logChXhint, "No effect in %s by %s", describeClientRequest(request), clientNameText(client));
      return;
    }
  }
  MetaScreen* screen = pointerScreen;
  if (to) {
    screen = to->screen;
    x = to->x + dx, y = to->y + dy;
  } else {
    x += dx, y += dy;
  }
  movePointerUnlessFrozen(client, screen, x, y);
}

// --- Focus ---------------------------------------------------------------------------------------

namespace {

Head* focusHeadFor(u32 focus) {
  Head* holder = pointerHead();
  if (focus <= PointerRoot) return holder;
  MetaScreen* screen = lookupWindowScreen(focus);
  if (holder && (!screen || holder->metaScreen == screen)) return holder;
  return screen ? mainHeadOf(screen) : holder;
}

// The focus goes to the first head of every server, except a head shown in
// a window that is inactive or belongs to another server than the focus
// head's: its server's focus is its own window's business.
bool takesFocus(const Head* head) {
  if (!head->inWindow) return true;
  const Head* focused = focusHead();
  return !isHeadInactive(head) && focused && focused->serverDisplay == head->serverDisplay;
}

void rewriteFocus(u8* copy, u32, const RouteTarget& target, void*) {
  if (target.head) put32(copy + 4, getServerFocusWindow(get32(copy + 4), target.head->serverDisplay));
  put32(copy + 8, CurrentTime);
}

}  // namespace

void ProcSetInputFocus(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u8 revertTo = request[1];
  u32 focus = get32(request + 4), time = get32(request + 8);
  if (revertTo > RevertToParent) return sendXError(BadValue, revertTo, request, length, "invalid revertTo");
  ProxyWindow* window = focus > PointerRoot ? lookupWindow(focus) : nullptr;
  if (focus > PointerRoot && !window) return sendXError(BadWindow, focus, request, length, nullptr);
  if (window && !window->viewable) return sendXError(BadMatch, focus, request, length, "unviewable");
  u32 now = currentMetaTime();
  if (timeTooOld(time, inputState.focusTime)) {
    LOGF(logChXhint, "Time too old in %s (0x%x < 0x%x) by %s", describeClientRequest(request), time,
         inputState.focusTime, clientNameText(client));
    return;
  }
  if (timeTooNew(time, now)) {
    LOGF(logChXhint, "Time too new in %s (0x%x > 0x%x) by %s", describeClientRequest(request), time, now,
         clientNameText(client));
    return;
  }
  if (window) setRequestResource(client, focus);
  u32 old = inputState.focusWindow;
  u8 mode = inputState.keyboardGrab.client ? NotifyWhileGrabbed : NotifyNormal;
  if (old != focus) announceRootFocus(FocusOut, old, mode);
  inputState.focusWindow = focus;
  inputState.focusRevertTo = revertTo;
  inputState.focusTime = time ? time : now;
  if (Head* head = focusHeadFor(focus)) {
    // Keys handed to a server that no longer takes them are let go there;
    // a server that takes them again delivers the keys held down itself.
    const Head* before = focusHead();
    releaseHandedKeys(head->serverDisplay);
    if (!before || before->serverDisplay != head->serverDisplay) {
      handHeldKeysTo(head);
      endProxyKeyGrab(head);
    }
    setFocusHead(head);
  }
  if (old != focus) announceRootFocus(FocusIn, focus, mode);
  if (!proxyState.screens) {
    forwardToHead(nullptr, request, length, rewriteFocus, nullptr);
    return;
  }
  for (Head* head = nextHeadPerServer(nullptr); head; head = nextHeadPerServer(head)) {
    if (!takesFocus(head)) continue;
    bool failed = false;
    copyToHead(head, request, length, rewriteFocus, nullptr, &failed);
    if (failed) return;
    if (head->serverIndex < client->linkCount && client->links[head->serverIndex])
      client->links[head->serverIndex]->focusRequested = 1;
  }
  // The servers' accounts of the change reach the client together.
  if (openLinkCount(client) > 1) noteRequestWithoutReply(request);
}

void ProcGetInputFocus(u8* request, u32 length) { forwardRequest(request, length); }

void ReplyGetInputFocus(u8* reply, u32 length) {
  reply[1] = inputState.focusRevertTo;
  put32(reply + 8, inputState.focusWindow);
  forwardReply(reply, length);
}

void ProcQueryKeymap(u8* request, u32 length) { forwardRequest(request, length); }

void ReplyQueryKeymap(u8* reply, u32 length) {
  Display* display = linkDisplay(currentLink);
  i32 shift = display ? i32(proxyState.minKeycode) - i32(xrcMinKeycode(display, kXrcKeyboard)) : 0;
  u8 keys[32] = {};
  for (i32 k = 0; k < 256; k++) {
    i32 to = k + shift;
    if (!(reply[8 + k / 8] >> (k % 8) & 1) || to < i32(proxyState.minKeycode) || to > i32(proxyState.maxKeycode) ||
        to > 255)
      continue;
    keys[to / 8] |= u8(1 << (to % 8));
  }
  std::memcpy(reply + 8, keys, sizeof keys);
  forwardReply(reply, length);
}

}  // namespace palvon
