// What a real server sends on a client's link: the set-up answer, then
// errors, replies and events, framed by their lengths, renumbered, swapped
// by the rows of the requests they answer and delivered in request order
// (held on pending entries when the client has a second link).
//
// An input is a header, then the bytes the server sends:
//   byte 0    flags: bit 0 the server speaks the other byte order; bit 1
//             the set-up answer is still to come; bit 2 the client has a
//             second link, which never answers; bits 3-5 n: the bytes
//             arrive in reads of 2^n bytes (0: one read)
//   bytes 1-2 the number of requests sent before (least significant first)
//   then      two bytes per request: its major and its second byte
// The links write to /dev/null; what the client is given is dropped.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/links/linkdispatch.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/buffer.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/outbuffer.h"

namespace {

using namespace palvon;

u8* allocateOnLink(void* link, u8 major, u8 data, u32 length) {
  return allocServerRequest(static_cast<ServerLink*>(link), major, data, length);
}

ServerLink* addLink(ProxyClient* client, u32 index, bool foreign, bool setupAnswered) {
  static const char kName[] = "fuzz:0";
  auto* link = static_cast<ServerLink*>(std::calloc(1, sizeof(ServerLink) + sizeof kName));
  if (!link) abort();
  std::memcpy(link->names, kName, sizeof kName);
  link->server.displayName = link->names;
  link->server.serverIndex = index;
  link->server.bigEndian = foreign;
  link->hostName = link->names;
  link->descriptor = open("/dev/null", O_RDWR | O_CLOEXEC);
  link->writer = {foreign, allocateOnLink, link};
  outbufferInit(&link->output, link->descriptor, orderNoop, nullptr);
  if (createSequenceRing(link)) abort();
  link->setupAnswered = setupAnswered ? kSetupAnswered : 0;
  link->client = client;
  client->links[index] = link;
  if (client->linkCount <= index) client->linkCount = index + 1;
  return link;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  logAllChannelsOff();
  ordersInit();
  if (initCoreDispatchTables()) abort();
  proxyState.resourceIdShift = 20;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  u8 flags = data[0];
  size_t requests = data[1] | size_t{data[2]} << 8;
  data += 3;
  size -= 3;
  if (requests > size / 2) requests = size / 2;

  // A connected client: the transport only marks it as such, and nothing on
  // this path closes it.
  ProxyClient client{};
  client.number = 1;
  client.descriptor = -1;
  client.transport = reinterpret_cast<_XtransConnInfo*>(&client);
  client.parser.bytesNeeded = kParserRequests;
  client.hasLinks = 1;
  client.links = static_cast<ServerLink**>(std::calloc(kMaxServerLinks, sizeof(ServerLink*)));
  outbufferInit(&client.output, -1, orderNoop, nullptr);
  ServerLink* link = addLink(&client, 0, flags & 1, !(flags & 2));
  if (flags & 4) addLink(&client, 1, false, true);

  for (size_t i = 0; i < requests; i++) {
    client.requestCounter++;
    allocServerRequest(link, data[2 * i], data[2 * i + 1], 4);
  }
  armPendingRequests(&client);
  data += 2 * requests;
  size -= 2 * requests;

  size_t chunk = (flags >> 3) & 7 ? size_t{1} << ((flags >> 3) & 7) : size;
  for (size_t at = 0; at < size && client.links[0] == link;) {
    size_t n = size - at < chunk ? size - at : chunk;
    if (bufferGrow(&link->input, n) < n) break;
    std::memcpy(link->input.data + link->input.used, data + at, n);
    link->input.used += n;
    at += n;
    dispatchServerInput(link);
  }

  for (u32 i = client.linkCount; i-- > 0;) closeServerLink(client.links[i]);
  // A reply cut off by the close would end the client at the loop's next
  // turn; this client ends here, as a closing connection drops its stream.
  dropClientStream(&client);
  freePendingRequests(&client);
  outbufferFree(&client.output);
  std::free(client.links);
  ordersRun(0);
  return 0;
}
