// Queries of server-wide state answered by one head.
#include "Proxy/serverqueries.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include "Proxy/client.h"
#include "Proxy/dispatch.h"
#include "Proxy/heads_pending.h"
#include "Proxy/pending.h"
#include "Proxy/proxystate.h"
#include "Proxy/resource.h"
#include "Proxy/serverlink.h"
#include "Proxy/wire.h"
#include "Proxy/xerrors.h"
#include "Proxy/headlookup.h"
#include "Proxy/xpointer.h"
#include "Proxy/xscreen.h"

namespace palvon {

void ProcForwardQuery(u8* request, u32 length) { forwardRequest(request, length); }

void ProcGetInputFocus(u8* request, u32 length) { forwardRequest(request, length); }

// The focus window as the client knows it (None and PointerRoot stay).
void ReplyGetInputFocus(u8* reply, u32 length) {
  const ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  if (server) put32(reply + 8, mapServerXidToClient(get32(reply + 8), server));
  sendReplyToClient(reply, length, "bbsii");
}

// The size is asked on the head against its own root: the meta screen's
// root stands for the drawable the client named.
void ProcQueryBestSize(u8* request, u32 length) {
  if (request[1] > 2) return sendXError(BadValue, request[1], request, length, nullptr);
  u32 drawable = get32(request + 4);
  setRequestResource(currentClient, drawable);
  forwardRequest(request, length, [](u8* copy, u32, const RouteTarget& route, void*) {
    if (!route.head) return;
    MetaScreen* screen = route.head->metaScreen;
    u32 root = screen ? screen->rootId : get32(copy + 4);
    put32(copy + 4, translateXid(root, RT_REAL_ROOT, route.head));
  });
}

// The keycodes the client may ask for are the proxy's range.
void ProcGetKeyboardMapping(u8* request, u32 length) {
  u32 first = request[4], count = request[5];
  if (first < proxyState.minKeycode || first + count > proxyState.maxKeycode + 1)
    return sendXError(BadValue, first < proxyState.minKeycode ? first : count, request, length, nullptr);
  forwardRequest(request, length);
}

}  // namespace palvon
