// The walk of Route::kEveryHead, the route of nearly every forwarded
// request, for a caller that wants its visit inlined: forEachTarget runs
// the same walk through a function pointer.
//
// Main thread only.
#pragma once

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"

namespace palvon {

// The meta screen whose heads the route names for the client: that of the
// request's resource, else the first. Null without meta screens (then
// forEachTarget walks the client's links).
inline MetaScreen* everyHeadScreen(const ProxyClient* client) {
  return client->requestResourceScreen ? client->requestResourceScreen : proxyState.screens;
}

// Calls visit(target) for every head of the screen to whose server the
// client has a link, in head order, until one returns false; gives the
// number of targets visited.
template <typename Visit>
[[gnu::always_inline]] inline u32 visitEveryHead(ProxyClient* client, MetaScreen* screen, Visit&& visit) {
  u32 count = 0;
  for (Head* head = screen->heads; head; head = head->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    if (!link) continue;
    count++;
    if (!visit(RouteTarget{head, link})) break;
  }
  return count;
}

}  // namespace palvon
