#include "Xext/shm/ring.h"

#include <cstdlib>

#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Xext/shm/pool.h"
#include "Xext/shm/shm.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

// Marks not yet answered that a ring keeps: one a quarter, and more for a
// ring found full or idle before its quarter.
constexpr u32 kRingMarks = 8;
// Images start on cache lines of their own.
constexpr u64 kRingAlignment = 64;

struct ImageRing {
  ImageRing* next;   // every ring
  ServerLink* link;  // null once the link closed
  PooledSegment* loan;
  u32 serverId;
  // Byte counts since the ring was made, the room skipped at each wrap
  // included: handed out, known read by the server, and handed out when
  // the last mark went.
  u64 written;
  u64 released;
  u64 marked;
  u64 marks[kRingMarks];  // `written` at each mark not yet ended, oldest first
  u32 firstMark, markCount;
  bool used;      // took an image since the last trim
  bool answered;  // between a mark's answer and its end
  bool lost;      // a mark ended unanswered: the server may read the ring still
};

namespace {

ImageRing* rings;
u32 ringCount;
Order* trimOrder;

u64 ringSize(const ImageRing* ring) { return ring->loan->segment->size; }

// Once the link has let the ring go and every mark has ended: the segment
// goes back to the pool when the server was seen to read all of it, else
// it is removed.
void endRing(ImageRing* ring) {
  for (ImageRing** at = &rings; *at; at = &(*at)->next) {
    if (*at != ring) continue;
    *at = ring->next;
    break;
  }
  ringCount--;
  if (!ring->lost && ring->released == ring->written) answerPooledSegment(ring->loan);
  releasePooledSegment(ring->loan);
  std::free(ring);
}

void markAnswered(const u8*, void* argument) {
  auto* ring = static_cast<ImageRing*>(argument);
  ring->released = ring->marks[ring->firstMark];
  ring->firstMark = (ring->firstMark + 1) % kRingMarks;
  ring->markCount--;
  ring->answered = true;
}

// Right after markAnswered, or alone when the round trip ended unanswered
// (the link closed first).
void markEnded(void* argument) {
  auto* ring = static_cast<ImageRing*>(argument);
  if (!ring->answered) {
    ring->lost = true;
    ring->firstMark = (ring->firstMark + 1) % kRingMarks;
    ring->markCount--;
  }
  ring->answered = false;
  if (!ring->link && !ring->markCount) endRing(ring);
}

void mark(ImageRing* ring) {
  if (ring->markCount == kRingMarks || ring->marked == ring->written) return;
  u32 slot = (ring->firstMark + ring->markCount) % kRingMarks;
  ring->marks[slot] = ring->written;
  ring->markCount++;
  if (!queueRoundTripCallback(ring->link, markAnswered, ring, markEnded)) {
    ring->markCount--;
    return;
  }
  ring->marked = ring->written;
}

// The link lets its ring go: what the link's server keeps attached goes
// when the link stays.
void leaveRing(ImageRing* ring) {
  if (ServerLink* link = ring->link) {
    link->imageRing = nullptr;
    ring->link = nullptr;
  }
  if (!ring->markCount) endRing(ring);
}

// A ring that took no image for a whole period goes once its server has
// read it; one not yet known read gets a mark, to know it by the next.
void trimRings(void*) {
  trimOrder = nullptr;
  for (ImageRing* ring = rings; ring;) {
    ImageRing* next = ring->next;
    if (ring->used) {
      ring->used = false;
    } else if (ring->link && ring->released == ring->written && !ring->markCount) {
      requestShmDetach(ring->link, ring->serverId);
      leaveRing(ring);
    } else if (ring->link) {
      mark(ring);
    }
    ring = next;
  }
  if (rings) trimOrder = orderAddTimer(kImageRingIdleMs, trimRings, nullptr);
}

ImageRing* makeRing(ServerLink* link, ProxyClient* client, const Head* head) {
  u32 id = allocProxyXid(client);
  u32 serverId = id ? translateXid(id, RT_SERVER_ID, head) : 0;
  if (!serverId) return nullptr;
  PooledSegment* loan = lendPooledSegment(kImageRingBytes);
  if (!loan) return nullptr;
  auto* ring = static_cast<ImageRing*>(std::calloc(1, sizeof(ImageRing)));
  if (!ring) {
    PALVON_OOM();
    releasePooledSegment(loan);
    return nullptr;
  }
  // The ring's own hold, answered at its end when the server read it all.
  holdPooledSegment(loan);
  ring->link = link;
  ring->loan = loan;
  ring->serverId = serverId;
  ring->next = rings;
  rings = ring;
  ringCount++;
  link->imageRing = ring;
  requestShmAttach(link, serverId, u32(loan->segment->segmentId), 1);
  if (!trimOrder) trimOrder = orderAddTimer(kImageRingIdleMs, trimRings, nullptr);
  return ring;
}

}  // namespace

bool takeImageRingRoom(ServerLink* link, ProxyClient* client, const Head* head, u64 bytes, ImageRoom* room) {
  if (!bytes || bytes > kRingImageMaxBytes) return false;
  ImageRing* ring = link->imageRing;
  if (!ring && !(ring = makeRing(link, client, head))) return false;
  ring->used = true;
  u64 size = ringSize(ring);
  u64 need = (bytes + kRingAlignment - 1) / kRingAlignment * kRingAlignment;
  u64 at = ring->written % size;
  u64 skip = at + need > size ? size - at : 0;
  if (ring->written + skip + need - ring->released > size) {
    // Full: a mark behind the images not yet marked frees their room soon.
    mark(ring);
    return false;
  }
  ring->written += skip;
  u64 offset = ring->written % size;
  ring->written += need;
  *room = {ring->loan->segment->address + offset, ring->serverId, u32(offset)};
  return true;
}

void imageRingPutWritten(ServerLink* link) {
  ImageRing* ring = link->imageRing;
  if (ring && ring->written - ring->marked >= ringSize(ring) / 4) mark(ring);
}

void dropImageRing(ServerLink* link) {
  if (link->imageRing) leaveRing(link->imageRing);
}

void forgetImageRings() {
  trimOrder = nullptr;
  while (ImageRing* ring = rings) {
    rings = ring->next;
    if (ring->link) ring->link->imageRing = nullptr;
    std::free(ring);
  }
  ringCount = 0;
}

u32 imageRingCount() { return ringCount; }

}  // namespace palvon
