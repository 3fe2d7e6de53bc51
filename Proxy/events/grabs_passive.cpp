// Clients' passive grabs (GrabButton, GrabKey) and what a leaving client's
// grabs become.
#include <X11/X.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

bool detailMatches(u8 grabbed, u8 wanted) { return wanted == 0 || grabbed == wanted; }
bool modifiersMatch(u16 grabbed, u16 wanted) { return wanted == kAnyModifier || grabbed == wanted; }

// Undoes the grab on every head of its window's screen through the client's
// links (a kept client's grabs must not outlive it on the servers).
void undoOnHeads(ProxyClient* client, const PassiveGrab& grab) {
  ProxyWindow* window = lookupWindow(grab.window);
  if (!window || !window->screen) {
    PALVON_UNE();
    return;
  }
  for (Head* head = window->screen->heads; head; head = head->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    if (!link) continue;
    u32 onHead = translateXid(grab.window, RT_WINDOW, head);
    if (grab.isKey) {
      u32 key = grab.detail ? metaToHeadKeycode(kXrcKeyboard, grab.detail, head) : 0;
      if (grab.detail && !isHeadKeycode(key, head)) continue;
      requestUngrabKey(link, u8(key), onHead, grab.modifiers);
    } else {
      requestUngrabButton(link, grab.detail, onHead, grab.modifiers);
    }
  }
}

}  // namespace

PassiveGrab* addPassiveGrab(ProxyClient* client, const PassiveGrab& fields) {
  auto* grab = static_cast<PassiveGrab*>(memAlloc(sizeof(PassiveGrab)));
  if (!grab) {
    PALVON_OOM();
    return nullptr;
  }
  *grab = fields;
  grab->previous = nullptr;
  grab->next = client->passiveGrabs;
  if (grab->next) grab->next->previous = grab;
  client->passiveGrabs = grab;
  refCursor(grab->cursor);
  return grab;
}

void freePassiveGrab(PassiveGrab* grab, ProxyClient* client) {
  if (!grab) return;
  if (grab->previous)
    grab->previous->next = grab->next;
  else if (client->passiveGrabs == grab)
    client->passiveGrabs = grab->next;
  if (grab->next) grab->next->previous = grab->previous;
  CursorRecord* cursor = grab->cursor;
  std::free(grab);
  unrefCursor(cursor);
}

void removePassiveGrabs(ProxyClient* client, bool isKey, u32 window, u8 detail, u16 modifiers) {
  for (PassiveGrab* grab = client->passiveGrabs; grab;) {
    PassiveGrab* next = grab->next;
    if (bool(grab->isKey) == isKey && grab->window == window && detailMatches(grab->detail, detail) &&
        modifiersMatch(grab->modifiers, modifiers))
      freePassiveGrab(grab, client);
    grab = next;
  }
}

void freePassiveGrabsOnWindow(ProxyWindow* window) {
  if (!window) return;
  for (ProxyClient* client = clientList; client; client = client->next) {
    for (PassiveGrab* grab = client->passiveGrabs; grab;) {
      PassiveGrab* next = grab->next;
      if (grab->window == window->id || (grab->confineTo && grab->confineTo == window->id))
        freePassiveGrab(grab, client);
      grab = next;
    }
  }
}

PassiveGrab* findPassiveGrab(ProxyClient* client, bool isKey, u32 window, u8 detail, u32 state) {
  u16 modifiers = u16(state & kGrabModifierBits);
  for (PassiveGrab* grab = client ? client->passiveGrabs : nullptr; grab; grab = grab->next) {
    if (bool(grab->isKey) != isKey || grab->window != window) continue;
    if (grab->detail != 0 && grab->detail != detail) continue;
    if (grab->modifiers == kAnyModifier || grab->modifiers == modifiers) return grab;
  }
  return nullptr;
}

void releaseProxyGrabs() {
  deactivatePointerGrab(kXrcMouse, nullptr, 0);
  deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
  thawPointer();
  thawKeyboard();
  inputState.focusWindow = PointerRoot;
  inputState.focusRevertTo = RevertToNone;
}

void setProxyCurrentTime(u32 time) {
  inputState.lastMetaTime = time;
  inputState.lastMetaClockMs = ordersClockNow();
  inputState.lastTimeDisplay = timeDisplay;
  inputState.focusTime = time;
}

void releaseClientGrabs(ProxyClient* client, bool keeping) {
  if (!client) return;
  if (keeping)
    for (PassiveGrab* grab = client->passiveGrabs; grab; grab = grab->next) undoOnHeads(client, *grab);
  while (client->passiveGrabs) freePassiveGrab(client->passiveGrabs, client);
  if (inputState.pointerGrab.client == client) {
    ungrabPointerOnDisplay(kXrcMouse, pointerHead(), false);
    deactivatePointerGrab(kXrcMouse, nullptr, 0);
  }
  if (inputState.keyboardGrab.client == client) {
    Head* keyboardHead = focusHead() ? focusHead() : pointerHead();
    ungrabKeyboardOnDisplay(kXrcKeyboard, keyboardHead, false);
    deactivateKeyboardGrab(kXrcKeyboard, nullptr, 0);
  }
  if (freezeState.pointer.client == client) thawPointer();
  if (freezeState.keyboard.client == client) thawKeyboard();
  forgetOfferedButtonsOf(client);
  forgetEndedGrabs(client);
}

}  // namespace palvon
