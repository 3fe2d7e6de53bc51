// MORVANDELL META: window layers, sticking windows, and the keyboard grab
// given to another client.
#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/metacore.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Xext/meta/private.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kCoreKeyboard = 257;

ProxyWindow* windowOrError(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ProxyWindow* window = lookupWindow(id);
  if (!window) sendXError(BadWindow, id, request, length, nullptr);
  return window;
}

}  // namespace

void ProcMetaSetWindowLayer(u8* request, u32 length) {
  ProxyWindow* window = windowOrError(request, length);
  if (!window) return;
  auto layer = std::int8_t(request[8]);
  if (layer == window->layer) {
    LOGF(logChXhint, "Unchanged window layer in %s by %s", describeClientRequest(request), clientName(currentClient));
    return;
  }
  window->layer = layer;
  placeWindowByLayer(window);
}

void ProcMetaGetWindowLayer(u8* request, u32 length) {
  ProxyWindow* window = windowOrError(request, length);
  if (!window) return;
  u8 reply[32] = {};
  reply[1] = u8(window->layer);
  sendMetaReply(request, reply, sizeof reply, "bbsi");
}

void ProcMetaSetWindowSticking(u8* request, u32 length) {
  ProxyWindow* window = windowOrError(request, length);
  if (!window) return;
  if (!window->parent) return sendXError(BadMatch, 0, request, length, nullptr);
  window->sticking = request[8];
}

// --- The keyboard grab for another client -------------------------------------------------

namespace {

// The client that owns the id, other than the requesting one; null after
// the error.
ProxyClient* otherClient(u8* request, u32 length, u32 id) {
  ProxyClient* other = findClientByXid(id);
  if (!other) {
    sendXError(BadValue, id, request, length, nullptr);
    return nullptr;
  }
  if (other == currentClient) {
    sendXError(BadMatch, 0, request, length, nullptr);
    return nullptr;
  }
  return other;
}

void endKeyboardGrab() {
  ungrabKeyboardOnDisplay(kCoreKeyboard, pointerHead(), true);
  deactivateKeyboardGrab(kCoreKeyboard, nullptr, 0);
}

}  // namespace

void ProcMetaGrabDeviceForOtherClient(u8* request, u32 length) {
  u32 window = get32(request + 12);
  ProxyClient* other = otherClient(request, length, window);
  if (!other) return;
  if (get32(request + 4) != kCoreKeyboard) {
    PALVON_WIP();
    return;
  }
  ProxyClient* holder = inputState.keyboardGrab.client;
  if (holder == other) return;
  if (holder) endKeyboardGrab();
  // Owner events, both devices asynchronous, at the last time the clients
  // were given.
  if (activateKeyboardGrab(kCoreKeyboard, other, window, 1, GrabModeAsync, GrabModeAsync, 0, currentMetaTime(), false))
    grabKeyboardOnDisplay(kCoreKeyboard, pointerHead(), true);
}

void ProcMetaUngrabDeviceForOtherClient(u8* request, u32 length) {
  ProxyClient* other = otherClient(request, length, get32(request + 8));
  if (!other) return;
  if (get32(request + 4) != kCoreKeyboard) {
    PALVON_WIP();
    return;
  }
  if (inputState.keyboardGrab.client == other) endKeyboardGrab();
}

}  // namespace palvon
