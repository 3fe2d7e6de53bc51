// Input events back to the client: keys, buttons, motion, crossings and
// focus, with the passive and automatic grabs they start and end.
#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/relay.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kBogusSunKeyboard = 0x100;
constexpr u32 kMotionCompression = 0x8000;
constexpr u32 kOwnerGrabButton = 1u << 24;
// The pointer events an automatic grab reports (no ButtonPress itself).
constexpr u32 kAutomaticGrabEvents = 0x7ffc;
constexpr u8 kSameScreenFlag = 0x02;  // byte 31 of a crossing

// Field offsets of key, button, motion and crossing events.
constexpr u32 kTime = 4, kRoot = 8, kWindow = 12, kChild = 16, kRootX = 20, kRootY = 22, kEventX = 24,
              kEventY = 26, kState = 28, kSameScreen = 30, kMode = 30, kCrossingFlags = 31;

i32 field16(const u8* event, u32 at) { return i16(get16(event + at)); }

ServerDisplay* linkServer() { return currentLink ? currentLink->server.display : nullptr; }

Display* linkDisplay() {
  ServerDisplay* server = linkServer();
  return server ? server->display : nullptr;
}


void unscaleInWindow(Head* head, u32 window, i32* x, i32* y) {
  if (!head || !head->scaler) return;
  setScalerDrawable(head->scaler, window);
  unscalePoint(head->scaler, x, y);
}

u32 eventMask(u32 window) { return eventMaskOfWindowForClient(window); }

// --- Keys ------------------------------------------------------------------------------------

// A keypad key reached through NumLock on a keyboard that does not say so
// in its state.
void addBogusNumLock(u8* event, Display* display) {
  if (!(proxyConfig.workarounds & kBogusSunKeyboard) || !display) return;
  u32 state = get16(event + kState);
  if (!xrcIsKeypadKey(display, event[1], state)) return;
  put16(event + kState, u16(state | xrcModifierMaskByName(display, kXrcKeyboard, "NumLock")));
}

// Steps common to KeyPress and KeyRelease; false drops the event.
bool translateKey(u8* event) {
  ServerDisplay* server = linkServer();
  if (isUnheard(server, event[1], (event[0] & 0x7f) == KeyPress)) return false;
  if (!lentGrabWindow(event, server) && !fromServerOf(keyboardHead())) return false;
  keepScreenSaversInStep();
  addBogusNumLock(event, linkDisplay());
  if (server) {
    u32 meta = headToMetaKeycode(kXrcKeyboard, event[1], server);
    if (!(meta & 0xff)) return false;
    event[1] = u8(meta);
  }
  return translateDeviceEvent(event);
}

// --- Crossings and focus ----------------------------------------------------------------------

struct CrossingMatch {
  u8 code;
  u32 root, window;
  u8 mode;
  uintptr_t serverWindow;
};

// A crossing's tag names the server window it was reported for and the
// server: two fresh servers give a client the same id base, so the same id
// may name both heads' copies of a window.
static_assert(sizeof(uintptr_t) >= 8, "the tag holds the server index above the window id");
uintptr_t serverWindowTag(u32 serverWindow) {
  u32 server = currentLink ? currentLink->server.serverIndex + 1 : 0;
  return uintptr_t(serverWindow) | uintptr_t(server) << 32;
}

// The opposite crossing of the same client window from another head's
// window: the pointer only moved between heads inside that window.
bool isCancellingCrossing(const HeldMessage* held, const void* argument) {
  auto* want = static_cast<const CrossingMatch*>(argument);
  const u8* b = held->bytes;
  return b[0] == want->code && get32(b + kRoot) == want->root && get32(b + kWindow) == want->window &&
         b[kMode] == want->mode && (held->tag & ~kCrossingDelivered) != want->serverWindow;
}

struct FocusMatch {
  u8 code;
  u32 window;
  const Head* head;
};

bool isCancellingFocus(const HeldMessage* held, const void* argument) {
  auto* want = static_cast<const FocusMatch*>(argument);
  if (held->bytes[0] != want->code || get32(held->bytes + 4) != want->window) return false;
  auto* other = reinterpret_cast<const Head*>(held->tag);
  return other != want->head && headIsLive(other) && other->metaScreen == want->head->metaScreen;
}

// The server's KeymapNotify that follows an EnterNotify or FocusIn goes to
// the client when that crossing or focus change was the client's (seen or
// not: a plain server sends it to a client that selected KeymapState on the
// window whether it selected the crossing or not), and is dropped when it
// was only a server's view (a head's edge, its part of a move).
constexpr u8 kKeymapUnjudged = 0, kKeymapClients = 1, kKeymapNotClients = 2;

void judgeKeymapAfter(const u8* event, bool clients) {
  if (currentLink && (event[0] == EnterNotify || event[0] == FocusIn))
    currentLink->keymapFollows = clients ? kKeymapClients : kKeymapNotClients;
}

// A held crossing cancelled, with the KeymapNotify held after it.
void dropHeldCrossing(HeldList* list, HeldMessage* held) {
  if (held->next && held->next->bytes[0] == KeymapNotify) dropHeldMessage(list, held->next);
  dropHeldMessage(list, held);
}

void handleCrossing(u8* event, u32 maskBit) {
  if (passedUntranslated(event)) return;
  // A move between servers tells its crossings itself.
  u8 seam = seamPhaseOf(currentLink);
  if (seam == kSeamParked || seam == kSeamEntered) return judgeKeymapAfter(event, false);
  // Only the pointer head's server speaks for the pointer. When the pointer
  // moves onto another server's head inside one window, though, the old
  // server's LeaveNotify comes after the head changed: it is never the
  // client's, but it still cancels the new server's EnterNotify (and the
  // reverse), whichever comes first.
  bool pointerServer = fromServerOf(pointerHead());
  if (!pointerServer && proxyState.headCount < 2) return judgeKeymapAfter(event, false);
  if (event[kMode] == NotifyGrab && grabCrossingsHeldFrom(linkServer())) return judgeKeymapAfter(event, false);
  uintptr_t tag = serverWindowTag(get32(event + kWindow));
  bool happened = false;
  if (translateCrossingEvent(event, maskBit, &happened) && pointerServer) tag |= kCrossingDelivered;
  judgeKeymapAfter(event, happened && pointerServer);
  if (proxyState.headCount > 1) {
    PendingRequest* entry = holdingEntry(event, true);
    CrossingMatch match{u8(event[0] == EnterNotify ? LeaveNotify : EnterNotify), get32(event + kRoot),
                        get32(event + kWindow), event[kMode], tag & ~kCrossingDelivered};
    if (HeldMessage* held = entry ? findHeldMessage(&entry->others, isCancellingCrossing, &match) : nullptr) {
      dropHeldCrossing(&entry->others, held);
      return judgeKeymapAfter(event, false);
    }
    return deliverEvent(event, tag);
  }
  // One head: a crossing the client is not to see only waits on an entry
  // that holds its request's messages anyway (and is dropped there).
  if (!(tag & kCrossingDelivered) && !holdingEntry(event, false)) return;
  deliverEvent(event, tag);
}

void handleFocus(u8* event) {
  if (passedUntranslated(event)) return;
  // The focus the proxy gives the new server while the pointer changes
  // server and takes back to the old one (parked), and the way each
  // server's pointer takes meanwhile, move no focus of the clients': a
  // plain server's focus stays where it is.
  u8 seam = seamPhaseOf(currentLink);
  if (seam == kSeamParked || seam == kSeamEntered) return judgeKeymapAfter(event, false);
  Head* head = translateFocusEvent(event);
  judgeKeymapAfter(event, head != nullptr);
  // The server tells a client that selected KeymapState only of the focus
  // changes too: the KeymapNotify after a FocusIn is judged by it.
  if (!head || !(eventMaskOfWindowForClient(get32(event + 4)) & FocusChangeMask)) return;
  uintptr_t tag = reinterpret_cast<uintptr_t>(head);
  if (!head->metaScreen || head->metaScreen->headCount < 2) return deliverEvent(event, tag);
  PendingRequest* entry = holdingEntry(event, false);
  if (!entry) {
    holdingEntry(event, true);
    return deliverEvent(event, tag);
  }
  FocusMatch match{u8(event[0] == FocusIn ? FocusOut : FocusIn), get32(event + 4), head};
  if (HeldMessage* held = findHeldMessage(&entry->others, isCancellingFocus, &match)) {
    dropHeldMessage(&entry->others, held);
    return judgeKeymapAfter(event, false);
  }
  deliverEvent(event, tag);
}

// --- Buttons -----------------------------------------------------------------------------------

// The client's passive grab on the window activated by the press; false
// when the event is to be dropped.
bool activatePassiveButtonGrab(u8*& event, PassiveGrab* grab) {
  ProxyClient* client = currentClient;
  ServerLink* link = currentLink;
  u32 window = get32(event + kWindow), time = get32(event + kTime);
  if (!activatePointerGrab(kXrcMouse, client, window, grab->confineTo, grab->ownerEvents, grab->eventMask,
                           grab->pointerMode, grab->keyboardMode, grab->cursor, time, true)) {
    // The server activated its grab anyway (confine-to went as None).
    LOGF(logChXhint, "Fix consequence of GrabButton with confineTo None");
    if (link) {
      requestUngrabPointer(link);
      flushServerLink(link);
    }
    return false;
  }
  if (!grab->confineTo || grab->confineTo == window) return true;
  ProxyWindow* confine = lookupWindow(grab->confineTo);
  if (!confine || !confine->screen) return true;
  i32 x = field16(event, kRootX), y = field16(event, kRootY);
  Rect inside{confine->x, confine->y, std::max<u32>(confine->width, 1), std::max<u32>(confine->height, 1)};
  rectClampPoint(&x, &y, inside);
  Head* at = findHeadAtPoint(confine->screen, x, y);
  if (at && at != pointerHead()) {
    // Moving the pointer reads other links and may move this link's input:
    // the event is found again at its offset.
    size_t offset = link ? size_t(event - link->input.data) : 0;
    confinePointerAcrossHeads(client, confine->screen, x, y, false);
    if (link) event = link->input.data + offset;
  } else if (Head* holder = pointerHead()) {
    grabPointerOnDisplay(kXrcMouse, holder);
  }
  return true;
}

}  // namespace

// --- Shared ------------------------------------------------------------------------------------

namespace {

// A key, button or motion event sent with SendEvent whose window and root
// are a head's real root on this link's server: no client knows that id
// (its SendEvent bodies carry its own ids), so it is the input the proxy's
// own connection made where the server has no fake input.
bool isServerRootEvent(const u8* event, u8 code) {
  if (code < KeyPress || code > MotionNotify || !proxyState.screens) return false;
  Display* display = linkDisplay();
  u32 root = get32(event + kRoot);
  if (!display || get32(event + kWindow) != root) return false;
  const Head* head = findHeadByRoot(display, root);
  return head && head->metaScreen && head->metaScreen->rootId != root;
}

}  // namespace

bool passedUntranslated(u8* event) {
  if (!(event[0] & 0x80) && proxyState.screens) return false;
  u8 code = event[0] & 0x7f;
  if (isServerRootEvent(event, code)) {
    // Input the proxy made itself on a server without fake input: what the
    // head's server says of its root is said of the meta root.
    if (!translateDeviceEvent(event)) return true;
    if (get32(event + kWindow) == get32(event + kRoot)) {
      put16(event + kEventX, get16(event + kRootX));
      put16(event + kEventY, get16(event + kRootY));
    }
  }
  deliverEvent(event, code == EnterNotify || code == LeaveNotify ? kCrossingDelivered : 0);
  return true;
}

void deliverEvent(u8* event, uintptr_t tag) {
  ProxyClient* client = currentClient;
  if (client && client->recording && serviceHooks.recordEvent) serviceHooks.recordEvent(client, event);
  sendEventToClient(event, eventLayoutOf(event), tag);
}

bool fromServerOf(const Head* head) {
  if (!head) return true;
  return currentLink && currentLink->server.display == head->serverDisplay;
}

PendingRequest* holdingEntry(const u8* event, bool create) {
  ProxyClient* client = currentClient;
  ServerLink* link = currentLink;
  if (!client || !link) return nullptr;
  u64 sequence = sequenceWidenBack(client->requestCounter, get16(event + 2));
  PendingRequest* entry = findPendingRequest(client, sequence, link->server.serverIndex, link->lastServerSequence);
  if (!entry && create) entry = insertPendingRequest(client, sequence, 0);
  return entry;
}

// --- Device events --------------------------------------------------------------------------------

namespace {

// The child of the window on the way to the window under (x, y) of the
// screen; None when that point is not inside one.
u32 childTowards(const ProxyWindow* window, MetaScreen* screen, i32 x, i32 y) {
  const ProxyWindow* hit = pointerWindowAt(screen, x, y);
  for (; hit && hit->parent; hit = hit->parent)
    if (hit->parent == window) return hit->id;
  return None;
}

// The event as reported on the window with the pointer at (x, y) of the
// screen.
void placeInWindow(u8* event, const ProxyWindow* record, MetaScreen* screen, i32 x, i32 y) {
  put32(event + kRoot, screen->rootId);
  put32(event + kWindow, record->id);
  put16(event + kRootX, u16(x));
  put16(event + kRootY, u16(y));
  bool same = record->screen == screen;
  event[kSameScreen] = same ? 1 : 0;
  put16(event + kEventX, same ? u16(x - record->x) : 0);
  put16(event + kEventY, same ? u16(y - record->y) : 0);
  put32(event + kChild, same ? childTowards(record, screen, x, y) : None);
}

// A key or button that a server the pointer is not on reports (keys go
// where the focus is, buttons where a grab on the input server took them):
// the pointer is where the proxy holds it, on its own screen, not where
// that server's pointer stands.
bool placeAtMetaPointer(u8* event, ServerDisplay* server, Head* holder, u32 lent) {
  Head* own = findHeadByRoot(server->display, get32(event + kRoot));
  u32 window = lent ? lent : mapServerXidToClientByType(RT_WINDOW, get32(event + kWindow), own);
  const ProxyWindow* record = lookupWindow(window);
  if (!record) return false;
  put32(event + kTime, translateServerTimestamp(get32(event + kTime), server));
  placeInWindow(event, record, holder->metaScreen, inputState.pointerX, inputState.pointerY);
  return true;
}

// The window a key goes to under an owner-events keyboard grab of
// `grabber`, the pointer at (x, y) of the screen: it propagates from the
// focus (the pointer's window inside it, or the window under the pointer
// with PointerRoot) to the first window any client selected it on, and is
// the grabber's there when the grabber is among them; null when it is not,
// when no window up to the focus selected it or one stops its propagation
// (it goes to the grab window).
const ProxyWindow* ownerKeyWindow(u32 mask, MetaScreen* screen, i32 x, i32 y, const ProxyClient* grabber) {
  u32 focus = inputState.focusWindow;
  if (focus == None) return nullptr;
  const ProxyWindow* sprite = pointerWindowAt(screen, x, y);
  const ProxyWindow* top = nullptr;  // where propagation stops; the root with PointerRoot
  const ProxyWindow* start = sprite;
  if (focus != PointerRoot) {
    top = lookupWindow(focus);
    if (!top) return nullptr;
    bool inside = false;
    for (const ProxyWindow* up = sprite; up && !inside; up = up->parent) inside = up == top;
    if (!inside) start = top;
  }
  for (const ProxyWindow* at = start; at; at = at == top ? nullptr : at->parent) {
    bool selected = false;
    for (const EventSelection* s = at->selections; s; s = s->next) {
      if (!s->client || !(s->eventMask & mask)) continue;
      if (s->client == grabber) return at;
      selected = true;
    }
    if (selected || (at->doNotPropagateMask & mask)) return nullptr;
  }
  return nullptr;
}

// A key under the current client's owner-events keyboard grab is reported
// where a plain server reports it, whichever server it came from and
// whatever window that server chose: a head's copy of a window selects
// both kinds of key for a client that selected either, so a server stops
// the search at another window than a plain one, and a server the pointer
// is not on (or that holds a grab lent to it) knows nothing of where the
// pointer is.
void reportToOwnerWindow(u8* event) {
  const InputGrab& grab = inputState.keyboardGrab;
  Head* holder = pointerHead();
  if (!grab.client || grab.client != currentClient || !grab.ownerEvents || !holder || !holder->metaScreen) return;
  MetaScreen* screen = holder->metaScreen;
  i32 x = field16(event, kRootX), y = field16(event, kRootY);
  u32 mask = (event[0] & 0x7f) == KeyPress ? KeyPressMask : KeyReleaseMask;
  const ProxyWindow* to = ownerKeyWindow(mask, screen, x, y, grab.client);
  if (!to) to = lookupWindow(grab.window);
  if (to && to->id != get32(event + kWindow)) placeInWindow(event, to, screen, x, y);
}

}  // namespace

bool translateDeviceEvent(u8* event) {
  ServerDisplay* server = linkServer();
  if (!server) return true;
  u8 code = event[0] & 0x7f;
  // An event on a lent grab's window is the grab's (Proxy/events/relay.h).
  u32 lent = lentGrabWindow(event, server);
  Head* holder = pointerHead();
  if (code >= KeyPress && code <= ButtonRelease && holder && holder->metaScreen && holder->serverDisplay != server)
    return placeAtMetaPointer(event, server, holder, lent);
  ServerPointerHit hit = findHeadAtServerPointer(server->display, get32(event + kRoot), field16(event, kRootX),
                                                 field16(event, kRootY));
  if (hit.head && hit.outsideClip) return false;
  Head* head = hit.head;
  bool clamped = head && !hit.sameScreen;
  if (!head) {
    MetaScreen* screen = lookupScreenOfXid(mapServerXidToClient(get32(event + kWindow), server));
    if (!screen || !screen->heads) return false;
    LOGF(logChStep, "Using first head...");
    head = screen->heads;
    put32(event + kChild, None);
    put32(event + kRoot, u32(head->root));
    hit.x = hit.y = 0;
  }
  put16(event + kRootX, u16(hit.x));
  put16(event + kRootY, u16(hit.y));
  u32 root = mapServerXidToClientByType(RT_WINDOW, get32(event + kRoot), head);
  u32 window = lent ? lent : mapServerXidToClientByType(RT_WINDOW, get32(event + kWindow), head);
  put32(event + kRoot, root);
  put32(event + kWindow, window);
  put32(event + kChild, lent ? None : mapServerXidToClientByType(RT_WINDOW, get32(event + kChild), head));
  put32(event + kTime, translateServerTimestamp(get32(event + kTime), server));
  if (lookupScreenOfXid(root) != lookupScreenOfXid(window)) {
    event[kSameScreen] = 0;
    put16(event + kEventX, 0);
    put16(event + kEventY, 0);
    put32(event + kChild, None);
    return true;
  }
  // A press outside the head's area belongs to the head next to it.
  if (clamped && (code == KeyPress || code == ButtonPress)) return false;
  i32 x = field16(event, kEventX), y = field16(event, kEventY);
  if (!event[kSameScreen] || lent) {
    const ProxyWindow* record = lookupWindow(window);
    x = hit.x - (record ? record->x : 0), y = hit.y - (record ? record->y : 0);
    event[kSameScreen] = 1;
  } else {
    unscaleInWindow(head, window, &x, &y);
  }
  put16(event + kEventX, u16(x));
  put16(event + kEventY, u16(y));
  return true;
}

void EventKeyPress(u8* event) {
  if (passedUntranslated(event)) return;
  if (!translateKey(event)) return;
  reportToOwnerWindow(event);
  ProxyClient* client = currentClient;
  u32 window = get32(event + kWindow);
  const InputGrab& grab = inputState.keyboardGrab;
  const EndedGrab* ended = grab.client ? nullptr : endedGrabOf(event, true);
  if (!grab.client && !ended) {
    if (PassiveGrab* passive = findPassiveGrab(client, true, window, event[1], get16(event + kState)))
      activateKeyboardGrab(kXrcKeyboard, client, window, passive->ownerEvents, passive->pointerMode,
                           passive->keyboardMode, event[1], get32(event + kTime), true);
  } else {
    refreezeKeyboardAfterEvent(client);
  }
  if (inputState.keyboardGrab.client || ended || (eventMask(window) & KeyPressMask)) deliverEvent(event);
}

void EventKeyRelease(u8* event) {
  if (passedUntranslated(event)) return;
  if (!translateKey(event)) return;
  reportToOwnerWindow(event);
  ProxyClient* client = currentClient;
  u32 window = get32(event + kWindow);
  InputGrab& grab = inputState.keyboardGrab;
  bool deliver = grab.client || endedGrabOf(event, true) || (eventMask(window) & KeyReleaseMask);
  if (grab.client == client && client) {
    if (grab.passive && grab.key == event[1] && deactivateKeyboardGrab(kXrcKeyboard, client, get32(event + kTime))) {
      if (grab.pendingUngrab && currentLink) {
        grab.pendingUngrab = 0;
        requestUngrabKeyboard(currentLink);
        flushServerLink(currentLink);
      }
    } else {
      refreezeKeyboardAfterEvent(client);
    }
  }
  if (deliver) deliverEvent(event);
}

void EventButtonPress(u8* event) {
  if (passedUntranslated(event)) return;
  isUnheardButton(linkServer(), event[1], true);
  if (!takesButtonsFrom(linkServer())) return;
  keepScreenSaversInStep();
  if (!translateDeviceEvent(event)) return;
  ProxyClient* client = currentClient;
  u32 window = get32(event + kWindow);
  const InputGrab& grab = inputState.pointerGrab;
  if (grab.client) {
    refreezePointerAfterEvent(client);
  } else if (endedGrabOf(event, false)) {
    // Reported under the grab its client ended since: it started no grab.
  } else if (PassiveGrab* passive = findPassiveGrab(client, false, window, event[1], get16(event + kState))) {
    if (!activatePassiveButtonGrab(event, passive)) return;
  } else {
    // The server started an automatic grab for the press.
    u32 mask = eventMask(window);
    activatePointerGrab(kXrcMouse, client, window, 0, (mask & kOwnerGrabButton) ? 1 : 0, mask & kAutomaticGrabEvents,
                        GrabModeAsync, GrabModeAsync, nullptr, get32(event + kTime), true);
  }
  deliverEvent(event);
}

namespace {

bool wantedUnderGrab(u32 window, u32 grabWindow, u16 grabMask, u8 ownerEvents) {
  return (window == grabWindow && (grabMask & ButtonReleaseMask)) ||
         (ownerEvents && (eventMask(window) & ButtonReleaseMask));
}

}  // namespace

void EventButtonRelease(u8* event) {
  if (passedUntranslated(event)) return;
  if (isUnheardButton(linkServer(), event[1], false) || !takesButtonsFrom(linkServer())) return;
  releaseCarriedButton(linkServer(), event[1]);
  keepScreenSaversInStep();
  if (!translateDeviceEvent(event)) return;
  ProxyClient* client = currentClient;
  InputGrab& grab = inputState.pointerGrab;
  // The servers' grabs always report releases (the grab ends on one); the
  // client sees one only where it or its grab asked for it.
  u32 window = get32(event + kWindow);
  const EndedGrab* ended = grab.client != client ? endedGrabOf(event, false) : nullptr;
  bool wanted = grab.client && grab.client == client
                    ? wantedUnderGrab(window, grab.window, grab.eventMask, grab.ownerEvents)
                : ended ? wantedUnderGrab(window, ended->window, ended->eventMask, ended->ownerEvents)
                        : (eventMask(window) & ButtonReleaseMask) != 0;
  if (client && grab.client == client) {
    // The state still has the released button; buttons above 5 have no
    // state bit and end the grab when no other button is down.
    u32 button = event[1];
    u32 own = button >= 1 && button <= 5 ? 256u << (button - 1) : 0;
    u16 after = u16(get16(event + kState) & ~own);
    bool last = (after & 0x1f00) == 0;
    const Head* lending = grab.lending;
    u32 grabWindow = grab.window;
    if (grab.passive && last && deactivatePointerGrab(kXrcMouse, client, get32(event + kTime))) {
      if (grab.pendingUngrab && currentLink) {
        grab.pendingUngrab = 0;
        requestUngrabPointer(currentLink);
        flushServerLink(currentLink);
      }
      // Released on another screen than the grab's: what the grab's end
      // makes follows the release.
      if (wanted) deliverEvent(event);
      if (lending) endButtonGrabAcross(client, lending, grabWindow, after);
      return;
    }
    refreezePointerAfterEvent(client);
  }
  if (wanted) deliverEvent(event);
}

void EventMotionNotify(u8* event) {
  if (passedUntranslated(event)) return;
  // While the pointer changes server, the move reports where it went,
  // unless a grab's confine-to window took it there: a plain server reports
  // no motion for that.
  u8 seam = seamPhaseOf(currentLink);
  if (seam == kSeamLeaving || seam == kSeamParked || (seam == kSeamEntered && inputState.seamConfining)) return;
  keepScreenSaversInStep();
  ServerDisplay* server = linkServer();
  if (!event[kSameScreen] && server &&
      lookupScreenOfXid(mapServerXidToClient(get32(event + kRoot), server)) ==
          lookupScreenOfXid(mapServerXidToClient(get32(event + kWindow), server)))
    return;  // the motion is reported by the head that shows the pointer
  // While the pointer is on another screen's server, this server's pointer
  // stays where the proxy parked it: its moves are not the pointer's.
  Head* holder = pointerHead();
  Head* own = server && holder && holder->serverDisplay != server
                  ? findHeadByRoot(server->display, get32(event + kRoot))
                  : nullptr;
  if (own && own->metaScreen != holder->metaScreen) return;
  if (!translateDeviceEvent(event)) return;
  if (proxyConfig.workarounds & kMotionCompression) {
    for (PendingRequest* entry = currentClient ? currentClient->pendingHead : nullptr; entry; entry = entry->next) {
      HeldMessage* held = findHeldMessage(
          &entry->others, [](const HeldMessage* m, const void*) { return m->bytes[0] == MotionNotify; }, nullptr);
      if (held) dropHeldMessage(&entry->others, held);
    }
  }
  deliverEvent(event);
}

void EventEnterNotify(u8* event) { handleCrossing(event, EnterWindowMask); }
void EventLeaveNotify(u8* event) { handleCrossing(event, LeaveWindowMask); }
void EventFocusIn(u8* event) { handleFocus(event); }
void EventFocusOut(u8* event) { handleFocus(event); }
void EventKeymapNotify(u8* event) {
  ServerLink* link = currentLink;
  u8 follows = link ? link->keymapFollows : kKeymapUnjudged;
  if (link) link->keymapFollows = kKeymapUnjudged;
  if (event[0] & 0x80) return deliverEvent(event);
  if (follows == kKeymapNotClients) return;
  deliverEvent(event, follows == kKeymapClients ? kKeymapOfItsCrossing : 0);
}

// --- Buttons past the servers' -------------------------------------------------------------------

namespace {

// Where each held button's press went: its release goes there, as under
// the grab a press starts.
struct HeldButton {
  ProxyClient* client;
  u32 window;
};
HeldButton heldButtons[32];
u32 heldButtonBits;

bool selects(const ProxyWindow* window, const ProxyClient* client, u32 mask) {
  for (const EventSelection* s = window->selections; s; s = s->next)
    if (s->client == client && (s->eventMask & mask)) return true;
  return false;
}

// The first window up from `at` that some client selected the mask on (a
// grabbing client's own only), and that client.
HeldButton firstSelecting(ProxyWindow* at, u32 mask, const ProxyClient* only) {
  for (ProxyWindow* window = at; window; window = window->parent) {
    for (const EventSelection* s = window->selections; s; s = s->next)
      if ((!only || s->client == only) && (s->eventMask & mask) && s->client) return {s->client, window->id};
  }
  return {nullptr, 0};
}

// Who hears the press or release: the grab's client (where it selected the
// event itself with owner events, else on the grab window by the grab's
// mask), the client the press went to, or the first selecting window's.
HeldButton buttonRecipient(ProxyWindow* at, u32 button, bool press) {
  u32 mask = press ? ButtonPressMask : ButtonReleaseMask;
  const InputGrab& grab = inputState.pointerGrab;
  if (grab.client) {
    HeldButton own = grab.ownerEvents ? firstSelecting(at, mask, grab.client) : HeldButton{nullptr, 0};
    if (own.client) return own;
    return (grab.eventMask & mask) ? HeldButton{grab.client, grab.window} : HeldButton{nullptr, 0};
  }
  if (!press) {
    HeldButton pressed = heldButtons[button - 1];
    const ProxyWindow* window = pressed.client ? lookupWindow(pressed.window) : nullptr;
    return window && selects(window, pressed.client, mask) ? pressed : HeldButton{nullptr, 0};
  }
  return firstSelecting(at, mask, nullptr);
}

}  // namespace

void fakeOfferedButton(u32 button, bool press) {
  if (button < 1 || button > 32) return;
  u32 bit = 1u << (button - 1);
  // A held button pressed again, or a free one released, changes nothing.
  if (press == ((heldButtonBits & bit) != 0)) return;
  heldButtonBits ^= bit;
  u8 logical = proxyState.pointerMap[button - 1];
  const Head* holder = pointerHead();
  MetaScreen* screen = holder ? holder->metaScreen : proxyState.screens;
  if (!logical || !screen || !screen->rootWindow) return;
  i32 x = inputState.pointerX, y = inputState.pointerY;
  ProxyWindow* at = pointerWindowAt(screen, x, y);
  HeldButton to = buttonRecipient(at, button, press);
  if (press) heldButtons[button - 1] = inputState.pointerGrab.client ? HeldButton{nullptr, 0} : to;
  const ProxyWindow* target = to.client ? lookupWindow(to.window) : nullptr;
  if (!target) return;
  // The child of the event window on the way to the pointer's window.
  const ProxyWindow* child = at;
  while (child && child->parent != target) child = child->parent;
  u8 event[32] = {};
  event[0] = press ? ButtonPress : ButtonRelease;
  event[1] = logical;
  put16(event + 2, u16(to.client->requestCounter));
  put32(event + kTime, currentMetaTime());
  put32(event + kRoot, screen->rootId);
  put32(event + kWindow, target->id);
  put32(event + kChild, child && at != target ? child->id : None);
  put16(event + kRootX, u16(x));
  put16(event + kRootY, u16(y));
  put16(event + kEventX, u16(x - target->x));
  put16(event + kEventY, u16(y - target->y));
  put16(event + kState, u16(inputState.buttonState | inputState.modifierState));
  event[kSameScreen] = 1;
  sendComposedEvent(event, "bbsiiiisssss", to.client);
}

u32 offeredButtonsHeld() { return heldButtonBits; }

void forgetOfferedButtonsOf(const ProxyClient* client) {
  for (HeldButton& held : heldButtons)
    if (held.client == client) held = {nullptr, 0};
}

// --- Translation of crossings and focus --------------------------------------------------------------

namespace {

// Ids, time and position of a crossing back to the client's; false when it
// is not the client's to see whatever its mask.
bool translateCrossingPosition(u8* event, ServerDisplay* server) {
  ServerPointerHit hit = findHeadAtServerPointer(server->display, get32(event + kRoot), field16(event, kRootX),
                                                 field16(event, kRootY));
  Head* head = hit.head;
  if (!head) return false;
  bool clamped = !hit.sameScreen;
  u32 root = mapServerXidToClientByType(RT_WINDOW, get32(event + kRoot), head);
  u32 window = mapServerXidToClientByType(RT_WINDOW, get32(event + kWindow), head);
  put32(event + kRoot, root);
  put32(event + kWindow, window);
  put32(event + kChild, mapServerXidToClientByType(RT_WINDOW, get32(event + kChild), head));
  put32(event + kTime, translateServerTimestamp(get32(event + kTime), server));
  put16(event + kRootX, u16(hit.x));
  put16(event + kRootY, u16(hit.y));
  if (lookupScreenOfXid(root) != lookupScreenOfXid(window)) {
    event[kCrossingFlags] &= u8(~kSameScreenFlag);
    put16(event + kEventX, 0);
    put16(event + kEventY, 0);
    put32(event + kChild, None);
    return true;
  }
  if (!(event[kCrossingFlags] & kSameScreenFlag)) return false;
  i32 x = field16(event, kEventX), y = field16(event, kEventY);
  unscaleInWindow(head, window, &x, &y);
  put16(event + kEventX, u16(x));
  put16(event + kEventY, u16(y));
  // Leaving a head's area is not leaving the window.
  return !((event[0] & 0x7f) == LeaveNotify && clamped);
}

bool hearsUnderGrab(u32 window, u32 grabWindow, u32 grabMask, u8 ownerEvents, u32 selected, u32 maskBit) {
  return (window == grabWindow && (grabMask & maskBit)) || (ownerEvents && selected);
}

// Whether a focus change with detail Pointer on the window is one a plain
// server does not send while the pointer is on the root over no child. It
// sends none when the focus goes from PointerRoot to None (its root tells
// the pointer's way out only when the pointer was in a child, or when the
// focus goes to a window), and none at all while it holds the pointer in no
// window (pointerInNoWindow). Behind the proxy the pointer is always in the
// head's copy of the root, which its server tells them of.
bool unsentOnBareRoot(const Head* head, u32 window, u8 code) {
  MetaScreen* screen = head->metaScreen;
  const Head* holder = pointerHead();
  if (!screen || window != screen->rootId || !holder || holder->metaScreen != screen) return false;
  if (!inputState.pointerInNoWindow && (code != FocusOut || inputState.focusWindow != None)) return false;
  return pointerWindowAt(screen, inputState.pointerX, inputState.pointerY) == screen->rootWindow;
}

}  // namespace

bool translateCrossingEvent(u8* event, u32 maskBit, bool* happened) {
  ServerDisplay* server = linkServer();
  if (happened) *happened = false;
  if (server && !translateCrossingPosition(event, server)) return false;
  if (happened) *happened = true;
  u32 window = get32(event + kWindow);
  u32 mask = eventMaskOfWindowForClient(window);
  // Which grab the server reported the crossing under, as the proxy's grabs
  // stood then: a grab's start and end (modes Grab and Ungrab) are told
  // while no grab holds the pointer, to every client by its own selection,
  // however far the proxy's grab moved on since (another link may have
  // brought the press that started it, or the next one); only a client's
  // new grab tells the way from the grab it replaces under that one.
  const InputGrab& grab = inputState.pointerGrab;
  const EndedGrab* ended = nullptr;
  bool underGrab = grab.client && grab.client == currentClient;
  if (event[kMode] == NotifyGrab)
    underGrab = underGrab && reportedUnderPointerGrab(event);
  else if (event[kMode] != NotifyNormal)
    underGrab = false;
  else if (!underGrab)
    ended = endedGrabOf(event, false);
  // The grabbing client hears them by its grab: the grab window's by the
  // grab's mask, others' only with owner events.
  u32 selected = mask & maskBit;
  if (underGrab) return hearsUnderGrab(window, grab.window, grab.eventMask, grab.ownerEvents, selected, maskBit);
  if (ended) return hearsUnderGrab(window, ended->window, ended->eventMask, ended->ownerEvents, selected, maskBit);
  return selected != 0;
}

Head* translateFocusEvent(u8* event) {
  ServerDisplay* server = linkServer();
  if (!server) return nullptr;
  Head* holder = pointerHead();
  u32 serverWindow = get32(event + 4);
  u8 detail = event[1];
  Head* head = nullptr;
  if (detail == NotifyPointerRoot || detail == NotifyDetailNone) {
    // With several servers each sees only its own screens, and parks its
    // focus when another's turn comes: the proxy tells these itself.
    if (severalServers() || !fromServerOf(holder)) return nullptr;
    for (MetaScreen* screen = proxyState.screens; screen && !head; screen = screen->next) {
      for (Head* each = screen->heads; each; each = each->next) {
        if (each->serverDisplay != server || u32(each->root) != serverWindow) continue;
        bool pointerScreen = holder && holder->metaScreen == screen;
        Head* main = screen->mainHead ? screen->mainHead : screen->heads;
        if ((pointerScreen && each == holder) || (!pointerScreen && each == main)) {
          head = each;
          break;
        }
      }
    }
  } else {
    // The pointer's way in or out of the focus is told where the pointer is.
    if (detail == NotifyPointer && !fromServerOf(holder)) return nullptr;
    // A real root's other changes are those of the windows the proxy keeps
    // between it and the copy of the meta root, which stands for the root.
    if (findHeadByRoot(server->display, serverWindow)) return nullptr;
    head = findHeadForServerXid(serverWindow, server);
    if (head && !speaksForFocus(head)) return nullptr;
  }
  if (!head) return nullptr;
  u32 window = mapServerXidToClientByType(RT_WINDOW, serverWindow, head);
  if (event[1] == NotifyPointer && unsentOnBareRoot(head, window, event[0])) return nullptr;
  put32(event + 4, window);
  return head;
}

}  // namespace palvon
