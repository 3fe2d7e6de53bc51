// Atoms, properties, selections and SendEvent.
#include "Proxy/requests/atoms.h"

#include <X11/X.h>
#include <X11/Xatom.h>
#include <X11/Xproto.h>

#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/sync/clocks.h"
#include "Proxy/sync/propertywindows.h"
#include "Proxy/sync/selections.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kGenericEventCode = 35;
constexpr u32 kSizeHintItems = 18;
constexpr char kKeepVisibleWord[] = "KeepWindowsVisible";

// The window that carries a request's properties, as an id on the head the
// route reaches (the property head); other heads get the window translated.
struct PropertyTarget {
  u32 window;
  Head* head;
  u32 serverWindow;
};

PropertyTarget propertyTargetOf(u32 window) {
  PropertyTarget target{window, nullptr, window};
  target.serverWindow = getPropertyWindow(currentClient, window, &target.head);
  return target;
}

u32 windowOnHead(const PropertyTarget& target, const Head* head) {
  if (!head || head == target.head) return target.serverWindow;
  return translateXid(target.window, RT_WINDOW, head);
}

Atom atomOnHead(u32 atom, const Head* head) { return head ? mapAtomToHead(atom, head) : atom; }

void rewriteWindowAt4(u8* copy, u32, const RouteTarget& route, void* argument) {
  put32(copy + 4, windowOnHead(*static_cast<PropertyTarget*>(argument), route.head));
}

// Copies a text field once, bounded by the field and by the value.
void takeName(char* field, size_t size, const u8* text, u32 available) {
  if (field[0] || !available) return;
  size_t n = available < size - 1 ? available : size - 1;
  memcpy(field, text, n);
  field[n] = '\0';
  // A text with an embedded zero ends there.
  field[strnlen(field, n)] = '\0';
}

bool isKeepVisibleMark(const u8* data, u32 bytes) {
  u32 wordLength = sizeof kKeepVisibleWord;  // with its terminating zero
  return bytes >= wordLength && memcmp(data, kKeepVisibleWord, wordLength) == 0;
}

// Forwards to the one head without noting the request for in-order
// delivery: a SendEvent has no reply to wait for.
bool forwardToHead(Head* head, const u8* request, u32 length, CopyRewrite rewrite, void* argument) {
  ProxyClient* client = currentClient;
  ServerLink* link = head ? clientLink(client, head->serverIndex) : nullptr;
  if (!link && !proxyState.screens) {
    for (ServerLink* first : linksOf(client)) {
      link = first;
      break;
    }
  }
  if (!link) return true;
  u8* copy = copyRequestToServer(request, length, link);
  if (!copy) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    return false;
  }
  if (rewrite) rewrite(copy, length, RouteTarget{head, link}, argument);
  swapServerRequest(link, copy, length, requestLayoutOf(currentRequest.row, request, length));
  return true;
}

// The head that takes a SendEvent: the pointer's head for PointerWindow and
// InputFocus, and for a window on the pointer's meta screen; else the main
// head of the window's meta screen.
Head* sendEventHead(u32 destination) {
  Head* pointer = pointerHead();
  if (!pointer) pointer = routeHeadHook ? routeHeadHook(Route::kPointerHead) : nullptr;
  if (destination <= 1) return pointer;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (isSelectionSyncWindow(server, destination)) return server->firstHead;
  MetaScreen* screen = lookupWindowScreen(destination);
  // A window the proxy does not know was learned from the atom server (a
  // selection's requestor there): the event goes to that server.
  if (!screen && lookupResourceAnyType(destination, nullptr) == RT_NONE && atomDisplay && atomDisplay->firstHead)
    return atomDisplay->firstHead;
  if (!screen) screen = proxyState.screens;
  if (pointer && pointer->metaScreen == screen) return pointer;
  return screen ? (screen->mainHead ? screen->mainHead : screen->heads) : pointer;
}

void rewriteSendEvent(u8* copy, u32, const RouteTarget& route, void*) {
  u32 destination = get32(copy + 4);
  if (destination > 1 && route.head) put32(copy + 4, translateXid(destination, RT_WINDOW, route.head));
  u8 code = copy[12] & 0x7f;
  const ServerDisplay* server = route.head ? route.head->serverDisplay : nullptr;
  if (code > kGenericEventCode && server) copy[12] = u8((copy[12] & 0x80) | (server->codes.eventToServer[code] & 0x7f));
}

struct SelectionRewrite {
  PropertyTarget target;
  u32 windowAt;  // offset of the window field
  u32 timeAt;    // offset of the time field
};

void rewriteSelection(u8* copy, u32, const RouteTarget& route, void* argument) {
  auto* rewrite = static_cast<SelectionRewrite*>(argument);
  if (get32(copy + rewrite->windowAt)) put32(copy + rewrite->windowAt, windowOnHead(rewrite->target, route.head));
  put32(copy + rewrite->timeAt, metaToServerTimestamp(get32(copy + rewrite->timeAt), route.head));
}

}  // namespace

void notePropertyHints(ProxyClient* client, ProxyWindow* window, u8* request, u32 length) {
  u32 property = get32(request + 8), type = get32(request + 12);
  u8 format = request[16];
  u64 bytes = u64(get32(request + 20)) * format / 8;
  u8* data = request + 24;
  if (bytes > length - 24) bytes = length - 24;
  u32 available = u32(bytes);
  if (property == XA_WM_NORMAL_HINTS && type == XA_WM_SIZE_HINTS && format == 32 &&
      get32(request + 20) == kSizeHintItems && available >= sizeof window->sizeHints && window) {
    adjustSizeHintsPosition(window, data);
    memcpy(window->sizeHints, data, sizeof window->sizeHints);
    window->hasSizeHints = 1;
    return;
  }
  if (type != XA_STRING || format != 8 || !available || !client) return;
  switch (property) {
    case XA_WM_CLIENT_MACHINE: takeName(client->machineName, sizeof client->machineName, data, available); break;
    case XA_WM_NAME: takeName(client->programName, sizeof client->programName, data, available); break;
    case XA_WM_CLASS: {
      if (isKeepVisibleMark(data, available)) {
        if (window) window->noKeepVisible = 1;
        logStepf("No keepWindowsVisible for win tree 0x%x by %s", window ? window->id : 0, clientName(client));
        break;
      }
      // The class follows the instance name's terminating zero.
      const void* zero = memchr(data, 0, available);
      if (!zero) break;
      u32 offset = u32(static_cast<const u8*>(zero) - data) + 1;
      takeName(client->className, sizeof client->className, data + offset, available - offset);
      break;
    }
    default: break;
  }
}

// --- Atoms -----------------------------------------------------------------------------

void ProcInternAtom(u8* request, u32 length) {
  if (request[1] > 1) return sendXError(BadValue, request[1], request, length, nullptr);
  forwardRequest(request, length);
}

void ProcGetAtomName(u8* request, u32 length) {
  forwardRequest(request, length, [](u8* copy, u32, const RouteTarget& route, void*) {
    put32(copy + 4, u32(atomOnHead(get32(copy + 4), route.head)));
  });
}

// --- Properties --------------------------------------------------------------------------

void ProcChangeProperty(u8* request, u32 length) {
  u8 mode = request[1], format = request[16];
  u32 id = get32(request + 4);
  if (mode > PropModeAppend) return sendXError(BadValue, mode, request, length, nullptr);
  if (format != 8 && format != 16 && format != 32) return sendXError(BadValue, format, request, length, nullptr);
  // The length follows from the format, so it is checked after it, as a
  // plain server does.
  if (u64(length) != 24 + ((u64(get32(request + 20)) * (format / 8) + 3) & ~u64(3)))
    return sendXError(BadLength, length, request, length, nullptr);
  // An id the proxy does not know may still name a window on the atom
  // server (a program there asking for a selection, or the selection
  // synchronisation's window): it goes there translated, and that server
  // judges it. A known resource of another kind is no window.
  ProxyWindow* window = lookupWindow(id);
  if (!window && lookupResourceAnyType(id, nullptr) != RT_NONE)
    return sendXError(BadWindow, id, request, length, nullptr);
  notePropertyHints(currentClient, window, request, length);
  setRequestResource(currentClient, id);
  PropertyTarget target = propertyTargetOf(id);
  forwardRequest(request, length, rewriteWindowAt4, &target);
}

void ProcDeleteProperty(u8* request, u32 length) {
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  PropertyTarget target = propertyTargetOf(id);
  forwardRequest(request, length, rewriteWindowAt4, &target);
}

void ProcGetProperty(u8* request, u32 length) {
  if (request[1] > 1) return sendXError(BadValue, request[1], request, length, nullptr);
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  PropertyTarget target = propertyTargetOf(id);
  forwardRequest(request, length, [](u8* copy, u32, const RouteTarget& route, void* argument) {
    put32(copy + 4, windowOnHead(*static_cast<PropertyTarget*>(argument), route.head));
    put32(copy + 8, u32(atomOnHead(get32(copy + 8), route.head)));
    if (u32 type = get32(copy + 12)) put32(copy + 12, u32(atomOnHead(type, route.head)));
  }, &target);
}

void ProcListProperties(u8* request, u32 length) {
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  PropertyTarget target = propertyTargetOf(id);
  forwardRequest(request, length, rewriteWindowAt4, &target);
}

// --- Selections ---------------------------------------------------------------------------

void ProcSetSelectionOwner(u8* request, u32 length) {
  u32 owner = get32(request + 4);
  SelectionRewrite rewrite{};
  rewrite.windowAt = 4;
  rewrite.timeAt = 12;
  if (owner) {
    setRequestResource(currentClient, owner);
    rewrite.target = propertyTargetOf(owner);
  }
  forwardRequest(request, length, rewriteSelection, &rewrite);
}

void ProcGetSelectionOwner(u8* request, u32 length) {
  forwardRequest(request, length, [](u8* copy, u32, const RouteTarget& route, void*) {
    put32(copy + 4, u32(atomOnHead(get32(copy + 4), route.head)));
  });
}

void ReplyGetSelectionOwner(u8* reply, u32 length) {
  u32 owner = get32(reply + 8);
  const ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  if (owner && server) {
    // Several screens on several servers: the owner is a property window.
    bool propertyWindows = proxyState.screenCount > 1 && serverDisplayCount > 1;
    put32(reply + 8, propertyWindows ? findWindowByPropertyWindow(owner, server) : mapServerXidToClient(owner, server));
  }
  sendReplyToClient(reply, length, "bbsii");
}

void ProcConvertSelection(u8* request, u32 length) {
  u32 requestor = get32(request + 4);
  setRequestResource(currentClient, requestor);
  SelectionRewrite rewrite{propertyTargetOf(requestor), 4, 20};
  forwardRequest(request, length, rewriteSelection, &rewrite);
}

// --- SendEvent ------------------------------------------------------------------------------

void ProcSendEvent(u8* request, u32 length) {
  u32 destination = get32(request + 4);
  if (destination > 1) setRequestResource(currentClient, destination);
  forwardToHead(sendEventHead(destination), request, length, rewriteSendEvent, nullptr);
}

}  // namespace palvon
