#include "Xext/shm/pool.h"

#include <cstdlib>

#include "Proxy/servers/display.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

namespace {

PooledSegment* idle;  // smallest first
PooledSegment* all;
u64 heldBytes;
u64 made;
Order* trimOrder;
u64 lastSerial;

void destroy(PooledSegment* loan, bool running = true) {
  if (running && pooledSegmentGone) pooledSegmentGone(loan->serial);
  for (PooledSegment** at = &all; *at; at = &(*at)->nextAll) {
    if (*at != loan) continue;
    *at = loan->nextAll;
    break;
  }
  heldBytes -= loan->segment->size;
  destroyShmSegment(loan->segment);
  std::free(loan);
}

// The smallest idle segment that holds `bytes` without wasting more than
// as much again, unlinked; null when there is none.
PooledSegment* takeIdle(u64 bytes) {
  for (PooledSegment** at = &idle; *at; at = &(*at)->next) {
    PooledSegment* s = *at;
    if (s->segment->size < bytes) continue;
    if (s->segment->size > 2 * bytes + 65536) return nullptr;
    *at = s->next;
    return s;
  }
  return nullptr;
}

// Idle segments go after two periods without a loan.
void trimIdle(void*) {
  trimOrder = nullptr;
  for (PooledSegment** at = &idle; *at;) {
    PooledSegment* s = *at;
    if (++s->idleTicks < 2) {
      at = &s->next;
      continue;
    }
    *at = s->next;
    destroy(s);
  }
  if (idle) trimOrder = orderAddTimer(kShmPoolIdleMs, trimIdle, nullptr);
}

}  // namespace

void (*pooledSegmentGone)(u64 serial);

PooledSegment* lendPooledSegment(u64 bytes) {
  if (bytes == 0 || bytes > kShmPoolBytes) return nullptr;
  PooledSegment* loan = takeIdle(bytes);
  // Idle segments of other sizes make room for one that fits.
  while (!loan && heldBytes + bytes > kShmPoolBytes && idle) {
    PooledSegment* largest = idle;
    PooledSegment** at = &idle;
    for (PooledSegment** p = &idle; *p; p = &(*p)->next) {
      if ((*p)->segment->size >= largest->segment->size) {
        largest = *p;
        at = p;
      }
    }
    *at = largest->next;
    destroy(largest);
  }
  if (!loan) {
    if (heldBytes + bytes > kShmPoolBytes) return nullptr;
    ShmSegment* segment = createShmSegment(bytes, false);
    if (!segment) return nullptr;
    loan = static_cast<PooledSegment*>(memAlloc(sizeof(PooledSegment)));
    if (!loan) {
      destroyShmSegment(segment);
      PALVON_OOM();
      return nullptr;
    }
    loan->segment = segment;
    loan->serial = ++lastSerial;
    loan->nextAll = all;
    all = loan;
    heldBytes += segment->size;
    made++;
  }
  loan->next = nullptr;
  loan->holds = loan->held = loan->answers = 0;
  return loan;
}

void holdPooledSegment(PooledSegment* loan) {
  loan->holds++;
  loan->held++;
}

void answerPooledSegment(PooledSegment* loan) { loan->answers++; }

void releasePooledSegment(PooledSegment* loan) {
  if (!loan) return;
  if (loan->holds > 0 && --loan->holds > 0) return;
  if (loan->answers != loan->held) {
    destroy(loan);
    return;
  }
  PooledSegment** at = &idle;
  while (*at && (*at)->segment->size < loan->segment->size) at = &(*at)->next;
  loan->next = *at;
  loan->idleTicks = 0;
  *at = loan;
  if (!trimOrder) trimOrder = orderAddTimer(kShmPoolIdleMs, trimIdle, nullptr);
}

void freeIdlePooledSegments() {
  orderCancel(trimOrder);
  trimOrder = nullptr;
  while (PooledSegment* s = idle) {
    idle = s->next;
    destroy(s);
  }
}

// At exit the loop's orders may already be freed: the trim timer is only
// forgotten, never cancelled.
void removeAllPooledSegments(int) {
  trimOrder = nullptr;
  idle = nullptr;
  while (all) destroy(all, false);
}

u64 pooledSegmentBytes() { return heldBytes; }
u64 pooledSegmentsMade() { return made; }

}  // namespace palvon
