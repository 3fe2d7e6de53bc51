#include "Proxy/clients/client.h"
#include "Proxy/resources/resource.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#define X11_t 1
#define TRANS_SERVER 1
#include <X11/Xtrans/Xtrans.h>
// Xtrans's MakeAllCOTSServerListeners without its leak (transport.c).
int palvonMakeListeners(const char* port, int* made, XtransConnInfo** listeners);
}

#include "Proxy/clients/access.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/events/grabs.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/hostclock.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/region.h"

namespace palvon {

ProxyClient* clientList;
u32 clientCount;
Listener* listenerList;
ProxyClient* currentClient;
i32 proxyDisplayNumber = -1;
ClientHooks clientHooks;
u32 clientSetupTimeoutMs = kClientSetupTimeoutMs;

int parseDisplayNumber(const char* name) {
  const char* colon = strrchr(name, ':');
  if (!colon || colon[1] < '0' || colon[1] > '9') return -1;
  char* end = nullptr;
  long number = strtol(colon + 1, &end, 10);
  if ((*end != '\0' && *end != '.') || number > 65535 - 6000) return -1;
  return static_cast<int>(number);
}

namespace {

constexpr u32 kDetailClientLines = 0x1;

// Client records by number; slot 0 stands for the proxy itself.
ProxyClient* clientSlots[kMaxClientSlots];

u32 takeClientSlot(ProxyClient* client) {
  u32 last = maxClientNumber();
  for (u32 number = 1; number <= last; number++) {
    if (!clientSlots[number]) {
      clientSlots[number] = client;
      return number;
    }
  }
  return 0;
}

void appendClient(ProxyClient* client) {
  if (!clientList) {
    clientList = client;
    client->previous = client;
  } else {
    ProxyClient* tail = clientList->previous;
    tail->next = client;
    client->previous = tail;
    clientList->previous = client;
  }
  client->next = nullptr;
  clientCount++;
}

void unlinkClient(ProxyClient* client) {
  if (!client->previous) return;  // not on the list
  if (client == clientList) {
    clientList = client->next;
    if (clientList) clientList->previous = client->previous;
  } else {
    client->previous->next = client->next;
    if (client->next) client->next->previous = client->previous;
    else clientList->previous = client->previous;
  }
  client->next = client->previous = nullptr;
  clientCount--;
}

// Stopped records, freed at the start of the next step: whatever stopped
// the client (a handler, a broken link found while pushing its requests, a
// failed write) may still hold the pointer until its callback returns.
ProxyClient* stoppedClients;
Order* freeStoppedOrder;

void freeStoppedSoon(void*) { freeStoppedClients(); }

// A client's buffers are large and touched only in part. Once freed, the
// next clients' buffers land elsewhere in the heap and touch other pages,
// so the resident set would grow with every wave of connections although
// nothing stays in use. Shortly after clients have gone (once for a wave)
// the free pages go back to the system.
constexpr u64 kTrimAfterMs = 50;
Order* trimOrder;

void trimFreedMemory(void*) {
  trimOrder = nullptr;
  malloc_trim(0);
}

void freeClient(ProxyClient* client) {
  client->nextStopped = stoppedClients;
  stoppedClients = client;
  if (!freeStoppedOrder) freeStoppedOrder = orderAddIdle(freeStoppedSoon, nullptr);
}

const char* clientName(const ProxyClient* client) {
  return clientHooks.clientName ? clientHooks.clientName(client) : clientNameText(client);
}

u32 halfOpenClients;

void onSetupTimeout(void* argument) {
  auto* client = static_cast<ProxyClient*>(argument);
  client->setupTimer = nullptr;  // spent
  halfOpenClients--;
  stopClient(client, "Connection setup timed out", 0);
}

// The client list is in the order of acceptance: the first one waiting is
// the one that waited longest.
void closeLongestWaiting() {
  for (ProxyClient* client = clientList; client; client = client->next) {
    if (!client->setupTimer) continue;
    endClientSetupWait(client);
    stopClient(client, "Too many connections waiting for their setup", 0);
    return;
  }
}

// Refusal lines of the current second and those left out.
u64 refusalSecondStart;
u32 refusalLines;
u32 refusalsUnlogged;
Order* refusalSummary;

void logUnloggedRefusals(void*) {
  refusalSummary = nullptr;
  LOGF(logChNote, "%u more connections refused (not logged one by one)", refusalsUnlogged);
  refusalsUnlogged = 0;
}

void armSetupTimer(ProxyClient* client) {
  client->setupTimer = orderAddTimer(clientSetupTimeoutMs, onSetupTimeout, client);
  if (client->setupTimer) halfOpenClients++;
}

void acceptFromListener(void* argument) {
  auto* listener = static_cast<Listener*>(argument);
  startClient(listener);
}

// Selects a kept client: its socket is gone, its resources stay.
void keepClient(ProxyClient* client) {
  if (clientHooks.releaseClient) clientHooks.releaseClient(client, true);
  releaseClientGrabs(client, true);
  closeClientConnection(client);
  client->grabExempt = 1;
  resumeClientIo(client);
}

void destroyClient(ProxyClient* client) {
  client->closeDownMode = kDestroyAll;
  if (clientHooks.releaseClient) clientHooks.releaseClient(client, false);
  releaseClientGrabs(client, false);
  while (client->linkCount > 0) {
    u32 before = client->linkCount;
    closeServerLink(client->links[before - 1]);
    if (client->linkCount == before) client->linkCount--;  // the link could not remove itself
  }
  free(client->links);
  client->links = nullptr;
  closeClientConnection(client);
  bufferFree(&client->input);  // an internal client has no connection to close
  client->input = ByteBuffer{};
  client->hasLinks = 0;
  if (client->number) {
    // Destructors run with no current client: none of them answers it.
    ProxyClient* current = currentClient;
    currentClient = nullptr;
    freeClientResources(client->number);
    currentClient = current == client ? nullptr : current;
  }
  regionDestroy(client->region);
  client->region = nullptr;
  if (client->number < kMaxClientSlots && clientSlots[client->number] == client) clientSlots[client->number] = nullptr;
  unlinkClient(client);
  client->stopped = 1;
}

bool anotherRealClient(const ProxyClient* client) {
  for (const ProxyClient* other = clientList; other; other = other->next)
    if (other != client && other->hasLinks && other->transport) return true;
  return false;
}

}  // namespace

u32 maxClientNumber() {
  u32 shift = proxyState.resourceIdShift;
  // Resource ids have 29 bits; the client number lives above the shift.
  u32 bits = shift >= 29 ? 0 : 29 - shift;
  u32 byBits = bits >= 31 ? 0x7fffffffu : (1u << bits) - 1;
  return byBits < kMaxClientSlots - 1 ? byBits : kMaxClientSlots - 1;
}

const char* closeDownModeName(u8 mode) {
  switch (mode) {
    case kDestroyAll: return "DestroyAll";
    case kRetainPermanent: return "RetainPermanent";
    case kRetainTemporary: return "RetainTemporary";
    default: return "UNKNOWN";
  }
}

// --- Transports --------------------------------------------------------------

int getTransportFd(_XtransConnInfo* transport) { return _X11TransGetConnectionNumber(transport); }
int isLocalTransport(_XtransConnInfo* transport) { return _X11TransIsLocal(transport); }
bool resetListener(_XtransConnInfo* transport) {
  return _X11TransResetListener(transport) != TRANS_RESET_FAILURE;
}

void closeListener(_XtransConnInfo* transport) {
  _X11TransDisconnect(transport);
  _X11TransClose(transport);
}

void closeClientTransport(_XtransConnInfo* transport) {
  _X11TransDisconnect(transport);
  _X11TransClose(transport);
}

_XtransConnInfo* acceptClientTransport(_XtransConnInfo* listener, int* descriptor) {
  int status = 0;
  XtransConnInfo transport = _X11TransAccept(listener, &status);
  if (!transport) return nullptr;
  _X11TransSetOption(transport, TRANS_NONBLOCKING, 1);
  *descriptor = _X11TransGetConnectionNumber(transport);
  // A large reply leaves in one write when the socket can take it whole:
  // the rest would wait in the proxy's output for a poll and a write per
  // piece the client drains. The kernel caps the size at its maximum.
  int sendBuffer = 1 << 20;
  setsockopt(*descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  return transport;
}

// --- Listeners ---------------------------------------------------------------

_XtransConnInfo** createClientListeners(const int* numbers, int count, int* listenerCount) {
  _XtransConnInfo** all = nullptr;
  int total = 0;
  for (int i = count - 1; i >= 0; i--) {
    char port[16];
    snprintf(port, sizeof port, "%d", numbers[i]);
    int made = 0;
    XtransConnInfo* transports = nullptr;
    if (palvonMakeListeners(port, &made, &transports) < 0) continue;
    for (int j = made - 1; j >= 0; j--) {
      auto* grown = static_cast<_XtransConnInfo**>(memRealloc(all, (total + 1) * sizeof *all));
      if (!grown) {
        PALVON_OOM();
        closeListener(transports[j]);
        continue;
      }
      all = grown;
      all[total++] = transports[j];
    }
    free(transports);
  }
  *listenerCount = total;
  if (total == 0) {
    free(all);
    return nullptr;
  }
  return all;
}

const char* openListeningPorts(const char* displayName, int accessControl) {
  int number = 0;
  if (displayName) {
    number = parseDisplayNumber(displayName);
    if (number < 0) return tmpPrintf("Bad connection display name: %s", displayName);
  }
  int count = 0;
  _XtransConnInfo** transports = createClientListeners(&number, 1, &count);
  if (!transports)
    return tmpPrintf("Can't establish listening port %s:%d - Make sure the display number is not used by another "
                     "X server or X proxy",
                     hostName(), number);
  for (int i = count - 1; i >= 0; i--) {
    auto* listener = static_cast<Listener*>(memCalloc(1, sizeof(Listener)));
    if (!listener) {
      closeListener(transports[i]);
      PALVON_OOM();
      continue;
    }
    listener->transport = transports[i];
    listener->descriptor = getTransportFd(transports[i]);
    listener->readOrder = orderAddFd(listener->descriptor, onListenerReadable, listener);
    if (!isLocalTransport(transports[i])) defineSelfAddresses(listener->descriptor);
    Listener** tail = &listenerList;
    while (*tail) tail = &(*tail)->next;
    *tail = listener;
  }
  free(transports);
  proxyDisplayNumber = number;
  setAccessControlDefeated(!accessControl);
  char text[16];
  snprintf(text, sizeof text, "%d", number);
  readHostsFile(text);
  return nullptr;
}

void closeListeningPorts() {
  while (Listener* listener = listenerList) {
    listenerList = listener->next;
    orderCancel(listener->readOrder);
    orderCancel(listener->acceptOrder);
    closeListener(listener->transport);
    free(listener);
  }
}

void onListenerReadable(void* argument) {
  auto* listener = static_cast<Listener*>(argument);
  // The accept runs at the start of the next step, outside the poll walk.
  if (!listener->acceptOrder) listener->acceptOrder = orderAddIdle(acceptFromListener, listener);
}

// --- Clients -------------------------------------------------------------------

ProxyClient* startClient(Listener* listener) {
  auto* client = static_cast<ProxyClient*>(memCalloc(1, sizeof(ProxyClient)));
  if (!client) {
    PALVON_OOM();
    return nullptr;
  }
  client->descriptor = -1;
  if (listener) {
    orderCancel(listener->acceptOrder);
    listener->acceptOrder = nullptr;
    client->transport = acceptClientTransport(listener->transport, &client->descriptor);
    if (!client->transport) {
      free(client);
      return nullptr;
    }
    client->readOrder = orderAddFd(client->descriptor, onClientReadable, client);
    if (!client->readOrder) {
      closeClientTransport(client->transport);
      free(client);
      return nullptr;
    }
    outbufferInit(&client->output, client->descriptor, watchClientWritable, client);
  }
  client->region = regionCreate(nullptr, 0);
  if (!client->region) {
    PALVON_OOM();
    if (client->transport) closeClientConnection(client);
    free(client);
    return nullptr;
  }
  // Room first, so that the slot it frees goes to this client.
  if (client->transport && halfOpenClients >= kMaxHalfOpenClients) closeLongestWaiting();
  client->number = takeClientSlot(client);
  if (client->number && !initClientResourceTable(client->number)) {
    // Without a resource table the client could name nothing: refused as
    // when no number is free.
    clientSlots[client->number] = nullptr;
    client->number = 0;
  }
  if (!client->number) {
    // Refused in the client's own byte order once its set-up arrives.
    if (mayLogRefusal()) LOGF(logChNote, "No free client number for a new client (at most %u)", maxClientNumber());
    if (!listener) {
      regionDestroy(client->region);
      free(client);
      return nullptr;
    }
  }
  if (detailFlags & kDetailClientLines) LOGF(logChXclient, "Client #%d started", client->number);
  if (client->transport) armSetupTimer(client);
  appendClient(client);
  if (serviceHooks.createClientKeymap) serviceHooks.createClientKeymap(client);
  return client;
}

bool mayLogRefusal() {
  u64 now = ordersClockNow();
  if (now - refusalSecondStart >= 1000) refusalSecondStart = now, refusalLines = 0;
  if (refusalLines < kRefusalLinesPerSecond) {
    refusalLines++;
    return true;
  }
  refusalsUnlogged++;
  if (!refusalSummary) refusalSummary = orderAddTimer(refusalSecondStart + 1000 - now, logUnloggedRefusals, nullptr);
  return false;
}

ProxyClient* findClientByNumber(u32 number) {
  return number > 0 && number < kMaxClientSlots ? clientSlots[number] : nullptr;
}

ProxyClient* findClientByXid(u32 xid) {
  u32 shift = proxyState.resourceIdShift;
  if (shift >= 32) return nullptr;
  return findClientByNumber(xid >> shift);
}

const char* getClientHostName(const ProxyClient* client) {
  static char text[80];
  if (!client->transport) return client->peerName ? client->peerName : hostName();
  if (isLocalTransport(client->transport)) return hostName();
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(client->descriptor, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
      peer.ss_family == AF_INET) {
    const u8* a = reinterpret_cast<const u8*>(&reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr);
    snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return text;
  }
  return client->peerName ? client->peerName : "?";
}

void endClientSetupWait(ProxyClient* client) {
  if (!client->setupTimer) return;
  orderCancel(client->setupTimer);
  client->setupTimer = nullptr;
  halfOpenClients--;
}

void closeClientConnection(ProxyClient* client) {
  endClientSetupWait(client);
  if (!client->transport) return;
  if (clientHooks.sessionClosing) clientHooks.sessionClosing(client->descriptor);
  // A client that stopped reading must not hold the proxy: the last bytes
  // (a set-up refusal, say) get a short bounded chance, then are dropped.
  outbufferFlushBlocking(&client->output, kCloseFlushTimeoutMs);
  orderCancel(client->writeOrder);
  client->writeOrder = nullptr;
  outbufferFree(&client->output);
  memset(&client->output, 0, sizeof client->output);
  dropClientStream(client);
  orderCancel(client->readOrder);
  client->readOrder = nullptr;
  orderCancel(client->heldEndOrder);
  client->heldEndOrder = nullptr;
  bufferFree(&client->input);
  client->input = ByteBuffer{};
  client->parser.discardRemaining = 0;
  closeClientTransport(client->transport);
  client->transport = nullptr;
  client->descriptor = -1;
}

void stopClient(ProxyClient* client, const char* reason, int keepOnClose) {
  if (!client || client->stopped) return;
  if (detailFlags & kDetailClientLines)
    LOGF(logChXclient, "Client #%d stopped (%s %s reason=%s reqs=%u)", client->number, clientName(client),
         closeDownModeName(client->closeDownMode), reason, client->requestCounter);
  bool hadLinks = client->hasLinks;
  // Whatever it was parsing ends here, a look-up its set-up waited for too.
  dropHostLookup(client);
  dropRequestLater(client);
  client->parser.bytesNeeded = kParserStop;
  client->parser.refusal = "";
  if (grabHolder == client) resumeAllClients();
  freePendingRequests(client);
  if (client->closeDownMode != kDestroyAll && hadLinks && keepOnClose && client->transport) {
    keepClient(client);
    return;
  }
  const char* name = tmpCopy(clientName(client));
  destroyClient(client);
  if (!hadLinks || client->reinitStop || client->metaClient || anotherRealClient(client)) {
    freeClient(client);
    return;
  }
  if (clientHooks.requestReset) clientHooks.requestReset(tmpPrintf("End of last %s", name));
  freeClient(client);
}

void watchClientWritable(void* argument) {
  auto* client = static_cast<ProxyClient*>(argument);
  if (!client->writeOrder && client->descriptor >= 0)
    client->writeOrder = orderAddFdWrite(client->descriptor, onClientWritable, client);
}

void freeStoppedClients() {
  orderCancel(freeStoppedOrder);
  freeStoppedOrder = nullptr;
  if (stoppedClients && !trimOrder) trimOrder = orderAddTimer(kTrimAfterMs, trimFreedMemory, nullptr);
  while (ProxyClient* client = stoppedClients) {
    stoppedClients = client->nextStopped;
    if (currentClient == client) currentClient = nullptr;
    free(client->peerName);
    free(client->saveSet);  // only when its resources were never freed
    free(client);
  }
}

}  // namespace palvon
