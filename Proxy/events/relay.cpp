// Input that crosses servers: which server speaks for the keys and the
// focus, grabs lent to the server where the input arrives, keys handed to
// another server let go, and the roots' PointerRoot and None.
#include "Proxy/events/relay.h"

#include <X11/X.h>

#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/headinput.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kEventWindow = 12;

bool sameServer(const Head* a, const Head* b) { return a && b && a->serverDisplay == b->serverDisplay; }

Head* focusOrPointerHead() { return focusHead() ? focusHead() : pointerHead(); }

bool bitOf(const u8* bits, u32 key) { return bits[key / 8] >> (key % 8) & 1; }

void setBit(u8* bits, u32 key, bool on) {
  if (on)
    bits[key / 8] |= u8(1u << (key % 8));
  else
    bits[key / 8] &= u8(~(1u << (key % 8)));
}

}  // namespace

Head* keyboardHead() {
  Head* focused = focusOrPointerHead();
  const InputGrab& grab = inputState.keyboardGrab;
  if (!grab.client) return focused;
  // A grab on another screen's window: that screen's server delivers the
  // keys (its own grab), or the lent grab hands them over.
  Head* grabbing = grabHeadFor(grab.window);
  return grabbing && focused && grabbing->metaScreen != focused->metaScreen ? grabbing : focused;
}

bool speaksForFocus(const Head* head) {
  const MetaScreen* screen = head ? head->metaScreen : nullptr;
  if (!screen) return false;
  Head* pointer = pointerHead();
  Head* focused = focusHead();
  const Head* speaker = pointer && pointer->metaScreen == screen   ? pointer
                        : focused && focused->metaScreen == screen ? focused
                                                                    : mainHeadOf(screen);
  return !speaker || sameServer(speaker, head);
}

bool severalServers() { return serverDisplayCount > 1; }

bool takesButtonsFrom(const ServerDisplay* server) {
  Head* holder = pointerHead();
  if (!holder || holder->serverDisplay == server) return true;
  const InputGrab& grab = inputState.pointerGrab;
  if (!grab.client || !server || server != inputControlDisplay) return false;
  Head* grabbing = grabHeadFor(grab.window);
  return grabbing && grabbing->serverDisplay == server;
}

// --- Grabs lent to another server ---------------------------------------------------------------

Head* lendGrab(ProxyClient* client, const Head* grabHead, bool keyboard, u16 eventMask) {
  InputGrab& grab = keyboard ? inputState.keyboardGrab : inputState.pointerGrab;
  Head* source = keyboard ? focusOrPointerHead() : pointerHead();
  Head* lending = source && grabHead && !sameServer(source, grabHead) && source->keyGrabWindow ? source : nullptr;
  if (grab.client == client && grab.lending && grab.lending != lending) endLentGrab(keyboard);
  ServerLink* link = lending ? clientLink(client, lending->serverIndex) : nullptr;
  if (!link) return nullptr;
  u32 window = u32(lending->keyGrabWindow);
  if (keyboard)
    requestGrabKeyboard(link, 0, window, GrabModeAsync, GrabModeAsync);
  else
    requestGrabPointer(link, 0, window, u16(completeEventMask(eventMask)), GrabModeAsync, GrabModeAsync, None, None);
  return lending;
}

u32 lentGrabWindow(const u8* event, const ServerDisplay* server) {
  u8 code = event[0] & 0x7f;
  if (code < KeyPress || code > MotionNotify) return 0;
  const InputGrab& grab = code <= KeyRelease ? inputState.keyboardGrab : inputState.pointerGrab;
  const Head* lending = grab.client && grab.client == currentClient ? grab.lending : nullptr;
  if (!lending || lending->serverDisplay != server || u32(lending->keyGrabWindow) != get32(event + kEventWindow))
    return 0;
  return grab.window;
}

void endLentGrab(bool keyboard) {
  InputGrab& grab = keyboard ? inputState.keyboardGrab : inputState.pointerGrab;
  const Head* lending = grab.lending;
  grab.lending = nullptr;
  ServerLink* link = lending && grab.client ? clientLink(grab.client, lending->serverIndex) : nullptr;
  if (!link) return;
  if (keyboard)
    requestUngrabKeyboard(link);
  else
    requestUngrabPointer(link);
  if (const char* error = flushServerLink(link)) logProblem(error, __FILE__, __LINE__);
}

// --- Keys handed to another server ---------------------------------------------------------------

void noteHandedKey(ServerDisplay* server, u32 key, bool pressed) {
  if (!server || key > 255) return;
  setBit(server->input.handedKeys, key, pressed);
  setBit(server->input.unheardPresses, key, false);
  setBit(server->input.unheardReleases, key, false);
}

void releaseHandedKeys(const ServerDisplay* keep) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server == keep || !server->display || isDisplayOffline(server->display)) continue;
    DisplayInput& in = server->input;
    bool released = false;
    for (u32 key = 0; key < 256; key++) {
      if (!bitOf(in.handedKeys, key)) continue;
      setBit(in.handedKeys, key, false);
      setBit(in.unheardReleases, key, true);
      logProblem(xrcPressOrReleaseKey(server->display, kXrcKeyboard, key, 0), __FILE__, __LINE__);
      released = true;
    }
    if (released) XfsFlush(server->display);
  }
}

void handHeldKeysTo(const Head* head) {
  ServerDisplay* origin = inputControlDisplay;
  ServerDisplay* server = head ? head->serverDisplay : nullptr;
  if (!server || !origin || server == origin || !origin->display || isDisplayOffline(origin->display) ||
      isDisplayOffline(server->display))
    return;
  u8 held[32] = {};
  if (const char* error = xrcQueryKeymap(origin->display, kXrcKeyboard, held)) {
    logProblem(error, __FILE__, __LINE__);
    return;
  }
  bool pressed = false;
  for (u32 k = 0; k < 256; k++) {
    u32 meta = bitOf(held, k) ? headToMetaKeycode(kXrcKeyboard, k, origin) : 0;
    u32 key = meta & 0xff ? metaToHeadKeycode(kXrcKeyboard, meta, head) : 0;
    if (!isHeadKeycode(key, head) || key > 255 || bitOf(server->input.handedKeys, key)) continue;
    noteHandedKey(server, key, true);
    setBit(server->input.unheardPresses, key, true);
    logProblem(xrcPressOrReleaseKey(server->display, kXrcKeyboard, key, 1), __FILE__, __LINE__);
    pressed = true;
  }
  if (pressed) XfsFlush(server->display);
}

void setKeysUnheard(ServerDisplay* server, const u8* keys) {
  if (!server || !server->display || isDisplayOffline(server->display)) return;
  u8 down[32] = {};
  if (const char* error = xrcQueryKeymap(server->display, kXrcKeyboard, down)) {
    logProblem(error, __FILE__, __LINE__);
    return;
  }
  DisplayInput& in = server->input;
  for (u32 key = 8; key < 256; key++) {
    bool wanted = bitOf(keys, key);
    if (wanted == bitOf(down, key)) continue;
    noteHandedKey(server, key, wanted);
    setBit(wanted ? in.unheardPresses : in.unheardReleases, key, true);
    logProblem(xrcPressOrReleaseKey(server->display, kXrcKeyboard, key, wanted), __FILE__, __LINE__);
  }
  XfsFlush(server->display);
}

bool isUnheard(const ServerDisplay* server, u32 key, bool pressed) {
  return server && key < 256 && bitOf(pressed ? server->input.unheardPresses : server->input.unheardReleases, key);
}

void endProxyKeyGrab(const Head* head) {
  if (!head || !head->display || isDisplayOffline(head->display)) return;
  XfsUngrabKeyboard(head->display, CurrentTime);
  XfsSync(head->display, False);
}

// --- PointerRoot and None ----------------------------------------------------------------------

void announceRootFocus(u8 code, u32 focus, u8 mode) {
  if (focus > PointerRoot || !severalServers()) return;
  u8 event[32] = {};
  event[0] = code;
  event[1] = focus == PointerRoot ? NotifyPointerRoot : NotifyDetailNone;
  event[8] = mode;
  // Inside a reply the requester's change belongs to the request answered.
  ProxyClient* answering = currentLink && currentLink->client == currentClient ? currentClient : nullptr;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    const ProxyWindow* root = screen->rootWindow;
    if (!root) continue;
    put32(event + 4, root->id);
    for (const EventSelection* selection = root->selections; selection; selection = selection->next) {
      ProxyClient* client = selection->client;
      if (!client || !(selection->eventMask & FocusChangeMask)) continue;
      put16(event + 2, client == answering ? client->sequenceAnswered : u16(client->requestCounter));
      sendComposedEvent(event, "bbsi", client);
    }
  }
}

}  // namespace palvon
