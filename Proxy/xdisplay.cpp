// The list of server displays: opening a record for a real X server, closing
// its connection and freeing it.
#include "Proxy/xdisplay.h"

#include <stdlib.h>


#include "Proxy/client.h"
#include "Proxy/proxystate.h"
#include "Proxy/sequence.h"
#include "Proxy/serverauth.h"
#include "Proxy/serverlink.h"
#include "Proxy/xfs.h"
#include "Proxy/xscreen.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/misc.h"
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

void appendToList(ServerDisplay* server) {
  ServerDisplay** link = &serverDisplayList;
  u32 position = 0;
  while (*link) {
    link = &(*link)->next;
    position++;
  }
  *link = server;
  server->serial = position;
  // The lowest index no display holds: a client's link to this server sits
  // in that slot, and a server that left leaves its slot empty until then.
  auto taken = [server](u32 index) {
    for (ServerDisplay* other = serverDisplayList; other; other = other->next)
      if (other != server && other->index == index) return true;
    return false;
  };
  u32 index = 0;
  while (taken(index)) index++;
  server->index = index;
  serverDisplayCount++;
}

void cancelOrder(Order** order) {
  orderCancel(*order);
  *order = nullptr;
}

}  // namespace

const char* openServerDisplay(const char* name, u64 timeoutMs, ServerDisplay** out) {
  xfsInstall();
  TargetOptions options;
  xtargetInitOptions(&options);
  if (name) options.displayName = name;
  if (timeoutMs) options.connectTimeoutMs = timeoutMs;
  Display* display = nullptr;
  // With the server's credentials, as every connection to a real server.
  if (const char* error = connectServerDisplay(options.displayName, options.connectTimeoutMs,
                                               options.secondTimeoutMs, &display))
    return error;
  auto* server = static_cast<ServerDisplay*>(memCalloc(1, sizeof(ServerDisplay)));
  if (!server) {
    xtargetCloseDisplay(display);
    return PALVON_OOM();
  }
  xfsAttach(display);
  xtargetSetErrorFormatter(formatXErrorEvent);
  server->display = display;
  strCopy(server->displayName, DisplayString(display), sizeof server->displayName);
  strCopy(server->configuredName, options.displayName, sizeof server->configuredName);
  initIdentityCodes(&server->codes);
  server->imageFormat = {static_cast<u8>(ImageByteOrder(display)), static_cast<u8>(BitmapUnit(display)),
                         static_cast<u8>(BitmapBitOrder(display)), static_cast<u8>(BitmapPad(display))};
  appendToList(server);
  *out = server;
  return nullptr;
}

void disconnectServerDisplay(ServerDisplay* server, bool offline) {
  cancelOrder(&server->keepAliveTimer);
  cancelOrder(&server->watchdogTimer);
  cancelOrder(&server->lossOrder);
  cancelOrder(&server->readOrder);
  Display* display = server->display;
  if (!display) return;
  LOGF(logChInfo, "Closing connection to display %s (offline=%d) ...", server->displayName,
       offline ? 1 : 0);
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->display == display) head->display = nullptr;
    }
  }
  server->display = nullptr;
  xfsForget(display);
  xtargetCloseDisplay(display);
}

void closeLinksToServer(const ServerDisplay* server) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    for (u32 i = client->linkCount; i-- > 0;) {
      ServerLink* link = i < client->linkCount ? client->links[i] : nullptr;
      if (link && link->server.display == server) closeServerLink(link);
    }
  }
}

void freeServerDisplay(ServerDisplay* server) {
  if (!server) return;
  disconnectServerDisplay(server, isDisplayOffline(server->display));
  ServerDisplay** link = &serverDisplayList;
  while (*link && *link != server) link = &(*link)->next;
  if (*link) {
    *link = server->next;
    serverDisplayCount--;
  }
  ServerDisplay** roles[] = {&inputControlDisplay, &imageDisplay, &atomDisplay,
                             &timeDisplay,         &fontDisplay,  &resourceServerDisplay};
  for (ServerDisplay** role : roles) {
    if (*role == server) *role = nullptr;
  }
  // The other displays keep their index: every client's links stay in
  // their slots, and this server's slot stays empty.
  closeLinksToServer(server);
  free(server);
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
