// Large replies passed on as they arrive (see streamedreply.h).
#include "Proxy/links/streamedreply.h"

#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/images.h"
#include "base/logging.h"

namespace palvon {

ReplyStreamOffer* replyStreamOffer = nullptr;

namespace {

// The handlers that pass a reply's body on as the server sent it: the
// plain forwarding of rows that name one layout (a layout chosen from the
// reply would read the body), with nothing stashed for the request, and
// GetImage answered by one head without a conversion.
bool handlerPassesBody(ServerLink* link, u64 sequence, u16 key) {
  const RequestRow* row = requestRowOf(key);
  ReplyHandler handler = replyHandlerOf(row);
  if (handler == forwardReply) return !row->replyLayoutOf && !firstStashAt(link, sequence);
  if (handler == ReplyGetImage) return getImageReplyPassesThrough(link, sequence);
  return false;
}

}  // namespace

bool replyMayStream(ServerLink* link, const u8* header) {
  ProxyClient* client = link->client;
  // Swapping would touch the body; the client's byte order decides it as
  // much as the server's.
  if (!client || !client->transport || client->stopped || client->parser.swapped || link->writer.swap) return false;
  // One stream at a time, and none into a recording or a dying connection.
  if (client->streamingLink || client->streamCut || client->recording) return false;
  if (link->hookHead && std::memcmp(&link->hookHead->wireSequence, header + 2, 2) == 0) return false;
  u64 sequence = sequenceWiden(link->lastServerSequence, get16(header + 2));
  const SequenceSlot* slot = findRingSlot(link, sequence);
  if (!slot || !handlerPassesBody(link, sequence, slot->key)) return false;
  return replyDeliverableNow(client, slot->clientSequence);
}

void takeReplyStream(ProxyClient* client, bool deliverable, const u8* reply, u32) {
  ReplyStreamOffer* offer = replyStreamOffer;
  if (!deliverable) {
    offer->refused = 1;
    return;
  }
  beginClientStream(client, currentLink, reply, offer->available);
  offer->taken = 1;
}

void settleReplyStream(ServerLink* link, const ReplyStreamOffer& offer, u32 length) {
  if (link->closePending) return;
  link->parseOffset += offer.available;
  link->streamRemaining = length - offer.available;
  ProxyClient* client = link->client;
  // replyMayStream said the reply could go now; a client that could not
  // take it after all would miss a reply, which ends it.
  if (offer.refused && client) {
    PALVON_UNE();
    cutClientStream(client);
  }
}

u32 passStreamedBody(ServerLink* link) {
  u64 available = link->input.used - link->parseOffset;
  u32 n = available < link->streamRemaining ? static_cast<u32>(available) : link->streamRemaining;
  if (n == 0) return 0;
  const u8* bytes = link->input.data + link->parseOffset;
  link->parseOffset += n;
  link->streamRemaining -= n;
  // A client that left (or a reply its handler did not take) has the rest
  // skipped: the link's next message parses as usual.
  ProxyClient* client = link->client;
  if (!client || client->streamingLink != link) return n;
  streamToClient(client, bytes, n);
  if (!link->streamRemaining) finishClientStream(client);
  return n;
}

const char* awaitStreamedReplyEnd(ServerLink* link) {
  for (;;) {
    passStreamedBody(link);
    if (!link->streamRemaining) return nullptr;
    if (const char* error = readServerLinkBlocking(link)) return error;
  }
}

void cutStreamOfClosingLink(ServerLink* link) {
  ProxyClient* client = link->client;
  bool streaming = client && client->streamingLink == link;
  link->streamRemaining = 0;
  if (!streaming) return;
  LOGF(logChWarning, "Reply from %s to %s cut off with %s's connection: the client's connection ends",
       link->server.displayName, clientNameText(client), link->server.displayName);
  cutClientStream(client);
}

}  // namespace palvon
