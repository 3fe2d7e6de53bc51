// What an accepted X client sends: the connection set-up (byte order,
// protocol version, host access and authorization, then a link to every real
// server) and the stream of requests, framed by their 16-bit length or the
// BIG-REQUESTS 32-bit length and dispatched through the request table by
// their first 16-bit word. Also the client's I/O orders: flow control
// between the client and its server links, writing to the client, and the
// suspension of other clients during a server grab.
//
// Main thread only. Request handlers run with currentClient set and may stop
// that client; the record then stays valid until the step of the event loop
// ends, and every caller checks `stopped` before going on with it.
#pragma once

#include "Proxy/clients/client.h"
#include "Proxy/links/serverlink.h"
#include "base/strings.h"

namespace palvon {

// Flow control: a client is not read while one of its links, or its own
// output, holds more than this much backlog (OutBuffer capacity measure),
// nor while kPendingEntryLimit of its entries wait (pending.h).
constexpr size_t kLinkBacklogLimit = 0x20000;
constexpr size_t kClientBacklogLimit = 0x80001;
constexpr u32 kClientReadChunk = 65536;
// The most one read takes for the rest of a large request.
constexpr u32 kClientLargeRead = 0x100000;
// Messages of this size and more are written to an idle client at once.
constexpr u32 kClientWriteThrough = 0x10000;
// Pacing: a round trip of the proxy's own (a mark) follows every window
// of requests on a link, and a client is not read while kPaceMarksAhead of
// them are unanswered. What waits at a server for one client, and so every
// wait of the proxy on that link, is then bounded by what the server does
// rather than by bytes: 28 bytes of CopyArea may be a million pixels. A
// flood waits in the client's own socket, as on a plain server.
// The window adapts to the server's pace: a mark that waited longer than
// kPaceTargetNs behind others' work (beyond the least a mark took on the
// link: the way to the server) shrinks the window in proportion, one that
// waited less than a quarter of it doubles it, between kPaceWindowMin and
// kPaceWindowMax. The window counts units of the server's work, guessed
// from the request before the server does it: a request is a unit, a
// drawing or an image a unit more per kPacePixelsPerUnit pixels (so a
// window of small requests, which the server does at once, may be long
// without one of large copies holding up the server for seconds before
// its first mark is back), and one whose reply may be of any size
// kPaceHeavy (the replies of a client that never reads wait at the server
// too); one whose reply has a small fixed size (InternAtom, GetInputFocus,
// QueryPointer...) is a unit.
constexpr u32 kPaceWindowMin = 8;
constexpr u32 kPaceWindowStart = 1024;
constexpr u32 kPaceWindowMax = 16384;
constexpr u8 kPaceMarksAhead = 4;
constexpr u32 kPaceHeavy = 512;
constexpr u32 kPacePixelsPerUnit = 4096;
constexpr u64 kPaceTargetNs = 20000000;
constexpr u32 kResumeTimerMs = 8;

// The real servers every client gets a link to, in server-list order. Set by
// the layer that opens the servers; empty (no links) until then.
struct ClientServerList {
  const LinkServerInfo* servers;
  u32 count;
};
extern ClientServerList clientServerList;

// The client holding the server grab (null: none), and whether the grab also
// holds back grab-exempt clients.
extern ProxyClient* grabHolder;
extern bool grabCoversExempt;

// Parses as much of the client's input as is complete; the refusal text with
// which the client is to be stopped, or null.
const char* setupClientConnection(ProxyClient* client);
const char* checkClientAuthorization(ProxyClient* client, const char* name, u16 nameLength, const u8* data,
                                     u16 dataLength);
// The client leaves while its set-up waits for its host's names: the
// look-up runs on to its end unwanted, and counts no longer against the
// look-ups of clients still waiting.
void dropHostLookup(ProxyClient* client);
// Parses the buffered input with the client current, then acts on the
// outcome: a refusal stops the client, new pending entries get their round
// trips, the links are pushed and reading resumes. The client may be
// stopped on return. A long parse pushes the links on its way too, every
// kPushAfterNs of the proxy's time, so that the servers need not wait for
// the whole batch.
void parseClientInput(ProxyClient* client);
constexpr u64 kPushAfterNs = 1000000;
// What the client's links hold goes to the servers now, before a handler
// works long on the model (a window tree change over a subtree): the
// servers then work on the requests before it, the request itself too when
// it was forwarded first, instead of after the proxy. Failures are left to
// the push after the request; the client stays as it is.
void handOverBeforeLongWork(ProxyClient* client);
// The clock of those pushes (monotonic nanoseconds); tests step their own.
// Null restores the system's.
using ParseClock = u64 (*)();
void setParseClockForTesting(ParseClock clock);
// Whether the client's own output holds so much that its links are not
// read (a client that does not read its replies); never while recorded.
bool clientOutputBacklogged(const ProxyClient* client);
void onClientReadable(void* client);
void onClientResumeTimer(void* client);
void resumeClientIo(ProxyClient* client);
// Flushes the client's output with a bound; 1 when all was written.
int onClientOutputFlushed(ProxyClient* client);
// 0 when the client was stopped, 1 otherwise.
int clientWriteReady(ProxyClient* client);
// Writes what the client's output holds now, at the end of a step that gave
// it something (a parse, a link's dispatch), instead of in a later step of
// the loop: a round trip costs one poll less. What cannot be written waits
// for the write order. The client may be stopped on return.
void writeClientOutputNow(ProxyClient* client);
void onClientWritable(void* client);
void suspendOtherClients(ProxyClient* grabbing);
void resumeAllClients();
// Queues a reply, event or error for the client, swapped by the layout when
// the client's byte order differs.
void writeToClient(const u8* message, u32 length, const char* layout, ProxyClient* client);
// Where a new message for the client is queued: its output, or behind a
// reply streaming to it (links/streamedreply.h). Whoever queues bytes for
// a client reserves them here, never in client->output directly.
OutBuffer* clientQueue(ProxyClient* client);
// A streamed reply: its first bytes (the header and what is in of the
// body), written as a message; from then on the client takes only the
// link's pieces until finishClientStream, which queues what waited behind
// the reply. cutClientStream gives up a reply that cannot be completed:
// nothing more is written and the client is stopped at the loop's next
// turn. dropClientStream forgets the stream as the connection closes.
void beginClientStream(ProxyClient* client, ServerLink* link, const u8* bytes, u32 length);
void streamToClient(ProxyClient* client, const u8* bytes, u32 length);
void finishClientStream(ProxyClient* client);
void cutClientStream(ProxyClient* client);
void dropClientStream(ProxyClient* client);
// Makes handlers stop parsing the current client's input after the request
// being handled; the rest is parsed when the client is resumed. A non-empty
// text stops the client with it.
void refuseClientInput(ProxyClient* client, const char* text);

// Runs the request being handled again once `milliseconds` have passed (a
// fake input's delay), with the client current and its sequence number
// still the request's; the handler must have made the copy one that does
// not ask again. Meanwhile the client's later requests wait, those already
// read too, and every other client goes on: the proxy waits for no server
// on its behalf. A client that stops meanwhile drops it. False when no copy
// could be made (nothing is held then).
bool runRequestLater(ProxyClient* client, const u8* request, u32 length, u64 milliseconds);
void dropRequestLater(ProxyClient* client);

// Holds the client's later requests until the server of `link` (one of the
// client's) has passed what was sent there so far: a request that server
// holds the link for as long as the client likes (a SYNC Await). Other
// clients go on, and no wait of the proxy goes to that link meanwhile
// (heldByServer). The hold ends with the link: a server that leaves takes
// its holds along, and the client waits for the others only. False when
// the round trip could not be queued.
//
// While either hold keeps a client's requests waiting, its socket is
// watched for the peer's end alone: a client that leaves (or shuts its
// writing down) is stopped at once, as a plain server lets its resources
// go, while the requests it sent stay unread and wake nothing.
bool holdUntilServerPasses(ServerLink* link);

// Host access for the request handlers (transport null: the proxy itself).
int changeAccessControl(_XtransConnInfo* transport, int mode);
int addAccessHost(_XtransConnInfo* transport, int family, int length, const u8* address, u32* errorValue);
int removeAccessHost(_XtransConnInfo* transport, int family, int length, const u8* address, u32* errorValue);
int listAccessHosts(u8** data, int* count, int* length, bool* enabled);

}  // namespace palvon
