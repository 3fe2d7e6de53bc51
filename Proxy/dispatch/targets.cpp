// Forwarding a request to the targets of a route that a filter keeps.
#include "Proxy/dispatch/targets.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"

namespace palvon {

namespace {

struct FilteredForward {
  const u8* request;
  u32 length;
  LayoutString layout;
  TargetFilter filter;
  CopyRewrite rewrite;
  void* argument;
  u32 served;
  bool failed;
};

bool forwardKept(const RouteTarget& target, void* argument) {
  auto* f = static_cast<FilteredForward*>(argument);
  if (f->filter && !f->filter(target, f->argument)) return true;
  u8* copy = copyRequestToServer(f->request, f->length, target.link);
  if (!copy) {
    f->failed = true;
    return false;
  }
  if (f->rewrite) f->rewrite(copy, f->length, target, f->argument);
  swapServerRequest(target.link, copy, f->length, f->layout);
  f->served++;
  return true;
}

}  // namespace

bool forwardToTargets(Route route, const u8* request, u32 length, TargetFilter filter, CopyRewrite rewrite,
                      void* argument, u32* served) {
  const RequestRow* row = currentRequest.row ? currentRequest.row : requestRowOf(request[0] | request[1] << 8);
  FilteredForward f{request, length, requestLayoutOf(row, request, length), filter, rewrite, argument, 0, false};
  forEachTarget(route, forwardKept, &f);
  if (served) *served = f.served;
  if (f.failed) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    return false;
  }
  return true;
}

void replaceReplyByError(u8 code, u32 badValue, u8 major) {
  ProxyClient* client = currentClient;
  if (!client) return;
  const u8 header[4] = {major, 0, 0, 0};
  sendClientXError(code, badValue, header, 4, client->sequenceAnswered, nullptr, client);
}

}  // namespace palvon
