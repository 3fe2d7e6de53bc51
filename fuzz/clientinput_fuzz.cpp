// The client input parser: the connection set-up in either byte order, then
// requests framed by their 16-bit or BIG-REQUESTS length, swapped and
// length-checked by the real rows, and handed to a handler that answers
// some with errors, holds the parse or stops the client, as handlers do.
//
// An input is one flags byte, then the bytes the client sends:
//   bit 0     BIG-REQUESTS is on once the set-up was parsed
//   bits 1-3  n: the bytes arrive in reads of 2^n bytes (0: one read)
// The client has no socket and no server links: what the proxy answers is
// dropped, and nothing waits on a peer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"
#include "base/buffer.h"
#include "base/logging.h"
#include "base/orders.h"

namespace {

using namespace palvon;

constexpr u8 kBadValue = 2;

// Reads every byte it is given (an over-read shows under the sanitizer) and
// acts by the request's data byte.
void fuzzHandler(u8* request, u32 length) {
  volatile u8 sum = 0;
  for (u32 i = 0; i < length; i++) sum = static_cast<u8>(sum + request[i]);
  ProxyClient* client = currentClient;
  switch (request[1] & 15) {
    case 1: sendXError(kBadValue, request[0], request, length, nullptr); break;
    case 2: refuseClientInput(client, ""); break;
    case 3: refuseClientInput(client, "Refused by the handler"); break;
    case 4:
      if (length >= 8 && request[4] == 0xee) stopClient(client, "Stopped by the handler", 0);
      break;
    default: break;
  }
}

// Every request row keeps its size rule and layouts; only its handler is
// the fuzzing one.
void installHandlers() {
  static std::unordered_map<const RequestRow*, RequestRow*> copies;
  for (u32 key = 0; key < kRequestKeys; key++) {
    const RequestRow* row = proxyState.dispatch.requests[key];
    RequestRow*& copy = copies[row];
    if (!copy) {
      copy = new RequestRow(*row);
      copy->request = fuzzHandler;
    }
    proxyState.dispatch.requests[key] = copy;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  logAllChannelsOff();
  ordersInit();
  if (initCoreDispatchTables()) abort();
  installHandlers();
  proxyState.resourceIdShift = 20;
  // Small enough that big requests over the bound are tried too.
  proxyState.maxBigRequestBytes = 1 << 16;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  u8 flags = data[0];
  data++;
  size--;
  size_t chunk = (flags >> 1) & 7 ? size_t{1} << ((flags >> 1) & 7) : size;
  ProxyClient* client = startClient(nullptr);
  if (!client) return 0;
  for (size_t at = 0; at < size && !client->stopped;) {
    size_t n = size - at < chunk ? size - at : chunk;
    if (bufferGrow(&client->input, n) < n) break;
    std::memcpy(client->input.data + client->input.used, data + at, n);
    client->input.used += n;
    at += n;
    parseClientInput(client);
    if (!client->stopped && (flags & 1) && client->parser.bytesNeeded == kParserRequests) client->bigRequests = 1;
  }
  // What a held parse left is parsed when the client is resumed.
  for (int resumed = 0; resumed < 64 && !client->stopped && client->input.used > 0; resumed++) {
    u64 before = client->input.used;
    parseClientInput(client);
    if (!client->stopped && client->input.used == before) break;
  }
  if (!client->stopped) stopClient(client, "End of input", 0);
  ordersRun(0);  // frees the stopped record, as the loop does
  return 0;
}
