// Server links: the transport, authorization and set-up of a client's own
// connection to a real X server, forwarding requests, and reading and
// dispatching what the server sends.
#include "Proxy/links/serverauth.h"
#include "Proxy/links/serverlink.h"

#include <X11/X.h>
#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/linkdispatch.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/streamedreply.h"
#include "Proxy/links/writers.h"
#include "Proxy/servers/display.h"
#include "Xext/swap/byteswap.h"
#include "base/fd.h"
#include "base/hostclock.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

ServerLink* currentLink = nullptr;
void (*releaseImageRingOfLink)(ServerLink* link) = nullptr;

namespace {

u32 offlineTimeout(const ServerLink* link) {
  return link->server.offlineTimeoutMs ? link->server.offlineTimeoutMs : kDefaultOfflineTimeoutMs;
}

// A blocking wait on the link, in pieces: `attempt`(ms) waits up to that
// long and says whether what it waited for came. The wait takes the link's
// offline time-out at most; with Failsafe it ends when the server is due
// to be dropped for its silence (it is declared lost then), and goes on
// when the server turns out to have talked meanwhile on another
// connection. The wait itself is a question to the server. A piece stays
// below INT_MAX ms, which the descriptor waits would take as no limit.
template <typename Attempt>
bool waitOnLink(ServerLink* link, Attempt attempt) {
  ServerDisplay* server = link->server.display;
  noteServerAsked(server);
  for (u64 left = offlineTimeout(link); left > 0;) {
    u64 piece = std::min<u64>(left, INT_MAX), due = failsafeDueMs(server);
    if (due) {
      u64 now = ordersClockNow();
      piece = std::clamp<u64>(due > now ? due - now : 1, 1, piece);
    }
    if (attempt(static_cast<u32>(piece))) return true;
    left -= piece;
    if (due && declareSilentServerLost(server)) return false;
    noteServerAsked(server);
  }
  return false;
}

// Blocking flush of the link's output, within the bound of waitOnLink.
bool flushLinkWaiting(ServerLink* link) {
  return waitOnLink(link, [link](u32 ms) { return outbufferFlushBlocking(&link->output, ms) != 0; });
}

// A wait on the link ended without what it waited for: an exit asked for
// meanwhile (which cuts the wait short) is no fault of the server's.
const char* brokenWait(ServerLink* link) {
  honourExitRequest();
  return reportBrokenServerLink(link);
}

// "host:N.S", ":N", "unix:N": the host part (empty for local) and N.
bool parseDisplayName(const char* name, char* host, size_t hostSize, u16* number) {
  const char* colon = std::strrchr(name, ':');
  if (!colon || colon[1] < '0' || colon[1] > '9') return false;
  size_t hostLength = static_cast<size_t>(colon - name);
  if (hostLength >= hostSize) return false;
  std::memcpy(host, name, hostLength);
  host[hostLength] = 0;
  *number = static_cast<u16>(std::strtoul(colon + 1, nullptr, 10));
  if (std::strcmp(host, "unix") == 0 || std::strcmp(host, "local") == 0) host[0] = 0;
  return true;
}

// One link's connect while the links of a client are opened together: the
// addresses left to try and why the last attempt failed.
struct Connecting {
  ServerLink* link;
  addrinfo* resolved;     // the host's addresses looked up (TCP), freed at the end
  addrinfo oneAddress;    // the one address of a local server, or a known TCP one
  sockaddr_un localPath;
  bool tcp;
  addrinfo* next;         // tried when the current attempt fails
  addrinfo* current;
  int fd;
  bool inProgress;
  const char* why;
};

u64 monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<u64>(now.tv_sec) * 1000 + static_cast<u64>(now.tv_nsec) / 1000000;
}

// Starts a non-blocking connect to the next address left; false when none
// is. A connect in progress is finished by awaitConnects.
bool beginConnect(Connecting* c) {
  while (addrinfo* a = c->next) {
    c->next = a->ai_next;
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      c->why = errnoText(errno);
      continue;
    }
    int rc = connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc == 0 || errno == EINPROGRESS || errno == EAGAIN) {
      c->inProgress = rc != 0;
      c->fd = fd;
      c->current = a;
      return true;
    }
    c->why = errnoText(errno);
    close(fd);
  }
  return false;
}

void failConnect(Connecting* c, int error) {
  c->why = errnoText(error);
  close(c->fd);
  c->fd = -1;
  c->inProgress = false;
  beginConnect(c);
}

// Waits for every connect in progress at once, each within its link's
// offline time-out from the common start: a server far away costs one
// round trip however many there are. A failed address hands over to the
// host's next one. True when it had to wait.
bool awaitConnects(Connecting* set, u32 count) {
  u64 start = monotonicMs();
  for (bool waited = false;; waited = true) {
    pollfd polled[kMaxServerLinks];
    Connecting* owner[kMaxServerLinks];
    nfds_t n = 0;
    int waitMs = -1;
    u64 now = monotonicMs();
    for (u32 i = 0; i < count; i++) {
      Connecting* c = &set[i];
      if (c->fd < 0 || !c->inProgress) continue;
      u64 deadline = start + offlineTimeout(c->link);
      if (now >= deadline) {
        failConnect(c, ETIMEDOUT);
        if (c->fd < 0 || !c->inProgress) continue;
      }
      int left = static_cast<int>(std::min<u64>(deadline > now ? deadline - now : 0, INT_MAX));
      if (waitMs < 0 || left < waitMs) waitMs = left;
      polled[n] = {c->fd, POLLOUT, 0};
      owner[n++] = c;
    }
    if (n == 0) return waited;
    if (poll(polled, n, waitMs) < 0 && errno != EINTR) {
      int error = errno;
      for (nfds_t k = 0; k < n; k++) failConnect(owner[k], error);
      continue;
    }
    for (nfds_t k = 0; k < n; k++) {
      if (!polled[k].revents) continue;
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(polled[k].fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) error = errno;
      if (error)
        failConnect(owner[k], error);
      else
        owner[k]->inProgress = false;
    }
  }
}

void useOneAddress(Connecting* c, sockaddr* address, socklen_t length) {
  c->oneAddress.ai_family = address->sa_family;
  c->oneAddress.ai_socktype = SOCK_STREAM;
  c->oneAddress.ai_addr = address;
  c->oneAddress.ai_addrlen = length;
  c->next = &c->oneAddress;
}

// The addresses of the link's server: its Unix socket, the address the
// proxy's own connection reached, or else the host's addresses on port
// 6000 + N. False with the reason when there are none.
bool resolveServer(Connecting* c, const char* host) {
  ServerLink* link = c->link;
  if (!host[0]) {
    c->localPath.sun_family = AF_UNIX;
    std::snprintf(c->localPath.sun_path, sizeof c->localPath.sun_path, "/tmp/.X11-unix/X%u", link->displayNumber);
    useOneAddress(c, reinterpret_cast<sockaddr*>(&c->localPath), sizeof c->localPath);
    return true;
  }
  c->tcp = true;
  sockaddr* known = &link->server.address.any;
  if (known->sa_family == AF_INET || known->sa_family == AF_INET6) {
    useOneAddress(c, known, known->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    return true;
  }
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  char port[16];
  std::snprintf(port, sizeof port, "%u", 6000u + link->displayNumber);
  if (int rc = getaddrinfo(host, port, &hints, &c->resolved)) {
    c->resolved = nullptr;
    c->why = gai_strerror(rc);
    return false;
  }
  c->why = "no address";
  c->next = c->resolved;
  return true;
}

// A TCP link is told from its server's own family and address, so that
// the server's cookie is chosen, never another host's through a wildcard.
void noteTcpAddress(ServerLink* link, const addrinfo* a) {
  int one = 1;
  setsockopt(link->descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (a->ai_family == AF_INET) {
    link->family = FamilyInternet;
    auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    std::memcpy(link->serverAddress, &in->sin_addr, 4);
    link->serverAddressLength = 4;
  } else if (a->ai_family == AF_INET6) {
    link->family = FamilyInternet6;
    auto* in6 = reinterpret_cast<sockaddr_in6*>(a->ai_addr);
    std::memcpy(link->serverAddress, &in6->sin6_addr, 16);
    link->serverAddressLength = 16;
  }
}

// A loopback server is this host's: its cookies are filed under the host name.
void useLocalAddressIfLoopback(ServerLink* link) {
  static const u8 loopback4[4] = {127, 0, 0, 1};
  static const u8 loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  bool loop = (link->family == FamilyInternet && std::memcmp(link->serverAddress, loopback4, 4) == 0) ||
              (link->family == FamilyInternet6 && std::memcmp(link->serverAddress, loopback6, 16) == 0);
  if (!loop) return;
  link->family = FamilyLocal;
  link->serverAddressLength = 0;
}

// Puts the link into its server's slot; false when the slot is taken or
// the slots could not be had.
bool placeLink(ProxyClient* client, ServerLink* link) {
  if (!client->links) {
    client->links = static_cast<ServerLink**>(memCalloc(kMaxServerLinks, sizeof(ServerLink*)));
    if (!client->links) {
      PALVON_OOM();
      return false;
    }
  }
  u32 index = link->server.serverIndex;
  if (client->links[index]) {
    LOGF(logChError, "X server %s is server %u, whose link %s is still open", link->server.displayName, index,
         client->links[index]->server.displayName);
    return false;
  }
  client->links[index] = link;
  if (client->linkCount <= index) client->linkCount = index + 1;
  return true;
}

u8* writerAllocate(void* argument, u8 major, u8 data, u32 length) {
  return allocServerRequest(static_cast<ServerLink*>(argument), major, data, length);
}

void freeLinkRecord(ServerLink* link) { std::free(link); }

// The link's record with its names, not yet connected; null after logging.
ServerLink* newLinkRecord(const LinkServerInfo& server, char* host, size_t hostSize) {
  if (server.serverIndex >= kMaxServerLinks) {
    LOGF(logChError, "Too many X servers: %s would be server %u, at most %u are supported", server.displayName,
         server.serverIndex + 1, kMaxServerLinks);
    return nullptr;
  }
  u16 number = 0;
  if (!parseDisplayName(server.displayName, host, hostSize, &number)) {
    LOGF(logChError, "Bad X display name '%s'", server.displayName);
    return nullptr;
  }
  const char* thisHost = hostName();
  size_t nameLength = std::strlen(server.displayName) + 1;
  size_t hostLength = std::strlen(host[0] ? host : thisHost) + 1;
  auto* link = static_cast<ServerLink*>(memCalloc(1, sizeof(ServerLink) + nameLength + hostLength));
  if (!link) {
    PALVON_OOM();
    return nullptr;
  }
  link->server = server;
  std::memcpy(link->names, server.displayName, nameLength);
  link->server.displayName = link->names;
  link->hostName = link->names + nameLength;
  std::memcpy(link->hostName, host[0] ? host : thisHost, hostLength);
  link->displayNumber = number;
  link->family = host[0] ? FamilyWild : FamilyLocal;
  link->descriptor = -1;
  return link;
}

// A connected link joins its client: buffers, writer, ring, slot and read
// order. False (the link freed) when that fails.
bool joinClient(ProxyClient* client, ServerLink* link) {
  outbufferInit(&link->output, link->descriptor, watchServerLinkWritable, link);
  link->writer = {link->server.bigEndian, writerAllocate, link};
  link->client = client;
  if (createSequenceRing(link)) {
    close(link->descriptor);
    std::free(link);
    return false;
  }
  if (client && !placeLink(client, link)) {
    close(link->descriptor);
    freeSequenceRing(link);
    std::free(link);
    return false;
  }
  link->readOrder = orderAddFd(link->descriptor, onServerLinkReadable, link);
  watchServerLinkStall(link, true);
  return true;
}

}  // namespace

// --- Opening -----------------------------------------------------------------

bool allocServerLinks(ProxyClient* client, const LinkServerInfo* servers, u32 count, ServerLink** links) {
  if (count > kMaxServerLinks) {
    LOGF(logChError, "Too many X servers: %s would be server %u, at most %u are supported",
         servers[kMaxServerLinks].displayName, kMaxServerLinks + 1, kMaxServerLinks);
    return false;
  }
  Connecting set[kMaxServerLinks];
  std::memset(set, 0, count * sizeof *set);
  bool made = true;
  u32 begun = 0;
  // Every connect is begun before any is waited for.
  for (; begun < count && made; begun++) {
    Connecting* c = &set[begun];
    c->fd = -1;
    char host[256];
    c->link = newLinkRecord(servers[begun], host, sizeof host);
    if (!c->link) {
      made = false;
      break;
    }
    if (resolveServer(c, host)) beginConnect(c);
  }
  // The wait blocked the loop: that time is nobody's silence (a watchdog
  // would take it for a server gone quiet), and no timer armed before it
  // has waited it.
  if (awaitConnects(set, begun)) ordersSkipBlockedTime();
  // The first server that could not be reached, in server order, is the
  // one reported; the links made are closed again.
  for (u32 i = 0; i < begun; i++) {
    Connecting* c = &set[i];
    ServerLink* link = c->link;
    links[i] = nullptr;
    link->descriptor = c->fd;
    if (c->tcp && c->fd >= 0) noteTcpAddress(link, c->current);
    if (c->resolved) freeaddrinfo(c->resolved);
    if (link->family != FamilyLocal) useLocalAddressIfLoopback(link);
    if (link->descriptor < 0) {
      if (made) LOGF(logChError, "Can't connect to X server %s: %s", link->server.displayName, c->why);
      made = false;
      std::free(link);
      continue;
    }
    if (!made) {
      close(link->descriptor);
      std::free(link);
      continue;
    }
    if (!joinClient(client, link)) {
      made = false;
      continue;
    }
    links[i] = link;
  }
  if (made) return true;
  for (u32 i = 0; i < begun; i++) closeServerLink(links[i]);
  return false;
}

ServerLink* allocServerLink(ProxyClient* client, const LinkServerInfo& server) {
  ServerLink* link = nullptr;
  return allocServerLinks(client, &server, 1, &link) ? link : nullptr;
}

namespace {

bool namedByClient(const ServerLink* link) { return link->server.display && link->server.display->namedByClient; }

}  // namespace

int getServerAuthorization(ServerLink* link, char** name, u16* nameLength, char** data, u16* dataLength) {
  const char* address = reinterpret_cast<const char*>(link->serverAddress);
  unsigned addressLength = link->serverAddressLength;
  if (link->family == FamilyLocal) {
    address = hostName();
    addressLength = static_cast<unsigned>(std::strlen(address));
  }
  char* foundName = nullptr;
  char* foundData = nullptr;
  u16 foundNameLength = 0, foundDataLength = 0;
  if (!findServerAuthorization(address, addressLength, link->displayNumber, link->family, &foundName, &foundNameLength,
                               &foundData, &foundDataLength, namedByClient(link)))
    return 0;
  // An XDM-AUTHORIZATION-1 key becomes the encrypted data for this
  // connection; other credentials go as they are.
  Xauth auth{};
  auth.name = foundName;
  auth.name_length = foundNameLength;
  auth.data = foundData;
  auth.data_length = foundDataLength;
  int ok = computeAuthorizationData(link, &auth, name, nameLength, data, dataLength);
  explicit_bzero(foundData, foundDataLength);
  std::free(foundName);
  std::free(foundData);
  return ok;
}

// The connection set-up with the server's credentials (or the client's),
// BigReqEnable when the client has BIG-REQUESTS on, and a flush; false
// (the link closed) when that fails.
static bool sendLinkSetup(ProxyClient* client, ServerLink* link) {
  char* name = nullptr;
  char* data = nullptr;
  u16 nameLength = 0;
  u16 dataLength = 0;
  bool written;
  if (getServerAuthorization(link, &name, &nameLength, &data, &dataLength) || !client || namedByClient(link)) {
    written = writeServerConnectionSetup(link, name, nameLength, data, dataLength);
  } else {
    // Without credentials of its own the proxy passes on what the client
    // presented: a server that shares the client's cookie admits it. Never
    // to a server another client named: that would hand every client's
    // cookie to whoever listens there.
    written = writeServerConnectionSetup(link, client->grantedName, client->grantedNameLength,
                                         reinterpret_cast<const char*>(client->grantedData),
                                         client->grantedNameLength ? static_cast<u16>(client->grantedLength) : 0);
  }
  std::free(name);
  std::free(data);
  if (written && client && client->bigRequests && bigRequestsOffered()) {
    written = requestBigReqEnable(&link->writer);
    // The answer (the server's maximum) is the proxy's own business.
    if (written) addReplyHook(link, acceptReplyHook, nullptr);
  }
  if (written && client) written = requestQuietKeyboardSwitches(link);
  // The link learns when the proxy's own small windows on that server go.
  // Like the requests above, this leaves with the set-up, in its write.
  if (written && client && client->transport && link->server.display) {
    for (u32 i = 1; i < 3; i++)
      if (Window window = link->server.display->inputWindows[i]) xprotoSelectInput(&link->writer, u32(window), StructureNotifyMask);
  }
  // Beside other links, a round trip behind all of that proves the link
  // quiet before the client's first request: a request for another server
  // then waits for that server alone.
  if (written && client && client->linkCount > 1) written = queueRoundTripCallback(link, nullptr, nullptr, nullptr) != 0;
  const char* error = written ? flushServerLink(link) : PALVON_OOM();
  if (error) {
    LOGF(logChError, "%s", error);
    closeServerLink(link);
    return false;
  }
  return true;
}

bool openServerLinks(ProxyClient* client, const LinkServerInfo* servers, u32 count, ServerLink** links) {
  if (!allocServerLinks(client, servers, count, links)) return false;
  // The set-up answers are read by the loop, all servers at once.
  for (u32 i = 0; i < count; i++) {
    if (sendLinkSetup(client, links[i])) continue;
    links[i] = nullptr;
    for (u32 k = 0; k < count; k++) closeServerLink(links[k]);
    return false;
  }
  return true;
}

ServerLink* openServerLink(ProxyClient* client, const LinkServerInfo& server) {
  ServerLink* link = nullptr;
  return openServerLinks(client, &server, 1, &link) ? link : nullptr;
}

const char* waitServerLinkSetup(ServerLink* link) {
  // A joining server's answer is not one of the client's own set-up
  // replies: the busy link tells the set-up handler so, and the count of a
  // client still waiting for its own (it connected just before) stays.
  link->busy = 1;
  link->setupAnswered = 0;
  const char* error = nullptr;
  while (link->setupAnswered == 0 && !error) {
    error = readServerLinkBlocking(link);
    if (!error) dispatchServerInput(link);
  }
  link->busy = 0;
  if (error) return serverLinkLostText(link->server.display, error);
  if (link->refused)
    return tmpPrintf("Failed client setup from %s - Maybe maximum number of clients reached", link->server.displayName);
  return nullptr;
}

// --- Requests ---------------------------------------------------------------------

u8* reserveServerBytes(ServerLink* link, u32 length) { return outbufferReserve(&link->output, length); }

// Reserves a request in plain or big form, fills its header and counts it;
// the result is where byte 4 of the plain form would lie, less four.
static u8* reserveRequest(ServerLink* link, u8 major, u8 data, u32 length) {
  // A closing link has no ring to note the request in.
  if (!link->ring) return nullptr;
  u8 serverMajor = major >= 128 && link->server.codes ? link->server.codes->majorToServer[major] : major;
  u8* p;
  if (length <= kMaxPlainRequest) {
    p = outbufferReserve(&link->output, length);
    if (!p) return nullptr;
    p[0] = serverMajor;
    p[1] = data;
    put16(p + 2, static_cast<u16>(length / 4));
  } else {
    u8* big = outbufferReserve(&link->output, length + 4);
    if (!big) return nullptr;
    big[0] = serverMajor;
    big[1] = data;
    put16(big + 2, 0);
    put32(big + 4, (length + 4) / 4);
    p = big + 4;
  }
  link->requestsSent++;
  // The ring keys the request by the proxy's opcode, as its handlers know it.
  noteServerRequestKey(static_cast<u16>(major | data << 8), link);
  return p;
}

u8* allocServerRequest(ServerLink* link, u8 major, u8 data, u32 length) {
  return reserveRequest(link, major, data, length);
}

void swapServerRequestAlways(ServerLink* link, u8* request, u32 length, const char* layout) {
  finishWriterRequest(&link->writer, request, length, layout);
}

namespace {

// copyRequestToServer of every request copySmallRequestToServer leaves.
[[gnu::noinline]] u8* copyRequestSlowly(const u8* request, u32 length, ServerLink* link) {
  // A core request in the plain form: one copy with its header, whose
  // length field is rewritten as a big request's reads 0.
  if (request[0] < 128 && length >= 4 && length <= kMaxPlainRequest) {
    u8* p = outbufferReserve(&link->output, length);
    if (!p) return nullptr;
    std::memcpy(p, request, length);
    countCoreRequestCopy(p, length, link);
    return p;
  }
  u8* p = reserveRequest(link, request[0], request[1], length);
  if (!p) return nullptr;
  std::memcpy(p + 4, request + 4, length - 4);
  return p;
}

}  // namespace

u8* copyRequestToServer(const u8* request, u32 length, ServerLink* link) {
  if (u8* p = copySmallRequestToServer(request, length, link)) return p;
  return copyRequestSlowly(request, length, link);
}

// --- Output ------------------------------------------------------------------------

void watchServerLinkWritable(void* argument) {
  auto* link = static_cast<ServerLink*>(argument);
  if (!link->writeOrder)
    link->writeOrder = orderAddFdWrite(link->descriptor, [](void* a) { onServerLinkWritable(static_cast<ServerLink*>(a)); }, link);
}

// A local socket queues about 200 KiB by default, so a large image left in
// pieces, each after a wait for room and two epoll_ctl; with 1 MiB of room
// (the kernel doubles what is asked) it leaves in one write. No more: a
// stopped server holds that much of the kernel's memory per link. Only
// links that ever fill their socket pay the call: most never do, and their
// set-up stays one system call shorter. A link to another host keeps the
// kernel's own sizing, which grows further on a long path.
bool widenLocalSendBuffer(ServerLink* link) {
  if (link->sendBufferWidened || link->family != FamilyLocal || link->descriptor < 0) return false;
  link->sendBufferWidened = 1;
  int sendBuffer = 1 << 19;
  return setsockopt(link->descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) == 0;
}

static void serverLinkDrained(ServerLink* link) {
  orderCancel(link->writeOrder);
  link->writeOrder = nullptr;
  if (link->client && !link->client->readOrder) resumeClientIo(link->client);
}

int onServerLinkWritable(ServerLink* link) {
  switch (outbufferFlush(&link->output)) {
    case 0:
      serverLinkDrained(link);
      return 1;
    case 1:
      if (link->client) resumeClientIo(link->client);
      return 1;
    default:
      endClientOfBrokenLink(link);
      return 0;
  }
}

const char* flushServerLink(ServerLink* link) {
  if (!link->output.head) return nullptr;
  if (!flushLinkWaiting(link)) {
    honourExitRequest();
    return brokenServerLinkText(link);
  }
  serverLinkDrained(link);
  return nullptr;
}

const char* brokenServerLinkText(const ServerLink* link) {
  return tmpPrintf("Broken connection to %s by %s - Maybe the X Window server has been stopped or is unavailable",
                   link->server.displayName, clientNameText(link->client));
}

const char* reportBrokenServerLink(ServerLink* link) {
  LOGF(logChWarning, "Broken connection to %s by %s after %u requests...", link->server.displayName,
       clientNameText(link->client), static_cast<u32>(link->requestsSent));
  serverDisplayLost(link->server.display);
  return brokenServerLinkText(link);
}

void endClientOfBrokenLink(ServerLink* link) {
  // A lost server goes, with every link to it; its clients stay.
  if (dropLostServer(link->server.display)) return;
  const char* text = brokenServerLinkText(link);
  ProxyClient* client = link->client;
  if (currentLink == link) currentLink = nullptr;
  if (client) {
    stopClient(client, text, 0);
  } else {
    // Without a client layer the link just stops: no more reads or writes.
    LOGF(logChWarning, "%s", text);
    orderCancel(link->readOrder);
    orderCancel(link->writeOrder);
    link->readOrder = link->writeOrder = nullptr;
    link->setupAnswered = ~0u;
  }
}

// --- Input -------------------------------------------------------------------------

const char* readServerLinkBlocking(ServerLink* link) {
  auto readable = [link](u32 ms) { return fdWaitReadable(link->descriptor, static_cast<int>(ms)) != 0; };
  if (!waitOnLink(link, readable)) return brokenWait(link);
  for (;;) {
    int rc = bufferReadFd(link->descriptor, kLinkReadChunk, &link->input);
    if (rc == 1) {
      noteServerDisplayTraffic(link->server.display);
      return nullptr;
    }
    if (rc == 0) return reportBrokenServerLink(link);
    if (!waitOnLink(link, readable)) return brokenWait(link);
  }
}

// What the dispatch released for the client goes out in this step. The
// client record outlives a stop within the dispatch (it is freed later);
// the link may not, so it is not touched after.
static void dispatchAndDeliver(ServerLink* link) {
  ProxyClient* client = link->client;
  dispatchServerInput(link);
  if (client) writeClientOutputNow(client);
}

// The rest of a streaming reply is taken with reads as large as the
// socket holds (up to kLinkStreamRead), each passed on whole: fewer reads
// and writes per megabyte, and the input still bounded.
static u32 linkReadSize(const ServerLink* link) {
  if (!link->streamRemaining) return kLinkReadChunk;
  return std::clamp<u32>(link->streamRemaining, kLinkReadChunk, kLinkStreamRead);
}

void onServerLinkReadable(void* argument) {
  auto* link = static_cast<ServerLink*>(argument);
  int rc = bufferReadFd(link->descriptor, linkReadSize(link), &link->input);
  if (rc == 2) return;
  if (rc == 0) {
    endClientOfBrokenLink(link);
    return;
  }
  noteServerDisplayTraffic(link->server.display);
  dispatchAndDeliver(link);
}

namespace {

// Time for the loop to read what a held-up proxy left in a link's socket.
constexpr u64 kStallGraceMs = 1000;

void onServerLinkStalled(void* argument) {
  auto* link = static_cast<ServerLink*>(argument);
  link->stallTimer = nullptr;
  // A link the proxy stopped reading is not the server's fault.
  if (!link->readOrder || link->descriptor < 0) return;
  if (link->setupAnswered != 0 && link->input.used == 0 && !link->streamRemaining) return;
  // Messages completed since the timer was set: what is owed now gets its
  // own time.
  // On the clock the server's traffic is stamped with (ordersClockNow):
  // the link's progress is noted after the read that brought it, so a
  // server silent as a whole is at least as long silent as this link.
  u64 clock = ordersClockNow();
  u64 since = clock > link->lastCompletedMs ? clock - link->lastCompletedMs : 0;
  if (since < offlineTimeout(link)) {
    link->stallTimer = orderAddTimer(offlineTimeout(link) - since, onServerLinkStalled, link);
    return;
  }
  // Bytes waiting unread mean the proxy, not the server, was silent: a
  // blocking wait elsewhere (another link, a server joining) held the loop
  // up past this link's time. The loop reads them first; a server that
  // still completes nothing after that is cut.
  if (!link->stallGraceUsed && fdIsReadable(link->descriptor)) {
    link->stallGraceUsed = 1;
    link->stallTimer = orderAddTimer(kStallGraceMs, onServerLinkStalled, link);
    return;
  }
  // A server silent on every connection that Failsafe keeps anyway (it has
  // stopped) holds all its clients up alike; a client is cut only for what
  // its own link owes while the server still talks on others.
  if (serverKeptThroughSilence(link->server.display, offlineTimeout(link))) {
    link->stallTimer = orderAddTimer(offlineTimeout(link), onServerLinkStalled, link);
    return;
  }
  // A server that Failsafe drops when it falls silent is judged once for
  // all its clients: this one waits for that drop and goes on with the
  // other servers. It is cut only when the server has talked since it
  // began to wait (its own link alone is stuck).
  ServerDisplay* server = link->server.display;
  // A server found lost already goes at the loop's next step, and this
  // link with it.
  if (server && server->lossOrder) return;
  if (failsafeDueMs(server) && !(link->stallWaitSinceMs && server->lastTrafficMs > link->stallWaitSinceMs)) {
    if (declareSilentServerLost(server)) return;
    u64 due = failsafeDueMs(server), now = ordersClockNow();
    if (due > now) {
      // On the clock traffic is stamped with: an answer read earlier in
      // this step is no talk since the wait began.
      if (!link->stallWaitSinceMs) link->stallWaitSinceMs = ordersClockNow();
      link->stallTimer = orderAddTimer(due - now, onServerLinkStalled, link);
      return;
    }
  }
  LOGF(logChWarning, "No complete answer from %s for %u ms (%s)", link->server.displayName, offlineTimeout(link),
       clientNameText(link->client));
  // The read order then meets the end of the connection.
  shutdown(link->descriptor, SHUT_RDWR);
}

}  // namespace

// One timer at most per time-out: progress only moves the mark the timer
// looks at, so a busy link costs no timer churn.
void watchServerLinkStall(ServerLink* link, bool progressed) {
  if (progressed) link->lastCompletedMs = ordersClockNow(), link->stallGraceUsed = 0, link->stallWaitSinceMs = 0;
  bool owing = link->setupAnswered == 0 || link->input.used > 0 || link->streamRemaining;
  if (owing && !link->stallTimer && link->readOrder)
    link->stallTimer = orderAddTimer(offlineTimeout(link), onServerLinkStalled, link);
}

void resumeServerLinkRead(void* argument) {
  auto* link = static_cast<ServerLink*>(argument);
  orderCancel(link->readOrder);
  link->readOrder = orderAddFd(link->descriptor, onServerLinkReadable, link);
  dispatchAndDeliver(link);
}

u32 openLinkCount(const ProxyClient* client) {
  u32 count = 0;
  for (u32 i = 0; i < client->linkCount; i++) count += client->links[i] != nullptr;
  return count;
}

// --- Closing -----------------------------------------------------------------------

namespace {

// Both closes: `waitForServer` says whether the output still goes to the
// server (within its offline time-out) before the connection ends.
void closeLink(ServerLink* link, bool waitForServer) {
  if (!link) return;
  cutStreamOfClosingLink(link);
  freeReplyHooks(link);
  // The link leaves its client first: what runs while it closes (a stash
  // release lets a pooled image segment go, and every link that keeps the
  // segment attached is told to detach it) finds it no more.
  ProxyClient* client = link->client;
  if (client) {
    // The slot stays, empty: the other links keep their server's index.
    u32 index = serverLinkIndex(link);
    if (index < client->linkCount && client->links[index] == link) client->links[index] = nullptr;
    while (client->linkCount > 0 && !client->links[client->linkCount - 1]) client->linkCount--;
    // The holds of this link's server end with it: the client waits only
    // for the servers it still has (the releases of their round trips
    // find no client).
    client->serverHolds -= link->heldByServer;
    link->heldByServer = 0;
    link->client = nullptr;
  }
  releaseAllStashes(link);
  if (link->imageRing && releaseImageRingOfLink) releaseImageRingOfLink(link);
  bufferFree(&link->input);
  link->input = {};
  orderCancel(link->readOrder);
  link->readOrder = nullptr;
  orderCancel(link->stallTimer);
  link->stallTimer = nullptr;
  if (waitForServer && link->output.head) flushLinkWaiting(link);
  outbufferFree(&link->output);
  link->output.head = link->output.tail = nullptr;
  orderCancel(link->writeOrder);
  link->writeOrder = nullptr;
  if (link->descriptor >= 0) close(link->descriptor);
  link->descriptor = -1;
  // From here on the writers refuse the link (reserveRequest).
  freeSequenceRing(link);
  // A client held back because this link's output backed up goes on with
  // the links it has left.
  if (client && !waitForServer && !client->stopped && !client->readOrder) resumeClientIo(client);
  if (link->dispatching) {
    // The running dispatch sees the mark, takes no further message and frees
    // the record when it unwinds.
    link->setupAnswered = ~0u;
    link->closePending = 1;
    return;
  }
  if (currentLink == link) currentLink = nullptr;
  freeLinkRecord(link);
}

}  // namespace

void closeServerLink(ServerLink* link) { closeLink(link, true); }

void discardServerLink(ServerLink* link) { closeLink(link, false); }

}  // namespace palvon
