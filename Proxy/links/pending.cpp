// Pending requests: holding what servers answer until every server has
// passed the request, then releasing it in a fixed order.
#include "Proxy/links/pending.h"

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/pool.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/streamedreply.h"
#include "Proxy/resources/resource.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

// Entries are recycled; the serial counter is process-wide.
PendingRequest* freeEntries = nullptr;
u64 nextSerial = 0;
u64 nextBatch = 0;

// Events, errors and the shortest replies are 32 bytes: their holders are
// recycled.
constexpr u32 kSmallMessage = 32;
BlockPool<sizeof(HeldMessage) + kSmallMessage> smallMessages;

constexpr u8 kEnterNotify = 7;
constexpr u8 kLeaveNotify = 8;
constexpr u8 kFocusIn = 9;
constexpr u8 kKeymapNotify = 11;
constexpr u8 kExpose = 12;
constexpr u8 kGraphicsExpose = 13;
constexpr u8 kNoExpose = 14;
constexpr u8 kGenericEvent = 35;

bool isKeymapNotify(const u8* event) {
  return (event[0] & 0x7f) == kKeymapNotify || (event[0] == kGenericEvent && get32(event + 8) == kKeymapNotify);
}

// A server's KeymapNotify follows the EnterNotify or FocusIn it belongs to;
// one a client sent with SendEvent stands alone, and one whose crossing the
// handler judged the client's goes without it.
bool keymapWithoutItsCrossing(const ProxyClient* client, const u8* event, uintptr_t tag) {
  return isKeymapNotify(event) && !(event[0] & 0x80) && !(tag & kKeymapOfItsCrossing) &&
         client->lastMessageType != kEnterNotify && client->lastMessageType != kFocusIn;
}

u32 eventLength(const u8* event) { return event[0] == kGenericEvent ? 32 + 4 * get32(event + 4) : 32; }

// A client sequence from the 16 bits a message carries: the newest request
// of the client with those low bits.
u64 clientSequenceOf(const ProxyClient* client, u16 wire) {
  return sequenceWidenBack(client->requestCounter, wire);
}

Region* regionOf(const HeldMessage* message) { return reinterpret_cast<Region*>(message->tag); }

// The area of an Expose or GraphicsExpose (x, y, width, height at byte 8).
Region* exposureRegion(const u8* event) {
  return regionCreateRect(static_cast<i16>(get16(event + 8)), static_cast<i16>(get16(event + 10)), get16(event + 12),
                          get16(event + 14));
}

void append(HeldList* list, HeldMessage* message) {
  message->next = nullptr;
  if (list->tail)
    list->tail->next = message;
  else
    list->head = message;
  list->tail = message;
}

void freeHeld(HeldMessage* message) {
  u8 code = message->bytes[0] & 0x7f;
  if ((code == kExpose || code == kGraphicsExpose) && message->tag) regionDestroy(regionOf(message));
  if (message->length <= kSmallMessage)
    smallMessages.give(message);
  else
    std::free(message);
}

void freeList(HeldList* list) {
  for (HeldMessage* m = list->head; m;) {
    HeldMessage* next = m->next;
    freeHeld(m);
    m = next;
  }
  list->head = list->tail = nullptr;
}

// Another server's exposure of the same window (or the same drawable and
// request) is merged into the one already held: the client sees it once.
bool mergeExposure(PendingRequest* entry, const u8* event, Region* region) {
  u8 code = event[0] & 0x7f;
  if (!region || (code != kExpose && code != kGraphicsExpose)) return false;
  for (HeldMessage* m = entry->exposures.head; m; m = m->next) {
    const u8* held = m->bytes;
    if ((held[0] & 0x7f) != code || !m->tag || get32(held + 4) != get32(event + 4)) continue;
    if (code == kGraphicsExpose && (held[30] != event[30] || get16(held + 16) != get16(event + 16))) continue;
    regionUnion(regionOf(m), regionOf(m), region);
    regionDestroy(region);
    return true;
  }
  return false;
}

// x, y, width and height of an exposure event at byte 8.
void putBox(u8* event, const RegionBox& box) {
  put16(event + 8, static_cast<u16>(box.x1));
  put16(event + 10, static_cast<u16>(box.y1));
  put16(event + 12, static_cast<u16>(box.x2 - box.x1));
  put16(event + 14, static_cast<u16>(box.y2 - box.y1));
}

void writeExpose(ProxyClient* client, const u8* from, const RegionBox& box, u16 count) {
  u8 event[32] = {};
  event[0] = kExpose;
  put16(event + 2, get16(from + 2));
  put32(event + 4, get32(from + 4));
  putBox(event, box);
  put16(event + 16, count);
  writeToClient(event, 32, coreEventLayout(kExpose), client);
}

void writeGraphicsExpose(ProxyClient* client, const u8* from, const RegionBox& box, u16 count) {
  u8 event[32];
  std::memcpy(event, from, 32);
  putBox(event, box);
  put16(event + 18, count);
  writeToClient(event, 32, coreEventLayout(kGraphicsExpose), client);
}

void writeRegionExposes(ProxyClient* client, const u8* from, const Region* region) {
  long n = regionNumRects(region);
  const RegionBox* boxes = regionRects(region);
  for (long i = 0; i < n; i++) writeExpose(client, from, boxes[i], static_cast<u16>(n - 1 - i));
}

// A GraphicsExpose without an area of its own (its region could not be
// made) still follows the workarounds when it exposes a window; a pixmap has
// no Expose.
void flushBareGraphicsExpose(ProxyClient* client, HeldMessage* m) {
  if (lookupPixmap(get32(m->bytes + 4))) {
    writeToClient(m->bytes, m->length, m->layout, client);
    return;
  }
  u8 event[32];
  std::memcpy(event, m->bytes, 32);
  event[0] = kExpose;
  u32 exposeWorkarounds = proxyConfig.workarounds;
  if (exposeWorkarounds & (kExposeBeforeGraphicsExpose | kExposeInsteadOfGraphicsExpose))
    writeToClient(event, 32, m->layout, client);
  if (!(exposeWorkarounds & kExposeInsteadOfGraphicsExpose)) writeToClient(m->bytes, m->length, m->layout, client);
  if (exposeWorkarounds & kExposeAfterGraphicsExpose) writeToClient(event, 32, m->layout, client);
}

void flushGraphicsExpose(ProxyClient* client, HeldMessage* m) {
  const Region* region = regionOf(m);
  if (!region) {
    flushBareGraphicsExpose(client, m);
    return;
  }
  long n = regionNumRects(region);
  if (n == 0) {
    u8 event[32] = {};
    event[0] = kNoExpose;
    put16(event + 2, get16(m->bytes + 2));
    put32(event + 4, get32(m->bytes + 4));
    put16(event + 8, get16(m->bytes + 16));  // minor opcode
    event[10] = m->bytes[20];                // major opcode
    writeToClient(event, 32, coreEventLayout(kNoExpose), client);
    return;
  }
  u32 exposeWorkarounds = proxyConfig.workarounds;
  if (exposeWorkarounds & (kExposeBeforeGraphicsExpose | kExposeInsteadOfGraphicsExpose))
    writeRegionExposes(client, m->bytes, region);
  if (!(exposeWorkarounds & kExposeInsteadOfGraphicsExpose)) {
    const RegionBox* boxes = regionRects(region);
    for (long i = 0; i < n; i++) writeGraphicsExpose(client, m->bytes, boxes[i], static_cast<u16>(n - 1 - i));
  }
  if (exposeWorkarounds & kExposeAfterGraphicsExpose) writeRegionExposes(client, m->bytes, region);
}

void flushExposures(ProxyClient* client, HeldList* list) {
  for (HeldMessage* m = list->head; m; m = m->next) {
    u8 code = m->bytes[0] & 0x7f;
    if (code == kExpose && m->tag)
      writeRegionExposes(client, m->bytes, regionOf(m));
    else if (code == kGraphicsExpose)
      flushGraphicsExpose(client, m);
    else
      writeToClient(m->bytes, m->length, m->layout, client);
  }
}

// --- Focus changes over several screens --------------------------------------------------------

// A plain server tells a focus change screen by screen: every FocusOut, then
// every FocusIn (between PointerRoot and None each screen's out and in
// together), and on a screen the pointer's way out before the root's
// PointerRoot or None, its way in after it. Servers of different screens
// tell theirs at their own pace, and the proxy tells the roots'
// PointerRoot and None itself: the focus events one request left are put
// back in that order. Other messages keep their places.
constexpr u32 kMostFocusEvents = 64;
constexpr u8 kFocusOut = 10;
constexpr u8 kDetailPointer = 5;

bool isFocusEvent(const HeldMessage* m) {
  u8 code = m->bytes[0];  // not one sent with SendEvent
  return code == kFocusIn || code == kFocusOut;
}

u32 focusOrderKey(const u8* event, bool screenByScreen) {
  const MetaScreen* screen = lookupScreenOfXid(get32(event + 4));
  u32 number = screen ? screen->number & 0xffff : 0;
  u32 in = event[0] == kFocusIn ? 1 : 0;
  bool rootFocus = event[1] > kDetailPointer;
  u32 rank = (rootFocus ? 1 : 0) ^ in;
  return screenByScreen ? number << 8 | in << 4 | rank : in << 24 | number << 8 | rank;
}

void orderFocusEvents(HeldList* list) {
  HeldMessage* focus[kMostFocusEvents];
  u32 n = 0;
  bool screenByScreen = true;
  for (HeldMessage* m = list->head; m; m = m->next) {
    if (!isFocusEvent(m)) continue;
    if (n == kMostFocusEvents) return;
    focus[n++] = m;
    screenByScreen = screenByScreen && m->bytes[1] >= kDetailPointer;
  }
  if (n < 2) return;
  u32 keys[kMostFocusEvents];
  HeldMessage* sorted[kMostFocusEvents];
  for (u32 i = 0; i < n; i++) {
    // A stable insertion: equal keys keep the order their server told.
    u32 key = focusOrderKey(focus[i]->bytes, screenByScreen), at = i;
    for (; at > 0 && keys[at - 1] > key; at--) keys[at] = keys[at - 1], sorted[at] = sorted[at - 1];
    keys[at] = key, sorted[at] = focus[i];
  }
  // The sorted events take the places the focus events held; a focus
  // event's own link may be rewritten before its place is reached.
  HeldMessage* following[kMostFocusEvents];
  for (u32 i = 0; i < n; i++) following[i] = focus[i]->next;
  HeldMessage** link = &list->head;
  HeldMessage* last = nullptr;
  u32 seen = 0;
  for (HeldMessage* m = list->head; m;) {
    bool isFocus = seen < n && m == focus[seen];
    HeldMessage* put = isFocus ? sorted[seen] : m;
    HeldMessage* after = isFocus ? following[seen++] : m->next;
    *link = put;
    link = &put->next;
    last = put;
    m = after;
  }
  *link = nullptr;
  list->tail = last;
}

void flushOthers(ProxyClient* client, HeldList* list) {
  orderFocusEvents(list);
  for (HeldMessage* m = list->head; m; m = m->next) {
    u8 code = m->bytes[0] & 0x7f;
    if ((code == kEnterNotify || code == kLeaveNotify) && !(m->tag & kCrossingDelivered)) continue;
    if (m->bytes[0] != 0 && m->bytes[0] != 1 && keymapWithoutItsCrossing(client, m->bytes, m->tag)) continue;
    writeToClient(m->bytes, m->length, m->layout, client);
  }
}

void syncTail(ProxyClient* client) {
  client->pendingTail = client->pendingHead ? client->pendingHead->previous : nullptr;
}

void unlinkEntry(ProxyClient* client, PendingRequest* entry) {
  if (entry->batch == 0) {
    for (PendingRequest** at = &client->unarmedPending; *at; at = &(*at)->nextUnarmed) {
      if (*at != entry) continue;
      *at = entry->nextUnarmed;
      break;
    }
  }
  PendingRequest*& head = client->pendingHead;
  if (entry == head) {
    head = entry->next;
    if (head) head->previous = entry->previous;
  } else {
    entry->previous->next = entry->next;
    if (entry->next)
      entry->next->previous = entry->previous;
    else
      head->previous = entry->previous;
  }
  client->pendingCount--;
  syncTail(client);
}

// A client held back by the number of its entries reads again once they
// drain (resumeClientIo checks every other reason to wait).
void resumeIfDrained(ProxyClient* client) {
  if (client->transport && !client->readOrder && client->pendingCount < kPendingEntryLimit) resumeClientIo(client);
}

// What a quiet link's server sends of its own accord carries the sequence
// of the last request it was sent: that request now stands for the client's
// request of `sequence`.
void advanceQuietLink(ServerLink* link, u64 sequence) {
  relabelServerSequence(link, link->requestsSent, static_cast<u16>(sequence));
}

// Whether an entry of the sequence is waiting.
bool heldAt(const ProxyClient* client, u64 sequence) {
  PendingRequest* head = client->pendingHead;
  if (!head) return false;
  for (PendingRequest* e = head->previous; e->sequence >= sequence; e = e->previous) {
    if (e->sequence == sequence) return true;
    if (e == head) break;
  }
  return false;
}

// Messages may be written straight to the client when nothing older still
// waits and no server but the one speaking (currentLink) owes an answer:
// one server, or the others quiet. A quiet server's later messages then
// carry this sequence (or a later one), as a plain server's would, so the
// client never sees its sequence numbers go back.
bool deliverNow(ProxyClient* client, u64 sequence) {
  PendingRequest* head = client->pendingHead;
  if (head && head->sequence <= sequence) return false;
  if (client->linkCount < 2 || openLinkCount(client) < 2) return true;
  for (ServerLink* link : linksOf(client))
    if (link != currentLink && !serverLinkQuiet(link)) return false;
  for (ServerLink* link : linksOf(client))
    if (link != currentLink) advanceQuietLink(link, sequence);
  return true;
}

// Inside the client's parse or a dispatch of one of its links, new entries
// get their round trips with the links' next flush; anywhere else now
// (after the message that made the entry is held on it).
void armUnlessDispatching(ProxyClient* client) {
  if (!client->unarmedPending) return;
  bool deferred = client->dispatching || (currentLink && currentLink->client == client && currentLink->dispatching);
  if (!deferred) armPendingRequests(client);
}

// Older entries are always released first.
void flushThrough(ProxyClient* client, PendingRequest* last) {
  while (client->pendingHead && client->pendingHead != last) flushPendingRequest(client->pendingHead, client);
  if (client->pendingHead == last) flushPendingRequest(last, client);
}

PendingRequest* entryFor(ProxyClient* client, u64 sequence) {
  ServerLink* link = currentLink;
  PendingRequest* entry = nullptr;
  if (link) entry = findPendingRequest(client, sequence, link->server.serverIndex, link->lastServerSequence);
  return entry ? entry : insertPendingRequest(client, sequence, 0);
}

}  // namespace


HeldMessage* findHeldMessage(const HeldList* list, HeldMatch match, const void* argument) {
  for (HeldMessage* m = list->head; m; m = m->next)
    if (match(m, argument)) return m;
  return nullptr;
}

void dropHeldMessage(HeldList* list, HeldMessage* message) {
  HeldMessage* before = nullptr;
  for (HeldMessage* m = list->head; m; before = m, m = m->next) {
    if (m != message) continue;
    if (before)
      before->next = m->next;
    else
      list->head = m->next;
    if (list->tail == m) list->tail = before;
    freeHeld(m);
    return;
  }
}

void replaceHeldExposure(HeldMessage* held, const u8* event, const char* layout) {
  u8 code = held->bytes[0] & 0x7f;
  if ((code == kExpose || code == kGraphicsExpose) && held->tag) regionDestroy(regionOf(held));
  std::memcpy(held->bytes, event, 32);
  held->layout = layout;
  code = event[0] & 0x7f;
  held->tag = code == kExpose || code == kGraphicsExpose ? reinterpret_cast<uintptr_t>(exposureRegion(event)) : 0;
}


PendingRequest* allocPendingRequest(ProxyClient*, u64 sequence, u16 key) {
  PendingRequest* entry = freeEntries;
  if (entry) {
    freeEntries = entry->next;
  } else {
    entry = static_cast<PendingRequest*>(memAlloc(sizeof(PendingRequest)));
    if (!entry) {
      PALVON_OOM();
      return nullptr;
    }
  }
  std::memset(entry, 0, sizeof(PendingRequest));
  entry->sequence = sequence;
  entry->key = key;
  entry->serial = ++nextSerial;
  return entry;
}

bool othersQuiet(const ProxyClient* client) {
  u32 busy = 0;
  for (ServerLink* link : linksOf(client)) busy += !serverLinkQuiet(link);
  return busy < 2;
}

void armPendingOnServers(PendingRequest*, ProxyClient* client) { armPendingRequests(client); }

void armPendingRequests(ProxyClient* client) {
  PendingRequest* unarmed = client->unarmedPending;
  if (!unarmed) return;
  client->unarmedPending = nullptr;
  u64 batch = ++nextBatch;
  u8 outstanding = 0;
  u64 roundTrips[kMaxPendingServers] = {};
  for (ServerLink* link : linksOf(client)) {
    u32 index = link->server.serverIndex;
    if (link->descriptor < 0 || index >= kMaxPendingServers) continue;
    roundTrips[index] = queueRoundTripCallback(link, completeHeadReply, reinterpret_cast<void*>(batch), nullptr);
    if (roundTrips[index]) outstanding++;
  }
  PendingRequest* last = nullptr;
  for (PendingRequest* entry = unarmed; entry; entry = entry->nextUnarmed) {
    entry->batch = batch;
    entry->outstandingServers = outstanding;
    std::memcpy(entry->roundTrips, roundTrips, sizeof roundTrips);
    if (!last || entry->sequence > last->sequence) last = entry;
  }
  // No server can answer: what the entries hold goes out now.
  if (outstanding == 0 && last) {
    flushThrough(client, last);
    resumeIfDrained(client);
  }
}

PendingRequest* insertPendingRequest(ProxyClient* client, u64 sequence, u16 key) {
  PendingRequest* entry = allocPendingRequest(client, sequence, key);
  if (!entry) return nullptr;
  PendingRequest*& head = client->pendingHead;
  // The first entry of a later sequence, searched from the tail: null when
  // the new entry goes last, as it almost always does.
  PendingRequest* before = nullptr;
  if (head) {
    for (PendingRequest* e = head->previous; e->sequence > sequence; e = e->previous) {
      before = e;
      if (e == head) break;
    }
  }
  client->pendingCount++;
  if (!head) {
    entry->previous = entry;
    head = entry;
  } else if (!before) {
    entry->previous = head->previous;
    head->previous->next = entry;
    head->previous = entry;
  } else {
    entry->next = before;
    entry->previous = before->previous;
    if (before == head)
      head = entry;
    else
      before->previous->next = entry;
    before->previous = entry;
  }
  syncTail(client);
  entry->nextUnarmed = client->unarmedPending;
  client->unarmedPending = entry;
  return entry;
}

PendingRequest* noteRequestWithoutReply(const u8* request) {
  ProxyClient* client = currentClient;
  PendingRequest* entry = insertPendingRequest(client, client->requestCounter, get16(request));
  armUnlessDispatching(client);
  return entry;
}

PendingRequest* findPendingRequest(ProxyClient* client, u64 sequence, u32 serverIndex, u64 serverSequence) {
  for (PendingRequest* entry = client->pendingHead; entry; entry = entry->next) {
    if (entry->sequence > sequence) break;
    // An entry without its round trips yet has been passed by no server.
    if (entry->sequence == sequence && (entry->batch == 0 || serverIndex >= kMaxPendingServers ||
                                        serverSequence <= entry->roundTrips[serverIndex]))
      return entry;
  }
  return nullptr;
}

void holdMessage(const u8* message, u32 length, const char* layout, uintptr_t tag, PendingRequest* entry) {
  u8 code = message[0];
  if (code == 0) {
    if (entry->errorHeld) return;
    entry->errorHeld = 1;
  }
  if ((code == kExpose || code == kGraphicsExpose) && mergeExposure(entry, message, reinterpret_cast<Region*>(tag)))
    return;
  auto* held = static_cast<HeldMessage*>(length <= kSmallMessage ? smallMessages.take()
                                                                  : memAlloc(sizeof(HeldMessage) + length));
  if (!held) {
    PALVON_OOM();
    if ((code == kExpose || code == kGraphicsExpose) && tag) regionDestroy(reinterpret_cast<Region*>(tag));
    return;
  }
  held->length = length;
  held->layout = layout;
  held->tag = tag;
  std::memcpy(held->bytes, message, length);
  if (code >= kExpose && code <= kNoExpose)
    append(&entry->exposures, held);
  else if (code == 15)
    append(&entry->visibility, held);
  else if (code >= 16 && code <= 27)
    append(&entry->structure, held);
  else
    append(&entry->others, held);
}

namespace {

void holdMessageAt(u64 sequence, const u8* message, u32 length, const char* layout, uintptr_t tag,
                   ProxyClient* client) {
  // From the tail back to the first entry not after the sequence: one step
  // for the request being handled, whatever the list holds.
  PendingRequest* entry = nullptr;
  if (PendingRequest* head = client->pendingHead) {
    for (PendingRequest* e = head->previous; e->sequence >= sequence; e = e->previous) {
      if (e->sequence == sequence) {
        entry = e;
        break;
      }
      if (e == head) break;
    }
  }
  if (!entry) entry = insertPendingRequest(client, sequence, 0);
  if (!entry) {
    PALVON_UNE();
    return;
  }
  holdMessage(message, length, layout, tag, entry);
  armUnlessDispatching(client);
}

}  // namespace

void holdMessageForSequence(const u8* message, u32 length, const char* layout, ProxyClient* client) {
  holdMessageAt(clientSequenceOf(client, get16(message + 2)), message, length, layout, 0, client);
}

bool replyDeliverableNow(ProxyClient* client, u16 sequence) {
  return deliverNow(client, clientSequenceOf(client, sequence));
}

void sendReplyToClient(const u8* reply, u32 length, const char* layout) {
  ProxyClient* client = currentClient;
  if (!client || !client->transport) return;
  u64 sequence = clientSequenceOf(client, client->sequenceAnswered);
  // A reply whose body is still arriving cannot be held: it goes now or
  // its offer is refused.
  if (replyStreamOffer && replyStreamOffer->reply == reply)
    return takeReplyStream(client, deliverNow(client, sequence), reply, length);
  if (deliverNow(client, sequence)) {
    writeToClient(reply, length, layout, client);
    return;
  }
  if (PendingRequest* entry = entryFor(client, sequence)) holdMessage(reply, length, layout, 0, entry);
  armUnlessDispatching(client);
}

void sendEventToClient(const u8* event, const char* layout, uintptr_t tag) {
  ProxyClient* client = currentClient;
  u8 code = event[0] & 0x7f;
  bool exposure = (code == kExpose || code == kGraphicsExpose) && event[0] != kGenericEvent;
  if (!client || !client->transport) {
    if (exposure && tag) regionDestroy(reinterpret_cast<Region*>(tag));
    return;
  }
  bool keymap = isKeymapNotify(event);
  // An event of a server that has not seen the client's latest requests,
  // behind one the proxy composed and held at the latest: it happened
  // after that one, and goes after it with its number (sequence numbers
  // never go back for the client's library).
  u8 raised[32];
  if (!keymap && !exposure && event[0] != kGenericEvent && client->composedHeldAt &&
      clientSequenceOf(client, get16(event + 2)) < client->composedHeldAt && heldAt(client, client->composedHeldAt)) {
    std::memcpy(raised, event, 32);
    put16(raised + 2, u16(client->composedHeldAt));
    event = raised;
  }
  if (!keymap) client->lastEventSequence = get16(event + 2);
  u64 sequence = clientSequenceOf(client, keymap ? client->lastEventSequence : get16(event + 2));
  if (deliverNow(client, sequence)) {
    if (exposure && tag) regionDestroy(reinterpret_cast<Region*>(tag));
    if (keymapWithoutItsCrossing(client, event, tag)) return;
    // A crossing the handler did not mark for the client is dropped here as
    // it is when it was held.
    if ((code == kEnterNotify || code == kLeaveNotify) && event[0] != kGenericEvent && !(tag & kCrossingDelivered))
      return;
    writeToClient(event, eventLength(event), layout, client);
    return;
  }
  PendingRequest* entry = entryFor(client, sequence);
  if (!entry) {
    if (exposure && tag) regionDestroy(reinterpret_cast<Region*>(tag));
    return;
  }
  // A held exposure travels with its area, so that several servers'
  // reports of one request reach the client once; made only now, when the
  // event is held.
  if (exposure && !tag) tag = reinterpret_cast<uintptr_t>(exposureRegion(event));
  holdMessage(event, eventLength(event), layout, tag, entry);
  armUnlessDispatching(client);
}

void sendErrorToClient(const u8* error, const char* layout) {
  ProxyClient* client = currentClient;
  if (!client || !client->transport) return;
  PendingRequest* entry = entryFor(client, clientSequenceOf(client, client->sequenceAnswered));
  if (!entry) {
    PALVON_UNE();
    return;
  }
  holdMessage(error, 32, layout, 0, entry);
  armUnlessDispatching(client);
}

void sendComposedReply(u8, u16, u8* reply, u32 length, const char* layout, ProxyClient* client) {
  sendComposedReplyAt(client->requestCounter, reply, length, layout, client);
}

void sendComposedReplyAt(u64 sequence, u8* reply, u32 length, const char* layout, ProxyClient* client) {
  // Type, sequence and length are written here, so that no handler can
  // leave one out: a reply with another sequence is dropped by the
  // client's library or ends its connection.
  reply[0] = 1;
  put16(reply + 2, static_cast<u16>(sequence));
  put32(reply + 4, (length - 32) / 4);
  holdMessageForSequence(reply, length, layout, client);
}

u16 composedEventSequence(const ProxyClient* client) {
  bool answering = currentLink && currentLink->client == client && currentClient == client;
  return answering ? client->sequenceAnswered : u16(client->requestCounter);
}

void sendComposedEvent(const u8* event, const char* layout, ProxyClient* client) {
  if (!client->transport) return;
  // A KeymapNotify has no sequence number: it goes with the request being
  // handled, after the EnterNotify or FocusIn composed for it. A composed
  // crossing is one the client is to see.
  bool keymap = isKeymapNotify(event);
  u64 sequence = keymap ? client->requestCounter : clientSequenceOf(client, get16(event + 2));
  u8 code = event[0] & 0x7f;
  bool crossing = (code == kEnterNotify || code == kLeaveNotify) && event[0] != kGenericEvent;
  holdMessageAt(sequence, event, eventLength(event), layout, crossing ? kCrossingDelivered : 0, client);
  client->composedHeldAt = u32(sequence);
}

void completeHeadReply(const u8*, void* batchArgument) {
  ServerLink* link = currentLink;
  if (!link || !link->client) return;
  ProxyClient* client = link->client;
  u64 batch = reinterpret_cast<uintptr_t>(batchArgument);
  PendingRequest* last = nullptr;
  for (PendingRequest* entry = client->pendingHead; entry; entry = entry->next) {
    if (entry->batch != batch) continue;
    if (entry->outstandingServers > 0) entry->outstandingServers--;
    last = entry;
  }
  if (last && last->outstandingServers == 0) {
    flushThrough(client, last);
    resumeIfDrained(client);
  }
}

void flushPendingRequest(PendingRequest* entry, ProxyClient* client) {
  for (HeldMessage* m = entry->structure.head; m; m = m->next) writeToClient(m->bytes, m->length, m->layout, client);
  for (HeldMessage* m = entry->visibility.head; m; m = m->next) writeToClient(m->bytes, m->length, m->layout, client);
  flushExposures(client, &entry->exposures);
  flushOthers(client, &entry->others);
  freeList(&entry->structure);
  freeList(&entry->visibility);
  freeList(&entry->exposures);
  freeList(&entry->others);
  unlinkEntry(client, entry);
  entry->next = freeEntries;
  freeEntries = entry;
}

void freePendingRequests(ProxyClient* client) {
  while (PendingRequest* entry = client->pendingHead) {
    freeList(&entry->structure);
    freeList(&entry->visibility);
    freeList(&entry->exposures);
    freeList(&entry->others);
    unlinkEntry(client, entry);
    std::free(entry);
  }
}

}  // namespace palvon
