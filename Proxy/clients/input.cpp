#include "Proxy/clients/input.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Proxy/clients/access.h"
#include "Proxy/clients/auth.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/prologue.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Xext/swap/byteswap.h"
#include "base/beside.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/outbuffer.h"

namespace palvon {

ClientServerList clientServerList;
ProxyClient* grabHolder;
bool grabCoversExempt;

namespace {

constexpr u32 kDetailAuthorization = 0x10000000;
constexpr u8 kBadLength = 16;
constexpr u32 kSetupHeader = 12;

// Keeps the first refusal; "" stops parsing without stopping the client.
const char* refuse(ProxyClient* client, const char* text) {
  if (client->parser.bytesNeeded != kParserStop) {
    client->parser.bytesNeeded = kParserStop;
    client->parser.refusal = text ? text : "";
  }
  return text;
}

const char* refuseSetup(ProxyClient* client, const char* reason) {
  sendSetupFailed(client, reason);
  return refuse(client, reason);
}

bool isGrabExemptMarker(const u8* setup) {
  u16 word = get16(setup + 10);  // already in our order
  return setup[1] == '*' && (word == 0xffff || ((word & 0xfff0) == 0x4200 && (word & 1)));
}

// A protocol name for the log: a client may send 64 KiB of it, no real
// protocol has more than a few dozen characters.
const char* protocolNameText(const char* name, u32 length) {
  constexpr u32 kShown = 64;
  const char* shown = tmpPrintable(tmpStrndup(name, length < kShown ? length : kShown));
  return length > kShown ? tmpPrintf("%s...", shown) : shown;
}

const char* hexText(const u8* data, u32 length) {
  if (length > 64) length = 64;
  char* text = tmpAlloc(2 * length + 1);
  for (u32 i = 0; i < length; i++) snprintf(text + 2 * i, 3, "%02x", data[i]);
  text[2 * length] = '\0';
  return text;
}

const char* openClientLinks(ProxyClient* client) {
  ServerLink* links[kMaxServerLinks];
  if (!openServerLinks(client, clientServerList.servers, clientServerList.count, links))
    return "Maximum number of clients reached";
  client->hasLinks = 1;
  client->setupRepliesAwaited = static_cast<u8>(openLinkCount(client));
  return nullptr;
}

// A client that got in: its set-up's wait ends (a refused one's ends with
// its connection), its session begins, its links open and it is read.
const char* admitClient(ProxyClient* client) {
  endClientSetupWait(client);
  // A display-manager session begins only with a client that got in.
  if (clientHooks.sessionStarted && client->transport) clientHooks.sessionStarted(client->descriptor);
  if (const char* reason = openClientLinks(client)) return reason;
  resumeClientIo(client);
  return nullptr;
}

// What checkClientAuthorization answers for a set-up that waits for a
// look-up of its host's names.
const char kAwaitingHostLookup[] = "awaiting the host's names";

// The connection set-up; *offset moves past it once it was complete.
const char* parseSetup(ProxyClient* client, u8* setup, u64 available, u64* offset) {
  if (available < kSetupHeader) return nullptr;
  if (setup[0] != 'B' && setup[0] != 'l')
    return refuse(client, tmpPrintf("Invalid byte order %d in X connection setup (size=%u)",
                                    static_cast<int>(static_cast<signed char>(setup[0])), static_cast<u32>(available)));
  bool swapped = setup[0] == 'B';
  u32 nameLength = loadU16(setup + 6, swapped), dataLength = loadU16(setup + 8, swapped);
  u64 total = kSetupHeader + pad4(nameLength) + pad4(dataLength);
  if (available < total) return nullptr;
  client->parser.swapped = swapped;
  client->parser.bytesNeeded = kParserRequests;
  if (swapped) swapArriving(kConnectionSetupLayout, setup, setup + kSetupHeader);
  *offset += total;
  if (client->number == 0) return refuseSetup(client, "Maximum number of clients reached");
  if (get16(setup + 2) != 11 || get16(setup + 4) != 0)
    return refuseSetup(client, "X protocol version mismatch");
  const char* name = reinterpret_cast<const char*>(setup + kSetupHeader);
  u8* data = setup + kSetupHeader + pad4(nameLength);
  if (isGrabExemptMarker(setup)) client->grabExempt = 1;
  const char* reason =
      checkClientAuthorization(client, name, static_cast<u16>(nameLength), data, static_cast<u16>(dataLength));
  memset(data, 0xAA, dataLength);
  // The client's next bytes wait unread for the answer.
  if (reason == kAwaitingHostLookup) return refuse(client, "");
  if (reason) {
    if (mayLogRefusal())
      LOGF(logChNote, "Access denied from %s, auth '%s': %s", getClientHostName(client),
           protocolNameText(name, nameLength), reason);
    return refuseSetup(client, reason);
  }
  if (const char* refusal = admitClient(client)) return refuseSetup(client, refusal);
  return nullptr;
}

// A set-up that waits for a look-up of its host's names, and what its end
// needs (copies: the set-up's bytes are gone by then). It still waits for
// its set-up as a connection whose set-up has not arrived does: within the
// set-up time-out and among the connections counted so.
struct SetupLookup {
  ProxyClient* client;
  HostnameLookup* names;
  bool matched;
  char* refusal;   // the authorization's refusal, for a host none of the names is
  char* protocol;  // the authorization protocol as the log shows it
};

void freeSetupLookup(SetupLookup* lookup) {
  freeHostnameLookup(lookup->names);
  free(lookup->refusal);
  free(lookup->protocol);
  free(lookup);
}

// Look-ups of clients still waiting for them, and look-up threads running,
// those of clients that left too.
u32 hostLookupsAwaited;
u32 hostLookupThreads;

void endSetupLookup(void* argument, bool wanted) {
  auto* lookup = static_cast<SetupLookup*>(argument);
  ProxyClient* client = lookup->client;
  hostLookupThreads--;
  if (wanted) {
    hostLookupsAwaited--;
    client->hostLookup = nullptr;
    ProxyClient* saved = currentClient;
    currentClient = client;
    const char* refusal = lookup->matched ? admitClient(client) : lookup->refusal;
    currentClient = saved;
    if (refusal) {
      if (!lookup->matched && mayLogRefusal())
        LOGF(logChNote, "Access denied from %s, auth '%s': %s", getClientHostName(client), lookup->protocol, refusal);
      sendSetupFailed(client, refusal);
      stopClient(client, refusal, 1);
    } else {
      // Requests that came behind the set-up.
      parseClientInput(client);
    }
  }
  freeSetupLookup(lookup);
}

// Starts the look-up beside the loop; false when it cannot run (as many
// clients wait for look-ups as may wait for their set-up, or as many
// threads wait for name servers as the proxy lets), and the client is
// refused then.
bool lookUpHostNames(ProxyClient* client, const AccessClient* access, const char* refusal, const char* name,
                     u16 nameLength) {
  if (hostLookupsAwaited >= kMaxHalfOpenClients || hostLookupThreads >= kMaxHostLookupThreads) return false;
  auto* lookup = static_cast<SetupLookup*>(memCalloc(1, sizeof(SetupLookup)));
  if (!lookup) return false;
  *lookup = {client, copyHostnameLookup(reinterpret_cast<const sockaddr*>(&access->peer), access->peerLength),
             false, memStrdup(refusal), memStrdup(protocolNameText(name, nameLength))};
  if (lookup->names && lookup->refusal && lookup->protocol) {
    client->hostLookup = runBesideLoop(
        [](void* argument) {
          auto* l = static_cast<SetupLookup*>(argument);
          l->matched = hostnameLookupMatches(l->names);
        },
        endSetupLookup, lookup);
  }
  if (!client->hostLookup) {
    freeSetupLookup(lookup);
    return false;
  }
  hostLookupsAwaited++;
  hostLookupThreads++;
  return true;
}

// What waits for the client: its output, and what waits behind a reply
// streaming to it.
size_t clientBacklog(const ProxyClient* client) {
  size_t own = outbufferCapacity(&client->output);
  return client->behindStream.head ? own + outbufferCountCapacity(&client->behindStream) : own;
}

bool linksBacklogged(const ProxyClient* client) {
  for (ServerLink* link : linksOf(client))
    if (outbufferCapacity(&link->output) > kLinkBacklogLimit || link->paceMarksOut >= kPaceMarksAhead)
      return true;
  return false;
}

u64 monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return u64(now.tv_sec) * 1000000000u + u64(now.tv_nsec);
}

// The clock of the pushes of a long parse and of the marks' times.
ParseClock parseClock = monotonicNs;

// The mark being timed came back after `took`: the window follows the
// server's pace. What the way to the server costs (the least a mark has
// taken, let drift up slowly) is no backlog: a server far away is not
// taken for a slow one.
void adaptPaceWindow(ServerLink* link, u64 took) {
  u64& base = link->paceBaseNs;
  base = !link->paceBaseKnown || took < base ? took : base + (took - base) / 64;
  link->paceBaseKnown = true;
  u64 queued = took - base;
  u64 window = link->paceWindow;
  if (queued > kPaceTargetNs)
    window = window * kPaceTargetNs / queued;
  else if (queued < kPaceTargetNs / 4)
    window *= 2;
  link->paceWindow = static_cast<u32>(std::clamp<u64>(window, kPaceWindowMin, kPaceWindowMax));
}

void onPaceMark(const u8*, void* argument) {
  auto* link = static_cast<ServerLink*>(argument);
  if (link->paceMarksOut) link->paceMarksOut--;
  if (link->paceTimedSequence && link->lastServerSequence >= link->paceTimedSequence) {
    adaptPaceWindow(link, parseClock() - link->paceTimedSinceNs);
    link->paceTimedSequence = 0;
  }
  ProxyClient* client = link->client;
  if (client && client->transport && !client->readOrder && !client->stopped) resumeClientIo(client);
}

// Whether a server answers a request of the row with a reply (the proxy
// answers local rows itself).
bool expectsServerReply(const RequestRow* row) {
  return row->route != Route::kLocal && (row->replyLayoutOf || (row->replyLayout && row->replyLayout[0]));
}

// Core requests whose reply is 32 to 52 bytes whatever they ask: a window
// holds many of them at little cost to the server (pipelined InternAtoms
// would otherwise wait for a mark every few dozen).
constexpr u64 kSmallReplyMajors[2] = {
    (1ull << 3) | (1ull << 14) | (1ull << 16) | (1ull << 23) | (1ull << 26) | (1ull << 31) | (1ull << 38) |
        (1ull << 40) | (1ull << 43),
    (1ull << (84 - 64)) | (1ull << (85 - 64)) | (1ull << (92 - 64)) | (1ull << (97 - 64)) | (1ull << (103 - 64)) |
        (1ull << (106 - 64)) | (1ull << (108 - 64)) | (1ull << (116 - 64)) | (1ull << (118 - 64))};

// The pixels a core drawing request of `length` bytes touches, as far as
// its fields tell without the server's state (0 for the others): the
// copies' rectangle, the filled rectangles' and arcs' boxes, an image's
// bytes at 32 bits a pixel.
u64 drawnPixels(const u8* request, u32 length, bool swapped) {
  constexpr u8 kCopyArea = 62, kCopyPlane = 63, kPolyFillRectangle = 70, kPolyFillArc = 71, kPutImage = 72;
  auto boxes = [&](u32 from, u32 stride) {
    u64 pixels = 0;
    for (u32 at = from; at + 8 <= length; at += stride)
      pixels += u64(loadU16(request + at + 4, swapped)) * loadU16(request + at + 6, swapped);
    return pixels;
  };
  switch (request[0]) {
    case kCopyArea:
    case kCopyPlane:
      return length >= 28 ? u64(loadU16(request + 24, swapped)) * loadU16(request + 26, swapped) : 0;
    case kPolyFillRectangle:
      return boxes(12, 8);
    case kPolyFillArc:
      return boxes(12, 12);
    case kPutImage:
      return length / 4;
    default:
      return 0;
  }
}

// `pixels` are the request's drawnPixels, read before its handler ran (it
// may swap or rewrite the request in place).
u32 paceWeight(const RequestRow* row, u8 major, u64 pixels) {
  if (!expectsServerReply(row)) return static_cast<u32>(std::min<u64>(1 + pixels / kPacePixelsPerUnit, kPaceWindowMax));
  return major < 128 && (kSmallReplyMajors[major / 64] >> (major % 64) & 1) ? 1 : kPaceHeavy;
}

// Counts the request on each link it reached and puts a mark behind a
// full window. A mark answered means the server has done everything
// before it, so the marks not yet answered bound what a server holds for
// this client. A link the request did not reach is left as it is. True
// when a mark went out.
bool paceLinks(ProxyClient* client, u32 weight) {
  bool marked = false;
  for (ServerLink* link : linksOf(client)) {
    if (link->requestsSent == link->paceSeenSequence) continue;
    link->paceSeenSequence = link->requestsSent;
    link->paceCount += weight;
    if (!link->paceWindow) link->paceWindow = kPaceWindowStart;
    if (link->paceCount < link->paceWindow || link->descriptor < 0 || link->setupAnswered != kSetupAnswered) continue;
    u64 mark = queueRoundTripCallback(link, onPaceMark, link, nullptr);
    if (!mark) continue;
    link->paceSeenSequence = mark;
    link->paceCount = 0;
    link->paceMarksOut++;
    if (!link->paceTimedSequence) {
      link->paceTimedSequence = mark;
      link->paceTimedSinceNs = parseClock();
    }
    marked = true;
  }
  return marked;
}

// Whether a mark of the client's is out: it is being paced.
bool pacing(const ProxyClient* client) {
  for (ServerLink* link : linksOf(client))
    if (link->paceMarksOut) return true;
  return false;
}

// A client whose own output is backed up is held back too: requests the
// proxy answers itself would otherwise grow that output without bound. So
// is one with too many entries waiting for their round trips, and one
// whose copy or drawing waits for pixels read from a head.
bool backlogged(const ProxyClient* client) {
  return clientBacklog(client) >= kClientBacklogLimit || client->pendingCount >= kPendingEntryLimit ||
         client->awaitingPixels || client->laterTimer || client->serverHolds || linksBacklogged(client);
}

// A held client's requests wait in its socket, its end does not: a plain
// server lets the resources, grabs and selections of a client that left
// go at once, whatever the client waited for. Only the peer's hang-up is
// watched, so the requests waiting unread wake nothing.
void onHeldClientEnd(void* argument) { stopClient(static_cast<ProxyClient*>(argument), "Broken connection", 1); }

void watchHeldClientEnd(ProxyClient* client) {
  bool held = !client->readOrder && (client->laterTimer || client->serverHolds);
  if (held && !client->heldEndOrder) {
    client->heldEndOrder = orderAddFdHangup(client->descriptor, onHeldClientEnd, client);
  } else if (!held && client->heldEndOrder) {
    orderCancel(client->heldEndOrder);
    client->heldEndOrder = nullptr;
  }
}

void cancelClientRead(ProxyClient* client) {
  orderCancel(client->readOrder);
  client->readOrder = nullptr;
  client->readingResumeTimer = 0;
}

// Hands what the links hold to the servers without waiting; what is left
// goes out through the links' own write orders.
void pushClientLinks(ProxyClient* client) {
  for (ServerLink* link : linksOf(client)) {
    int flushed = outbufferFlush(&link->output);
    if (flushed == 1 && widenLocalSendBuffer(link)) flushed = outbufferFlush(&link->output);
    if (flushed == 2) {
      // A lost server leaves with every link to it; its slot stays empty.
      if (dropLostServer(link->server.display)) continue;
      stopClient(client, reportBrokenServerLink(link), 0);
      return;
    }
    // Drained: a write order left standing would only cost a step.
    if (flushed == 0 && link->writeOrder) {
      orderCancel(link->writeOrder);
      link->writeOrder = nullptr;
    }
  }
}

}  // namespace

void handOverBeforeLongWork(ProxyClient* client) {
  for (ServerLink* link : linksOf(client)) {
    // A link that cannot take its bytes now, or has failed, is left to the
    // push after the request: it knows what to do with it there.
    if (link->descriptor >= 0 && link->output.head) outbufferFlush(&link->output);
  }
}

namespace {

// A long batch reaches the servers in pieces: once the proxy has worked on
// it for kPushAfterNs since the last hand-over, what the links hold goes
// out, so that the servers work on it while the proxy reads the rest.
// Handed over only at the end, a batch that takes the proxy as long as the
// servers would take twice as long as on a plain server. The clock is read
// every kPushLookEvery requests only.
constexpr u32 kPushLookEvery = 8;


// Frames and dispatches the requests from *offset on. Returns when the input
// holds no complete request or parsing was stopped.
void parseRequests(ProxyClient* client, u64* offset) {
  ClientParser* parser = &client->parser;
  // The backlog is looked at after the first request and then whenever an
  // output buffer grew by a segment, a pace mark went out or the pending
  // entries reached their limit: nothing else makes a client backlogged,
  // and the full look walks every link.
  u64 segmentsSeen = ~outbufferSegmentsLinked;
  u64 pushedAt = parseClock();
  u32 sinceLook = 0;
  while (parser->bytesNeeded == kParserRequests && client->input.used - *offset >= 4) {
    u8* request = client->input.data + *offset;
    u64 available = client->input.used - *offset;
    u64 length = 4ull * loadU16(request + 2, parser->swapped);
    u64 advance = length;
    u8* start = request;
    if (length == 0 && client->bigRequests) {
      if (available < 8) return;
      u32 words = loadU32(request + 4, parser->swapped);
      advance = words < 2 ? 8 : 4ull * words;
      if (advance > proxyState.maxBigRequestBytes) {
        // Answered at once; its bytes are skipped as they arrive, never held.
        client->requestCounter++;
        sendXError(kBadLength, words, request, 8, nullptr);
        if (client->stopped) return;
        u64 skip = advance < available ? advance : available;
        *offset += skip;
        parser->discardRemaining = advance - skip;
        return;
      }
      if (available < advance) return;
      memcpy(request + 4, request, 4);
      start = request + 4;
      length = advance - 4;
    } else if (length == 0) {
      advance = 4;
    } else if (available < length) {
      return;
    }
    u8 major = start[0];
    u64 pixels = drawnPixels(start, static_cast<u32>(length), parser->swapped);
    const RequestRow* row = dispatchClientRequestInline(client, start, static_cast<u32>(length));
    if (client->stopped) return;
    *offset += advance;
    if (++sinceLook == kPushLookEvery) {
      sinceLook = 0;
      u64 now = parseClock();
      if (now - pushedAt >= kPushAfterNs) {
        pushClientLinks(client);
        if (client->stopped) return;
        pushedAt = now;
      }
    }
    bool marked = paceLinks(client, paceWeight(row, major, pixels));
    // The rest waits in the buffer until the backlog has drained. Reading
    // stops with it: a read order left standing would wait for bytes the
    // client may never send, while complete requests sit in the buffer
    // (the resume then parses them at the loop's next turn).
    if (segmentsSeen == outbufferSegmentsLinked && !marked && client->pendingCount < kPendingEntryLimit) continue;
    segmentsSeen = outbufferSegmentsLinked;
    if (backlogged(client)) {
      refuse(client, "");
      cancelClientRead(client);
    }
  }
}

// The request that waited for its time, before anything read behind it.
// Its copy is the client's no more while its handler runs: a handler that
// stops the client finds nothing to drop.
void runDueRequest(ProxyClient* client) {
  u8* request = client->laterRequest;
  u32 length = client->laterLength;
  client->laterRequest = nullptr;
  client->laterLength = 0;
  runRequestHandler(client, request, length, requestRowOf(request[0] | request[1] << 8));
  std::free(request);
}

void onRequestDue(void* argument) {
  auto* client = static_cast<ProxyClient*>(argument);
  client->laterTimer = nullptr;  // spent
  resumeClientIo(client);
}

void skipDiscarded(ProxyClient* client, u64* offset) {
  u64 skip = client->parser.discardRemaining;
  if (skip > client->input.used - *offset) skip = client->input.used - *offset;
  *offset += skip;
  client->parser.discardRemaining -= skip;
}

void setLinkReading(ProxyClient* client, bool reading) {
  for (ServerLink* link : linksOf(client)) {
    if (reading && !link->readOrder) {
      link->readOrder = orderAddFd(link->descriptor, onServerLinkReadable, link);
    } else if (!reading && link->readOrder) {
      orderCancel(link->readOrder);
      link->readOrder = nullptr;
    }
  }
}

bool anyLinkReading(const ProxyClient* client) {
  for (ServerLink* link : linksOf(client))
    if (link->readOrder) return true;
  return false;
}

// The pseudo client through which host access sees a transport.
AccessClient* wrapAccessClient(_XtransConnInfo* transport) {
  static AccessClient pseudo;
  if (!transport) return nullptr;
  accessClientFromSocket(&pseudo, getTransportFd(transport));
  return &pseudo;
}

}  // namespace

void dropHostLookup(ProxyClient* client) {
  if (!client->hostLookup) return;
  dropBesideJob(client->hostLookup);
  client->hostLookup = nullptr;
  hostLookupsAwaited--;
}

const char* setupClientConnection(ProxyClient* client) {
  // Nothing behind a set-up that waits for its host's names is read yet.
  if (client->hostLookup) return nullptr;
  ClientParser* parser = &client->parser;
  u64 offset = 0;
  if (client->laterRequest && !client->laterTimer) {
    runDueRequest(client);
    if (client->stopped) return nullptr;
  }
  skipDiscarded(client, &offset);
  if (parser->bytesNeeded == kParserSetup && client->input.used > offset)
    parseSetup(client, client->input.data + offset, client->input.used - offset, &offset);
  if (parser->bytesNeeded == kParserRequests && !parser->discardRemaining) parseRequests(client, &offset);
  if (client->stopped) return nullptr;
  if (!client->input.data) return nullptr;  // the connection was closed under the parse
  skipDiscarded(client, &offset);
  bufferConsumeKeep(&client->input, offset);
  if (parser->bytesNeeded != kParserStop) return nullptr;
  const char* text = parser->refusal;
  parser->refusal = nullptr;
  parser->bytesNeeded = kParserRequests;
  return text && *text ? text : nullptr;
}

void setParseClockForTesting(ParseClock clock) { parseClock = clock ? clock : monotonicNs; }

void parseClientInput(ProxyClient* client) {
  ProxyClient* savedClient = currentClient;
  ServerLink* savedLink = currentLink;
  currentClient = client;
  currentLink = nullptr;
  client->dispatching++;
  const char* refusal = setupClientConnection(client);
  client->dispatching--;
  currentClient = savedClient;
  currentLink = savedLink;
  if (client->stopped) return;
  if (refusal) {
    stopClient(client, refusal, 1);
    return;
  }
  // One round trip per link releases everything this parse left pending.
  armPendingRequests(client);
  pushClientLinks(client);
  if (client->stopped) return;
  writeClientOutputNow(client);
  if (!client->stopped) resumeClientIo(client);
}

const char* checkClientAuthorization(ProxyClient* client, const char* name, u16 nameLength, const u8* data,
                                     u16 dataLength) {
  AccessClient* access = wrapAccessClient(client->transport);
  const char* reason = nullptr;
  i32 id = checkAuthorization(nameLength, name, dataLength, data, access, &reason);
  bool byName = false;
  if (id < 0) {
    reason = reason ? reason : "Client is not authorized to connect to Server";
    HostVerdict verdict = access ? checkHostAtOnce(reinterpret_cast<const sockaddr*>(&access->peer),
                                                   access->peerLength, access)
                                 : HostVerdict::kValid;
    if (verdict == HostVerdict::kInvalid) return reason;
    byName = verdict == HostVerdict::kAfterLookup;
    id = 0;
  }
  client->authorizationId = static_cast<u32>(id);
  u16 grantedLength = 0;
  u16 knownNameLength = 0;
  const char* knownName = nullptr;
  const u8* granted = nullptr;
  if (!authorizationFromID(id, &knownNameLength, &knownName, &grantedLength, &granted)) {
    granted = data;
    grantedLength = dataLength;
  }
  client->grantedLength = grantedLength < kGrantedDataMax ? grantedLength : kGrantedDataMax;
  if (client->grantedLength) memcpy(client->grantedData, granted, client->grantedLength);
  // A name that does not fit is no name any server knows.
  client->grantedNameLength = nameLength <= sizeof client->grantedName ? static_cast<u8>(nameLength) : 0;
  if (client->grantedNameLength) memcpy(client->grantedName, name, client->grantedNameLength);
  // Resolving a name waits for a name server, and no client may wait for
  // another's: the set-up waits beside the loop.
  if (byName) return lookUpHostNames(client, access, reason, name, nameLength) ? kAwaitingHostLookup : reason;
  if (detailFlags & kDetailAuthorization)
    LOGF(logChNote, "Access granted (%s=%s)", protocolNameText(name, nameLength), hexText(data, dataLength));
  return nullptr;
}

namespace {

// How many bytes the next read takes: a chunk, or the rest of a large
// request whose header is already in (parsed input is compacted away, so
// the buffer starts with it). One read then takes what the socket holds of
// it instead of a chunk per wake-up, and the request is dispatched as soon
// as it is whole.
u64 clientReadSize(const ProxyClient* client) {
  const ClientParser& parser = client->parser;
  const ByteBuffer& input = client->input;
  if (parser.bytesNeeded != kParserRequests || parser.discardRemaining || input.used < 4) return kClientReadChunk;
  u64 length = 4ull * loadU16(input.data + 2, parser.swapped);
  if (length == 0 && client->bigRequests && input.used >= 8) length = 4ull * loadU32(input.data + 4, parser.swapped);
  // Longer ones are refused from their header and never held.
  if (length > proxyState.maxBigRequestBytes || length <= input.used) return kClientReadChunk;
  // Room is made only for what a read may bring: a header alone must not
  // make the proxy take the memory of a request of gigabytes up front.
  return std::clamp<u64>(length - input.used, kClientReadChunk, kClientLargeRead);
}

}  // namespace

bool clientOutputBacklogged(const ProxyClient* client) {
  return !client->recording && clientBacklog(client) >= kClientBacklogLimit;
}

void onClientReadable(void* argument) {
  auto* client = static_cast<ProxyClient*>(argument);
  if (!client->transport) return;
  u64 size = clientReadSize(client);
  u64 room = bufferGrow(&client->input, size);
  if (room < size) return;  // no room now; try again
  // The read takes all the room the buffer already has (up to a large
  // read): a batch the client wrote at once is then framed and forwarded
  // whole, in one write per server, instead of a chunk per wake-up. A
  // client being paced gets no more than it asks: what it sent beyond
  // waits in its own socket, not in the proxy.
  u64 most = pacing(client) ? size : std::max<u64>(size, kClientLargeRead);
  ssize_t got = read(client->descriptor, client->input.data + client->input.used, std::min<u64>(room, most));
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    stopClient(client, "Broken connection", 1);
    return;
  }
  client->input.used += static_cast<u64>(got);
  parseClientInput(client);
}

void onClientResumeTimer(void* argument) {
  auto* client = static_cast<ProxyClient*>(argument);
  if (client->readOrder) {
    cancelClientRead(client);
    client->readOrder = orderAddFd(client->descriptor, onClientReadable, client);
  }
  parseClientInput(client);
}

void resumeClientIo(ProxyClient* client) {
  if (!client->transport) {
    setLinkReading(client, true);
    return;
  }
  if (client->hostLookup) {
    cancelClientRead(client);
    return;
  }
  bool mayRun = !grabHolder || grabHolder == client || (client->grabExempt && !grabCoversExempt);
  bool ownBacklog = clientBacklog(client) >= kClientBacklogLimit;
  if (mayRun && !backlogged(client)) {
    if (!client->readOrder) {
      if (client->input.used > 0 || client->laterRequest) {
        // Its requests go on at the start of the loop's next turn: outside
        // the callback that saw the backlog drain, without a pause in which
        // the servers would wait for more.
        client->readOrder = orderAddIdle(onClientResumeTimer, client);
        client->readingResumeTimer = 1;
      } else {
        client->readOrder = orderAddFd(client->descriptor, onClientReadable, client);
      }
    }
  } else {
    cancelClientRead(client);
  }
  watchHeldClientEnd(client);
  setLinkReading(client, mayRun && (client->recording || !ownBacklog));
}

int onClientOutputFlushed(ProxyClient* client) {
  int flushed = outbufferFlushBlocking(&client->output, kCloseFlushTimeoutMs);
  resumeClientIo(client);
  return flushed;
}

int clientWriteReady(ProxyClient* client) {
  int result = outbufferFlush(&client->output);
  if (result == 2) {
    stopClient(client, "Broken connection", 1);
    return 0;
  }
  if (result == 0) {
    orderCancel(client->writeOrder);
    client->writeOrder = nullptr;
  }
  resumeClientIo(client);
  return 1;
}

void writeClientOutputNow(ProxyClient* client) {
  if (client->stopped || !client->transport || !client->output.head) return;
  clientWriteReady(client);
}

void onClientWritable(void* argument) { clientWriteReady(static_cast<ProxyClient*>(argument)); }

void suspendOtherClients(ProxyClient* grabbing) {
  grabHolder = grabbing;
  for (ProxyClient* client = clientList; client; client = client->next) {
    if (client == grabbing || !client->transport || (client->grabExempt && !grabCoversExempt)) continue;
    cancelClientRead(client);
    setLinkReading(client, false);
  }
}

void resumeAllClients() {
  grabHolder = nullptr;
  for (ProxyClient* client = clientList; client; client = client->next) resumeClientIo(client);
}

namespace {

// Straight to the socket when nothing is queued ahead: the bytes the socket
// took now. A write that fails takes none here; the next flush meets the
// error and ends the client.
u32 writeNow(ProxyClient* client, const u8* bytes, u32 length) {
  if (client->output.head) return 0;
  ssize_t written = write(client->descriptor, bytes, length);
  return written > 0 ? static_cast<u32>(written) : 0;
}

// A large message goes to the socket from where it lies (a reply still in
// its link's input), without a write order; only what the socket does not
// take now is copied. Bytes to be swapped are copied first, as are small
// messages: those are written together after the step.
u32 writeThrough(const u8* message, u32 length, const char* layout, ProxyClient* client) {
  if (length < kClientWriteThrough || (client->parser.swapped && layout)) return 0;
  return writeNow(client, message, length);
}

// Copies what was not written into the queue, in the client's byte order.
// Crossing the backlog limit stops reading the client and its servers.
void queueRest(ProxyClient* client, OutBuffer* queue, const u8* bytes, u32 length, const char* layout) {
  u8* out = outbufferReserve(queue, length);
  if (!out) {
    PALVON_OOM();
    return;
  }
  memcpy(out, bytes, length);
  if (client->parser.swapped && layout) swapLeaving(layout, out, out + length);
  if (!client->recording && clientBacklog(client) >= kClientBacklogLimit &&
      (client->readOrder || anyLinkReading(client)))
    resumeClientIo(client);
}

}  // namespace

OutBuffer* clientQueue(ProxyClient* client) {
  return client->streamingLink || client->streamCut ? &client->behindStream : &client->output;
}

void writeToClient(const u8* message, u32 length, const char* layout, ProxyClient* client) {
  if (!client->transport || length == 0) return;
  client->lastMessageType = message[0];
  OutBuffer* queue = clientQueue(client);
  u32 written = queue == &client->output ? writeThrough(message, length, layout, client) : 0;
  if (written < length) queueRest(client, queue, message + written, length - written, layout);
}

// --- Streamed replies ------------------------------------------------------------

void beginClientStream(ProxyClient* client, ServerLink* link, const u8* bytes, u32 length) {
  writeToClient(bytes, length, nullptr, client);
  client->streamingLink = link;
}

// Each piece is as large as one read of the link: straight to the socket
// whatever its size, as writeThrough does for a whole large message.
void streamToClient(ProxyClient* client, const u8* bytes, u32 length) {
  if (!client->transport) return;
  u32 written = writeNow(client, bytes, length);
  if (written < length) queueRest(client, &client->output, bytes + written, length - written, nullptr);
}

void finishClientStream(ProxyClient* client) {
  client->streamingLink = nullptr;
  outbufferTakeAll(&client->output, &client->behindStream);
}

namespace {

void endCutClient(void* argument) {
  auto* client = static_cast<ProxyClient*>(argument);
  orderCancel(client->streamCutOrder);
  client->streamCutOrder = nullptr;
  stopClient(client, "Reply cut off", 0);
}

}  // namespace

void cutClientStream(ProxyClient* client) {
  client->streamingLink = nullptr;
  client->streamCut = 1;
  // Not here: the link closing may be one of a loop over the client's links.
  if (!client->streamCutOrder) client->streamCutOrder = orderAddIdle(endCutClient, client);
}

void dropClientStream(ProxyClient* client) {
  orderCancel(client->streamCutOrder);
  client->streamCutOrder = nullptr;
  client->streamingLink = nullptr;
  outbufferFree(&client->behindStream);
  memset(&client->behindStream, 0, sizeof client->behindStream);
}

void refuseClientInput(ProxyClient* client, const char* text) { refuse(client, text); }

bool runRequestLater(ProxyClient* client, const u8* request, u32 length, u64 milliseconds) {
  auto* copy = static_cast<u8*>(std::malloc(length));
  if (!copy) return false;
  Order* timer = orderAddTimer(milliseconds, onRequestDue, client);
  if (!timer) {
    std::free(copy);
    return false;
  }
  dropRequestLater(client);
  memcpy(copy, request, length);
  client->laterRequest = copy;
  client->laterLength = length;
  client->laterTimer = timer;
  refuse(client, "");
  return true;
}

namespace {

// The answer came, or the link closed without one: then the link has
// left its client and took its holds along (closeLink).
void endServerHold(void* argument) {
  auto* link = static_cast<ServerLink*>(argument);
  ProxyClient* client = link->client;
  if (!client) return;
  link->heldByServer--;
  client->serverHolds--;
  // A client being stopped is read no more; one being parsed is resumed
  // at the parse's end.
  if (!client->stopped && client->transport && client->parser.bytesNeeded != kParserStop) resumeClientIo(client);
}

}  // namespace

bool holdUntilServerPasses(ServerLink* link) {
  if (!queueRoundTripCallback(link, nullptr, link, endServerHold)) return false;
  link->heldByServer++;
  link->client->serverHolds++;
  refuse(link->client, "");
  return true;
}

void dropRequestLater(ProxyClient* client) {
  orderCancel(client->laterTimer);
  client->laterTimer = nullptr;
  std::free(client->laterRequest);
  client->laterRequest = nullptr;
  client->laterLength = 0;
}

int changeAccessControl(_XtransConnInfo* transport, int mode) {
  if (!isAuthorizedClient(wrapAccessClient(transport))) return kBadAccess;
  setAccessControlEnabled(mode != 0);
  return kAccessOk;
}

int addAccessHost(_XtransConnInfo* transport, int family, int length, const u8* address, u32* errorValue) {
  AccessClient* access = wrapAccessClient(transport);
  int code = addHost(access, family, length, address);
  if (access && errorValue) *errorValue = access->errorValue;
  return code;
}

int removeAccessHost(_XtransConnInfo* transport, int family, int length, const u8* address, u32* errorValue) {
  AccessClient* access = wrapAccessClient(transport);
  int code = removeHost(access, family, length, address);
  if (access && errorValue) *errorValue = access->errorValue;
  return code;
}

int listAccessHosts(u8** data, int* count, int* length, bool* enabled) {
  return listHosts(data, count, length, enabled);
}

}  // namespace palvon
