// Windows, save sets, passive grabs and event selections onto a joining
// server (serverjoin_steps.h).
#include "Proxy/join/serverjoin_steps.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "base/logging.h"
#include "base/strings.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

ServerLink* headLinkOf(const ProxyClient* client, const Head* head) {
  if (!client) return nullptr;
  ServerLink* link = clientLink(client, head->serverIndex);
  return link && link->descriptor >= 0 ? link : nullptr;
}

// Pre-order with each window's children bottom first: a window made after
// its lower siblings lands above them, as in the model.
ProxyWindow* nextBottomUp(ProxyWindow* window, ProxyWindow* root) {
  if (window->bottomChild) return window->bottomChild;
  while (window != root) {
    if (window->nextUpper) return window->nextUpper;
    window = window->parent;
  }
  return nullptr;
}

// The requests of each client's link to the new server that a round trip
// has covered; a window of another client waits for what it names.
struct SyncState {
  u64 syncedThrough[kMaxClientSlots];
};

const char* syncOwnerOf(const ProxyWindow* window, const ProxyClient* except, const Head* head, SyncState* state) {
  ProxyClient* owner = window ? window->owner : nullptr;
  if (!owner || owner == except || owner->number >= kMaxClientSlots) return nullptr;
  ServerLink* link = headLinkOf(owner, head);
  if (!link || state->syncedThrough[owner->number] >= link->requestsSent || !linkWaitable(link)) return nullptr;
  if (const char* error = syncServerLink(link)) return error;
  state->syncedThrough[owner->number] = link->requestsSent;
  return nullptr;
}

void writeGrabKey(RequestWriter* writer, const PassiveGrab& grab, u32 window, u8 keycode) {
  u8* p = beginRequest(writer, X_GrabKey, grab.ownerEvents, 16);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, grab.modifiers);
  p[10] = keycode;
  p[11] = grab.pointerMode;
  p[12] = grab.keyboardMode;
  p[13] = p[14] = p[15] = 0;
  finishRequest(writer, p, 16, X_GrabKey, grab.ownerEvents);
  markProxyCopy(writer);
}

void writeGrabButton(RequestWriter* writer, const PassiveGrab& grab, u32 window, u32 cursor) {
  u8* p = beginRequest(writer, X_GrabButton, grab.ownerEvents, 24);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, grab.eventMask);
  p[10] = grab.pointerMode;
  p[11] = grab.keyboardMode;
  put32(p + 12, None);
  put32(p + 16, cursor);
  p[20] = grab.detail;
  p[21] = 0;
  put16(p + 22, grab.modifiers);
  finishRequest(writer, p, 24, X_GrabButton, grab.ownerEvents);
  markProxyCopy(writer);
}

void copyGrab(ProxyClient* client, ServerLink* link, const PassiveGrab& grab, Head* head) {
  u32 window = translateXid(grab.window, RT_WINDOW, head);
  if (grab.isKey) {
    u32 keycode = grab.detail ? metaToHeadKeycode(kXrcKeyboard, grab.detail, head) : 0;
    // A key the new server has no code for cannot be grabbed there.
    if (grab.detail && !isHeadKeycode(keycode, head)) return;
    writeGrabKey(&link->writer, grab, window, u8(keycode));
    return;
  }
  u32 cursor = None, made = 0;
  if (grab.cursor) {
    cursor = grab.cursor->id ? translateXid(grab.cursor->id, RT_CURSOR, head) : 0;
    if (!cursor) cursor = made = copyCursorToHead(grab.cursor, client, head);
  }
  writeGrabButton(&link->writer, grab, window, cursor);
  // The server keeps the grab's cursor itself.
  if (made) {
    xprotoFreeCursor(&link->writer, made);
    markProxyCopy(&link->writer);
  }
}

}  // namespace

const char* copyWindowsToHead(Head* head, MetaScreen* screen) {
  logStepf("Copying windows...");
  ProxyWindow* root = screen->rootWindow;
  if (!root) return nullptr;
  auto* state = static_cast<SyncState*>(std::calloc(1, sizeof(SyncState)));
  if (!state) return PALVON_OOM();
  const char* error = nullptr;
  copyWindowTreeToDisplay(root, nullptr, head);
  for (ProxyWindow* window = nextBottomUp(root, root); window && !error; window = nextBottomUp(window, root)) {
    ServerLink* link = headLinkOf(window->owner, head);
    if (!link) continue;
    if ((error = syncOwnerOf(window->parent, window->owner, head, state))) break;
    if ((error = syncOwnerOf(window->nextLower, window->owner, head, state))) break;
    if (!copyWindowTreeToDisplay(window, &link->writer, head)) error = PALVON_OOM();
  }
  std::free(state);
  return error;
}

void copySaveSetsAndGrabs(Head* head, MetaScreen* screen) {
  logStepf("Copying save set...");
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = headLinkOf(client, head);
    if (!link) continue;
    for (i32 i = 0; i < client->saveSetCount; i++) {
      ProxyWindow* window = client->saveSet[i];
      if (!window || window->screen != screen) continue;
      xprotoChangeSaveSet(&link->writer, translateXid(window->id, RT_WINDOW, head));
      markProxyCopy(&link->writer);
    }
    for (PassiveGrab* grab = client->passiveGrabs; grab; grab = grab->next) {
      ProxyWindow* window = lookupWindow(grab->window);
      if (window && window->screen == screen) copyGrab(client, link, *grab, head);
    }
  }
}

void selectWindowEventsOnHead(Head* head, MetaScreen* screen) {
  logStepf("Selecting window events...");
  ProxyWindow* root = screen->rootWindow;
  for (ProxyWindow* window = root; window; window = nextWindowPreorder(window, root)) {
    for (EventSelection* s = window->selections; s; s = s->next) {
      ServerLink* link = headLinkOf(s->client, head);
      if (!link) continue;
      u32 mask = adjustEventMaskForHead(s->client, window, s->eventMask, head);
      XSetWindowAttributes values{};
      values.event_mask = long(mask);
      xprotoChangeWindowAttributes(&link->writer, translateXid(window->id, RT_WINDOW, head), CWEventMask, &values);
      markProxyCopy(&link->writer);
    }
  }
}

}  // namespace palvon
