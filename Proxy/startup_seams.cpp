// What the start-up wires between the layers: the client layer's hooks, the
// servers every client is linked to, the handler of their set-up replies,
// the reverse id map of errors and the heads of the route roles.
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/clients/setupreply.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/heads/configurenotes.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/linkdispatch.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
#include "Proxy/visuals/colorheads.h"
#include "base/process.h"

namespace palvon {

namespace {

LinkServerInfo linkInfos[kMaxServerLinks];
u32 linkInfoCount;
// The links' names: the server's name as configured, without its screen,
// so that a local name stays on the local transport.
char linkNames[kMaxServerLinks][kDisplayNameMax];

Head* firstHeadOf(const ServerDisplay* server) { return server ? server->firstHead : nullptr; }

MetaScreen* requestScreen() {
  ProxyClient* client = currentClient;
  return client && client->requestResourceScreen ? client->requestResourceScreen : proxyState.screens;
}

// A destroyed client's model goes with it (its resources are freed by the
// client layer); a kept client keeps it.
void releaseClientState(ProxyClient* client, bool keeping) {
  dropConfigureNotes(client);
  if (keeping || !client->number) return;
  removeClientEventSelections(client);
  freeClientColormapCells(client);
}

// Where the proxy's own connection reached a server that `name` (the
// links' name) calls by a host: its TCP address, so that no link asks the
// name service again (a name that resolves elsewhere meanwhile would part a
// client's connection from the proxy's), or the local socket, for a name of
// this host whose local form answered: the links go there too. The name
// loses its host then.
void takeOwnConnectionsAddress(const ServerDisplay* server, LinkServerInfo* info, char* name) {
  const char* colon = strrchr(name, ':');
  if (!colon || colon == name) return;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(ConnectionNumber(server->display), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return;
  if (peer.ss_family == AF_UNIX) memmove(name, colon, strlen(colon) + 1);
  else if (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)
    memcpy(&info->address, &peer, std::min<size_t>(length, sizeof info->address));
}

u32 serverXidToClient(u32 xid, const ServerLink* link) {
  return link->server.display ? mapServerXidToClient(xid, link->server.display) : xid;
}

}  // namespace

Head* routeHead(Route route) {
  switch (route) {
    case Route::kAtomHead: return firstHeadOf(atomDisplay);
    case Route::kPropertyHead: {
      // The screen's own head on the atom server, else the atom head,
      // where a property window stands in for the screen's windows.
      if (MetaScreen* screen = requestScreen())
        for (Head* head = screen->heads; head; head = head->next)
          if (atomDisplay && head->serverDisplay == atomDisplay) return head;
      return firstHeadOf(atomDisplay);
    }
    case Route::kPointerHead:
      if (Head* head = pointerHead()) return head;
      return firstHeadOf(inputControlDisplay);
    case Route::kInputHead: return firstHeadOf(inputControlDisplay);
    case Route::kFontHead: return firstHeadOf(fontDisplay);
    case Route::kImageHead: return firstHeadOf(imageDisplay);
    default: return nullptr;
  }
}

void rebuildClientServerList() {
  linkInfoCount = 0;
  bool nativeMsb = hostImageByteOrder() != 0;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display || server->index >= kMaxServerLinks) continue;
    LinkServerInfo& info = linkInfos[linkInfoCount++];
    info = LinkServerInfo{};
    info.display = server;
    char* name = linkNames[linkInfoCount - 1];
    const char* configured = server->configuredName[0] ? server->configuredName : server->displayName;
    // A server of this machine named by the host's name (as a run-time
    // addition names it) is reached locally: it may not listen on TCP.
    if (const char* local = stripLocalHostPrefix(configured)) configured = local;
    strCopy(name, configured, kDisplayNameMax);
    if (char* colon = strrchr(name, ':'))
      if (char* dot = strchr(colon, '.')) *dot = '\0';
    takeOwnConnectionsAddress(server, &info, name);
    info.displayName = name;
    info.serverIndex = server->index;
    info.bigEndian = nativeMsb != (server->byteOrderDiffers != 0);
    // Without an offline time-out of its own a link waits as long as the
    // proxy's own calls do.
    info.offlineTimeoutMs = u32(server->offlineTimeoutMs ? server->offlineTimeoutMs : xfsGuardTimeout());
    info.codes = &server->codes;
  }
  clientServerList = ClientServerList{linkInfos, linkInfoCount};
}

void installProxySeams() {
  clientHooks.requestReset = requestResetAfterLastClient;
  clientHooks.releaseClient = releaseClientState;
  clientHooks.clientName = clientName;
  serverSetupHandler = handleClientSetupReply;
  serverXidToClientHook = serverXidToClient;
  routeHeadHook = routeHead;
  // What the servers' own connections report goes to the display event
  // intake; a lost server's heads leave their screens.
  installDisplayEventHooks();
  lostServerHooks.removeHead = removeServerFromScreen;
  lostServerHooks.answerClients = answerLostServerClients;
  lostServerHooks.rearmPending = rearmPendingRequests;
  rebuildClientServerList();
}

}  // namespace palvon
