// Grab requests: GrabPointer, UngrabPointer, GrabButton, UngrabButton,
// ChangeActivePointerGrab, GrabKeyboard, UngrabKeyboard, GrabKey,
// UngrabKey, AllowEvents, GrabServer and UngrabServer, with the replies of
// the two active grabs.
#include <X11/Xproto.h>

#include <algorithm>
#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/crossings.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/relay.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pool.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/sync/clocks.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kEnterLeaveMask = EnterWindowMask | LeaveWindowMask;
// Event-mask bits a pointer grab may not ask for: KeyPress, KeyRelease and
// KeymapState.
constexpr u32 kNotPointerEvents = 0x8003;
// Modifier bits of a grab other than AnyModifier that no state has.
constexpr u16 kBadModifierBits = 0x9f00;
// The time sent for a grab time the proxy refused, so that the server
// answers InvalidTime itself.
constexpr u32 kInvalidTimeOffset = 0x7fffffff;

const char* nameOf(const ProxyClient* client) { return clientNameText(client); }

// What an active grab request leaves for its reply.
struct GrabStash {
  u32 window;
  u32 confineTo;
  CursorRecord* cursor;  // referenced while stashed
  u32 eventMask;
  u32 time;
  u8 ownerEvents;
  u8 pointerMode;
  u8 keyboardMode;
  Head* lending;  // the grab's part on another server (Proxy/events/relay.h)
  // Its confine-to window took the pointer onto another server's head: the
  // window the pointer was in before (0 when it did not), and whether that
  // server's own crossings of mode Grab are held (holdGrabCrossingsOf).
  u32 pointerWasIn;
  const ServerDisplay* holding;
};
BlockPool<sizeof(GrabStash), 64> grabStashes;

void releaseGrabStash(void* data) {
  auto* stash = static_cast<GrabStash*>(data);
  if (!stash) return;
  if (stash->holding && grabCrossingsHeldFrom(stash->holding)) holdGrabCrossingsOf(nullptr);
  unrefCursor(stash->cursor);
  grabStashes.give(stash);
}

void stashGrab(ServerLink* link, u8 code, const GrabStash& fields) {
  auto* stash = static_cast<GrabStash*>(grabStashes.take());
  if (!stash) {
    PALVON_OOM();
    return;
  }
  *stash = fields;
  refCursor(stash->cursor);
  stashRequestData(link, code, stash, releaseGrabStash);
}

CursorRecord* lookupCursor(u32 id) { return static_cast<CursorRecord*>(lookupResourceByType(id, RT_CURSOR)); }

// While a grab holds a device frozen, the proxy's own windows on the heads
// select nothing while the request is written: the crossings they would
// report come from the thaw, not from a pointer move.
bool mustDeselect() {
  return (inputState.pointerGrab.client && pointerFrozen()) ||
         (inputState.keyboardGrab.client && keyboardFrozen());
}

void forwardDeselected(bool deselect, ProxyClient* client, Route route, const u8* request, u32 length,
                       CopyRewrite rewrite, void* argument) {
  if (deselect) selectInputOnHeads(client, 0);
  forwardRequestTo(route, request, length, rewrite, argument);
  if (deselect) selectInputOnHeads(client, kEnterLeaveMask);
}

void zeroTimeAt4(u8* copy, u32, const RouteTarget&, void*) { put32(copy + 4, CurrentTime); }

bool inactiveInWindow(const Head* head) { return head && head->inWindow && isHeadInactive(head); }

// The answer to an active grab: granted, the lent part goes with the grab
// (one the client's previous grab lent to the same head stays); refused,
// the lent part is given back.
void settleLentGrab(const ServerLink* link, const GrabStash* stash, bool keyboard, bool granted) {
  InputGrab& grab = keyboard ? inputState.keyboardGrab : inputState.pointerGrab;
  Head* lending = headIsLive(stash->lending) ? stash->lending : nullptr;
  bool kept = grab.client == link->client && grab.lending == lending;
  if (granted) {
    if (kept) grab.lending = nullptr;
    return;
  }
  ServerLink* lent = lending && !kept ? clientLink(link->client, lending->serverIndex) : nullptr;
  if (!lent) return;
  if (keyboard)
    requestUngrabKeyboard(lent);
  else
    requestUngrabPointer(lent);
  flushServerLink(lent);
}

// --- Passive grabs: the heads that take them ------------------------------------------------

u32 proxyButtonCount() { return proxyConfig.numberOfButtons ? proxyConfig.numberOfButtons : 32; }

// A head that would have to emulate the window's visual cannot deliver its
// input; a server without the button cannot grab it.
bool takesPassiveGrab(const Head* head, const ProxyWindow* window, u32 button) {
  if ((head->tags & kHeadTagSloppyVisuals) && window->visual && needsVisualEmulation(window->visual->visualId, head))
    return false;
  const ServerDisplay* server = head->serverDisplay;
  if (button && button <= proxyButtonCount() && server && server->pointerButtons && server->pointerButtons < button)
    return false;
  return true;
}

// Every head of the window's screen that takes the grab; false after
// BadAlloc (heads already served keep their copy).
bool forwardToGrabHeads(const ProxyWindow* window, u32 button, const u8* request, u32 length, CopyRewrite rewrite,
                        void* argument) {
  const MetaScreen* screen = window->screen;
  if (!screen || !screen->heads) {
    bool failed = false;
    copyToHead(nullptr, request, length, rewrite, argument, &failed);
    return !failed;
  }
  for (Head* head = screen->heads; head; head = head->next) {
    if (!takesPassiveGrab(head, window, button)) continue;
    bool failed = false;
    copyToHead(head, request, length, rewrite, argument, &failed);
    if (failed) return false;
  }
  return true;
}

bool badModifiers(u16 modifiers) { return modifiers != kAnyModifier && (modifiers & kBadModifierBits); }

bool keyOutOfRange(u32 key) { return key && (key < proxyState.minKeycode || key > proxyState.maxKeycode); }

void rewriteButtonGrab(u8* copy, u32, const RouteTarget& target, void*) {
  u32 window = get32(copy + 4), confineTo = get32(copy + 12), cursor = get32(copy + 16);
  put32(copy + 4, translateXid(window, RT_WINDOW, target.head));
  put16(copy + 8, u16(completeEventMask(get16(copy + 8))));
  // The server may confine only to the grab window itself: another window
  // may lie on another head.
  put32(copy + 12, confineTo == window ? translateXid(window, RT_WINDOW, target.head) : None);
  put32(copy + 16, cursor ? translateXid(cursor, RT_CURSOR, target.head) : None);
}

void rewriteWindowAt4(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
}

void rewriteKeyGrab(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
  if (u8 key = copy[10]; key && target.head) copy[10] = u8(metaToHeadKeycode(kXrcKeyboard, key, target.head));
}

void rewriteKeyUngrab(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
  if (u8 key = copy[1]; key && target.head) copy[1] = u8(metaToHeadKeycode(kXrcKeyboard, key, target.head));
}

// --- GrabPointer ----------------------------------------------------------------------------

struct PointerGrabRewrite {
  u32 serverTime;  // meta time for the server, 0 for CurrentTime
};

void rewritePointerGrab(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* rewrite = static_cast<PointerGrabRewrite*>(argument);
  u32 confineTo = get32(copy + 12), cursor = get32(copy + 16);
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
  put16(copy + 8, u16(completeEventMask(get16(copy + 8))));
  put32(copy + 12, confineTo ? translateXid(confineTo, RT_REAL_ROOT, target.head) : None);
  put32(copy + 16, cursor ? translateXid(cursor, RT_CURSOR, target.head) : None);
  put32(copy + 20, metaToServerTimestamp(rewrite->serverTime, target.head));
}

// Logged only: the server checks the same and answers with its status.
void logPointerGrabChecks(const u8* request, ProxyWindow* grabWindow, ProxyWindow* confine) {
  u32 window = get32(request + 4), confineTo = get32(request + 12), cursor = get32(request + 16);
  if (!grabWindow || !grabWindow->viewable) LOGF(logChXhint, "Invalid grab window 0x%x in GrabPointer", window);
  if (cursor && !lookupCursor(cursor)) LOGF(logChXhint, "Unknown cursor 0x%x in GrabPointer", cursor);
  if (request[10] > 1) LOGF(logChXhint, "Invalid pointer mode %d in GrabPointer", request[10]);
  if (request[11] > 1) LOGF(logChXhint, "Bad keyboard mode %d in GrabPointer", request[11]);
  if (confineTo && (!confine || !confine->viewable))
    LOGF(logChXhint, "Bad confineTo window 0x%x in GrabPointer", confineTo);
}

// A grab that confines the pointer to a window on another head of that
// screen first takes the pointer there, so that the head holding the grab
// is the one that shows the pointer. `pointerWasIn` is where the grab's
// crossings start, as a plain server tells them: the window the pointer
// was in (or the grab the client replaces) before the move; 0 without one.
Head* moveIntoConfineTo(ProxyClient* client, ProxyWindow* confine, Head* head, u32* pointerWasIn) {
  *pointerWasIn = 0;
  if (!confine || !confine->viewable || !confine->screen) return head;
  ProxyClient* holder = inputState.pointerGrab.client;
  if (holder && holder != client) return head;
  i32 x = 0, y = 0;
  lastPointerPosition(&x, &y);
  Rect inside{confine->x, confine->y, std::max<u32>(confine->width, 1), std::max<u32>(confine->height, 1)};
  rectClampPoint(&x, &y, inside);
  Head* at = findHeadAtPoint(confine->screen, x, y);
  if (!at || at == head) return head;
  const Head* was = pointerHead();
  const ProxyWindow* under =
      was ? pointerWindowAt(was->metaScreen, inputState.pointerX, inputState.pointerY) : nullptr;
  *pointerWasIn = holder ? inputState.pointerGrab.window : under ? under->id : 0;
  confinePointerAcrossHeads(client, confine->screen, x, y, true);
  return at;
}

}  // namespace

void ProcGrabPointer(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4), confineTo = get32(request + 12), time = get32(request + 20);
  ProxyWindow* grabWindow = lookupWindow(window);
  ProxyWindow* confine = confineTo ? lookupWindow(confineTo) : nullptr;
  logPointerGrabChecks(request, grabWindow, confine);
  u32 now = currentMetaTime(), last = inputState.pointerGrab.time;
  PointerGrabRewrite rewrite{CurrentTime};
  if (timeTooOld(time, last)) {
    LOGF(logChXhint, "Time too old in GrabPointer (0x%x < 0x%x) by %s", time, last, nameOf(client));
    rewrite.serverTime = now + kInvalidTimeOffset;
  } else if (timeTooNew(time, now)) {
    LOGF(logChXhint, "Time too new in GrabPointer (0x%x > 0x%x) by %s", time, now, nameOf(client));
    rewrite.serverTime = now + kInvalidTimeOffset;
  }
  setRequestResource(client, window);
  Head* head = grabHeadFor(window);
  if (inactiveInWindow(head)) {
    sendReplyGrabPointer(client, u16(client->requestCounter), GrabNotViewable);
    return;
  }
  u32 pointerWasIn = 0;
  head = moveIntoConfineTo(client, confine, head, &pointerWasIn);
  Head* lending = lendGrab(client, head, false, get16(request + 8));
  ServerLink* link = forwardToHead(head, request, length, rewritePointerGrab, &rewrite);
  if (!link) return;
  // The server tells crossings of the grab's start only when the pointer
  // is in another window there than the grab window.
  const ProxyWindow* under = pointerWasIn && head->metaScreen
                                 ? pointerWindowAt(head->metaScreen, inputState.pointerX, inputState.pointerY)
                                 : nullptr;
  const ServerDisplay* holding = under && under->id != window ? head->serverDisplay : nullptr;
  if (holding) holdGrabCrossingsOf(holding);
  GrabStash stash{window,     confineTo,   lookupCursor(get32(request + 16)), get16(request + 8), time ? time : now,
                  request[1], request[10], request[11],                       lending,           pointerWasIn,
                  holding};
  stashGrab(link, X_GrabPointer, stash);
}

namespace {

// A window of another screen than the pointer's.
bool offThePointersScreen(u32 window) {
  const ProxyWindow* record = lookupWindow(window);
  const Head* holder = pointerHead();
  return record && holder && record->screen != holder->metaScreen;
}

}  // namespace

void ReplyGrabPointer(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto* stash = static_cast<GrabStash*>(takeStashedData(link, X_GrabPointer));
  if (!stash) {
    // The answer to a grab the proxy repeated on a head itself.
    static const char* const kStatus[] = {"SUCCESS", "ALREADY GRABBED", "INVALID TIME", "NOT VIEWABLE", "FROZEN"};
    if (reply[1] != GrabSuccess)
      LOGF(logChXhint, "%s in internal GrabPointer reply from %s by %s",
           reply[1] <= GrabFrozen ? kStatus[reply[1]] : "UNKNOWN MODE", link->server.displayName,
           nameOf(link->client));
    return;
  }
  settleLentGrab(link, stash, false, reply[1] == GrabSuccess);
  if (reply[1] == GrabSuccess) {
    if (!inputState.pointerGrab.client && headIsLive(stash->lending) && offThePointersScreen(stash->window)) {
      // A plain server tells a grab's crossings before the grab holds: the
      // pointer's server's own, for the grab lent to it, are the clients'
      // as they come, and the grab window's screen has its part told.
      handlePointerCrossingsNow(stash->lending, link->client, 0);
      announceGrabAcross(stash->window, NotifyGrab, nullptr);
    }
    if (stash->pointerWasIn) {
      // What the server said of the grab's start, held until now, is
      // dropped; a plain server's crossings are told before the grab holds.
      if (stash->holding) handlePointerCrossingsNow(stash->holding->firstHead, nullptr, stash->window);
      announceGrabFrom(stash->pointerWasIn, stash->window);
    }
    deactivatePointerGrab(kXrcMouse, nullptr, 0);
    if (activatePointerGrab(kXrcMouse, link->client, stash->window, stash->confineTo, stash->ownerEvents,
                            stash->eventMask, stash->pointerMode, stash->keyboardMode, stash->cursor, stash->time,
                            false))
      inputState.pointerGrab.lending = headIsLive(stash->lending) ? stash->lending : nullptr;
  }
  releaseGrabStash(stash);
  forwardReply(reply, length);
}

void ProcUngrabPointer(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 time = get32(request + 4);
  if (!checkUngrabPointer(kXrcMouse, client, time)) return;
  forwardDeselected(mustDeselect(), client, Route::kEveryServer, request, length, zeroTimeAt4, nullptr);
  noteGrabEndedByRequest(false);
  u32 window = inputState.pointerGrab.window;
  deactivatePointerGrab(kXrcMouse, client, time);
  announceGrabAcross(window, NotifyUngrab, nullptr);
  carryDeferredWarp();
}

// --- Passive button grabs ----------------------------------------------------------------------

void ProcGrabButton(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4), confineTo = get32(request + 12), cursorId = get32(request + 16);
  u16 eventMask = get16(request + 8), modifiers = get16(request + 22);
  u8 button = request[20];
  if (request[10] > 1) return sendXError(BadValue, request[10], request, length, "pointer-mode");
  if (request[11] > 1) return sendXError(BadValue, request[11], request, length, "keyboard-mode");
  if (badModifiers(modifiers)) return sendXError(BadValue, modifiers, request, length, "modifiers");
  if (request[1] > 1) return sendXError(BadValue, request[1], request, length, "owner-events");
  if (eventMask & kNotPointerEvents) return sendXError(BadValue, eventMask, request, length, "event-mask");
  ProxyWindow* grabWindow = lookupWindow(window);
  if (!grabWindow) return sendXError(BadWindow, window, request, length, "grab window");
  if (confineTo && !lookupWindow(confineTo)) return sendXError(BadWindow, confineTo, request, length, "confine-to");
  CursorRecord* cursor = cursorId ? lookupCursor(cursorId) : nullptr;
  if (cursorId && !cursor) return sendXError(BadCursor, cursorId, request, length, nullptr);
  setRequestResource(client, window);
  forwardToGrabHeads(grabWindow, button, request, length, rewriteButtonGrab, nullptr);
  removePassiveGrabs(client, false, window, button, modifiers);
  PassiveGrab fields{};
  fields.window = window, fields.confineTo = confineTo, fields.cursor = cursor, fields.eventMask = eventMask;
  fields.modifiers = modifiers, fields.ownerEvents = request[1], fields.detail = button;
  fields.pointerMode = request[10], fields.keyboardMode = request[11];
  addPassiveGrab(client, fields);
}

void ProcUngrabButton(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4);
  u16 modifiers = get16(request + 8);
  ProxyWindow* grabWindow = lookupWindow(window);
  if (!grabWindow) return sendXError(BadWindow, window, request, length, nullptr);
  if (badModifiers(modifiers)) return sendXError(BadValue, modifiers, request, length, "modifiers");
  setRequestResource(client, window);
  forwardToGrabHeads(grabWindow, request[1], request, length, rewriteWindowAt4, nullptr);
  removePassiveGrabs(client, false, window, request[1], modifiers);
}

void ProcChangeActivePointerGrab(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 cursorId = get32(request + 4), time = get32(request + 8);
  u16 eventMask = get16(request + 12);
  if (eventMask & kNotPointerEvents) return sendXError(BadValue, eventMask, request, length, "invalid event-mask");
  CursorRecord* cursor = cursorId ? lookupCursor(cursorId) : nullptr;
  if (cursorId && !cursor) return sendXError(BadCursor, cursorId, request, length, nullptr);
  InputGrab& grab = inputState.pointerGrab;
  if (grab.client != client) {
    LOGF(logChXhint, "Not pointer grab client in %s by %s", describeClientRequest(request), nameOf(client));
    return;
  }
  u32 now = currentMetaTime();
  if (timeTooOld(time, grab.time)) {
    LOGF(logChXhint, "Time too old in ChangeActivePointerGrab (0x%x < 0x%x) by %s", time, grab.time, nameOf(client));
    return;
  }
  if (timeTooNew(time, now)) {
    LOGF(logChXhint, "Time too new in ChangeActivePointerGrab (0x%x > 0x%x) by %s", time, now, nameOf(client));
    return;
  }
  forwardRequest(request, length,
                 [](u8* copy, u32, const RouteTarget& target, void*) {
                   u32 id = get32(copy + 4);
                   put32(copy + 4, id ? translateXid(id, RT_CURSOR, target.head) : None);
                   put32(copy + 8, CurrentTime);
                   put16(copy + 12, u16(completeEventMask(get16(copy + 12))));
                 },
                 nullptr);
  CursorRecord* old = grab.cursorRecord;
  refCursor(cursor);
  grab.cursorRecord = cursor;
  grab.cursor = cursorId;
  grab.eventMask = eventMask;
  unrefCursor(old);
  recordCursorChange(kXrcMouse);
}

// --- The keyboard ------------------------------------------------------------------------------

void ProcGrabKeyboard(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4), time = get32(request + 8);
  setRequestResource(client, window);
  Head* head = grabHeadFor(window);
  if (inactiveInWindow(head)) {
    sendReplyGrabKeyboard(client, u16(client->requestCounter), GrabNotViewable);
    return;
  }
  // Keys the proxy handed to a server that the grab takes them from are
  // let go there before the grab (no modifier stays down on it). On a
  // server that hands its keys on, a key held down holds the proxy's own
  // key grab there, which would refuse the client's.
  if (head) releaseHandedKeys(head->serverDisplay);
  if (head && focusHead() && focusHead()->serverDisplay != head->serverDisplay) endProxyKeyGrab(head);
  Head* lending = lendGrab(client, head, true, 0);
  ServerLink* link = forwardToHead(head, request, length,
                                   [](u8* copy, u32, const RouteTarget& target, void*) {
                                     put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
                                     put32(copy + 8, metaToServerTimestamp(get32(copy + 8), target.head));
                                   },
                                   nullptr);
  if (!link) return;
  GrabStash stash{window,     0,           nullptr,     0, time ? time : currentMetaTime(),
                  request[1], request[12], request[13], lending, 0, nullptr};
  stashGrab(link, X_GrabKeyboard, stash);
}

void ReplyGrabKeyboard(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto* stash = static_cast<GrabStash*>(takeStashedData(link, X_GrabKeyboard));
  if (!stash) return;
  settleLentGrab(link, stash, true, reply[1] == GrabSuccess);
  // The grab it replaces ends inside the activation, so that the change
  // between two grabs is told as one.
  if (reply[1] == GrabSuccess) {
    if (activateKeyboardGrab(kXrcKeyboard, link->client, stash->window, stash->ownerEvents, stash->pointerMode,
                             stash->keyboardMode, 0, stash->time, false))
      inputState.keyboardGrab.lending = headIsLive(stash->lending) ? stash->lending : nullptr;
    else
      deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
  }
  releaseGrabStash(stash);
  forwardReply(reply, length);
}

void ProcUngrabKeyboard(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 time = get32(request + 4);
  if (!checkUngrabKeyboard(kXrcKeyboard, client, time)) return;
  forwardDeselected(mustDeselect(), client, Route::kEveryServer, request, length, zeroTimeAt4, nullptr);
  noteGrabEndedByRequest(true);
  deactivateKeyboardGrab(kXrcKeyboard, client, time);
  carryDeferredWarp();
}

void ProcGrabKey(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4);
  u16 modifiers = get16(request + 8);
  u8 key = request[10];
  if (request[1] > 1) return sendXError(BadValue, request[1], request, length, "owner-events");
  if (request[11] > 1) return sendXError(BadValue, request[11], request, length, "pointer-mode");
  if (request[12] > 1) return sendXError(BadValue, request[12], request, length, "keyboard-mode");
  if (keyOutOfRange(key)) return sendXError(BadValue, key, request, length, "invalid key");
  if (badModifiers(modifiers)) return sendXError(BadValue, modifiers, request, length, "modifiers");
  ProxyWindow* grabWindow = lookupWindow(window);
  if (!grabWindow) return sendXError(BadWindow, window, request, length, "grab-window");
  setRequestResource(client, window);
  forwardToGrabHeads(grabWindow, 0, request, length, rewriteKeyGrab, nullptr);
  removePassiveGrabs(client, true, window, key, modifiers);
  PassiveGrab fields{};
  fields.window = window, fields.modifiers = modifiers, fields.ownerEvents = request[1], fields.detail = key;
  fields.pointerMode = request[11], fields.keyboardMode = request[12], fields.isKey = 1;
  addPassiveGrab(client, fields);
}

void ProcUngrabKey(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 window = get32(request + 4);
  u16 modifiers = get16(request + 8);
  u8 key = request[1];
  ProxyWindow* grabWindow = lookupWindow(window);
  if (!grabWindow) return sendXError(BadWindow, window, request, length, nullptr);
  if (keyOutOfRange(key)) return sendXError(BadValue, key, request, length, "key");
  if (badModifiers(modifiers)) return sendXError(BadValue, modifiers, request, length, "modifiers");
  setRequestResource(client, window);
  forwardToGrabHeads(grabWindow, 0, request, length, rewriteKeyUngrab, nullptr);
  removePassiveGrabs(client, true, window, key, modifiers);
}

// --- AllowEvents -------------------------------------------------------------------------------

namespace {

const char* const kAllowModeNames[] = {"AsyncPointer", "SyncPointer", "ReplayPointer", "AsyncKeyboard",
                                       "SyncKeyboard", "ReplayKeyboard", "AsyncBoth", "SyncBoth"};

bool frozeByClient(const FreezeRecord& freeze, const ProxyClient* client) {
  return freeze.client == client && freeze.state >= kFreezeByPointerGrab;
}

// AllowEvents' times are checked against the grabs of the client that
// sends it.
bool allowEventsTimeValid(ProxyClient* client, u32 time) {
  u32 now = currentMetaTime();
  if (timeTooNew(time, now)) {
    LOGF(logChXhint, "Time too new in AllowEvents #%u (0x%x > 0x%x) by %s", client->requestCounter, time, now,
         nameOf(client));
    return false;
  }
  for (const InputGrab* grab : {&inputState.pointerGrab, &inputState.keyboardGrab}) {
    if (grab->client != client || !timeTooOld(time, grab->time)) continue;
    LOGF(logChXhint, "Time too old in AllowEvents #%u (0x%x < 0x%x) by %s", client->requestCounter, time, grab->time,
         nameOf(client));
    return false;
  }
  return true;
}

// A freeze reset and armed again keeps the grab it belongs to.
void rearm(FreezeRecord* freeze, ProxyClient* client, u8 state, bool pointer) {
  u8 cause = freeze->cause;
  if (pointer)
    freezePointer(client, state, cause);
  else
    freezeKeyboard(client, state, cause);
}

// The effect of a mode on the model; false when it has none.
bool applyAllowMode(ProxyClient* client, u8 mode) {
  FreezeRecord& pointer = freezeState.pointer;
  FreezeRecord& keyboard = freezeState.keyboard;
  bool holdsPointer = inputState.pointerGrab.client == client;
  bool holdsKeyboard = inputState.keyboardGrab.client == client;
  switch (mode) {
    case AsyncPointer:
      if (!frozeByClient(pointer, client)) return false;
      thawPointer();
      return true;
    case SyncPointer:
      if (!holdsPointer || !frozeByClient(pointer, client)) return false;
      rearm(&pointer, client, kFreezeSyncArmed, true);
      return true;
    case ReplayPointer:
      if (!holdsPointer || pointer.client != client || pointer.state != kFreezeByEvent) return false;
      noteGrabEndedByRequest(false);
      deactivatePointerGrab(kXrcMouse, nullptr, 0);
      return true;
    case AsyncKeyboard:
      if (!frozeByClient(keyboard, client)) return false;
      thawKeyboard();
      return true;
    case SyncKeyboard:
      if (!holdsKeyboard || !frozeByClient(keyboard, client)) return false;
      rearm(&keyboard, client, kFreezeSyncArmed, false);
      return true;
    case ReplayKeyboard:
      if (!holdsKeyboard || keyboard.client != client || keyboard.state != kFreezeByEvent) return false;
      noteGrabEndedByRequest(true);
      deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
      return true;
    case AsyncBoth:
      if (!frozeByClient(pointer, client) || !frozeByClient(keyboard, client)) return false;
      thawPointer();
      thawKeyboard();
      return true;
    case SyncBoth:
      if (!frozeByClient(pointer, client) || !frozeByClient(keyboard, client)) return false;
      rearm(&pointer, client, kFreezeSyncBothArmed, true);
      rearm(&keyboard, client, kFreezeSyncBothArmed, false);
      return true;
    default: return false;
  }
}

struct AllowRewrite {
  bool effective;
};

}  // namespace

void ProcAllowEvents(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u8 mode = request[1];
  u32 time = get32(request + 4);
  if (mode > SyncBoth) return sendXError(BadValue, mode, request, length, nullptr);
  if (!allowEventsTimeValid(client, time)) return;
  // The thaw releases what the devices held back, crossings included: the
  // proxy's windows must not report them.
  bool deselect = mustDeselect();
  AllowRewrite rewrite{applyAllowMode(client, mode)};
  if (!rewrite.effective)
    LOGF(logChXhint, "%s has no effect in %s by %s", kAllowModeNames[mode], describeClientRequest(request),
         nameOf(client));
  forwardDeselected(deselect, client, Route::kPointerHead, request, length,
                    [](u8* copy, u32, const RouteTarget& target, void* argument) {
                      bool effective = static_cast<AllowRewrite*>(argument)->effective;
                      put32(copy + 4, effective ? CurrentTime : metaToServerTimestamp(get32(copy + 4), target.head));
                    },
                    &rewrite);
  carryDeferredWarp();
}

// --- The server grab ---------------------------------------------------------------------------

void ProcGrabServer(u8* request, u32) {
  ProxyClient* client = currentClient;
  if (grabHolder) {
    LOGF(logChXhint, "Already grabbed in %s by %s", describeClientRequest(request), nameOf(client));
    return;
  }
  suspendOtherClients(client);
  forgetStaleDrawing();
}

void ProcUngrabServer(u8* request, u32) {
  ProxyClient* client = currentClient;
  if (grabHolder != client) {
    LOGF(logChXhint, "Not grab client in %s by %s", describeClientRequest(request), nameOf(client));
    return;
  }
  resumeAllClients();
  refreshStaleDrawing();
}

}  // namespace palvon
