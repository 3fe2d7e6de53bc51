// In-order delivery of replies, events and errors to a client.
//
// A request may go to several real servers that answer at their own pace.
// What arrives for one client sequence is held on a PendingRequest until
// every server has passed that point (proved by a round trip on each link),
// then released: structure events first, then visibility, then exposures
// merged over the servers, then the rest in arrival order, of errors only the
// first. With one server, or when every other server has answered all it
// was sent (its link is quiet), and nothing older pending, messages go
// straight to the client. Main thread only.
#pragma once

#include <cstdint>

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct Region;

// An entry can follow at most this many servers; links to more are refused.
constexpr u32 kMaxPendingServers = 32;
// A client with this many entries waiting is not read until they drain (as
// a client with an output backlog is): what one client sends cannot grow
// the proxy's memory without bound. About 420 bytes an entry plus what it
// holds; an entry of a request the proxy refused holds one 32-byte error.
constexpr u32 kPendingEntryLimit = 4096;
// The tag of an EnterNotify or LeaveNotify that the client is to see; one
// without this bit is dropped when its entry is released.
constexpr uintptr_t kCrossingDelivered = 0x80000000u;
// The tag of a server's KeymapNotify that follows an EnterNotify or FocusIn
// of the client's, which it may not have selected itself: it goes to the
// client whatever the client got before it.
constexpr uintptr_t kKeymapOfItsCrossing = 0x1u;

struct HeldMessage {
  HeldMessage* next;
  u32 length;
  const char* layout;   // for swapping to the client
  uintptr_t tag;        // exposures: their Region (owned); crossings: the tag
  u8 bytes[];
};

struct HeldList {
  HeldMessage* head;
  HeldMessage* tail;
};

struct PendingRequest {
  PendingRequest* next;
  PendingRequest* previous;  // the head's previous is the tail
  u64 sequence;              // the client sequence this entry stands for
  u16 key;                   // the request's first 16-bit word, or 0
  u8 errorHeld;
  u8 outstandingServers;
  u64 serial;                // from a process-wide counter
  // The round trips that release the entry: entries made between two
  // flushes of the client's links share one round trip per link, found by
  // this number (0 while the entry waits for its round trips).
  u64 batch;
  PendingRequest* nextUnarmed;  // the client's entries waiting for round trips
  HeldList structure;        // codes 16 to 27
  HeldList visibility;       // code 15
  HeldList exposures;        // codes 12, 13, 14
  HeldList others;           // replies, the first error, other events
  u64 roundTrips[kMaxPendingServers];  // server sequence of each link's round trip
};

// The configured workaround words that change how GraphicsExpose is
// delivered (bits of proxyConfig.workarounds).
constexpr u32 kExposeInsteadOfGraphicsExpose = 0x10;
constexpr u32 kExposeAfterGraphicsExpose = 0x20;
constexpr u32 kExposeBeforeGraphicsExpose = 0x40;

PendingRequest* allocPendingRequest(ProxyClient* client, u64 sequence, u16 key);
// Inserts in sequence order; entries come mostly in that order, and are
// appended in constant time. The entry's round trips go out when the
// client's links are next flushed (end of the client's parse or of a link's
// dispatch), one per link for all entries made since; the holding calls
// below arm at once when they run anywhere else. A caller that inserts
// outside those arms with armPendingRequests.
PendingRequest* insertPendingRequest(ProxyClient* client, u64 sequence, u16 key);
// For a request without a reply sent to every server (two or more links).
PendingRequest* noteRequestWithoutReply(const u8* request);
// Whether at most one of the client's servers owes answers: what that one
// sends can go to the client as it comes.
bool othersQuiet(const ProxyClient* client);
// Queues one round trip per link for every entry of the client that waits
// for its round trips (the entry given among them). An entry of a client
// without links is released at once: nothing would ever release it.
void armPendingOnServers(PendingRequest* entry, ProxyClient* client);
void armPendingRequests(ProxyClient* client);
PendingRequest* findPendingRequest(ProxyClient* client, u64 sequence, u32 serverIndex, u64 serverSequence);
void holdMessage(const u8* message, u32 length, const char* layout, uintptr_t tag, PendingRequest* entry);
void holdMessageForSequence(const u8* message, u32 length, const char* layout, ProxyClient* client);

// Whether a reply to the client's request of that sequence (16 bits, as
// the ring keeps it) would go to the client at once: one server, nothing
// older still held.
bool replyDeliverableNow(ProxyClient* client, u16 sequence);

// Messages from a server for the current client and current link. An
// exposure's tag is a Region that this call takes over.
void sendReplyToClient(const u8* reply, u32 length, const char* layout);
void sendEventToClient(const u8* event, const char* layout, uintptr_t tag);
void sendErrorToClient(const u8* error, const char* layout);

// Replies and events the proxy makes itself, delivered in request order.
// A reply's type, sequence number and length are written here: the
// sequence of the client's request being handled, or for an answer made
// later (a server lost under pending requests) the sequence given.
void sendComposedReply(u8 major, u16 minor, u8* reply, u32 length, const char* layout, ProxyClient* client);
void sendComposedReplyAt(u64 sequence, u8* reply, u32 length, const char* layout, ProxyClient* client);
// An event goes with the request its sequence number names; a KeymapNotify
// (which has none) with the client's latest request.
void sendComposedEvent(const u8* event, const char* layout, ProxyClient* client);
// The sequence number an event the proxy composes now carries for the
// client. Made while a reply or event of one of the client's own links is
// handled, the one that message answers: the server had handled that much
// of the client's requests, and not the ones the client sent since (the
// event must not wait behind their replies). Anywhere else (a request being
// handled, another client's link, the proxy's own connections) the
// client's latest request: nothing the client sent before is known to be
// answered, and its replies must not be overtaken.
u16 composedEventSequence(const ProxyClient* client);

// The event handlers' look into what an entry holds: the first message of
// the list that `match` accepts (null when none); removing and freeing one
// (an exposure with its region); a held exposure rewritten as another
// 32-byte exposure event, its area becoming the held area (a NoExpose that
// another server's GraphicsExpose replaces).
using HeldMatch = bool (*)(const HeldMessage* held, const void* argument);
HeldMessage* findHeldMessage(const HeldList* list, HeldMatch match, const void* argument);
void dropHeldMessage(HeldList* list, HeldMessage* message);
void replaceHeldExposure(HeldMessage* held, const u8* event, const char* layout);

// The round-trip callback of armed entries (argument: their batch).
void completeHeadReply(const u8* reply, void* serial);
void flushPendingRequest(PendingRequest* entry, ProxyClient* client);
void freePendingRequests(ProxyClient* client);


}  // namespace palvon
