// Moving the meta pointer to a point of a meta screen: choosing the head
// there and, when the head changes, carrying grabs, focus, key state and
// maps to the new head's server and putting the old one's input back.
#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/events/crossings.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/relay.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

ServerLink* linkTo(ProxyClient* client, const Head* head) {
  return client && head && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
}

bool sameDisplay(const Head* a, const Head* b) { return a && b && a->serverDisplay == b->serverDisplay; }

Rect logicalOf(const Head* head, i32 shrink) {
  i32 w = std::max(head->logical.width - 2 * shrink, 1), h = std::max(head->logical.height - 2 * shrink, 1);
  return Rect{head->logical.x + shrink, head->logical.y + shrink, u32(w), u32(h)};
}

void logProblemText(const char* text) { logProblem(text, __FILE__, __LINE__); }

void syncLinkWarning(ServerLink* link) {
  if (link) settleServerLink(link);
}

// Among heads that hold the point, the lowest rank wins: the current
// pointer head, then heads of the input-control display, then heads of the
// current head's display, then any other.
u32 headRank(const Head* head, const Head* current) {
  if (head == current) return 0;
  if (head->serverDisplay == inputControlDisplay) return 1;
  if (sameDisplay(head, current)) return 2;
  return 3;
}

bool enterable(const Head* head, const Head* current) {
  return headDisplayOpen(head) && !head->noEntry && !headIsOverlay(head) &&
         (!current || !current->inWindow == !head->inWindow);
}

Head* nearestHead(MetaScreen* screen, i32 x, i32 y, const Head* current, bool panOnly) {
  Head* best = nullptr;
  u32 bestDistance = UINT32_MAX;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!enterable(head, current)) continue;
    if (panOnly && !isPanModifierPressed(head, inputState.modifierState)) continue;
    u32 distance = rectPointDistance(logicalOf(head, 0), x, y);
    if (distance < bestDistance) bestDistance = distance, best = head;
  }
  return best;
}

Head* chooseTargetHead(ProxyClient* client, MetaScreen* screen, i32 x, i32 y, const Head* current) {
  Head* best = nullptr;
  u32 bestRank = UINT32_MAX;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!enterable(head, current) || rectPointDistance(logicalOf(head, 0), x, y)) continue;
    u32 rank = headRank(head, current);
    if (rank < bestRank) bestRank = rank, best = head;
  }
  if (best) return best;
  if (Head* pan = nearestHead(screen, x, y, current, true)) {
    if (rectPointDistance(logicalOf(pan, 0), x, y)) panHead(pan, x, y, client, false);
    return pan;
  }
  if (Head* nearest = nearestHead(screen, x, y, current, false)) return nearest;
  for (Head* head = screen->heads; head; head = head->next)
    if (headDisplayOpen(head) && head->serverDisplay != resourceServerDisplay) return head;
  for (Head* head = screen->heads; head; head = head->next)
    if (head->serverDisplay == resourceServerDisplay) return head;
  return nullptr;
}

// The point held on the meta screen, and inside a confining grab's window.
void clampToScreen(MetaScreen* screen, i32* x, i32* y) {
  Rect bounds{0, 0, std::max(screen->width, 1u), std::max(screen->height, 1u)};
  rectClampPoint(x, y, bounds);
  const InputGrab& grab = inputState.pointerGrab;
  if (!grab.client || !grab.confineTo) return;
  ProxyWindow* confine = lookupWindow(grab.confineTo);
  if (!confine || confine->screen != screen) return;
  Rect window{confine->x, confine->y, std::max<u32>(confine->width, 1), std::max<u32>(confine->height, 1)};
  rectClampPoint(x, y, window);
}

// Whether the client's window under the pointer changes with the move, so
// that it must see motion (Part of a client's own warp).
bool motionMustBeSimulated(ProxyClient* client, Head* oldHead, Head* newHead, bool warp, i32 x, i32 y) {
  if (!client || !oldHead || warp || oldHead->metaScreen != newHead->metaScreen || oldHead->inWindow ||
      newHead->inWindow)
    return false;
  return pointerWindowAt(oldHead->metaScreen, inputState.pointerX, inputState.pointerY) !=
         pointerWindowAt(newHead->metaScreen, x, y);
}

void copyKeyboardSettings(Head* oldHead, Head* newHead) {
  ServerDisplay* target = newHead->serverDisplay;
  if (!headDisplayOpen(oldHead) || sameDisplay(oldHead, newHead)) return;
  if (newHead->inWindow && target != inputControlDisplay && inputControlDisplay) {
    LOGF(logChStep, "Copying keyboard settings to %s...", target->displayName);
    if (!target->savedKeyboard)
      target->savedKeyboard = static_cast<KeyboardMappingSave*>(calloc(1, sizeof(KeyboardMappingSave)));
    if (target->savedKeyboard) {
      xrcFreeKeyboardMapping(target->savedKeyboard);
      logProblemText(xrcSaveKeyboardMapping(target->display, 0, target->savedKeyboard));
    }
    logProblemText(xrcCopyKeyboardMapping(inputControlDisplay->display, target->display));
  }
  XfsUngrabPointer(newHead->display, CurrentTime);
  XfsFlush(oldHead->display);
}

// Buttons held where input comes from are held on the server the pointer
// enters too, as on one server: the grab repeated there sees their release
// and its motion reports them. They are pressed under a grab of the proxy's
// own that selects nothing, so that no client sees a second press and no
// automatic grab starts; leaving that server again releases them with its
// other input (restoreOldInput).
void carryHeldButtons(Head* newHead) {
  ServerDisplay* source = inputControlDisplay;
  ServerDisplay* target = newHead->serverDisplay;
  if (!source || target == source || !source->display || isDisplayOffline(source->display) ||
      !headDisplayOpen(newHead))
    return;
  u32 held = xrcGetButtonState(source->display, kXrcMouse);
  u32 missing = held & ~xrcGetButtonState(target->display, kXrcMouse);
  if (!missing) return;
  if (XfsGrabPointer(newHead->display, newHead->root, False, 0, GrabModeAsync, GrabModeAsync, None, None,
                     CurrentTime) != GrabSuccess)
    return;
  LOGF(logChStep, "Holding buttons 0x%x on %s ...", missing, target->displayName);
  logProblemText(xrcPressButtons(target->display, kXrcMouse, missing));
  target->input.carriedButtons |= missing;
  XfsUngrabPointer(newHead->display, CurrentTime);
  XfsSync(newHead->display, False);
}

u32 grabCursorOnHead(Head* oldHead, Head* newHead) {
  if (sameDisplay(oldHead, newHead)) return u32(oldHead->cursors[0]);
  Head* under = newHead->serverDisplay->input.pointerHead;
  return u32((under ? under : newHead)->cursors[0]);
}

bool grabStaysBehind(const InputGrab& grab, Head* oldHead, Head* newHead) {
  if (grab.kind == kGrabXrcPassive && sameDisplay(oldHead, newHead)) return true;
  return oldHead && oldHead->metaScreen != newHead->metaScreen;
}

void carryPointerGrab(Head* oldHead, Head* newHead) {
  InputGrab& grab = inputState.pointerGrab;
  if (!grab.client) return;
  if (oldHead && oldHead->metaScreen == newHead->metaScreen && !sameDisplay(oldHead, newHead)) {
    // Done before the old server's pointer is parked: motion the parking
    // causes would otherwise still go to the grab there.
    if (ServerLink* old = linkTo(grab.client, oldHead)) {
      requestUngrabPointer(old);
      syncLinkWarning(old);
    }
  }
  if (grabStaysBehind(grab, oldHead, newHead)) return;
  ServerLink* link = linkTo(grab.client, newHead);
  if (!link) return;
  u32 cursor = grabCursorOnHead(oldHead, newHead);
  LOGF(logChStep, "GrabPointer on %s: owner-events=%d cursor=0x%x", newHead->name, grab.ownerEvents, cursor);
  requestGrabPointer(link, grab.ownerEvents, translateXid(grab.window, RT_WINDOW, newHead), grab.eventMask,
                     grab.pointerFrozen ? GrabModeSync : GrabModeAsync,
                     grab.keyboardFrozen ? GrabModeSync : GrabModeAsync,
                     grab.confineTo ? translateXid(grab.confineTo, RT_WINDOW, newHead) : 0, cursor);
  addReplyHook(link, acceptReplyHook, nullptr);
  LOGF(logChStep, "Sync pointer-grab to %s by %s, before passive grab by XRC ...", newHead->name,
       clientName(grab.client));
  syncLinkWarning(link);
}

// A pointer grab stays on its window's server when the pointer goes to
// another screen: the server the pointer is on now lends it, so that its
// motion and buttons are the grab's (reported off the grab window's
// screen), and stops when the pointer comes back.
void lendPointerGrabAcross(Head* oldHead, Head* newHead) {
  InputGrab& grab = inputState.pointerGrab;
  if (!grab.client || !oldHead || oldHead->metaScreen == newHead->metaScreen) return;
  grab.lending = lendGrab(grab.client, grabHeadFor(grab.window), false, grab.eventMask);
  if (ServerLink* link = grab.lending ? linkTo(grab.client, grab.lending) : nullptr) {
    addReplyHook(link, acceptReplyHook, nullptr);
    syncLinkWarning(link);
  }
}

bool moveFocus(ProxyClient* client, Head* newHead) {
  u32 focus = inputState.focusWindow;
  if (focus > PointerRoot) {
    MetaScreen* screen = lookupWindowScreen(focus);
    if (screen && screen != newHead->metaScreen) return false;
  }
  if (headIconified(newHead)) return false;
  inputState.focusHead = newHead;
  u32 window = getServerFocusWindow(focus, newHead->serverDisplay);
  ServerLink* link = linkTo(inputState.keyboardGrab.client, newHead);
  if (!link) link = linkTo(client, newHead);
  // Done before the move's events are settled, so that the focus events
  // it causes on every client's link come among them.
  if (link) {
    requestSetInputFocus(link, inputState.focusRevertTo, window);
    syncLinkWarning(link);
  } else if (headDisplayOpen(newHead)) {
    XfsSetInputFocus(newHead->display, window, inputState.focusRevertTo, CurrentTime);
    XfsSync(newHead->display, False);
  }
  return true;
}

void carryKeyboardGrab(Head* oldHead, Head* newHead) {
  InputGrab& grab = inputState.keyboardGrab;
  if (!grab.client || grabStaysBehind(grab, oldHead, newHead)) return;
  LOGF(logChStep, "Warp with active keyboard grab");
  grabKeyboardOnDisplay(kXrcKeyboard, newHead, true);
  ServerLink* old = oldHead && !sameDisplay(oldHead, newHead) ? linkTo(grab.client, oldHead) : nullptr;
  if (!old) return;
  // Keys the old server held back for a frozen grab come out at its ungrab:
  // its focus is parked first, so that they reach the proxy and go on to
  // the new server, frozen there under the grab, instead of its windows.
  requestSetInputFocus(old, inputState.focusRevertTo,
                       getServerFocusWindow(inputState.focusWindow, oldHead->serverDisplay));
  requestUngrabKeyboard(old);
}

// The input-control display's keys, modifiers and buttons, as the new
// display's own.
void copyInputMapping(Head* oldHead, Head* newHead) {
  ServerDisplay* source = inputControlDisplay;
  ServerDisplay* target = newHead->serverDisplay;
  if (!source || !source->display || !headDisplayOpen(oldHead) || sameDisplay(oldHead, newHead) ||
      target == source)
    return;
  LOGF(logChStep, "Copying input mapping from %s to %s ...", source->displayName, target->displayName);
  i32 shift = i32(xrcMinKeycode(target->display, kXrcKeyboard)) - i32(xrcMinKeycode(source->display, kXrcKeyboard));
  u8 keys[32] = {};
  if (const char* error = xrcQueryKeymap(source->display, kXrcKeyboard, keys)) {
    logProblemText(error);
  } else {
    u8 shifted[32] = {};
    for (i32 k = 0; k < 256; k++) {
      i32 to = k + shift;
      if ((keys[k / 8] >> (k % 8) & 1) && to > 0 && to < 256) shifted[to / 8] |= u8(1 << (to % 8));
    }
    setKeysUnheard(target, shifted);
  }
  if (XModifierKeymap* map = xrcModifierMap(source->display, kXrcKeyboard)) {
    XModifierKeymap* moved = xrcShiftModifierMap(map, shift, xrcMinKeycode(target->display, kXrcKeyboard),
                                                 xrcMaxKeycode(target->display, kXrcKeyboard));
    if (moved) {
      XfsSetModifierMapping(target->display, moved);
      XFreeModifiermap(moved);
    }
  } else {
    PALVON_UNE();
  }
  // The modifiers as the source holds them now: the last pointer report may
  // predate a modifier's release (one seen during a grab's polling, say),
  // and a modifier set here from it would stay down on the target.
  inputState.modifierState = xrcGetModifierState(source->display, kXrcKeyboard);
  // Its locks too, unheard: heard, the lock keys would go on to the server
  // that takes the keys and switch them back there.
  matchLocksOn(newHead);
  if (!isDisplayOffline(source->display)) logProblemText(copyPointerMapping(source->display, target->display));
  XfsUngrabPointer(target->display, CurrentTime);
  XfsFlush(target->display);
}

void setFocusAgain(ProxyClient* client, Head* oldHead) {
  u32 window = getServerFocusWindow(inputState.focusWindow, oldHead->serverDisplay);
  if (ServerLink* link = linkTo(client, oldHead)) {
    requestSetInputFocus(link, inputState.focusRevertTo, window);
  } else if (headDisplayOpen(oldHead)) {
    XfsSetInputFocus(oldHead->display, window, inputState.focusRevertTo, CurrentTime);
    XfsFlush(oldHead->display);
  }
}

void syncOtherGrabbers(ProxyClient* client, Head* oldHead, Head* newHead) {
  ProxyClient* pointer = inputState.pointerGrab.client;
  ProxyClient* keyboard = inputState.keyboardGrab.client;
  if (pointer && pointer != client) {
    LOGF(logChStep, "Sync pointer-grab to %s by %s ...", newHead->name, clientName(pointer));
    syncLinkWarning(linkTo(pointer, newHead));
    if (oldHead && !sameDisplay(oldHead, newHead)) syncLinkWarning(linkTo(pointer, oldHead));
  }
  if (keyboard && keyboard != client && keyboard != pointer) {
    LOGF(logChStep, "Sync keyboard-grab to %s by %s ...", newHead->name, clientName(keyboard));
    syncLinkWarning(linkTo(keyboard, newHead));
    if (oldHead && !sameDisplay(oldHead, newHead)) syncLinkWarning(linkTo(keyboard, oldHead));
  }
}

void releaseFrozenGrabs(Head* newHead) {
  const InputGrab& pointer = inputState.pointerGrab;
  if (pointer.client && (pointer.kind == kGrabFreezesPointer || pointer.kind == kGrabFreezesBoth))
    if (ServerLink* link = linkTo(pointer.client, newHead))
      xprotoAllowEvents(&link->writer, pointer.kind == kGrabFreezesPointer ? SyncPointer : SyncBoth, CurrentTime);
  const InputGrab& keyboard = inputState.keyboardGrab;
  if (keyboard.client && (keyboard.kind == kGrabFreezesPointer || keyboard.kind == kGrabFreezesBoth))
    if (ServerLink* link = linkTo(keyboard.client, newHead))
      xprotoAllowEvents(&link->writer, keyboard.kind == kGrabFreezesPointer ? SyncKeyboard : SyncBoth, CurrentTime);
}

void restoreOldInput(Head* oldHead) {
  // A head whose server was removed under the pointer has none left.
  ServerDisplay* server = oldHead->serverDisplay;
  if (!server) return;
  LOGF(logChStep, "Input settings restored on %s", server->displayName);
  for (ProxyClient* grabber : {inputState.pointerGrab.client, inputState.keyboardGrab.client})
    if (grabber) syncLinkWarning(linkTo(grabber, oldHead));
  if (xrcCapabilities(server->display) & kXrcFakeInput) {
    // Its keys are let go unheard: heard, they would reach the key-grab
    // window it parks its focus on and be handed on as the user's releases.
    static const u8 kNoKeys[32] = {};
    setKeysUnheard(server, kNoKeys);
    xrcForgetKeyState(server->display);
    logProblemText(xrcReleaseAllButtons(server->display, kXrcMouse));
    server->input.carriedButtons = 0;
  }
  if (server->savedKeyboard) logProblemText(xrcRestoreKeyboardMapping(server->display, 0, server->savedKeyboard));
}

// --- Crossings of a move between servers ------------------------------------------------------
//
// Each server reports crossings from where its own pointer was and sees
// only its own part of each window, and the windows that cover a server
// while the pointer is elsewhere take part in them: no server's crossings
// are those of one big screen, where the pointer goes straight from the
// old position to the new one. So what the old server sent before the
// move is handled first, as the pointer's; the proxy tells the move's
// crossings from the meta screen's tree; the new server's pointer waits
// under its cover beside the target, the covers change, and it moves to the
// target, which reports the motion there; the crossings both servers
// report for all that are dropped (seamPhaseOf).

// The real pointer of the head's server to meta (x, y) now, through the
// proxy's own connection and without its rate limit, held under the
// head's cover: on the input server that is the pan window, which leaves a
// frame of the head bare (and whose motion there is no motion of the
// user's); on another server the click window covers it all.
void placeServerPointer(Head* head, i32 x, i32 y) {
  metaToHeadPoint(&x, &y, head);
  x = std::clamp(x, 0, std::max(i32(head->width), 1) - 1);
  y = std::clamp(y, 0, std::max(i32(head->height), 1) - 1);
  if (head->serverDisplay == inputControlDisplay) {
    Rect pan{head->clip.x + kTrackingInset, head->clip.y + kTrackingInset,
             u32(std::max(head->clip.width - 2 * kTrackingInset, 1)),
             u32(std::max(head->clip.height - 2 * kTrackingInset, 1))};
    rectClampPoint(&x, &y, pan);
    head->serverDisplay->input.lastPointerX = x, head->serverDisplay->input.lastPointerY = y;
  }
  logProblemText(xrcMovePointer(head->display, kXrcMouse, int(head->screen), x, y, 0));
  XfsSync(head->display, False);
  head->input.lastRealX = x, head->input.lastRealY = y;
  head->input.haveRealPosition = 1;
}

// The link's events so far handled now: a round trip, then what came
// before its answer. Links being read up the stack, and links still
// waiting for their set-up answer, are left to their reader.
void settleLink(ServerLink* link) {
  bool running = link && link->setupAnswered == kSetupAnswered;
  if (!running || link->busy || link->dispatching || link->closePending) return;
  if (settleServerLink(link)) dispatchServerInput(link);
}

// The focus changes clients asked of the head's server before a move onto
// or off it are theirs, whatever the move does with the focus next: they
// are handled now, before the move's own focus changes, whose events its
// phases drop. Each link that carried a SetInputFocus is synchronised first,
// so that the server has done every one of them, then every link, whose
// events of them come before its answer.
void settleFocusRequests(Head* head) {
  bool requested = false;
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = linkTo(client, head);
    if (!link || !link->focusRequested) continue;
    link->focusRequested = 0;
    bool running = link->setupAnswered == kSetupAnswered && !link->busy && !link->dispatching && !link->closePending;
    if (!running) continue;
    settleServerLink(link);
    requested = true;
  }
  if (!requested) return;
  ProxyClient* next = nullptr;
  for (ProxyClient* client = clientList; client; client = next) {
    next = client->next;
    settleLink(linkTo(client, head));
  }
}

// Every client's events from the heads' servers so far are handled now, in
// the phase. One link at a time, so that a handler that waits on a link
// meanwhile cannot take another's answer.
void settleServerEvents(Head* first, Head* second, u8 phase) {
  inputState.seamServers[0] = first->serverDisplay;
  inputState.seamServers[1] = second ? second->serverDisplay : nullptr;
  inputState.seamPhase = phase;
  for (Head* head : {first, second}) {
    if (!head) continue;
    ProxyClient* next = nullptr;
    for (ProxyClient* client = clientList; client; client = next) {
      next = client->next;
      settleLink(linkTo(client, head));
    }
  }
  inputState.seamServers[0] = inputState.seamServers[1] = nullptr;
  inputState.seamPhase = kSeamNone;
}

// Whether the client selected crossings on the window or an ancestor.
bool hearsCrossingsOf(const ProxyClient* client, const ProxyWindow* window) {
  for (const ProxyWindow* w = window; w; w = w->parent)
    for (const EventSelection* s = w->selections; s; s = s->next)
      if (s->client == client && (s->eventMask & (EnterWindowMask | LeaveWindowMask))) return true;
  return false;
}

}  // namespace

void handlePointerCrossingsNow(Head* head, ProxyClient* first, u32 window) {
  if (!head || !inputState.pointerHead || inputState.seamPhase || !headDisplayOpen(head)) return;
  // Another of the current client's links answered meanwhile: the message
  // being handled keeps its own answered sequence.
  ProxyClient* client = currentClient;
  u16 answered = client ? client->sequenceAnswered : 0;
  syncLinkWarning(linkTo(first, head));
  ProxyClient* next = nullptr;
  for (ProxyClient* each = clientList; each; each = next) {
    next = each->next;
    // Found again each time: what a link's events did may have changed it.
    const Head* holder = inputState.pointerHead;
    const ProxyWindow* from =
        holder ? pointerWindowAt(holder->metaScreen, inputState.pointerX, inputState.pointerY) : nullptr;
    if (each == first || hearsCrossingsOf(each, from) || hearsCrossingsOf(each, lookupWindow(window)))
      settleLink(linkTo(each, head));
  }
  if (client) client->sequenceAnswered = answered;
}

namespace {

// Not for a move made while the events of an earlier one are settled.
bool crossesServers(const Head* oldHead, const Head* newHead) {
  return oldHead && !sameDisplay(oldHead, newHead) && oldHead->metaScreen == newHead->metaScreen &&
         !oldHead->inWindow && !newHead->inWindow && headDisplayOpen(oldHead) &&
         headDisplayOpen(newHead) && !inputState.seamPhase;
}

// The new server's pointer under its cover near the seam point nearest
// the target, never at the target itself (its move there reports the
// motion); the old server's events so far handled; the move's crossings
// told.
void beginSeamMove(Head* oldHead, Head* newHead, i32 x, i32 y) {
  i32 sx = x, sy = y;
  rectClampPoint(&sx, &sy, logicalOf(oldHead, 0));
  rectClampPoint(&sx, &sy, logicalOf(newHead, 0));
  if (sx == x && sy == y) sx += x > newHead->logical.x ? -1 : 1;
  rectClampPoint(&sx, &sy, logicalOf(newHead, 0));
  placeServerPointer(newHead, sx, sy);
  settleServerEvents(oldHead, nullptr, kSeamBefore);
  tellPointerCrossings(newHead->metaScreen, inputState.pointerX, inputState.pointerY, x, y);
}

// A move onto another meta screen's server without a pointer grab: its
// server's crossings are not those of a plain server's change of screen,
// which has the pointer start on the new screen's root (see
// announceScreenEntry).
bool entersOtherScreen(const Head* oldHead, const Head* newHead) {
  return oldHead && !sameDisplay(oldHead, newHead) && oldHead->metaScreen != newHead->metaScreen &&
         !oldHead->inWindow && !newHead->inWindow && headDisplayOpen(newHead) && !inputState.seamPhase &&
         !inputState.pointerGrab.client;
}

// Where the new server's pointer waits under its cover: next to the target
// in the same window, so that the warp to the target makes the motion a
// plain server reports and no crossing.
void besideTarget(Head* head, i32 x, i32 y, i32* bx, i32* by) {
  MetaScreen* screen = head->metaScreen;
  const ProxyWindow* at = pointerWindowAt(screen, x, y);
  Rect area = logicalOf(head, 0);
  static constexpr i32 kSteps[][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  for (const auto& step : kSteps) {
    *bx = x + step[0], *by = y + step[1];
    if (!rectPointDistance(area, *bx, *by) && pointerWindowAt(screen, *bx, *by) == at) return;
  }
  *bx = x + (x > 0 ? -1 : 1), *by = y;
}

// The new server's pointer waited under its cover beside the target: the
// crossings of taking the cover away are dropped, and the screen's own are
// told from the proxy's window tree, with the server's state.
void enterScreen(ProxyClient* client, Head* newHead, i32 x, i32 y) {
  syncLinkWarning(linkTo(client, newHead));
  XfsSync(newHead->display, False);
  // As a parked server's: neither its crossings, its motion nor its
  // pointer's way into the focus are the clients'.
  settleServerEvents(newHead, nullptr, kSeamMove);
  announceScreenEntry(newHead->metaScreen, x, y, u16(pointerStateOn(newHead)));
}

// Steps of a move onto another head, after the old head's inner windows
// stopped reporting crossings.
void changeHead(u32 device, ProxyClient* client, Head* oldHead, Head* newHead, i32 x, i32 y, bool warp) {
  bool simulate = motionMustBeSimulated(client, oldHead, newHead, warp, x, y);
  const InputGrab& pg = inputState.pointerGrab;
  const InputGrab& kg = inputState.keyboardGrab;
  LOGF(logChStep, "Pointer warped to %s at %d,%d from %s by %s%s%s%s%s%s", newHead->name, x, y,
       oldHead ? oldHead->name : "none", clientName(client), simulate ? ", simulate motion" : "",
       kg.client && kg.keyboardFrozen ? ", keyboard frozen" : "", kg.client ? ", keyboard grabbed" : "",
       pg.client && pg.pointerFrozen ? ", pointer frozen" : "", pg.client ? ", pointer grabbed" : "");
  bool otherDisplay = oldHead && !sameDisplay(oldHead, newHead);
  if (otherDisplay && !inputState.seamPhase) {
    settleFocusRequests(oldHead);
    settleFocusRequests(newHead);
  }
  bool seam = crossesServers(oldHead, newHead);
  bool entry = entersOtherScreen(oldHead, newHead);
  i32 besideX = x, besideY = y;
  if (entry) besideTarget(newHead, x, y, &besideX, &besideY);
  if (seam) beginSeamMove(oldHead, newHead, x, y);
  if (oldHead) copyKeyboardSettings(oldHead, newHead);
  if (otherDisplay) carryHeldButtons(newHead);
  carryPointerGrab(oldHead, newHead);
  bool focusMoved = moveFocus(client, newHead);
  // The new server handed its keys on until now, and holds its keyboard
  // for the proxy while one of them is down: that server would refuse its
  // keyboard to the clients' grabs.
  if (focusMoved && otherDisplay) endProxyKeyGrab(newHead);
  carryKeyboardGrab(oldHead, newHead);
  if (oldHead && newHead->serverDisplay != inputControlDisplay) copyInputMapping(oldHead, newHead);
  if (focusMoved && otherDisplay && headDisplayOpen(oldHead) && !headIconified(oldHead) &&
      (!oldHead->inWindow || oldHead->serverDisplay == inputControlDisplay))
    setFocusAgain(client, oldHead);
  movePointerToHead(device, newHead, x, y, warp);
  newHead->serverDisplay->input.pointerHead = newHead;
  lendPointerGrabAcross(oldHead, newHead);
  if (entry) placeServerPointer(newHead, besideX, besideY);
  if (otherDisplay || !oldHead) updateInputWindows(client, newHead, 1);
  if (entry) enterScreen(client, newHead, x, y);
  if (pg.client && pg.client != client) {
    LOGF(logChStep, "Sync pointer-grab to %s by %s ...", newHead->name, clientName(pg.client));
    syncLinkWarning(linkTo(pg.client, newHead));
  }
  if (simulate) {
    LOGF(logChStep, "Simulate mouse pointer motion ...");
    warpMetaPointerToHead(device, client, newHead, x + (x > 0 ? -1 : 1), y);
  }
  warpMetaPointerToHead(device, client, newHead, x, y);
  if (client && (client != pg.client || seam)) {
    syncLinkWarning(linkTo(client, newHead));
  } else if (!client && headDisplayOpen(newHead)) {
    XfsSync(newHead->display, False);
  }
  if (pg.client && !grabStaysBehind(pg, oldHead, newHead)) {
    LOGF(logChStep, "GrabPointer on %s: owner-events=%d", newHead->name, pg.ownerEvents);
    grabPointerOnDisplay(kXrcMouse, newHead);
  }
  releaseFrozenGrabs(newHead);
  syncOtherGrabbers(client, oldHead, newHead);
  if (seam) settleServerEvents(oldHead, newHead, kSeamMove);
  if (otherDisplay && headDisplayOpen(oldHead) && oldHead->serverDisplay != inputControlDisplay)
    restoreOldInput(oldHead);
}

}  // namespace

void syncInputAcrossHeads(u32 device, ProxyClient* client, MetaScreen* screen, i32 x, i32 y, bool warp) {
  if (!screen) return;
  if (!client) {
    for (ProxyClient* c = clientList; c; c = c->next) logProblemText(writeClientServerLinks(c));
  }
  Head* current = headDisplayOpen(inputState.pointerHead) ? inputState.pointerHead : nullptr;
  clampToScreen(screen, &x, &y);
  Head* target = chooseTargetHead(client, screen, x, y, current);
  if (!target) {
    PALVON_UNE();
    return;
  }
  bool confined = inputState.pointerGrab.client && inputState.pointerGrab.confineTo;
  if (rectPointDistance(logicalOf(target, 0), x, y)) {
    Rect inside = logicalOf(target, confined ? 1 : 0);
    rectClampPoint(&x, &y, inside);
  }
  if (target->inWindow && headIsOverlay(target)) {
    movePointerToHead(device, target, x, y, warp);
    return;
  }
  if (target == current) {
    warpMetaPointerToHead(device, client, target, x, y);
    movePointerToHead(device, target, x, y, warp);
    return;
  }
  selectInputOnHeads(client, 0);
  changeHead(device, client, current, target, x, y, warp);
  if (current && current->serverDisplay == inputControlDisplay) endPointerRotation(current);
  if (target->serverDisplay == inputControlDisplay) beginPointerRotation(target);
  selectInputOnHeads(client, EnterWindowMask | LeaveWindowMask);
  if (!client && serverDisplayList && serverDisplayList->display) XfsSync(serverDisplayList->display, False);
}

void confinePointerAcrossHeads(ProxyClient* client, MetaScreen* screen, i32 x, i32 y, bool warp) {
  inputState.seamConfining = 1;
  syncInputAcrossHeads(kXrcMouse, client, screen, x, y, warp);
  inputState.seamConfining = 0;
}

}  // namespace palvon
