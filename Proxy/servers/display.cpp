// The list of server displays: opening a record for a real X server, closing
// its connection and freeing it.
#include "Proxy/servers/display.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>


#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverauth.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/open.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/screen.h"
#include "Proxy/sync/propertywindows.h"
#include "base/fd.h"
#include "base/logging.h"
#include "base/lookups.h"
#include "base/orders.h"
#include "base/process.h"
#include "base/strlist.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/xtarget.h"

namespace palvon {

ServerDisplay* serverDisplayList = nullptr;
u32 serverDisplayCount = 0;

ServerDisplay* inputControlDisplay = nullptr;
ServerDisplay* imageDisplay = nullptr;
ServerDisplay* atomDisplay = nullptr;
ServerDisplay* timeDisplay = nullptr;
ServerDisplay* fontDisplay = nullptr;
ServerDisplay* resourceServerDisplay = nullptr;

namespace {

// A server's codes start as the proxy's own until the registry maps them.
void initIdentityCodes(ExtensionCodeMap* codes) {
  for (u32 i = 0; i < 256; i++) {
    u8 code = static_cast<u8>(i);
    codes->majorToServer[i] = code;
    codes->eventToServer[i] = code;
    codes->eventFromServer[i] = code;
    codes->errorFromServer[i] = code;
  }
}

// The lowest index no other display holds: a client's link to a server sits
// in that slot, and a server that left leaves its slot empty until then.
u32 lowestFreeIndex(const ServerDisplay* server) {
  auto taken = [server](u32 index) {
    for (ServerDisplay* other = serverDisplayList; other; other = other->next)
      if (other != server && other->index == index) return true;
    return false;
  };
  u32 index = 0;
  while (taken(index)) index++;
  return index;
}

void appendToList(ServerDisplay* server) {
  ServerDisplay** link = &serverDisplayList;
  u32 position = 0;
  while (*link) {
    link = &(*link)->next;
    position++;
  }
  *link = server;
  server->serial = position;
  server->index = lowestFreeIndex(server);
  serverDisplayCount++;
}

void cancelOrder(Order** order) {
  orderCancel(*order);
  *order = nullptr;
}

}  // namespace

ServerDisplay* newServerDisplay(const char* name, const char* configuredName) {
  auto* server = static_cast<ServerDisplay*>(memCalloc(1, sizeof(ServerDisplay)));
  if (!server) return nullptr;
  strCopy(server->displayName, name ? name : "", sizeof server->displayName);
  strCopy(server->configuredName, configuredName ? configuredName : "", sizeof server->configuredName);
  initIdentityCodes(&server->codes);
  server->serial = serverDisplayCount;
  server->index = lowestFreeIndex(server);
  return server;
}

namespace {

// The proxy's own connection, with the server's credentials: for a name on
// this host first by its local form (from the colon on) with half the
// time-out, then as written (connectServerDisplay).
const char* connectByName(const char* given, u64 timeoutMs, Display** out, bool clientNamed) {
  TargetOptions options;
  xtargetInitOptions(&options);
  return connectServerDisplay(given ? given : options.displayName, timeoutMs ? timeoutMs : options.connectTimeoutMs,
                              options.secondTimeoutMs, out, clientNamed);
}

}  // namespace

long long servedOpeningDeadline() {
  return clientCount > 0 ? fdMonotonicMs() + static_cast<long long>(kServedOpeningMs) : 0;
}

const char* lookUpGivenUpText(const char* name) {
  return tmpPrintf("Can't look up the host of display '%s' for %u seconds - Make sure the name service is "
                   "available",
                   name, static_cast<unsigned>(kServedOpeningMs / 1000));
}

const char* openServerConnection(ServerDisplay* server, u64 timeoutMs) {
  if (server->display) return nullptr;
  xfsInstall();
  Display* display = nullptr;
  // The name as configured: a local name stays on the local transport.
  const char* name = server->configuredName[0] ? server->configuredName
                     : server->displayName[0]  ? server->displayName
                                               : nullptr;
  // While clients are served the whole opening, from here on, has the
  // configured time-out; the connect and set-up, one wait, the silence bound.
  long long openingDeadline = fdMonotonicMs() + static_cast<long long>(timeoutMs ? timeoutMs : kDefaultConnectTimeoutMs);
  if (clientCount > 0) timeoutMs = std::min(timeoutMs ? timeoutMs : kServedOpeningMs, kServedOpeningMs);
  // Within the bound of the step that opens the server, when it has one.
  LookUpBound bound(clientCount > 0 ? fdMonotonicMs() + static_cast<long long>(timeoutMs) : 0);
  const char* error = connectByName(name, timeoutMs, &display, server->namedByClient);
  // The connect blocked the loop: that time is nobody's silence, and no
  // timer armed before it has waited it.
  ordersSkipBlockedTime();
  if (error && bound.gaveUp()) error = lookUpGivenUpText(name ? name : "");
  if (error) return error;
  xfsAttach(display);
  // What the proxy asks of the server in the step that opens it (its
  // extensions, input and state) blocks the loop as the connect did: a
  // server that stalls after its set-up is given up after the same silence,
  // one that keeps answering at the opening's deadline. Hundreds of round
  // trips on a busy machine can take longer than one silence together.
  if (clientCount > 0) {
    xfsSetOpeningDeadline(display, openingDeadline, kServedOpeningMs);
    orderAddTimer(0, [](void*) { xfsEndOpenings(); }, nullptr);
  }
  // Whether the server is this machine's is asked here once, within the
  // bound: the look-up behind it is not repeated for every image read.
  server->local = isDisplayLocal(display);
  xtargetSetErrorFormatter(formatXErrorEvent);
  server->display = display;
  if (!server->displayName[0]) strCopy(server->displayName, DisplayString(display), sizeof server->displayName);
  server->screenCount = u32(ScreenCount(display));
  server->imageFormat = {static_cast<u8>(ImageByteOrder(display)), static_cast<u8>(BitmapUnit(display)),
                         static_cast<u8>(BitmapBitOrder(display)), static_cast<u8>(BitmapPad(display))};
  return nullptr;
}

void addServerDisplay(ServerDisplay* server) {
  for (ServerDisplay* other = serverDisplayList; other; other = other->next) {
    if (other == server) return;
  }
  appendToList(server);
}

const char* openServerDisplay(const char* name, u64 timeoutMs, ServerDisplay** out) {
  TargetOptions options;
  xtargetInitOptions(&options);
  if (name) options.displayName = name;
  ServerDisplay* server = newServerDisplay(nullptr, options.displayName);
  if (!server) return PALVON_OOM();
  strCopy(server->displayName, options.displayName, sizeof server->displayName);
  if (const char* error = openServerConnection(server, timeoutMs)) {
    free(server);
    return error;
  }
  strCopy(server->displayName, DisplayString(server->display), sizeof server->displayName);
  appendToList(server);
  *out = server;
  return nullptr;
}

bool putServerStateBack(ServerDisplay* server) {
  struct Restore {
    ServerDisplay* server;
    bool sent;
  } restore{server, false};
  // The restore makes plain library calls (input, keyboard and pointer
  // helpers): outside a guarded call a stopped server would end the proxy.
  xfsRun(server->display, [](void* argument) {
    auto* r = static_cast<Restore*>(argument);
    r->sent = restoreServerState(r->server);
  }, &restore);
  return restore.sent && !isDisplayOffline(server->display);
}

void disconnectServerDisplay(ServerDisplay* server, bool offline) {
  cancelOrder(&server->keepAliveTimer);
  cancelOrder(&server->watchdogTimer);
  cancelOrder(&server->lossOrder);
  detachDisplayOrders(server);
  Display* display = server->display;
  if (!display) return;
  LOGF(logChInfo, "Closing connection to display %s (offline=%d) ...", server->displayName,
       offline ? 1 : 0);
  server->closing = 1;
  // A connection found broken on the way is closed as offline from there on.
  bool restored = !offline && putServerStateBack(server);
  offline = offline || isDisplayOffline(display);
  releaseServerState(server, offline);
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->display == display) head->display = nullptr;
    }
  }
  for (Head* head = server->firstHead; head; head = head->nextOnDisplay) head->display = nullptr;
  // Only what was put back needs the wire; a record that saved nothing may
  // belong to a server that is gone already. A flush is not enough: closing
  // a TCP connection with events still unread resets it, and the server
  // then drops the requests it had not read yet.
  if (restored && !offline) XfsSync(display, False);
  server->display = nullptr;
  server->closing = 0;
  xfsForget(display);
  xtargetCloseDisplay(display);
}

void closeLinksToServer(const ServerDisplay* server) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    for (u32 i = client->linkCount; i-- > 0;) {
      ServerLink* link = i < client->linkCount ? client->links[i] : nullptr;
      if (link && link->server.display == server) discardServerLink(link);
    }
  }
}

namespace {

// The roles the display held pass to others.
void handRolesOn(ServerDisplay* server) {
  if (server == inputControlDisplay) {
    // The closing display takes no part in the switch: nothing is released
    // or warped on it any more.
    inputControlDisplay = nullptr;
    ServerDisplay* next = serverDisplayList;
    while (next && !next->display) next = next->next;
    if (next) {
      if (const char* error = switchInputControl(kXrcMouse, next, 1)) LOGF(logChWarning, "%s", error);
    }
  }
  if (server == timeDisplay) timeDisplay = serverDisplayList;
  if (server == imageDisplay) setImageDisplay(serverDisplayList);
  if (server == resourceServerDisplay) resourceServerDisplay = nullptr;
  if (server == atomDisplay) {
    // Properties kept on stand-ins there are gone with the server.
    forgetPropertyWindows();
    atomDisplay = firstRootHeadDisplay();
    if (atomDisplay == server) atomDisplay = nullptr;
  }
  if (server == fontDisplay) {
    fontDisplay = nullptr;
    ServerDisplay* chosen = chooseFontServerDisplay();
    fontDisplay = chosen != server ? chosen : nullptr;
  }
}

}  // namespace

void freeServerDisplay(ServerDisplay* server) {
  if (!server) return;
  ServerDisplay** link = &serverDisplayList;
  while (*link && *link != server) link = &(*link)->next;
  if (*link) {
    *link = server->next;
    serverDisplayCount--;
  }
  handRolesOn(server);
  disconnectServerDisplay(server, isDisplayOffline(server->display));
  // What clients still wait for from a server that leaves (a set-up answer
  // of a client that connected just before, a reply) is answered in its
  // place, as for a lost one: its links close now, unread.
  if (lostServerHooks.answerClients) lostServerHooks.answerClients(server);
  // The other displays keep their index: every client's links stay in
  // their slots, and this server's slot stays empty.
  closeLinksToServer(server);
  free(server->savedPointer);
  free(server->savedPower);
  strlistFree(server->savedFontPathCount, server->savedFontPath);
  strlistFree(server->fontPathCount, server->fontPaths);
  free(server);
  // New clients must not be linked to the server that left.
  rebuildClientServerList();
  // No pending request may wait for the server that left: entries already
  // waiting for its round trip (an announcement of the change itself, made
  // while its links were open) wait for the links that remain instead.
  rearmPendingRequests();
}

Display* getLinkXDisplay(const ServerLink* link) {
  if (link) return link->server.display ? link->server.display->display : nullptr;
  return serverDisplayList ? serverDisplayList->display : nullptr;
}

XFontStruct* queryFontOnClientServer(ServerLink* link, const char* name) {
  // The client's own requests (a font path it just set, a font it just
  // opened) must have reached the server before the proxy asks it.
  if (link->requestsSent != link->lastServerSequence) {
    if (const char* error = syncServerLink(link)) logProblem(error, __FILE__, __LINE__);
  }
  Display* display = getLinkXDisplay(link);
  if (isDisplayOffline(display)) return nullptr;
  return XfsLoadQueryFont(display, name);
}

ServerDisplay* findServerDisplay(const Display* display) {
  if (!display) return nullptr;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display == display) return server;
  }
  return nullptr;
}

}  // namespace palvon
