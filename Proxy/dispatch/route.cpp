// The one loop over a request's target heads: which heads a route names,
// and forwarding a validated request to each of them.
#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/everyhead.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/bits.h"
#include "xsupport/misc.h"

namespace palvon {

Head* (*routeHeadHook)(Route route) = nullptr;

namespace {

struct Walk {
  TargetVisit visit;
  void* argument;
  u32 count;
  bool stopped;
};

// Visits the head when the client has a link to its server. Inline: it
// runs for every head of every forwarded request.
[[gnu::always_inline]] inline void visitHead(Walk& walk, ProxyClient* client, Head* head) {
  if (walk.stopped) return;
  ServerLink* link = clientLink(client, head->serverIndex);
  if (!link) return;
  walk.count++;
  if (!walk.visit({head, link}, walk.argument)) walk.stopped = true;
}

// Without meta screens (tools, tests, a proxy before its heads exist) every
// link stands for one head of its server.
void visitLinks(Walk& walk, ProxyClient* client, bool onlyFirst) {
  for (ServerLink* link : linksOf(client)) {
    if (walk.stopped) return;
    walk.count++;
    if (!walk.visit({nullptr, link}, walk.argument)) walk.stopped = true;
    if (onlyFirst) return;
  }
}

MetaScreen* requestScreen() {
  ProxyClient* client = currentClient;
  return client ? everyHeadScreen(client) : proxyState.screens;
}

Head* singleHead(Route route) {
  MetaScreen* screen = requestScreen();
  Head* main = screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr;
  switch (route) {
    case Route::kMainHead: return main;
    case Route::kColorHead: return screen && screen->colorHead ? screen->colorHead : main;
    default: {
      Head* head = routeHeadHook ? routeHeadHook(route) : nullptr;
      return head ? head : main;
    }
  }
}

// The head, among those the client has a link to, whose server's
// resource-id mask has the fewest bits; the first in list order wins a tie.
Head* fewestIdBitsHead(ProxyClient* client) {
  Head* best = nullptr;
  u32 bestBits = 33;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->display || !clientLink(client, head->serverIndex)) continue;
      u32 bits = bitCount(static_cast<u32>(xDisplayResourceMask(head->display)));
      if (bits < bestBits) {
        best = head;
        bestBits = bits;
      }
    }
  }
  return best;
}

// Every head of the request's meta screen: the route of nearly every
// forwarded request, walked without the frame of walkRoute.
[[gnu::always_inline]] inline void walkEveryHead(Walk& walk, ProxyClient* client) {
  MetaScreen* screen = requestScreen();
  if (!screen) return visitLinks(walk, client, false);
  for (Head* head = screen->heads; head; head = head->next) visitHead(walk, client, head);
}

void walkRoute(Walk& walk, ProxyClient* client, Route route) {
  switch (route) {
    case Route::kNone:
    case Route::kLocal: return;
    case Route::kEveryHead: return walkEveryHead(walk, client);
    case Route::kEveryScreen:
      if (!proxyState.screens) return visitLinks(walk, client, false);
      for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
        for (Head* head = screen->heads; head; head = head->next) visitHead(walk, client, head);
      return;
    case Route::kEveryServer: {
      if (!proxyState.screens) return visitLinks(walk, client, false);
      // The first head of each server, in head order.
      u32 seen = 0;
      for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
        for (Head* head = screen->heads; head; head = head->next) {
          if (head->serverIndex >= kMaxServerLinks || (seen & (1u << head->serverIndex))) continue;
          seen |= 1u << head->serverIndex;
          visitHead(walk, client, head);
        }
      }
      return;
    }
    case Route::kFewestIdBits: {
      Head* head = fewestIdBitsHead(client);
      if (!head) return visitLinks(walk, client, true);
      visitHead(walk, client, head);
      return;
    }
    default: {
      Head* head = singleHead(route);
      if (!head) return visitLinks(walk, client, true);
      visitHead(walk, client, head);
      return;
    }
  }
}

bool isSingleHead(Route route) {
  return route != Route::kNone && route != Route::kLocal && route != Route::kEveryHead &&
         route != Route::kEveryScreen && route != Route::kEveryServer;
}

struct Forward {
  const u8* request;
  u32 length;
  LayoutString layout;
  CopyRewrite rewrite;
  void* argument;
  bool failed;
};

bool forwardOne(const RouteTarget& target, void* argument) {
  auto* f = static_cast<Forward*>(argument);
  u8* copy = copyRequestToServer(f->request, f->length, target.link);
  if (!copy) {
    f->failed = true;
    return false;
  }
  if (f->rewrite) f->rewrite(copy, f->length, target, f->argument);
  swapServerRequest(target.link, copy, f->length, f->layout);
  return true;
}

}  // namespace

u32 forEachTarget(Route route, TargetVisit visit, void* argument) {
  ProxyClient* client = currentClient;
  if (!client) return 0;
  // Every head of the request's meta screen, the route of nearly every
  // forwarded request, with the count kept in a register (visitEveryHead;
  // the drawing requests inline the same walk).
  MetaScreen* screen = route == Route::kEveryHead ? everyHeadScreen(client) : nullptr;
  if (screen) return visitEveryHead(client, screen, [&](const RouteTarget& target) { return visit(target, argument); });
  Walk walk{visit, argument, 0, false};
  walkRoute(walk, client, route);
  return walk.count;
}

bool forwardRequestTo(Route route, const u8* request, u32 length, CopyRewrite rewrite, void* argument) {
  ProxyClient* client = currentClient;
  if (!client) return true;
  const RequestRow* row = currentRequest.row ? currentRequest.row : requestRowOf(request[0] | request[1] << 8);
  Forward forward{request, length, requestLayoutOf(row, request, length), rewrite, argument, false};
  forEachTarget(route, forwardOne, &forward);
  if (forward.failed) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    return false;
  }
  // What one server answers waits until every server has passed the
  // request, so that the client sees it in request order.
  if (isSingleHead(route) && openLinkCount(client) > 1) noteRequestWithoutReply(request);
  return true;
}

bool forwardRequest(const u8* request, u32 length, CopyRewrite rewrite, void* argument) {
  const RequestRow* row = currentRequest.row ? currentRequest.row : requestRowOf(request[0] | request[1] << 8);
  return forwardRequestTo(row->route, request, length, rewrite, argument);
}

}  // namespace palvon
