// Client-output helpers of the screens layer: bytes queued for a client in
// its byte order, its links written and flushed, and a short yield that lets
// other work run before the client is read again.
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Xext/swap/byteswap.h"
#include "base/orders.h"

namespace palvon {

u8* queueClientBytes(const void* data, u32 length, const char* layout, ProxyClient* client) {
  u8* copy = outbufferReserve(clientQueue(client), length);
  if (!copy) return nullptr;
  memcpy(copy, data, length);
  if (client->parser.swapped && layout) swapByFormat(layout, copy, copy + length);
  return copy;
}

namespace {

const char* brokenLink(const char* displayName, const char* client) {
  return tmpPrintf("Broken connection to %s by %s - Maybe the X Window server has been stopped or is unavailable",
                   displayName, client);
}

}  // namespace

const char* writeClientServerLinks(ProxyClient* client) {
  for (u32 i = 0; i < client->linkCount; i++) {
    ServerLink* link = client->links[i];
    if (!link) continue;  // the slot of a server that left
    // A broken link ends its client: the names are taken before.
    const char* displayName = tmpCopy(link->server.displayName);
    const char* name = tmpCopy(clientName(client));
    if (!onServerLinkWritable(link)) return brokenLink(displayName, name);
  }
  return nullptr;
}

const char* flushClientServerLinks(ProxyClient* client) {
  for (u32 i = 0; i < client->linkCount; i++) {
    if (!client->links[i]) continue;
    if (const char* error = flushServerLink(client->links[i])) return error;
  }
  return nullptr;
}

const char* flushAllServerLinks() {
  for (ProxyClient* client = clientList; client; client = client->next) {
    if (const char* error = flushClientServerLinks(client)) return error;
  }
  return nullptr;
}

void scheduleClientFlush(ProxyClient* client) {
  // The parse in progress stops after this request without ending the
  // client; the resume timer continues with what is buffered.
  if (client->parser.bytesNeeded == kParserRequests) {
    client->parser.bytesNeeded = kParserStop;
    client->parser.refusal = "";
  }
  orderCancel(client->readOrder);
  client->readOrder = orderAddTimer(kResumeTimerMs, onClientResumeTimer, client);
  client->readingResumeTimer = client->readOrder != nullptr;
}

}  // namespace palvon
