// Segments of the proxy's own through which core images reach servers that
// share memory, kept for the next image instead of made and removed per
// image: a new segment costs its pages twice (zeroed when first touched,
// freed at removal), more than copying the image into one that exists.
//
// A segment is lent for one image (which may go to several servers) and
// held by each round trip that follows the image on a link: only a segment
// whose every round trip was answered (each server has read it) is lent
// again; one whose round trip ended unanswered (the link closed first) is
// removed, since that server may still read it. The pool keeps at most
// kShmPoolBytes, lent and idle together; with no idle segment that fits and
// no room for a new one, nothing is lent and the caller sends an ordinary
// PutImage. An idle segment not lent again within kShmPoolIdleMs to
// kShmPoolIdleMs * 2 is removed, so a burst of images leaves nothing
// behind. Main thread only.
#pragma once
#include "base/strings.h"

namespace palvon {

struct ShmSegment;

constexpr u64 kShmPoolBytes = 16u << 20;
constexpr u64 kShmPoolIdleMs = 500;

struct PooledSegment {
  ShmSegment* segment;
  PooledSegment* next;     // on the idle list
  PooledSegment* nextAll;  // every segment of the pool, lent or idle
  u32 holds;               // round trips not yet ended
  u32 held;                // round trips in all, for this loan
  u32 answers;             // round trips answered
  u8 idleTicks;            // trim periods it has waited idle
  u64 serial;              // never given to another segment: what servers' attachments know it by
};

// Called with a segment's serial when it leaves the pool while the proxy
// runs (not at exit): servers that keep it attached are to let it go.
extern void (*pooledSegmentGone)(u64 serial);

// A segment of at least `bytes`, or null.
PooledSegment* lendPooledSegment(u64 bytes);
// A round trip behind the image holds the loan; its answer is counted.
void holdPooledSegment(PooledSegment* loan);
void answerPooledSegment(PooledSegment* loan);
// A round trip ended (answered or not), or, for a loan never held, the
// image was not sent. With the last hold gone the segment is kept when every
// round trip was answered, else removed.
void releasePooledSegment(PooledSegment* loan);
// Removes the idle segments (a reset; lent ones are removed on return when
// the pool has no room for them).
void freeIdlePooledSegments();
// Removes every segment of the pool, lent ones too: the proxy is leaving,
// and segments it made must not outlive it. Touches no order of the loop
// (the at-exit stack may have freed them).
void removeAllPooledSegments(int = 0);
// Bytes of all segments the pool holds, lent or idle; how many it made.
u64 pooledSegmentBytes();
u64 pooledSegmentsMade();

}  // namespace palvon
