// A client's own X connection to one real X server.
//
// Every client of the proxy gets one ServerLink per real X server. Requests
// that handlers forward are copied into the link's output with extension
// majors renumbered for that server (and swapped when the server's byte order
// differs); what the server sends back is read here and dispatched as the
// replies, events and errors of that client.
//
// Ownership: a link belongs to its ProxyClient (client->links), is created by
// allocServerLink/openServerLink and destroyed by closeServerLink. All calls
// come from the main thread. Returned error texts live in the ring of
// temporary strings.
#pragma once

#include <netinet/in.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/links/sequence.h"
#include "base/buffer.h"
#include "base/outbuffer.h"
#include "base/strings.h"

namespace palvon {

struct Order;
struct ProxyClient;
struct ServerDisplay;
struct ServerLink;
struct SequenceRing;
struct RequestStash;
struct ReplyHook;
struct ImageRing;

// What the proxy's own request writers write through: a ServerLink embeds one
// (allocate = allocServerRequest), other connections may offer their own.
struct RequestWriter {
  u8 swap;  // the peer's byte order differs from the proxy's
  // Reserves `length` bytes with the header filled (opcode, data byte, 16-bit
  // length in words); nullptr when nothing could be reserved.
  u8* (*allocate)(void* argument, u8 major, u8 data, u32 length);
  void* argument;
};

// What a link takes from its server display when it is opened. The display
// record itself belongs to the heads layer; the link copies what its hot
// paths read so that they never reach into it.
struct LinkServerInfo {
  ServerDisplay* display;      // may be null (tools, tests)
  const char* displayName;     // "host:0", ":1" (copied)
  // For a name with a host: the TCP address where the proxy's own
  // connection reached the server, which the links take instead of asking
  // the name service for every client (family 0: unknown, the name is
  // looked up).
  union {
    sockaddr any;
    sockaddr_in in;
    sockaddr_in6 in6;
  } address;
  u32 serverIndex;             // index of the display in the server list
  u8 bigEndian;                // the link speaks MSB first to the server
  u32 offlineTimeoutMs;        // bound of every blocking wait; 0 means 20000
  // The registry's translation of codes for this server (null: identity).
  const ExtensionCodeMap* codes;
};

constexpr u32 kSetupAnswered = 32;           // smallest message of a running link
constexpr u32 kMaxPlainRequest = 0x3fffc;    // larger requests take the big form
constexpr u32 kLinkReadChunk = 65536;
constexpr u32 kLinkStreamRead = 0x100000;  // most one read takes of a streaming reply
constexpr u32 kDefaultOfflineTimeoutMs = 20000;

// A segment of the proxy's image pool that the link's server keeps
// attached under serverId (serial 0: a free slot).
struct KeptShmAttachment {
  u64 serial;
  u32 serverId;
};
constexpr u32 kKeptShmAttachments = 8;

// Field order follows the record that other layers know; sequences are 64-bit
// counters inside (the wire carries their low 16 bits).
struct ServerLink {
  i32 descriptor;              // the socket; -1 once closed
  ByteBuffer input;            // bytes read, not yet dispatched
  OutBuffer output;            // requests for the server
  Order* readOrder;
  Order* writeOrder;
  u32 setupAnswered;           // 0 until the set-up reply, then 32; ~0 when closed
  RequestWriter writer;
  ProxyClient* client;
  u64 requestsSent;            // server-side sequence counter
  u64 lastServerSequence;      // sequence of the message being dispatched
  u16 displayNumber;
  u16 family;                  // 256 local, 65535 wild, else the socket family
  u64 stashSequence;           // sequence of the request just queued
  u32 parseOffset;             // where dispatching resumes in the input
  u16 syncMarkerSequence;      // as on the wire
  u8 awaitingMarker;
  u8 busy;                     // a synchronous wait runs on this link
  // Round trips queued behind a request the server holds the link for (a
  // SYNC Await) and not answered yet: no wait of the proxy goes there
  // meanwhile, it would last as long as the client wants.
  u32 heldByServer;
  u8 refused;                  // the server refused the connection set-up
  u8 dispatching;              // a dispatch of this link's input is running
  u8 closePending;             // closed while dispatching: freed afterwards
  u8 writingProxyCopies;       // requests queued now are the proxy's, not the client's
  u8 quietKeyboardSwitches;    // an XKB client for the proxy's sake: its XKB events are dropped
  // Whether the server's next KeymapNotify is the client's: it follows the
  // EnterNotify or FocusIn it was sent for, whose handler judged it
  // (events/input.cpp; 0 none judged).
  u8 keymapFollows;
  // A SetInputFocus of the client's went on it since the pointer last moved
  // onto or off its server (input/pointer_sync.cpp settles its focus events
  // before the move's own).
  u8 focusRequested;
  SequenceRing* ring;          // chain of chunks, head first
  RequestStash* stashHead;
  RequestStash* stashTail;
  u16 requestKeyAnswered;
  ReplyHook* hookHead;
  ReplyHook* hookTail;
  LinkServerInfo server;       // displayName points into `names`
  u8 serverAddress[16];        // the server's address for authorization
  u16 serverAddressLength;
  char* hostName;              // points into `names`
  // Added with the client's set-up reply: the resource-id base and mask the
  // server gave this connection (0 until its set-up answer).
  u32 serverIdBase;
  u32 serverIdMask;
  // Added with translucency: the client window whose Expose events this
  // link drops while its shape is being replaced (0: none).
  u32 suppressedExposureWindow;
  // Pacing of the client's requests (clients/input.cpp): the weight of
  // the requests since the last window mark, the window (0: not yet set),
  // how many marks the server has not yet answered, the sequence the link
  // had when its requests were last counted, the mark being timed
  // (sequence, 0: none; when it was queued, parse clock) and what the way
  // to the server costs a mark.
  u32 paceCount;
  u32 paceWindow;
  u8 paceMarksOut;
  u64 paceSeenSequence;
  u64 paceTimedSequence;
  u64 paceTimedSinceNs;
  u64 paceBaseNs;              // the least a mark took
  bool paceBaseKnown;          // a mark has been timed
  // Fires when the server left the set-up answer or a message incomplete
  // for a whole offline time-out (watchServerLinkStall), counted from the
  // last message completed (ms, the loop's clock read then, ordersClockNow).
  Order* stallTimer;
  u64 lastCompletedMs;
  // The timer found bytes unread in the socket once since the last message
  // completed (the proxy was held up elsewhere): they got one short grace.
  u8 stallGraceUsed;
  // When the stall timer began to wait for the server's Failsafe drop
  // (loop clock, ms; 0: it does not).
  u64 stallWaitSinceMs;
  // Image segments the server keeps attached for the next images
  // (Xext/shm/shm.cpp); the slot to reuse next when none is free.
  KeptShmAttachment keptShm[kKeptShmAttachments];
  u8 keptShmNext;
  // Added with streamed replies (streamedreply.h): body bytes of the reply
  // being passed on (or skipped) that the server has still to send.
  u32 streamRemaining;
  // The server sequence of the last round trip the server answered: when
  // it is requestsSent, the server has done all it was asked and anything
  // it sends later is of its own accord (the link is quiet).
  u64 provenSequence;
  // The socket's send buffer was widened once the server first fell
  // behind (widenLocalSendBuffer).
  u8 sendBufferWidened;
  // The segment small images reach the server through (Xext/shm/ring.h),
  // made at the first; let go through releaseImageRingOfLink.
  ImageRing* imageRing;
  char names[];                // display name, NUL, host name, NUL (stays last)
};

// The link whose input is being dispatched, or null.
extern ServerLink* currentLink;

// Records the request just counted (link->requestsSent) under its first
// 16-bit word; may insert a round trip when the ring has come round to slots
// not yet answered. Inline: every forwarded request runs it, and its usual
// case makes no call.
inline void noteServerRequestKey(u16 key, ServerLink* link) {
  u64 s = link->requestsSent;
  SequenceRing* tail = link->ring->previous;
  u16 slot = static_cast<u16>(s & (kRingSlots - 1));
  tail->slots[slot] = {static_cast<u16>(link->client ? link->client->requestCounter : 0), key};
  link->stashSequence = s;
  if ((slot == tail->oldestNeeded && !tail->closed) || link->writingProxyCopies) finishServerRequestNote(link, tail);
}

// Whether the server has answered every request sent on the link: nothing
// it sends later can belong before a message of another link.
inline bool serverLinkQuiet(const ServerLink* link) {
  return link->provenSequence == link->requestsSent && link->setupAnswered == kSetupAnswered;
}

// A client's links sit in fixed slots indexed by the server index of their
// server display (the index every head carries): client->links holds
// kMaxServerLinks slots once the first link is made, client->linkCount is
// one past the highest slot in use, and a server that leaves leaves an
// empty slot. Nothing is ever moved.
constexpr u32 kMaxServerLinks = 32;

// The client's link to the server of that index, or null.
inline ServerLink* clientLink(const ProxyClient* client, u32 serverIndex) {
  return serverIndex < client->linkCount ? client->links[serverIndex] : nullptr;
}
// The number of links the client has (empty slots not counted).
u32 openLinkCount(const ProxyClient* client);

// for (ServerLink* link : linksOf(client)): the client's links in server
// order, empty slots skipped. The loop body may close the link it is on.
class LinkRange {
 public:
  class Iterator {
   public:
    Iterator(const ProxyClient* client, u32 index) : client_(client), index_(index) { skip(); }
    ServerLink* operator*() const { return client_->links[index_]; }
    Iterator& operator++() {
      index_++;
      skip();
      return *this;
    }
    // The body may close links at the end of the array, which lowers the
    // count below the end the loop began with: the loop then ends there.
    bool operator!=(const Iterator& other) const { return index_ != other.index_ && index_ < client_->linkCount; }

   private:
    void skip() {
      while (index_ < client_->linkCount && !client_->links[index_]) index_++;
      if (index_ > client_->linkCount) index_ = client_->linkCount;
    }
    const ProxyClient* client_;
    u32 index_;
  };
  explicit LinkRange(const ProxyClient* client) : client_(client) {}
  Iterator begin() const { return Iterator(client_, 0); }
  Iterator end() const { return Iterator(client_, client_->linkCount); }

 private:
  const ProxyClient* client_;
};
inline LinkRange linksOf(const ProxyClient* client) { return LinkRange(client); }

// Connects (non-blocking) and appends the link to the client's links; null
// after logging when the server cannot be reached or memory is short.
ServerLink* allocServerLink(ProxyClient* client, const LinkServerInfo& server);
// allocServerLink for several servers at once (count <= kMaxServerLinks):
// every connect is begun before any is awaited, and all are awaited
// together, each within its server's offline time-out from the common
// start, so that servers far away cost one round trip, not one each.
// links[i] is the link to servers[i]. False after logging the first server
// (in the given order) that could not be reached; the links made are then
// closed again. Blocks the caller until every connect has ended.
bool allocServerLinks(ProxyClient* client, const LinkServerInfo* servers, u32 count, ServerLink** links);
// allocServerLink plus the connection set-up with the server's credentials,
// BigReqEnable when the client has BIG-REQUESTS on, and a flush.
ServerLink* openServerLink(ProxyClient* client, const LinkServerInfo& server);
// openServerLink for several servers, connected as allocServerLinks does;
// the set-up answers are left to the loop. False (every link closed) on
// the first failure.
bool openServerLinks(ProxyClient* client, const LinkServerInfo* servers, u32 count, ServerLink** links);
// Credentials for the link's server (its own address family and address):
// 1 with name and data filled (heap copies the caller frees), 0 when none.
int getServerAuthorization(ServerLink* link, char** name, u16* nameLength, char** data, u16* dataLength);
// Reads the set-up answer synchronously, bounded by the offline time-out.
const char* waitServerLinkSetup(ServerLink* link);

// The handlers' forwarding primitive: the copy in the output (4 bytes into a
// big request so that every field from byte 4 keeps its offset), or null.
u8* copyRequestToServer(const u8* request, u32 length, ServerLink* link);
// copyRequestToServer's usual case, for the hottest callers to inline: a
// core request of 16 to 32 bytes with room in the output's last block,
// copied as two overlapping fixed blocks without a call. Null, with nothing
// done, for any other request.
// A core request just copied whole to p: its length field in the plain
// form (a big request's reads 0), then counted and noted.
inline void countCoreRequestCopy(u8* p, u32 length, ServerLink* link) {
  u16 words = static_cast<u16>(length / 4);
  __builtin_memcpy(p + 2, &words, 2);
  link->requestsSent++;
  u16 key;
  __builtin_memcpy(&key, p, 2);
  noteServerRequestKey(key, link);
}
inline u8* copySmallRequestToServer(const u8* request, u32 length, ServerLink* link) {
  if (request[0] >= 128 || length < 16 || length > 32) return nullptr;
  u8* p = outbufferReserveInTail(&link->output, length);
  if (!p) return nullptr;
  __builtin_memcpy(p, request, 16);
  __builtin_memcpy(p + length - 16, request + length - 16, 16);
  countCoreRequestCopy(p, length, link);
  return p;
}
// Reserves a request with its header filled; the link writer's allocate.
u8* allocServerRequest(ServerLink* link, u8 major, u8 data, u32 length);
void swapServerRequestAlways(ServerLink* link, u8* request, u32 length, const char* layout);
// Swaps a request in the output by the layout when the server's order
// differs. Inline: most servers share the proxy's order.
inline void swapServerRequest(ServerLink* link, u8* request, u32 length, const char* layout) {
  if (link->writer.swap) swapServerRequestAlways(link, request, length, layout);
}
// Raw bytes in the output, not counted as a request (the connection set-up).
u8* reserveServerBytes(ServerLink* link, u32 length);

const char* flushServerLink(ServerLink* link);
void onServerLinkReadable(void* link);
int onServerLinkWritable(ServerLink* link);
void watchServerLinkWritable(void* link);
// Gives a local link's socket room for a whole large image, the first time
// its server falls behind; true when it did, and a flush may now take more.
bool widenLocalSendBuffer(ServerLink* link);
void resumeServerLinkRead(void* link);
// After each dispatch of the link's input: a link that still owes its
// set-up answer or the rest of a message is given one offline time-out,
// counted from the last message it completed; then it is shut down and
// ends as a broken link (a server that sent a length it never fills, or
// dropped the set-up answer, must not hold the client for ever).
void watchServerLinkStall(ServerLink* link, bool progressed);
// Flushes what the link still has for its server (bounded by the offline
// time-out), then closes it; accepts null.
void closeServerLink(ServerLink* link);
// Set by the MIT-SHM module: a closing link's image ring is let go, after
// the round trips still owed on the link have ended.
extern void (*releaseImageRingOfLink)(ServerLink* link);
// Closes at once, dropping what was not yet written: for a server that is
// leaving the session, whose connection ends with every resource the
// client had there (a stopped server would hold every client for a whole
// time-out per link).
void discardServerLink(ServerLink* link);
const char* reportBrokenServerLink(ServerLink* link);
const char* brokenServerLinkText(const ServerLink* link);

// Parses the link's buffered input from its parse offset with the link and
// its client current: the set-up reply first, then errors, replies and events.
void dispatchServerInput(ServerLink* link);
// The link's slot in its client's links: its server index.
inline u32 serverLinkIndex(const ServerLink* link) { return link->server.serverIndex; }

// Waits for more input (bounded by the offline time-out) and reads it:
// nullptr when bytes arrived, else the broken-connection text.
const char* readServerLinkBlocking(ServerLink* link);

}  // namespace palvon
