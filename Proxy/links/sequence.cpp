// Sequence ring, request stash, reply hooks and the proxy's own round trips.
#include "Proxy/links/sequence.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <utility>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pool.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/streamedreply.h"
#include "Proxy/proxystate.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/wordswap.h"

namespace palvon {

namespace {

// Slots of the ring in front of the newest popped sequence that stay needed:
// events may still repeat the sequence being answered.
constexpr u16 kSlotsKeptBehind = 2;

struct RoundTripClosure {
  RoundTripCallback callback;
  void* argument;
  RoundTripRelease release;
};

BlockPool<sizeof(RoundTripClosure)> closurePool;
BlockPool<sizeof(RequestStash)> stashPool;
BlockPool<sizeof(ReplyHook)> hookPool;

void noRoundTripCallback(const u8*, void*) {}
void noRoundTripRelease(void*) {}

void releaseRoundTripCallback(void* data) {
  auto* closure = static_cast<RoundTripClosure*>(data);
  RoundTripRelease release = closure->release;
  void* argument = closure->argument;
  closurePool.give(closure);
  if (release) release(argument);
}

bool foreign(const ServerLink* link) { return link->writer.swap != 0; }

// Wire form of a sequence as the server will write it into bytes 2-3, read
// back as a host u16 (so it compares with a raw 16-bit load of those bytes).
u16 wireForm(const ServerLink* link, u64 sequence) {
  u8 bytes[2];
  storeU16(bytes, static_cast<u16>(sequence), foreign(link));
  return loadU16(bytes);
}

void releaseStash(RequestStash* stash) {
  if (stash->release) stash->release(stash->data);
  stashPool.give(stash);
}

// Releases every stash entry in front of `keep` (or all when keep is null).
void releaseStashBefore(ServerLink* link, RequestStash* keep) {
  while (link->stashHead && link->stashHead != keep) {
    RequestStash* stash = link->stashHead;
    link->stashHead = stash->next;
    if (!link->stashHead) link->stashTail = nullptr;
    releaseStash(stash);
  }
}

// Size of the server message at p within the n bytes available; 0 when the
// message is not complete. Replies and generic events carry a length word.
u64 serverMessageSize(const ServerLink* link, const u8* p, u64 n) {
  if (n < 32) return 0;
  u64 size = 32;
  if (p[0] == 1 || (p[0] & 0x7f) == 35) size += 4ull * loadU32(p + 4, foreign(link));
  return size <= n ? size : 0;
}

// Where the link's messages begin in its input. A link whose server has
// not been heard from yet (its client connected just before the wait) holds
// the set-up answer first, which is no message of that form: the search
// starts behind it, and the dispatch takes it later. -1 while that answer
// is incomplete.
i64 firstMessageAt(const ServerLink* link) {
  u64 at = link->parseOffset;
  if (link->setupAnswered != 0) return static_cast<i64>(at);
  u64 available = link->input.used - at;
  if (available < 8) return -1;
  u64 size = 8 + 4ull * loadU16(link->input.data + at + 6, foreign(link));
  return available < size ? -1 : static_cast<i64>(at + size);
}

// Offset of the first message of `type` (1 reply, 0 error) with that wire
// sequence in the link's input from the parse offset on, or -1.
i64 findMessageBySequence(const ServerLink* link, u8 type, u16 wire) {
  const u8* data = link->input.data;
  i64 first = firstMessageAt(link);
  if (first < 0) return -1;
  u64 at = static_cast<u64>(first);
  while (at < link->input.used) {
    u64 size = serverMessageSize(link, data + at, link->input.used - at);
    if (!size) return -1;
    if (data[at] == type && loadU16(data + at + 2) == wire) return static_cast<i64>(at);
    at += size;
  }
  return -1;
}

bool isMarkerReply(const ServerLink* link, const u8* reply) {
  return loadU32(reply + 4, foreign(link)) == 1 && reply[32] == 'A' && reply[33] == 'R' && reply[34] == 'C';
}

// Appends to a singly linked list kept with its tail.
template <class Node>
void appendNode(Node*& head, Node*& tail, Node* node) {
  if (tail)
    tail->next = node;
  else
    head = node;
  tail = node;
}

}  // namespace

// --- The ring ----------------------------------------------------------------

namespace {

// Each chunk is a mapping of its own: its pages come zeroed and take memory
// only once a slot on them is written. A zeroed heap block would be cleared
// whole whenever its memory is reused, so every link, idle or not, would
// hold all of its 16 KiB.
SequenceRing* newRingChunk() {
  void* chunk = mmap(nullptr, sizeof(SequenceRing), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return chunk == MAP_FAILED ? nullptr : static_cast<SequenceRing*>(chunk);
}

void freeRingChunk(SequenceRing* chunk) {
  if (chunk) munmap(chunk, sizeof(SequenceRing));
}

// A few chunks kept for reuse instead of unmapped: a fresh mapping costs an
// mmap, a munmap and a fault per page it touches.
struct ChunkShelf {
  static constexpr u32 kSize = 32;
  SequenceRing* chunks[kSize];
  u32 count;
  bool full() const { return count == kSize; }
  SequenceRing* take() { return count ? chunks[--count] : nullptr; }
  bool put(SequenceRing* chunk) {
    if (full()) return false;
    chunks[count++] = chunk;
    return true;
  }
};

// A busy link retires a chunk and takes a new one every kRingSlots
// requests; a link busy on two servers holds many in flight. Retired
// chunks (512 KiB of them at most, every page touched) serve the next busy
// link, cleared whole.
ChunkShelf spareChunks;

SequenceRing* takeRingChunk() {
  SequenceRing* chunk = spareChunks.take();
  if (!chunk) return newRingChunk();
  std::memset(static_cast<void*>(chunk), 0, sizeof *chunk);
  return chunk;
}

void retireRingChunk(SequenceRing* chunk) {
  if (!spareChunks.put(chunk)) freeRingChunk(chunk);
}

// A short-lived link, a connection's set-up and a few requests, writes only
// the first page of its first chunk; mapping and unmapping that chunk was
// 8% of the proxy's time for a connection beside two servers. Such chunks
// serve the next links' rings, cleared where they were written. Their later
// pages were never touched, so a kept chunk holds the one page a fresh one
// holds after its first request.
constexpr u32 kFirstPageSlots = (4096 - offsetof(SequenceRing, slots)) / sizeof(SequenceSlot);
ChunkShelf firstChunks;

// Keeps the ring's only chunk when the link wrote its first page alone
// (nothing is written past the newest request: requestsSent below one
// page's slots means the chunk never came round and is still the first).
bool keepFirstChunk(ServerLink* link) {
  SequenceRing* chunk = link->ring;
  if (chunk->next || link->requestsSent >= kFirstPageSlots || firstChunks.full()) return false;
  std::memset(static_cast<void*>(chunk), 0, offsetof(SequenceRing, slots) + (link->requestsSent + 1) * sizeof(SequenceSlot));
  return firstChunks.put(chunk);
}

}  // namespace

const char* createSequenceRing(ServerLink* link) {
  SequenceRing* chunk = firstChunks.take();
  if (!chunk) chunk = newRingChunk();
  if (!chunk) return PALVON_OOM();
  chunk->previous = chunk;
  chunk->oldestNeeded = kRingSlots - kSlotsKeptBehind;
  link->ring = chunk;
  return nullptr;
}

void freeSequenceRing(ServerLink* link) {
  if (link->ring && keepFirstChunk(link)) {
    link->ring = nullptr;
    return;
  }
  for (SequenceRing* chunk = link->ring; chunk;) {
    SequenceRing* next = chunk->next;
    freeRingChunk(chunk);
    chunk = next;
  }
  link->ring = nullptr;
}

void noteServerRequest(const u8* request, ServerLink* link) { noteServerRequestKey(loadU16(request), link); }

namespace {

// The ring has come round to slots not yet answered: a round trip after
// this request retires the chunk when its reply comes back.
void closeRingChunk(ServerLink* link, SequenceRing* tail) {
  u64 r = queueRoundTripCallback(link, noRoundTripCallback, nullptr, noRoundTripRelease);
  SequenceRing* chunk = takeRingChunk();
  if (!r || !chunk) {
    if (chunk) retireRingChunk(chunk);
    if (r) PALVON_OOM();
    return;
  }
  tail->closed = 1;
  tail->closingSequence = r;
  chunk->oldestNeeded = static_cast<u16>((r - kSlotsKeptBehind) & (kRingSlots - 1));
  chunk->slots[r & (kRingSlots - 1)] = tail->slots[r & (kRingSlots - 1)];
  chunk->previous = tail;
  tail->next = chunk;
  link->ring->previous = chunk;
}

}  // namespace

void finishServerRequestNote(ServerLink* link, SequenceRing* tail) {
  u64 s = link->requestsSent;
  if (static_cast<u16>(s & (kRingSlots - 1)) == tail->oldestNeeded && !tail->closed) closeRingChunk(link, tail);
  // The round trip noted its own sequence.
  link->stashSequence = s;
  // An error of a request the client never sent must not reach it.
  if (link->writingProxyCopies) stashRequestData(link, kStashProxyCopy, reinterpret_cast<void*>(uintptr_t(1)), nullptr);
}

void popServerSequence(ServerLink* link, u16 serverSequence) {
  u64 s = sequenceWiden(link->lastServerSequence, serverSequence);
  link->lastServerSequence = s;
  SequenceRing* head = link->ring;
  if (!head) return;
  // A server that skipped a retiring round trip cannot leave old chunks behind.
  while (head->closed && s > head->closingSequence && head->next) {
    link->ring = head->next;
    link->ring->previous = head->previous;
    retireRingChunk(head);
    head = link->ring;
  }
  const SequenceSlot& slot = head->slots[s & (kRingSlots - 1)];
  if (link->client) link->client->sequenceAnswered = slot.clientSequence;
  link->requestKeyAnswered = slot.key;
  if (head->closed && s == head->closingSequence && head->next) {
    link->ring = head->next;
    link->ring->previous = head->previous;
    retireRingChunk(head);
  } else {
    head->oldestNeeded = static_cast<u16>((s + kRingSlots - kSlotsKeptBehind) & (kRingSlots - 1));
  }
}

namespace {
// The slot of a full server sequence not yet answered: the chunks that
// popServerSequence would retire first are passed over.
SequenceSlot* ringSlotOf(const ServerLink* link, u64 s) {
  SequenceRing* chunk = link->ring;
  while (chunk && chunk->closed && s > chunk->closingSequence && chunk->next) chunk = chunk->next;
  return chunk ? &chunk->slots[s & (kRingSlots - 1)] : nullptr;
}
}  // namespace

const SequenceSlot* findRingSlot(const ServerLink* link, u64 s) { return ringSlotOf(link, s); }

void relabelServerSequence(ServerLink* link, u64 s, u16 clientSequence) {
  SequenceSlot* slot = ringSlotOf(link, s);
  // Only forward: what the client has seen stays behind it.
  if (slot && static_cast<i16>(clientSequence - slot->clientSequence) > 0) slot->clientSequence = clientSequence;
}

// --- Round trips -------------------------------------------------------------

u64 queueRoundTripCallback(ServerLink* link, RoundTripCallback callback, void* argument, RoundTripRelease release) {
  auto* closure = static_cast<RoundTripClosure*>(closurePool.take());
  u8* request = closure ? reserveServerBytes(link, 4) : nullptr;
  if (!request) {
    closurePool.give(closure);
    PALVON_OOM();
    return 0;
  }
  request[0] = 43;  // GetInputFocus: the cheapest request with a reply
  request[1] = 0;
  storeU16(request + 2, 1, foreign(link));
  *closure = {callback, argument, release};
  u64 sequence = ++link->requestsSent;
  noteServerRequestKey(kKeyNoOperation, link);
  link->stashSequence = sequence;
  stashRequestData(link, kStashRoundTrip, closure, releaseRoundTripCallback);
  return sequence;
}

void ReplyNoOperation(u8* reply, u32) {
  ServerLink* link = currentLink;
  auto* closure = link ? static_cast<RoundTripClosure*>(takeStashedData(link, kStashRoundTrip)) : nullptr;
  if (!closure) {
    LOGF(logChXhint, "No data in NoOp reply #%u for %s", link ? static_cast<u32>(link->lastServerSequence) : 0,
         link ? clientNameText(link->client) : "?");
    return;
  }
  link->provenSequence = link->lastServerSequence;
  RoundTripClosure copy = *closure;
  closurePool.give(closure);
  if (copy.callback) copy.callback(reply, copy.argument);
  if (copy.release) copy.release(copy.argument);
}

// --- The stash -----------------------------------------------------------------

void stashRequestData(ServerLink* link, u8 code, void* data, StashRelease release) {
  auto* stash = static_cast<RequestStash*>(stashPool.take());
  if (!stash) {
    PALVON_OOM();
    if (release) release(data);
    return;
  }
  *stash = {nullptr, link->stashSequence, code, data, release};
  if (!link->stashTail || link->stashTail->sequence <= stash->sequence) {
    appendNode(link->stashHead, link->stashTail, stash);
    return;
  }
  // A round trip the ring inserted behind this request stashed first: keep
  // the list in request order.
  RequestStash** at = &link->stashHead;
  while ((*at)->sequence <= stash->sequence) at = &(*at)->next;
  stash->next = *at;
  *at = stash;
}

// The entry of the message being dispatched under code, every older entry
// released; null, with nothing released, when there is none.
static RequestStash* firstStashOf(ServerLink* link, u8 code) {
  for (RequestStash* stash = link->stashHead; stash; stash = stash->next) {
    if (stash->sequence == link->lastServerSequence && stash->code == code) {
      releaseStashBefore(link, stash);
      return stash;
    }
    if (stash->sequence > link->lastServerSequence) break;
  }
  return nullptr;
}

void* takeStashedData(ServerLink* link, u8 code) {
  RequestStash* found = firstStashOf(link, code);
  if (!found) return nullptr;
  link->stashHead = found->next;
  if (!link->stashHead) link->stashTail = nullptr;
  void* data = found->data;
  stashPool.give(found);
  return data;
}

bool releaseStashedData(ServerLink* link, u8 code) {
  RequestStash* found = firstStashOf(link, code);
  if (!found) return false;
  releaseStashBefore(link, found->next);
  return true;
}

bool isProxysOwnRequest(const ServerLink* link, u64 serverSequence) {
  // Not the sync marker: its key in the ring tells it, where its 16 bits
  // would also name the client's requests a wrap later.
  u16 wire = wireForm(link, serverSequence);
  // A hook that takes errors reads an image back for a client, which
  // still waits for an answer.
  for (const ReplyHook* hook = link->hookHead; hook; hook = hook->next)
    if (hook->wireSequence == wire && !hook->takesErrors) return true;
  for (const RequestStash* stash = firstStashAt(link, serverSequence); stash && stash->sequence == serverSequence;
       stash = stash->next)
    if (stash->code == kStashProxyCopy) return true;
  return false;
}

const RequestStash* firstStashAt(const ServerLink* link, u64 serverSequence) {
  for (const RequestStash* stash = link->stashHead; stash; stash = stash->next) {
    if (stash->sequence == serverSequence) return stash;
    if (stash->sequence > serverSequence) break;
  }
  return nullptr;
}

void* peekStashedData(ServerLink* link, u8 code) {
  RequestStash* found = firstStashOf(link, code);
  return found ? found->data : nullptr;
}

// Entries of requests older than the message being dispatched can no longer
// be answered (their reply was replaced by an error or never came).
void dropStaleStash(ServerLink* link) {
  while (link->stashHead && link->stashHead->sequence < link->lastServerSequence) {
    RequestStash* stash = link->stashHead;
    link->stashHead = stash->next;
    if (!link->stashHead) link->stashTail = nullptr;
    releaseStash(stash);
  }
}

void releaseAllStashes(ServerLink* link) { releaseStashBefore(link, nullptr); }

// --- Reply hooks ----------------------------------------------------------------

void addReplyHook(ServerLink* link, ReplyHookCallback callback, void* argument) {
  auto* hook = static_cast<ReplyHook*>(hookPool.take());
  if (!hook) {
    PALVON_OOM();
    return;
  }
  *hook = {nullptr, wireForm(link, link->stashSequence), callback, argument, 0};
  appendNode(link->hookHead, link->hookTail, hook);
}

void addReplyHookForGlx(ServerLink* link, ReplyHookCallback callback, void* argument) {
  addReplyHook(link, callback, argument);
}

void addReplyHookTakingErrors(ServerLink* link, ReplyHookCallback callback, void* argument) {
  ReplyHook* before = link->hookTail;
  addReplyHook(link, callback, argument);
  if (link->hookTail != before) link->hookTail->takesErrors = 1;
}

int acceptReplyHook(ServerLink*, const u8*, void*) { return 1; }

void disarmReplyHooks(ServerLink* link, const void* argument) {
  for (ReplyHook* hook = link->hookHead; hook; hook = hook->next) {
    if (hook->argument != argument) continue;
    hook->callback = acceptReplyHook;
    hook->argument = nullptr;
  }
}

void releaseReplyHook(ReplyHook* hook) { hookPool.give(hook); }

static void unlinkFirstHook(ServerLink* link) {
  ReplyHook* hook = link->hookHead;
  link->hookHead = hook->next;
  if (!link->hookHead) link->hookTail = nullptr;
  releaseReplyHook(hook);
}

void freeReplyHooks(ServerLink* link) {
  while (link->hookHead) unlinkFirstHook(link);
}

int dispatchReplyHook(ServerLink* link, const u8* reply) {
  ReplyHook* hook = link->hookHead;
  if (!hook || loadU16(reply + 2) != hook->wireSequence) return 0;
  if (!hook->callback(link, reply, hook->argument)) LOGF(logChWarning, "Failed X reply order");
  if (link->hookHead == hook) unlinkFirstHook(link);
  return 1;
}

// Every client once: the list's head's previous is its tail.
template <class Visit>
static const char* forEachClientWithLinks(Visit visit) {
  const char* first = nullptr;
  for (ProxyClient* client = clientList; client; client = client->next) {
    const char* error = openLinkCount(client) ? visit(client) : nullptr;
    if (!first) first = error;
  }
  return first;
}

const char* queueSyncOnEveryLink() { return forEachClientWithLinks(syncClientLinks); }

void queueSyncOnAllLinks() {
  forEachClientWithLinks([](ProxyClient* client) -> const char* {
    for (ServerLink* link : linksOf(client)) {
      if (link->output.head && linkWaitable(link) && !sendSyncMarker(link)) link->awaitingMarker = 1;
    }
    return nullptr;
  });
}

const char* syncAllPendingReplies() {
  return forEachClientWithLinks([](ProxyClient* client) -> const char* {
    const char* first = nullptr;
    for (ServerLink* link : linksOf(client)) {
      if (!link->awaitingMarker) continue;
      link->awaitingMarker = 0;
      const char* error = matchServerReply(link);
      if (!first) first = error;
    }
    return first;
  });
}

u8 mapServerMajorToProxy(u8 serverMajor, const ServerLink* link) {
  const ExtensionCodeMap* codes = link->server.codes;
  if (serverMajor < 128 || !codes) return serverMajor;
  for (u32 major = 128; major < 256; major++)
    if (proxyState.extensions.entries[major].name && codes->majorToServer[major] == serverMajor)
      return static_cast<u8>(major);
  return serverMajor;
}

u16 wireSequenceOf(const ServerLink* link, const u8* message) { return loadU16(message + 2, foreign(link)); }

// --- The synchronous round trip ---------------------------------------------------

const char* sendSyncMarker(ServerLink* link) {
  u8* request = reserveServerBytes(link, 8);
  if (!request) return PALVON_OOM();
  // GetAtomName of the predefined atom 3: a reply every server can give.
  request[0] = 17;
  request[1] = 0;
  storeU16(request + 2, 2, foreign(link));
  u8 atom[4] = {3, 0, 0, 0};
  if (link->writer.swap) std::swap(atom[0], atom[3]);
  std::memcpy(request + 4, atom, 4);
  u64 sequence = ++link->requestsSent;
  link->syncMarkerSequence = wireForm(link, sequence);
  // The marker's answer is the proxy's alone. The wait normally takes it
  // out of the input; a wait that gave up (a server busy or stopped past
  // the offline time-out) leaves it to come later through the dispatch,
  // where a key of the client's would hand it on as a reply to whatever
  // the client sent last, a sequence the client awaits no reply for.
  noteServerRequestKey(kKeyNoOperation, link);
  if (flushServerLink(link)) return reportBrokenServerLink(link);
  return nullptr;
}

static void deleteInput(ServerLink* link, i64 at, u64 n) { bufferDeleteAt(&link->input, link->input.data + at, n); }

// A reply or error that a blocking wait takes out of the input never passes
// popServerSequence, so the ring still shows its request as owed; a server
// that leaves later must not make the proxy answer it in the server's place
// (a marker's GetAtomName answered with BadImplementation, a hook's request
// answered twice). Its slot becomes a request without an answer of its own.
static void settleTakenMessage(ServerLink* link, const u8* message) {
  SequenceSlot* slot = ringSlotOf(link, sequenceWidenBack(link->requestsSent, wireSequenceOf(link, message)));
  if (slot) slot->key = kKeyNoOperation;
}

// What a bounded wait gives up with: the answer lies behind more than the
// client may have waiting for it.
static const char kWaitGaveUp[] = "gave up";

// Whether a bounded wait goes on: what it read on the way (not dispatched
// while it waits) stays within what the client may have waiting, and the
// client still takes what it is given.
static bool withinWaitBound(const ServerLink* link) {
  return link->input.used <= kClientBacklogLimit && !(link->client && clientOutputBacklogged(link->client));
}

// Waits until the marker reply is in the input and removes it.
static const char* awaitMarker(ServerLink* link, bool bounded) {
  for (;;) {
    i64 at = findMessageBySequence(link, 1, link->syncMarkerSequence);
    while (at >= 0 && !isMarkerReply(link, link->input.data + at)) {
      LOGF(logChWarning, "Not sync reply (seq overrun?)");
      u64 next = at + serverMessageSize(link, link->input.data + at, link->input.used - at);
      at = -1;
      for (u64 p = next; p < link->input.used;) {
        u64 size = serverMessageSize(link, link->input.data + p, link->input.used - p);
        if (!size) break;
        const u8* m = link->input.data + p;
        if (m[0] == 1 && loadU16(m + 2) == link->syncMarkerSequence && isMarkerReply(link, m)) {
          at = static_cast<i64>(p);
          break;
        }
        p += size;
      }
      if (at < 0) break;
    }
    if (at >= 0) {
      settleTakenMessage(link, link->input.data + at);
      deleteInput(link, at, 36);
      return nullptr;
    }
    if (bounded && !withinWaitBound(link)) return kWaitGaveUp;
    if (const char* error = readServerLinkBlocking(link)) return error;
  }
}

// Hands the reply (or error) of the first hook to it; stops with a text when
// the server sent neither.
static const char* matchFirstHook(ServerLink* link) {
  ReplyHook* hook = link->hookHead;
  i64 at = findMessageBySequence(link, 1, hook->wireSequence);
  if (at >= 0) {
    u8* reply = link->input.data + at;
    u64 size = serverMessageSize(link, reply, link->input.used - at);
    u16 sequence = wireSequenceOf(link, reply);
    int ok = hook->callback(link, reply, hook->argument);
    settleTakenMessage(link, link->input.data + at);
    deleteInput(link, at, size);
    unlinkFirstHook(link);
    if (!ok) {
      LOGF(logChWarning, "Failed X reply order");
      return tmpPrintf("Failed X reply order: reply #%u from %s for %s was refused by its receiver", sequence,
                       link->server.displayName, clientNameText(link->client));
    }
    return nullptr;
  }
  u16 sequence = loadU16(reinterpret_cast<const u8*>(&hook->wireSequence), foreign(link));
  at = findMessageBySequence(link, 0, hook->wireSequence);
  if (at < 0)
    return tmpPrintf("No X reply #%u from %s for %s", sequence, link->server.displayName, clientNameText(link->client));
  u8* error = link->input.data + at;
  u8 code = error[1];
  if (code >= 128 && link->server.codes) code = link->server.codes->errorFromServer[code];
  u8 major = error[10];
  u16 minor = loadU16(error + 8, foreign(link));
  LOGF(logChXerror, "Unexpected X error %s 0x%x in %s #%u by %s from %s", getErrorName(code), loadU32(error + 4, foreign(link)),
       getRequestName(mapServerMajorToProxy(major, link), minor), sequence, clientNameText(link->client),
       link->server.displayName);
  settleTakenMessage(link, error);
  deleteInput(link, at, 32);
  unlinkFirstHook(link);
  return nullptr;
}

// `bounded`: the wait gives up (kWaitGaveUp) once the answer proves to lie
// behind more than the client may have waiting; the marker's answer then
// comes later as a round trip's of no one's.
static const char* matchServerReplyWithin(ServerLink* link, bool bounded) {
  // A wait must not outlive an exit that was asked for meanwhile.
  if (proxyLife.exitReason) exitProxy(proxyLife.exitReason, 0);
  link->busy = 1;
  // The messages waited for lie behind a reply still streaming.
  const char* error = awaitStreamedReplyEnd(link);
  if (!error) error = awaitMarker(link, bounded);
  ReplyHook* last = link->hookTail;
  while (!error && link->hookHead) {
    bool wasLast = link->hookHead == last;
    error = matchFirstHook(link);
    if (wasLast) break;
  }
  link->busy = 0;
  if ((!error || error == kWaitGaveUp) && link->input.used > link->parseOffset && link->readOrder) {
    // What else came in is dispatched from the loop, not from inside this wait.
    orderCancel(link->readOrder);
    link->readOrder = orderAddIdle(resumeServerLinkRead, link);
  }
  return error;
}

const char* matchServerReply(ServerLink* link) { return matchServerReplyWithin(link, false); }

bool linkWaitable(const ServerLink* link) {
  return !link->heldByServer && !(link->client && clientOutputBacklogged(link->client));
}

static const char* notWaitableText(const ServerLink* link) {
  return tmpPrintf("No round trip to %s for %s: %s", link->server.displayName, clientNameText(link->client),
                   link->heldByServer ? "the server holds the connection" : "the client reads nothing");
}

const char* syncServerLink(ServerLink* link) {
  if (!linkWaitable(link)) return notWaitableText(link);
  if (const char* error = sendSyncMarker(link)) return error;
  // A blocking wait is no idle time for the loop's keep-alive timer: the
  // heads' displays get their keep-alive here.
  pingHeadDisplays();
  return matchServerReply(link);
}

const char* syncClientLinks(ProxyClient* client) {
  for (ServerLink* link : linksOf(client))
    if (!linkWaitable(link)) return notWaitableText(link);
  const char* first = nullptr;
  for (ServerLink* link : linksOf(client)) {
    const char* error = sendSyncMarker(link);
    if (!first) first = error;
  }
  if (!first) pingHeadDisplays();
  for (ServerLink* link : linksOf(client)) {
    if (first) break;
    first = matchServerReply(link);
  }
  return first;
}

// A settle passes over a reply streaming to its client: what follows it
// is not needed before the client has taken that.
static bool settleable(const ServerLink* link) { return linkWaitable(link) && !link->streamRemaining; }

bool settleServerLink(ServerLink* link) {
  if (!settleable(link)) return false;
  const char* error = sendSyncMarker(link);
  if (!error) {
    pingHeadDisplays();
    error = matchServerReplyWithin(link, true);
  }
  if (error && error != kWaitGaveUp) LOGF(logChWarning, "%s", error);
  return !error;
}

bool settleClientLinks(ProxyClient* client) {
  bool all = true;
  const char* first = nullptr;
  u32 marked = 0;  // by server index
  for (ServerLink* link : linksOf(client)) {
    if (!settleable(link)) {
      all = false;
      continue;
    }
    if ((first = sendSyncMarker(link))) break;
    marked |= 1u << serverLinkIndex(link);
  }
  if (!first) pingHeadDisplays();
  for (ServerLink* link : linksOf(client)) {
    if (first || !(marked >> serverLinkIndex(link) & 1)) continue;
    const char* error = matchServerReplyWithin(link, true);
    if (error == kWaitGaveUp)
      all = false;
    else
      first = error;
  }
  if (first) LOGF(logChWarning, "%s", first);
  return all && !first;
}

}  // namespace palvon
