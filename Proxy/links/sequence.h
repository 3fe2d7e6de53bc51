// Sequence bookkeeping of a ServerLink: the ring that maps a server's
// sequence numbers back to the client's, what a request leaves for its reply
// handler, the replies the proxy waits for itself, and its round trips.
//
// Sequence numbers are 64-bit counters inside; the wire carries their low 16
// bits and is widened back through sequenceWiden or sequenceWidenBack before
// anything is compared.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ServerLink;
struct ProxyClient;

// The full counter value nearest at or after `reference` whose low 16 bits
// are `wire` (messages from a server never go backwards).
inline u64 sequenceWiden(u64 reference, u16 wire) {
  return reference + static_cast<u16>(wire - static_cast<u16>(reference));
}
// The full counter value at or before `newest` whose low 16 bits are `wire`.
inline u64 sequenceWidenBack(u64 newest, u16 wire) {
  return newest - static_cast<u16>(static_cast<u16>(newest) - wire);
}

constexpr u32 kRingSlots = 4096;
constexpr u16 kKeyNoOperation = 127;
constexpr u8 kStashRoundTrip = 127;   // stash code of a round trip's closure
constexpr u8 kStashError = 255;       // stash code taken after an error
// A request the proxy wrote on a client's link to copy the session onto a
// joining server: an error for it is the proxy's, never the client's.
constexpr u8 kStashProxyCopy = 126;
// A request the proxy sent in another form for the client's (a core image
// through shared memory): an error for it names the client's request, whose
// key is the stash's data.
constexpr u8 kStashNamedAs = 125;

struct SequenceSlot {
  u16 clientSequence;
  u16 key;   // the request's first 16-bit word (major + 256 * minor)
};

struct SequenceRing {
  SequenceRing* next;
  SequenceRing* previous;      // the head's previous is the tail
  u16 oldestNeeded;            // slot that must not be overwritten
  u8 closed;
  u64 closingSequence;         // the round trip that retires this chunk
  SequenceSlot slots[kRingSlots];
};

// Gets the reply as the server sent it (in the server's byte order); returns
// non-zero when it could use it.
using ReplyHookCallback = int (*)(ServerLink* link, const u8* reply, void* argument);

struct ReplyHook {
  ReplyHook* next;
  u16 wireSequence;            // as the server sends it (swapped if it swaps)
  ReplyHookCallback callback;
  void* argument;
  // Added with the shared-memory read-backs: the hook also gets an error in
  // place of its reply (else the error retires it unseen).
  u8 takesErrors;
};

using StashRelease = void (*)(void* data);

struct RequestStash {
  RequestStash* next;
  u64 sequence;
  u8 code;
  void* data;
  StashRelease release;
};

using RoundTripCallback = void (*)(const u8* reply, void* argument);
using RoundTripRelease = void (*)(void* argument);

// Ring and stash life cycle (called by the link).
const char* createSequenceRing(ServerLink* link);
void freeSequenceRing(ServerLink* link);
void freeReplyHooks(ServerLink* link);
void releaseAllStashes(ServerLink* link);

// Records the request just counted (link->requestsSent); may insert a round
// trip when the ring has come round to slots not yet answered.
void noteServerRequest(const u8* request, ServerLink* link);
// noteServerRequestKey, the same for a request's first 16-bit word, is
// inline in serverlink.h: every forwarded request runs it.
// noteServerRequestKey's rare part, after the slot of the request just
// counted is written in the ring's `tail` chunk: the round trip that retires
// the chunk when the ring has come round to slots not yet answered, and the
// mark of a request that is the proxy's own.
void finishServerRequestNote(ServerLink* link, SequenceRing* tail);
// For every reply and by the event and error paths: sets the client's
// sequence being answered and the link's request key answered.
void popServerSequence(ServerLink* link, u16 serverSequence);
// The ring's slot of a full server sequence not yet answered, taking
// nothing (the chunks popServerSequence would retire first are passed
// over); null without a ring.
const SequenceSlot* findRingSlot(const ServerLink* link, u64 serverSequence);
// Moves the client sequence that the ring gives a full server sequence (as
// findRingSlot finds its slot) forward to `clientSequence`; never back.
void relabelServerSequence(ServerLink* link, u64 serverSequence, u16 clientSequence);
// Whether the request of that full server sequence was the proxy's own
// on the client's connection (a copy for a joining server, one whose reply
// a hook takes for the proxy): its answer is never the client's. The
// proxy's round trips and sync markers are noted in the ring as no
// operation instead (kKeyNoOperation), their answers the proxy's alone.
bool isProxysOwnRequest(const ServerLink* link, u64 serverSequence);
// The first stash of the request of that full server sequence (the next
// ones of the same request follow it), or null; nothing is released.
const RequestStash* firstStashAt(const ServerLink* link, u64 serverSequence);

// An asynchronous round trip: callback(reply, argument) runs when the server
// has answered everything queued before it. Returns its server sequence, 0
// when it could not be queued.
u64 queueRoundTripCallback(ServerLink* link, RoundTripCallback callback, void* argument, RoundTripRelease release);
// Reply handler of the round trip's request (key 127).
void ReplyNoOperation(u8* reply, u32 length);

void stashRequestData(ServerLink* link, u8 code, void* data, StashRelease release);
void* takeStashedData(ServerLink* link, u8 code);
void* peekStashedData(ServerLink* link, u8 code);
void dropStaleStash(ServerLink* link);
// Takes the entry of the current sequence under code and runs its release;
// false when there is none.
bool releaseStashedData(ServerLink* link, u8 code);

void addReplyHook(ServerLink* link, ReplyHookCallback callback, void* argument);
void addReplyHookForGlx(ServerLink* link, ReplyHookCallback callback, void* argument);
// A hook whose callback gets the server's error as well (its first byte 0),
// which then goes no further: the request was the proxy's own.
void addReplyHookTakingErrors(ServerLink* link, ReplyHookCallback callback, void* argument);
int acceptReplyHook(ServerLink* link, const u8* reply, void* argument);
// The link's hooks with that argument take their replies (or errors)
// without calling back: the argument is about to be freed.
void disarmReplyHooks(ServerLink* link, const void* argument);
// Frees a hook already unlinked from its link (its callback is not called).
void releaseReplyHook(ReplyHook* hook);
// 1 when the reply went to the first hook, 0 when it is not the hook's.
int dispatchReplyHook(ServerLink* link, const u8* reply);

// The synchronous round trip: a marker request, then reading the link until
// its reply arrives, handing every awaited reply to its hook on the way.
const char* sendSyncMarker(ServerLink* link);
const char* matchServerReply(ServerLink* link);
// Whether the proxy may wait on the link for an answer now. Not while its
// server holds it for the client (a SYNC Await: the answer would come when
// the client likes), nor while the link is not read for the client's sake
// (a client that does not read: the answer lies behind what it left).
bool linkWaitable(const ServerLink* link);
// Null once the server has passed everything sent on the link (the link's
// answers before that handled); otherwise why not: the link broke, or it
// may not be waited on now (nothing was sent then).
const char* syncServerLink(ServerLink* link);
// The same for every link of the client; the first failure.
const char* syncClientLinks(ProxyClient* client);
// For callers that only bring what the links' servers sent up to date
// (events before a move, the stacking of another client's window): the
// round trip on each link that may be waited on now, the others left
// alone; failures are logged. False when a link was left or failed.
bool settleServerLink(ServerLink* link);
bool settleClientLinks(ProxyClient* client);
// syncClientLinks over every client that has links.
const char* queueSyncOnEveryLink();
// A marker on every link with output pending, then (syncAllPendingReplies)
// the match on each marked link; callers pair the two.
void queueSyncOnAllLinks();
const char* syncAllPendingReplies();

// The proxy major of a server major (extension majors mapped back).
u8 mapServerMajorToProxy(u8 serverMajor, const ServerLink* link);

// 16-bit sequence of the message at `message` (bytes 2-3, as the link reads).
u16 wireSequenceOf(const ServerLink* link, const u8* message);

}  // namespace palvon
