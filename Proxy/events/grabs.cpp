// The grab and freeze state machine, focus reversion, and repeating the
// active grabs on one head.
#include "Proxy/events/grabs.h"

#include <X11/X.h>

#include <algorithm>
#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/relay.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/rect.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

FreezeState freezeState;

namespace {

InputGrab& pointerGrab() { return inputState.pointerGrab; }
InputGrab& keyboardGrab() { return inputState.keyboardGrab; }

// The grabbing client's sequence of the event or reply that activated the
// pointer grab: a crossing of mode Grab its link reported later came under
// this grab.
u64 pointerGrabActivatedAt;

// The server whose crossings of mode Grab wait for a confining grab's
// answer (holdGrabCrossingsOf).
const ServerDisplay* grabCrossingsHeld;

// Whether a grab repeated on a head takes the device synchronously: it is
// frozen for the grabbing client, or armed to freeze again.
bool synchronousFor(const FreezeRecord& freeze, const ProxyClient* grabber) {
  if (freeze.state == kFreezeNone) return false;
  return freeze.client == grabber || freeze.state == kFreezeSyncArmed || freeze.state == kFreezeSyncBothArmed;
}

u8 grabKind(const InputGrab& grab, const FreezeRecord& freeze) {
  if (grab.passive) return kGrabXrcPassive;
  if (freeze.state == kFreezeSyncArmed || freeze.state == kFreezeSyncBothArmed) return freeze.state;
  return kGrabAsync;
}

// The input layer reads the grab's modes and kind from the grab records
// when it carries a grab to another head; they follow every change here.
void publishGrabModes() {
  for (InputGrab* grab : {&pointerGrab(), &keyboardGrab()}) {
    grab->pointerFrozen = grab->client && synchronousFor(freezeState.pointer, grab->client);
    grab->keyboardFrozen = grab->client && synchronousFor(freezeState.keyboard, grab->client);
  }
  pointerGrab().kind = grabKind(pointerGrab(), freezeState.pointer);
  keyboardGrab().kind = grabKind(keyboardGrab(), freezeState.keyboard);
}

u8 causeBit(u8 cause) { return u8(1u << cause); }

void setFreeze(FreezeRecord* freeze, ProxyClient* client, u8 state, u8 cause) {
  if (state == kFreezeNone) {
    *freeze = {};
  } else {
    bool stillFrozen = freeze->client == client && freeze->state >= kFreezeByPointerGrab;
    u8 causes = state >= kFreezeByPointerGrab ? causeBit(cause) : 0;
    *freeze = {client, state, cause, u8(causes | (stillFrozen && causes ? freeze->causes : 0))};
  }
  publishGrabModes();
}

// A grab that ends takes every freeze it caused with it, on either device:
// a freeze left behind would be repeated as a synchronous grab on the next
// head and stop that server's device. A device the other grab froze too
// stays frozen for it.
void thawCausedBy(u8 cause) {
  for (FreezeRecord* freeze : {&freezeState.pointer, &freezeState.keyboard}) {
    u8 left = u8(freeze->causes & ~causeBit(cause));
    if (left && left != freeze->causes) {
      freeze->causes = left;
      freeze->cause = left & causeBit(kFreezeCausePointerGrab) ? kFreezeCausePointerGrab : kFreezeCauseKeyboardGrab;
    } else if (freeze->cause == cause) {
      *freeze = {};
    }
  }
}

void noteProblem(const char* text) {
  if (text) logProblem(text, __FILE__, __LINE__);
}

const char* nameOf(const ProxyClient* client) { return client ? clientNameText(client) : "proxy"; }

// Who a log line blames for a window change: the client whose request
// caused it, else the grabbing client.
const ProxyClient* actor(const ProxyClient* fallback) { return currentClient ? currentClient : fallback; }

bool knownAndViewable(u32 id) {
  const ProxyWindow* window = lookupWindow(id);
  return window && window->viewable;
}

ServerLink* grabLink(const InputGrab& grab, const Head* head) {
  return grab.client && head ? clientLink(grab.client, head->serverIndex) : nullptr;
}

// Ends whatever grab is active before another takes its place.
void endReplacedPointerGrab() {
  if (pointerGrab().client) deactivatePointerGrab(kXrcMouse, nullptr, 0);
}

// A grab that replaces another is one change of the focus, told as such.
bool replacingKeyboardGrab = false;

void endReplacedKeyboardGrab() {
  if (!keyboardGrab().client) return;
  replacingKeyboardGrab = true;
  deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
  replacingKeyboardGrab = false;
}

u8 focusChangeMode() { return keyboardGrab().client ? NotifyWhileGrabbed : NotifyNormal; }

// The focus window went: the proxy's focus follows the revert-to value as
// the servers do by themselves.
void revertFocus(ProxyWindow* window) {
  switch (inputState.focusRevertTo) {
    case RevertToPointerRoot: inputState.focusWindow = PointerRoot; break;
    case RevertToNone: inputState.focusWindow = None; break;
    case RevertToParent: {
      ProxyWindow* ancestor = window->parent;
      while (ancestor && !ancestor->viewable) ancestor = ancestor->parent;
      inputState.focusWindow = ancestor ? ancestor->id : None;
      inputState.focusRevertTo = RevertToNone;
      break;
    }
    default: PALVON_UNE();
  }
  announceRootFocus(FocusIn, inputState.focusWindow, focusChangeMode());
}

void endGrabsNaming(ProxyWindow* window, bool logged) {
  u32 id = window->id;
  if (id == inputState.focusWindow && id > PointerRoot) {
    if (logged)
      handleFocusWindowUnmapped(window);
    else
      revertFocus(window);
  }
  InputGrab& pointer = pointerGrab();
  if (pointer.client && (id == pointer.window || id == pointer.confineTo)) {
    if (logged)
      LOGF(logChXhint, id == pointer.window ? "Pointer grab window 0x%x unmapped by %s"
                                             : "Pointer grab confineTo 0x%x unmapped by %s",
           id, nameOf(actor(pointer.client)));
    deactivatePointerGrab(kXrcMouse, nullptr, 0);
  }
  InputGrab& keyboard = keyboardGrab();
  if (keyboard.client && id == keyboard.window) {
    if (logged) LOGF(logChXhint, "Keyboard grab window 0x%x unmapped by %s", id, nameOf(actor(keyboard.client)));
    deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
  }
}

// The common time and client check of UngrabPointer and UngrabKeyboard.
bool checkUngrab(const InputGrab& grab, ProxyClient* client, u32 time, const char* request) {
  if (!client) return true;
  if (client != grab.client) {
    if (grab.client) LOGF(logChXhint, "Not grab client in %s #%u by %s", request, client->requestCounter, nameOf(client));
    return false;
  }
  if (timeTooOld(time, grab.time)) {
    LOGF(logChXhint, "Time too old in %s (0x%x < 0x%x) by %s", request, time, grab.time, nameOf(client));
    return false;
  }
  u32 now = currentMetaTime();
  if (timeTooNew(time, now)) {
    LOGF(logChXhint, "Time too new in %s (0x%x > 0x%x) by %s", request, time, now, nameOf(client));
    return false;
  }
  return true;
}

}  // namespace

// The servers' clocks run on while no event tells of them: the time now is
// the last one seen plus what the loop's clock ran since, as a plain server
// stamps a grab or a focus change made at CurrentTime.
u32 currentMetaTime() {
  if (!inputState.lastMetaClockMs) return inputState.lastMetaTime;
  return inputState.lastMetaTime + u32(ordersClockNow() - inputState.lastMetaClockMs);
}

// --- Freezes ----------------------------------------------------------------------------

void freezePointer(ProxyClient* client, u8 state, u8 cause) { setFreeze(&freezeState.pointer, client, state, cause); }
void thawPointer() { setFreeze(&freezeState.pointer, nullptr, kFreezeNone, kFreezeCauseNone); }
void freezeKeyboard(ProxyClient* client, u8 state, u8 cause) { setFreeze(&freezeState.keyboard, client, state, cause); }
void thawKeyboard() { setFreeze(&freezeState.keyboard, nullptr, kFreezeNone, kFreezeCauseNone); }

bool pointerFrozen() { return freezeState.pointer.state >= kFreezeByPointerGrab; }
bool keyboardFrozen() { return freezeState.keyboard.state >= kFreezeByPointerGrab; }

void refreezePointerAfterEvent(ProxyClient* client) {
  const InputGrab& grab = pointerGrab();
  if (!client || grab.client != client || pointerFrozen()) return;
  u8 armed = freezeState.pointer.state;
  if (armed == kFreezeSyncArmed) {
    freezePointer(client, kFreezeByEvent, kFreezeCausePointerGrab);
  } else if (armed == kFreezeSyncBothArmed) {
    freezePointer(client, kFreezeByEvent, kFreezeCausePointerGrab);
    freezeKeyboard(client, kFreezeByEvent, kFreezeCausePointerGrab);
  }
}

void refreezeKeyboardAfterEvent(ProxyClient* client) {
  const InputGrab& grab = keyboardGrab();
  if (!client || grab.client != client || keyboardFrozen()) return;
  u8 armed = freezeState.keyboard.state;
  if (armed == kFreezeSyncArmed) {
    freezeKeyboard(client, kFreezeByEvent, kFreezeCauseKeyboardGrab);
  } else if (armed == kFreezeSyncBothArmed) {
    freezePointer(client, kFreezeByEvent, kFreezeCauseKeyboardGrab);
    freezeKeyboard(client, kFreezeByEvent, kFreezeCauseKeyboardGrab);
  }
}

// --- The pointer grab --------------------------------------------------------------------

bool activatePointerGrab(u32, ProxyClient* client, u32 window, u32 confineTo, u8 ownerEvents, u32 eventMask,
                         u8 pointerMode, u8 keyboardMode, CursorRecord* cursor, u32 time, bool passive) {
  if (!knownAndViewable(window)) {
    LOGF(logChXhint, "Invalid pointer grab window 0x%x by %s", window, nameOf(client));
    return false;
  }
  if (confineTo && !knownAndViewable(confineTo)) {
    LOGF(logChXhint, "Invalid pointer grab confine-to window 0x%x", confineTo);
    return false;
  }
  endReplacedPointerGrab();
  InputGrab& grab = pointerGrab();
  grab.client = client;
  grab.window = window;
  grab.confineTo = confineTo;
  grab.ownerEvents = ownerEvents ? 1 : 0;
  grab.eventMask = u16(eventMask);
  grab.time = time;
  grab.passive = passive ? 1 : 0;
  grab.pendingUngrab = 0;
  bool answering = client && currentLink && currentLink->client == client;
  pointerGrabActivatedAt = !client     ? 0
                           : answering ? sequenceWidenBack(client->requestCounter, client->sequenceAnswered)
                                       : client->requestCounter;
  refCursor(cursor);
  grab.cursorRecord = cursor;
  grab.cursor = cursor ? cursor->id : 0;
  recordCursorChange(kXrcMouse);
  u8 state = passive ? kFreezeByEvent : kFreezeByPointerGrab;
  if (pointerMode == GrabModeSync) {
    freezePointer(client, state, kFreezeCausePointerGrab);
  } else if (freezeState.pointer.client == client) {
    thawPointer();
  }
  if (keyboardMode == GrabModeSync) freezeKeyboard(client, state, kFreezeCausePointerGrab);
  publishGrabModes();
  pushPointerPollInterval(kXrcMouse, 60);
  return true;
}

// --- Grabs ended by a request -----------------------------------------------------------------

namespace {

EndedGrab endedGrabs[2];  // the pointer's, the keyboard's

}  // namespace

bool reportedUnderPointerGrab(const u8* event) {
  ProxyClient* client = currentClient;
  if (!client || pointerGrab().client != client) return false;
  return sequenceWidenBack(client->requestCounter, get16(event + 2)) > pointerGrabActivatedAt;
}

void holdGrabCrossingsOf(const ServerDisplay* server) { grabCrossingsHeld = server; }

bool grabCrossingsHeldFrom(const ServerDisplay* server) { return server && server == grabCrossingsHeld; }

void noteGrabEndedByRequest(bool keyboard) {
  const InputGrab& grab = keyboard ? keyboardGrab() : pointerGrab();
  ProxyClient* client = currentClient;
  if (!client || grab.client != client) return;
  endedGrabs[keyboard] = {client, grab.window, grab.eventMask, grab.ownerEvents, client->requestCounter};
}

const EndedGrab* endedGrabOf(const u8* event, bool keyboard) {
  const EndedGrab& ended = endedGrabs[keyboard];
  ProxyClient* client = currentClient;
  if (!client || ended.client != client) return nullptr;
  return sequenceWidenBack(client->requestCounter, get16(event + 2)) < ended.request ? &ended : nullptr;
}

void forgetEndedGrabs(const ProxyClient* client) {
  for (EndedGrab& ended : endedGrabs)
    if (ended.client == client) ended = {};
}

bool checkUngrabPointer(u32, ProxyClient* client, u32 time) {
  return checkUngrab(pointerGrab(), client, time, "UngrabPointer");
}

bool deactivatePointerGrab(u32 device, ProxyClient* client, u32 time) {
  if (client && !checkUngrabPointer(device, client, time)) return false;
  InputGrab& grab = pointerGrab();
  // The client's own ungrab reached every server; one the proxy ends does not.
  if (!client) endLentGrab(false);
  grab.lending = nullptr;
  if (grab.client) popPointerPollInterval(kXrcMouse);
  grab.client = nullptr;
  grab.window = 0;
  thawCausedBy(kFreezeCausePointerGrab);
  CursorRecord* cursor = grab.cursorRecord;
  grab.cursorRecord = nullptr;
  grab.cursor = 0;
  grab.confineTo = 0;
  grab.passive = 0;
  publishGrabModes();
  unrefCursor(cursor);
  return true;
}

// --- The keyboard grab -------------------------------------------------------------------

bool activateKeyboardGrab(u32, ProxyClient* client, u32 window, u8 ownerEvents, u8 pointerMode, u8 keyboardMode,
                          u32 key, u32 time, bool passive) {
  if (!knownAndViewable(window)) {
    LOGF(logChXhint, "Keyboard grab window no longer valid");
    return false;
  }
  bool fresh = !keyboardGrab().client;
  endReplacedKeyboardGrab();
  InputGrab& grab = keyboardGrab();
  grab.client = client;
  grab.window = window;
  grab.ownerEvents = ownerEvents ? 1 : 0;
  grab.key = key;
  grab.time = time;
  grab.passive = passive ? 1 : 0;
  grab.pendingUngrab = 0;
  u8 state = passive ? kFreezeByEvent : kFreezeByKeyboardGrab;
  if (keyboardMode == GrabModeSync) {
    freezeKeyboard(client, state, kFreezeCauseKeyboardGrab);
  } else if (freezeState.keyboard.client == client) {
    thawKeyboard();
  }
  if (pointerMode == GrabModeSync) freezePointer(client, state, kFreezeCauseKeyboardGrab);
  publishGrabModes();
  if (fresh) announceRootFocus(FocusOut, inputState.focusWindow, NotifyGrab);
  return true;
}

bool checkUngrabKeyboard(u32, ProxyClient* client, u32 time) {
  return checkUngrab(keyboardGrab(), client, time, "UngrabKeyboard");
}

bool deactivateKeyboardGrab(u32 device, ProxyClient* client, u32 time) {
  if (client && !checkUngrabKeyboard(device, client, time)) return false;
  InputGrab& grab = keyboardGrab();
  bool held = grab.client != nullptr;
  if (!client) endLentGrab(true);
  grab.lending = nullptr;
  grab.client = nullptr;
  grab.window = 0;
  grab.key = 0;
  grab.passive = 0;
  thawCausedBy(kFreezeCauseKeyboardGrab);
  publishGrabModes();
  if (held && !replacingKeyboardGrab) announceRootFocus(FocusIn, inputState.focusWindow, NotifyUngrab);
  return true;
}

// --- Windows that change -------------------------------------------------------------------

bool isGrabWindowValid(u32 window, u32 confineTo) {
  return knownAndViewable(window) && (!confineTo || knownAndViewable(confineTo));
}

void endGrabsOnUnmappedWindow(ProxyWindow* window) {
  if (window) endGrabsNaming(window, true);
}

void endGrabsOnDestroyedWindow(ProxyWindow* window) {
  if (window) endGrabsNaming(window, false);
}

namespace {

// The window's outer rectangle cut by the inside of every ancestor is
// empty: a confine-to window moved off its root can hold no pointer, and a
// plain server ends the grab.
bool outsideItsRoot(u32 id) {
  const ProxyWindow* window = lookupWindow(id);
  if (!window) return false;
  i32 border = window->borderWidth;
  i32 left = window->x - border, top = window->y - border;
  i32 right = window->x + window->width + border, bottom = window->y + window->height + border;
  for (const ProxyWindow* up = window->parent; up; up = up->parent) {
    left = std::max<i32>(left, up->x);
    top = std::max<i32>(top, up->y);
    right = std::min<i32>(right, up->x + up->width);
    bottom = std::min<i32>(bottom, up->y + up->height);
  }
  return left >= right || top >= bottom;
}

}  // namespace

void checkGrabsAfterConfigure() {
  const InputGrab& pointer = pointerGrab();
  bool confineGone = pointer.confineTo && outsideItsRoot(pointer.confineTo);
  if (pointer.client && (!isGrabWindowValid(pointer.window, pointer.confineTo) || confineGone)) {
    LOGF(logChXhint, "Pointer grab window no longer valid");
    deactivatePointerGrab(kXrcMouse, nullptr, 0);
  }
  const InputGrab& keyboard = keyboardGrab();
  if (keyboard.client && !isGrabWindowValid(keyboard.window, 0)) {
    LOGF(logChXhint, "Keyboard grab window no longer valid");
    deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
  }
}

void handleFocusWindowUnmapped(ProxyWindow* window) {
  LOGF(logChXhint, "Keyboard focus window 0x%x unmapped by %s", window->id, nameOf(actor(nullptr)));
  revertFocus(window);
}

// --- Repeating on one head -----------------------------------------------------------------

namespace {

// GrabPointer for the active grab on the head's server, confined to
// `confineTo` (client id, 0 none); the link it went on, or null.
ServerLink* writePointerGrab(Head* head, u32 confineTo) {
  InputGrab& grab = pointerGrab();
  ServerLink* link = grabLink(grab, head);
  if (!link) return nullptr;
  u32 cursor = 0, madeCursor = 0;
  if (CursorRecord* record = grab.cursorRecord) {
    // A cursor whose id the client freed lives on only in the proxy: it is
    // made on the head for the grab and freed right after.
    if (record->id)
      cursor = translateXid(record->id, RT_CURSOR, head);
    else
      cursor = madeCursor = copyCursorToHead(record, grab.client, head);
  }
  u32 confine = confineTo ? translateXid(confineTo, RT_REAL_ROOT, head) : 0;
  u8 pointerMode = synchronousFor(freezeState.pointer, grab.client) ? GrabModeSync : GrabModeAsync;
  u8 keyboardMode = synchronousFor(freezeState.keyboard, grab.client) ? GrabModeSync : GrabModeAsync;
  requestGrabPointer(link, grab.ownerEvents, translateXid(grab.window, RT_WINDOW, head),
                     u16(completeEventMask(grab.eventMask)), pointerMode, keyboardMode, confine, cursor);
  if (madeCursor) xprotoFreeCursor(&link->writer, madeCursor);
  if (grab.passive) grab.pendingUngrab = 1;
  return link;
}

}  // namespace

void grabPointerOnDisplay(u32, Head* head) {
  if (ServerLink* link = writePointerGrab(head, pointerGrab().confineTo)) noteProblem(flushServerLink(link));
}

void unconfineGrabLeavingHead(const ProxyWindow* configured, const ProxyClient* configuring) {
  const InputGrab& grab = pointerGrab();
  const ProxyWindow* confine = grab.client && grab.confineTo ? lookupWindow(grab.confineTo) : nullptr;
  Head* holder = pointerHead();
  if (!confine || !holder || confine->screen != holder->metaScreen || outsideItsRoot(grab.confineTo)) return;
  const ProxyWindow* moved = confine;
  while (moved && moved != configured) moved = moved->parent;
  if (!moved) return;
  i32 border = confine->borderWidth;
  Rect outer{confine->x - border, confine->y - border, confine->width + 2 * u32(border),
             confine->height + 2 * u32(border)};
  const HeadRect& area = holder->logical;
  Rect shared{};
  rectIntersect(&shared, outer, Rect{area.x, area.y, u32(std::max(area.width, 0)), u32(std::max(area.height, 0))});
  if (shared.width && shared.height) return;
  ServerLink* link = writePointerGrab(holder, 0);
  if (!link) return;
  // The change may go on another client's link: the server has the new
  // grab first.
  noteProblem(grab.client == configuring || !linkWaitable(link) ? flushServerLink(link) : syncServerLink(link));
}

void ungrabPointerOnDisplay(u32, Head* head, bool flush) {
  ServerLink* link = grabLink(pointerGrab(), head);
  if (!link) return;
  requestUngrabPointer(link);
  if (flush) noteProblem(flushServerLink(link));
}

void grabKeyboardOnDisplay(u32, Head* head, bool flush) {
  InputGrab& grab = keyboardGrab();
  ServerLink* link = grabLink(grab, head);
  if (!link) return;
  u8 pointerMode = synchronousFor(freezeState.pointer, grab.client) ? GrabModeSync : GrabModeAsync;
  u8 keyboardMode = synchronousFor(freezeState.keyboard, grab.client) ? GrabModeSync : GrabModeAsync;
  requestGrabKeyboard(link, grab.ownerEvents, translateXid(grab.window, RT_WINDOW, head), pointerMode, keyboardMode);
  if (flush) noteProblem(flushServerLink(link));
  if (grab.passive) grab.pendingUngrab = 1;
}

void ungrabKeyboardOnDisplay(u32, Head* head, bool flush) {
  ServerLink* link = grabLink(keyboardGrab(), head);
  if (!link) return;
  requestUngrabKeyboard(link);
  if (flush) noteProblem(flushServerLink(link));
}

}  // namespace palvon
