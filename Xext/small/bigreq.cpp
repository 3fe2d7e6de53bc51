// BIG-REQUESTS. BigReqEnable goes to one head of every real server, so that
// each of the client's links accepts the long form; only the input-control
// server's answer reaches the client, and it carries the limit that the
// proxy enforces rather than that server's own, which may be larger.
#include "Xext/small/bigreq.h"

#include <X11/Xlib.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/servers/display.h"
#include "Xext/extmodule.h"

namespace palvon {

namespace {

constexpr u8 kBigReqEnable = 0;
// The stash that marks the link whose answer the client gets.
constexpr u8 kAnsweringLinkStash = 253;

void keepNothing(void*) {}

// Lowers the proxy's limit to a server's maximum (4-byte units); a maximum
// of 0 (a server without BIG-REQUESTS) says nothing.
void lowerLimit(u64 units) {
  if (units == 0) return;
  u64 bytes = units * 4;
  if (bytes < proxyState.maxBigRequestBytes) proxyState.maxBigRequestBytes = static_cast<u32>(bytes);
}

// The link that answers the client: the input-control server's, else the
// first target (a proxy without heads, or an input-control server that the
// client has no link to).
struct Answering {
  ServerLink* link;
  bool onInputControl;
};

bool findAnswering(const RouteTarget& target, void* argument) {
  auto* answering = static_cast<Answering*>(argument);
  bool inputControl = target.head && inputControlDisplay && target.head->serverDisplay == inputControlDisplay;
  if (!answering->link || (inputControl && !answering->onInputControl)) *answering = {target.link, inputControl};
  return true;
}

void markAnswering(u8*, u32, const RouteTarget& target, void* argument) {
  if (target.link == static_cast<Answering*>(argument)->link)
    stashRequestData(target.link, kAnsweringLinkStash, target.link, keepNothing);
}

void lostBigRequestsServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor != kBigReqEnable) return composeImplementationError(client, sequence, key);
  u8 reply[32] = {};
  put32(reply + 8, bigRequestLimitUnits());
  composeReply(client, sequence, key, reply, "bbsii");
}

void ProcBigReqEnable(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  Answering answering{nullptr, false};
  forEachTarget(Route::kEveryServer, findAnswering, &answering);
  if (!answering.link) {
    // No server left to switch over: the proxy's own limit is the answer.
    lostBigRequestsServer(client, client->requestCounter, request[1], static_cast<u16>(request[0] | request[1] << 8));
  } else {
    if (!forwardRequest(request, length, markAnswering, &answering)) return;
    // One answer of several servers: held until every server has passed it.
    if (openLinkCount(client) > 1) noteRequestWithoutReply(request);
  }
  client->bigRequests = 1;
}

void ReplyBigReqEnable(u8* reply, u32 length) {
  if (length < 12) return;
  lowerLimit(get32(reply + 8));
  if (!currentLink || !releaseStashedData(currentLink, kAnsweringLinkStash)) return;
  // A client told more than the proxy takes would get BadLength for a size
  // it was granted.
  put32(reply + 8, bigRequestLimitUnits());
  sendReplyToClient(reply, length, "bbsii");
}

constexpr RequestRow kRequests[] = {
    {kBigReqEnable, "BigReqEnable", ProcBigReqEnable, ReplyBigReqEnable, "bbs", "bbsii", exactSize(4),
     Route::kEveryServer},
};

}  // namespace

u32 bigRequestLimitUnits() { return proxyState.maxBigRequestBytes / 4; }

const char* initBigRequestsExtension(ExtensionEntry* entry) {
  const char* refusal = registerModule(entry, "BIG-REQUESTS", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                                       {kModuleBigRequests, lostBigRequestsServer, nullptr, false});
  if (refusal) return refusal;
  // The proxy's own connections know every server's maximum before any
  // client asks.
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display) lowerLimit(static_cast<u64>(XExtendedMaxRequestSize(server->display)));
  }
  return nullptr;
}

}  // namespace palvon
