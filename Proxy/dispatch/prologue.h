// The request prologue, inline for the client input parser: it runs for
// every request, and for a small forwarded one the call and its saved
// registers cost as much as the checks. dispatchClientRequest is the same
// out of line. Main thread only.
#pragma once

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"

namespace palvon {

// The prologue of a client of the other byte order or one being recorded,
// after the row is found and the request counted.
void runRarePrologue(ProxyClient* client, u8* request, u32 length, const RequestRow* row);

// sizeFits with the kinds of nearly every request inline.
[[gnu::always_inline]] inline bool requestSizeFits(const SizeRule& rule, const u8* request, u32 length) {
  switch (rule.kind) {
    case SizeKind::kAny: return true;
    case SizeKind::kExact: return length == rule.fixed;
    case SizeKind::kAtLeast: return length >= rule.fixed;
    case SizeKind::kList: {
      if (length < rule.fixed) return false;
      // Elements of 4 or 8 bytes (most lists) need no division.
      u32 rest = length - rule.fixed;
      return (rule.unit & (rule.unit - 1)) == 0 ? (rest & (rule.unit - 1u)) == 0 : rest % rule.unit == 0;
    }
    default: return sizeFits(rule, request, length);
  }
}

// The prologue's last step, for a request that passed its checks.
[[gnu::always_inline]] inline void runRequestHandler(ProxyClient* client, u8* request, u32 length,
                                                     const RequestRow* row) {
  currentRequest = {row};
  // Nothing names a resource yet: the handler's setRequestResource does.
  client->requestResourceType = 0;
  client->requestResourceObject = nullptr;
  client->requestResourceScreen = nullptr;
  client->requestTranslucentWindow = nullptr;
  (row->request ? row->request : handleUnimplementedRequest)(request, length);
}

// The usual prologue: the row found, the request counted, its size checked,
// the request's resource cleared, and the handler run.
[[gnu::always_inline]] inline const RequestRow* dispatchClientRequestInline(ProxyClient* client, u8* request,
                                                                           u32 length) {
  u32 key = request[0] | request[1] << 8;
  const RequestRow* row = proxyState.dispatch.requests[key];
  if (!row) row = requestRowOf(key);
  client->requestCounter++;
  if (client->parser.swapped || client->recording) {
    runRarePrologue(client, request, length, row);
    return row;
  }
  if (!requestSizeFits(row->size, request, length)) {
    sendXError(BadLength, length, request, length, nullptr);
    return row;
  }
  runRequestHandler(client, request, length, row);
  return row;
}

}  // namespace palvon
