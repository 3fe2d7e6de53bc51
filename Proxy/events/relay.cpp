// Input that crosses servers: which server speaks for the keys and the
// focus, grabs lent to the server where the input arrives, keys handed to
// another server let go, one keyboard's modifiers on every server, and the
// roots' PointerRoot and None.
#include "Proxy/events/relay.h"

#include <X11/X.h>

#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/crossings.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/headinput.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
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

namespace {

void ungrabLent(ProxyClient* client, const Head* lending, bool keyboard) {
  ServerLink* link = lending && client ? clientLink(client, lending->serverIndex) : nullptr;
  if (!link) return;
  if (keyboard)
    requestUngrabKeyboard(link);
  else
    requestUngrabPointer(link);
  // The server tells the crossings of the grab's end with its own key
  // state: they are in before a key let go after this reaches it through
  // the proxy's own connection.
  if (!settleServerLink(link))
    if (const char* error = flushServerLink(link)) logProblem(error, __FILE__, __LINE__);
}

}  // namespace

void endLentGrab(bool keyboard) {
  InputGrab& grab = keyboard ? inputState.keyboardGrab : inputState.pointerGrab;
  const Head* lending = grab.lending;
  grab.lending = nullptr;
  ungrabLent(grab.client, lending, keyboard);
}

void endButtonGrabAcross(ProxyClient* client, const Head* lending, u32 grabWindow, u16 state) {
  ungrabLent(client, lending, false);
  announceGrabAcross(grabWindow, NotifyUngrab, &state);
}

// --- Buttons of a drag onto another server ---------------------------------------------------------

namespace {

u32 buttonBit(u32 button) { return button >= 1 && button <= 5 ? 256u << (button - 1) : 0; }

}  // namespace

void releaseCarriedButton(const ServerDisplay* from, u32 button) {
  Head* holder = pointerHead();
  ServerDisplay* server = holder ? holder->serverDisplay : nullptr;
  u32 bit = buttonBit(button);
  if (!server || server == from || from != inputControlDisplay || !(server->input.carriedButtons & bit) ||
      !headDisplayOpen(holder))
    return;
  server->input.carriedButtons &= ~bit;
  server->input.unheardButtons |= bit;
  logProblem(xrcReleaseButton(server->display, kXrcMouse, button), __FILE__, __LINE__);
  // Done before what the clients' links send there next (a grab's end).
  XfsSync(server->display, False);
}

bool isUnheardButton(ServerDisplay* server, u32 button, bool pressed) {
  u32 bit = buttonBit(button);
  if (!server || !(server->input.unheardButtons & bit)) return false;
  server->input.unheardButtons &= ~bit;
  return !pressed;
}

// --- Keys handed to another server ---------------------------------------------------------------

namespace {

// The keys of the server's modifiers that are held, not locked: a lock key
// pressed on another server would toggle its lock there.
void modifierKeysOf(Display* display, u8* keys) {
  XModifierKeymap* map = xrcModifierMap(display, kXrcKeyboard);
  if (!map) return;
  u32 locks = xrcLockMask(display, kXrcKeyboard);
  for (int modifier = 0; modifier < 8; modifier++) {
    if (locks & (1u << modifier)) continue;
    for (int i = 0; i < map->max_keypermod; i++)
      if (KeyCode key = map->modifiermap[modifier * map->max_keypermod + i]) setBit(keys, key, true);
  }
}

// The modifier keys the input server holds down, in the head's keycodes
// (`wanted`), and the keys of the head's own modifiers (`among`, when
// given).
void heldModifierKeys(ServerDisplay* origin, const Head* head, u8* wanted, u8* among) {
  u8 held[32] = {}, modifiers[32] = {};
  if (const char* error = xrcQueryKeymap(origin->display, kXrcKeyboard, held)) {
    logProblem(error, __FILE__, __LINE__);
    return;
  }
  modifierKeysOf(origin->display, modifiers);
  for (u32 k = 8; k < 256; k++) {
    if (!bitOf(held, k) || !bitOf(modifiers, k)) continue;
    u32 meta = headToMetaKeycode(kXrcKeyboard, k, origin);
    u32 key = meta & 0xff ? metaToHeadKeycode(kXrcKeyboard, meta, head) : 0;
    if (isHeadKeycode(key, head) && key < 256) setBit(wanted, key, true);
  }
  if (among) modifierKeysOf(head->display, among);
}

// The input server, when the head's server does not take the keys: its
// modifiers are the ones to carry there.
ServerDisplay* keySourceFor(const Head* head) {
  ServerDisplay* origin = inputControlDisplay;
  ServerDisplay* server = head ? head->serverDisplay : nullptr;
  const Head* keys = keyboardHead();
  if (!server || !origin || server == origin || (keys && keys->serverDisplay == server) || !origin->display ||
      isDisplayOffline(origin->display) || !server->display || isDisplayOffline(server->display))
    return nullptr;
  return origin;
}

}  // namespace

void noteHandedKey(ServerDisplay* server, u32 key, bool pressed) {
  if (!server || key > 255) return;
  setBit(server->input.handedKeys, key, pressed);
  setBit(server->input.unheardPresses, key, false);
  setBit(server->input.unheardReleases, key, false);
}

void releaseHandedKeys(const ServerDisplay* keep) {
  // The pointer's server keeps the keyboard's modifiers while another
  // takes the keys: let go and pressed again, their unheard releases could
  // come after the presses cleared them, and be heard.
  Head* holder = pointerHead();
  ServerDisplay* origin = inputControlDisplay;
  u8 modifiers[32] = {};
  if (holder && holder->serverDisplay != keep && origin && origin != holder->serverDisplay && origin->display &&
      !isDisplayOffline(origin->display) && headDisplayOpen(holder))
    heldModifierKeys(origin, holder, modifiers, nullptr);
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server == keep || !server->display || isDisplayOffline(server->display)) continue;
    DisplayInput& in = server->input;
    bool released = false;
    for (u32 key = 0; key < 256; key++) {
      if (!bitOf(in.handedKeys, key) || (holder && server == holder->serverDisplay && bitOf(modifiers, key)))
        continue;
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
  // A lock the input server toggled while this one did not take the keys.
  matchLocksOn(head);
}

namespace {

// The keys `among` (all when null) of the server pressed and released to
// match `keys`, unheard; whether any changed.
bool matchKeysUnheard(ServerDisplay* server, const u8* keys, const u8* among) {
  if (!server || !server->display || isDisplayOffline(server->display)) return false;
  u8 down[32] = {};
  if (const char* error = xrcQueryKeymap(server->display, kXrcKeyboard, down)) {
    logProblem(error, __FILE__, __LINE__);
    return false;
  }
  DisplayInput& in = server->input;
  bool changed = false;
  for (u32 key = 8; key < 256; key++) {
    bool wanted = bitOf(keys, key);
    if (wanted == bitOf(down, key) || (among && !bitOf(among, key))) continue;
    changed = true;
    noteHandedKey(server, key, wanted);
    setBit(wanted ? in.unheardPresses : in.unheardReleases, key, true);
    logProblem(xrcPressOrReleaseKey(server->display, kXrcKeyboard, key, wanted), __FILE__, __LINE__);
  }
  return changed;
}

// The server's modifier and lock bits now (its pointer's state); false
// when it is offline.
bool modifierStateOf(Display* display, u32* state) {
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  // False only says the pointer is on another of its screens.
  XfsQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &wx, &wy, &mask);
  *state = mask & 0xff;
  return !isDisplayOffline(display);
}

// The locks (modifier bits) in `flip` switched on the head's server: a
// lock toggles when its key goes down, so the key is pressed and let go
// there, unheard. Whether any was.
bool toggleLocksUnheard(const Head* head, u32 flip) {
  DisplayInput& in = head->serverDisplay->input;
  bool toggled = false;
  for (u32 modifier = 0; modifier < 8; modifier++) {
    if (!(flip & (1u << modifier))) continue;
    u32 key = xrcModifierKeycode(head->display, kXrcKeyboard, modifier, nullptr);
    if (!key || key > 255 || !xrcIsLockKeysym(xrcKeycodeToKeysym(head->display, kXrcKeyboard, key))) continue;
    setBit(in.handedKeys, key, false);
    setBit(in.unheardPresses, key, true);
    setBit(in.unheardReleases, key, true);
    logProblem(xrcPressOrReleaseKey(head->display, kXrcKeyboard, key, 1), __FILE__, __LINE__);
    logProblem(xrcPressOrReleaseKey(head->display, kXrcKeyboard, key, 0), __FILE__, __LINE__);
    toggled = true;
  }
  return toggled;
}

// The input server's modifier and lock bits `want` brought onto the head's
// server, whose bits are `have`: its held modifier keys held there and its
// locks switched, unheard. Synced when anything changed, before what the
// clients' links send that server next.
void carryState(ServerDisplay* origin, const Head* head, u32 want, u32 have) {
  u32 locks = xrcLockMask(origin->display, kXrcKeyboard);
  bool changed = false;
  if ((want ^ have) & ~locks & 0xff) {
    u8 wanted[32] = {}, among[32] = {};
    heldModifierKeys(origin, head, wanted, among);
    changed = matchKeysUnheard(head->serverDisplay, wanted, among);
  }
  changed = toggleLocksUnheard(head, (want ^ have) & locks) || changed;
  if (changed) XfsSync(head->display, False);
}

}  // namespace

void matchLocksOn(const Head* head) {
  ServerDisplay* origin = inputControlDisplay;
  u32 want = 0, have = 0;
  if (!origin || !head || head->serverDisplay == origin || !origin->display || !headDisplayOpen(head) ||
      !modifierStateOf(origin->display, &want) || !modifierStateOf(head->display, &have))
    return;
  if (toggleLocksUnheard(head, (want ^ have) & xrcLockMask(origin->display, kXrcKeyboard))) XfsFlush(head->display);
}

void carryModifiersTo(const Head* head) {
  ServerDisplay* origin = keySourceFor(head);
  u32 want = 0, have = 0;
  if (!origin || !modifierStateOf(origin->display, &want) || !modifierStateOf(head->display, &have)) return;
  if (want != have) carryState(origin, head, want, have);
}

u32 keyboardModifiersOn(const Head* head, u32 state) {
  ServerDisplay* origin = keySourceFor(head);
  u32 want = 0;
  if (!origin || !modifierStateOf(origin->display, &want)) return state;
  if ((want ^ state) & 0xff) carryState(origin, head, want, state);
  return (state & ~0xffu) | want;
}

u32 pointerStateOn(const Head* head) {
  if (!headDisplayOpen(head)) return 0;
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned state = 0;
  XfsQueryPointer(head->display, head->root, &root, &child, &rx, &ry, &wx, &wy, &state);
  return keyboardModifiersOn(head, state & 0x7fff);
}

void setKeysUnheard(ServerDisplay* server, const u8* keys) {
  if (matchKeysUnheard(server, keys, nullptr)) XfsFlush(server->display);
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
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    const ProxyWindow* root = screen->rootWindow;
    if (!root) continue;
    put32(event + 4, root->id);
    for (const EventSelection* selection = root->selections; selection; selection = selection->next) {
      ProxyClient* client = selection->client;
      if (!client || !(selection->eventMask & FocusChangeMask)) continue;
      put16(event + 2, composedEventSequence(client));
      sendComposedEvent(event, "bbsi", client);
    }
  }
}

}  // namespace palvon
