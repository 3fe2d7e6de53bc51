// Large replies passed on as they arrive. Once a reply's header is in, a
// reply of kStreamedReplyMinimum bytes and more that the proxy would pass
// on unchanged apart from its header, to a client that may have it now, is
// begun at once: its handler runs with the header and the first bytes of
// the body, and the rest of the body goes to the client read by read. The
// server's sending and the client's receiving then overlap, and the link's
// input never holds the whole reply.
//
// While a reply streams to a client nothing else is written to that client:
// every other message waits in client->behindStream and follows the reply
// once it is complete. A link that closes in the middle of a reply leaves
// its client a reply that cannot be completed, and the client's connection
// ends. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ServerLink;
struct ProxyClient;

constexpr u32 kStreamedReplyMinimum = 0x20000;

// A reply offered to its handler with only `available` bytes of it in. Set
// for the handler's run; sendReplyToClient takes it (or must refuse it: a
// partial reply cannot be held for later).
struct ReplyStreamOffer {
  const u8* reply;
  u32 available;
  u8 taken;    // the reply streams to the client
  u8 refused;  // it reached the client's sender at a time it could not go out
};
extern ReplyStreamOffer* replyStreamOffer;

// Whether the reply whose header lies at `header` (its body not yet all in)
// may stream: a handler that passes the body on untouched, no hook and
// nothing stashed that would change it, no byte swapping, and nothing older
// the client still waits for.
bool replyMayStream(ServerLink* link, const u8* header);
// After the handler ran on the offer: the link passes the rest of the body
// to the client, or skips it when the handler did not take it.
void settleReplyStream(ServerLink* link, const ReplyStreamOffer& offer, u32 length);
// Passes what the link's input holds of the body of the reply streaming
// from it; the bytes passed (0: none are in).
u32 passStreamedBody(ServerLink* link);
// Passes the rest of a reply streaming from the link, reading it with the
// blocking reads of a synchronous wait: what such a wait looks for lies
// behind it. Null, or the text of the link's failure.
const char* awaitStreamedReplyEnd(ServerLink* link);
// Called by sendReplyToClient for the offered reply: deliverable says the
// in-order rules let it go to the client now.
void takeReplyStream(ProxyClient* client, bool deliverable, const u8* reply, u32 length);
// The link is closing: a reply streaming from it to its client is cut off.
void cutStreamOfClosingLink(ServerLink* link);

}  // namespace palvon
