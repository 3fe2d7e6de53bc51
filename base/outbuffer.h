// Queued output for one non-blocking descriptor, in segments of 64 KiB.
//
// Besides plain appending, a writer can reserve a placeholder in the middle
// of the stream: everything behind a held segment stays queued until the
// placeholder is released. Addresses handed to hold, release, insert, delete,
// cut and walk must point into queued bytes (a segment's end counts, except
// for cutting); anything else is reported as "UNE" and ignored.
//
// One thread owns a buffer at a time; no locks. Flushing allocates nothing.
#pragma once

#include <cstddef>

#include "base/orders.h"
#include "base/strings.h"

namespace palvon {

// A heap block of max(n + 32, 65536) bytes: this 32-byte header, then data.
struct OutSegment {
  u8* end;           // one past the last queued byte
  u8* readPosition;  // first byte not yet written
  OutSegment* next;
  u32 held;          // 1: a placeholder; flushing stops in front of it
  u32 blockSize;     // bytes of the whole block, header included
};
static_assert(sizeof(OutSegment) == 32, "the segment header is 32 bytes");

constexpr u32 kOutSegmentBlock = 65536;
constexpr u32 kOutSegmentData = kOutSegmentBlock - sizeof(OutSegment);  // 65504

struct OutBuffer {
  OutSegment* head;  // nullptr when nothing is queued
  OutSegment* tail;
  OrderCallback becameNonEmpty;  // called when a reservation finds the buffer empty
  void* argument;
  i32 descriptor;
  u32 maxPerWrite;   // most bytes per write(); 0x7fffffff after init
  // One emptied segment of the standard size kept for the next reservation,
  // so that a steady stream of writes allocates nothing; freed with the
  // buffer.
  OutSegment* spare;
};

// Counts every segment linked into any buffer. A buffer's capacity grows
// only when this moves, so a caller that watches capacities after each
// small step need not look again while it stands still. Buffers belong to
// the event loop's thread, and so does this.
extern u64 outbufferSegmentsLinked;

void outbufferInit(OutBuffer* buffer, int descriptor, OrderCallback becameNonEmpty, void* argument);
size_t outbufferSize(const OutBuffer* buffer);      // queued bytes
size_t outbufferCountCapacity(const OutBuffer* buffer);  // segments * 65504, counted
// segments * 65504. Checked after every request a client sends, where the
// buffer holds at most one segment: that case needs no walk.
inline size_t outbufferCapacity(const OutBuffer* buffer) {
  if (buffer->head == buffer->tail) return buffer->head ? kOutSegmentData : 0;
  return outbufferCountCapacity(buffer);
}
// A detached segment with n bytes counted as queued; nullptr without memory.
OutSegment* outbufferNewSegment(size_t n);
// n bytes in a new tail segment (the spare when it fits); nullptr without
// memory.
u8* outbufferReserveInNewSegment(OutBuffer* buffer, size_t n);
// n bytes in the tail segment as it is; nullptr, with nothing changed, when
// they do not fit there. Makes no call.
inline u8* outbufferReserveInTail(OutBuffer* buffer, size_t n) {
  OutSegment* tail = buffer->tail;
  if (tail && !tail->held) {
    u8* limit = reinterpret_cast<u8*>(tail) + kOutSegmentBlock;  // reservations stay in the first 64 KiB
    if (tail->end <= limit && n <= static_cast<size_t>(limit - tail->end)) {
      u8* start = tail->end;
      tail->end += n;
      return start;
    }
  }
  return nullptr;
}
// n bytes at the tail for the caller to fill; nullptr without memory. Inline:
// every forwarded request takes its room here.
inline u8* outbufferReserve(OutBuffer* buffer, size_t n) {
  if (u8* start = outbufferReserveInTail(buffer, n)) return start;
  return outbufferReserveInNewSegment(buffer, n);
}
int outbufferPutByte(u8 byte, OutBuffer* buffer);                  // 1, or 0 without memory
int outbufferPut(const void* data, size_t n, OutBuffer* buffer);   // 1, or 0 without memory
void outbufferHold(OutBuffer* buffer, const u8* address);
// Unholds the segment at address; when it ends exactly there, its n bytes
// from address on become part of the stream first.
void outbufferRelease(OutBuffer* buffer, const u8* address, size_t n);
// Splits the stream at address and inserts an empty held placeholder with
// room for n bytes. Fill it, then outbufferRelease(data, bytes written).
// nullptr on failure.
u8* outbufferInsertHold(OutBuffer* buffer, const u8* address, size_t n);
void outbufferDelete(const u8* address, size_t n, OutBuffer* buffer);  // within one segment
// Moves n bytes at address (within one segment) into a new detached segment.
OutSegment* outbufferCutCopy(OutBuffer* buffer, const u8* address, size_t n);
u8* outbufferSegmentData(OutSegment* segment);
// Links a detached segment at the tail; becameNonEmpty is not called.
u8* outbufferAppendSegment(OutBuffer* buffer, OutSegment* segment);
// Moves every segment of `from` behind the tail of `to` without copying;
// `from` is left empty (its spare stays). becameNonEmpty of `to` is called
// when `to` was empty and now is not.
void outbufferTakeAll(OutBuffer* to, OutBuffer* from);
using OutbufferPieceFunction = int (*)(const u8* start, size_t length, void* argument);
// Calls function over the n bytes from address, piece by piece; the first
// non-zero result, or 0.
int outbufferForEach(OutBuffer* buffer, const u8* address, size_t n, OutbufferPieceFunction function,
                     void* argument);
// Writes what can be written now: 0 emptied, 1 bytes remain (or a held
// placeholder blocks), 2 write error (EPIPE included).
int outbufferFlush(OutBuffer* buffer);
// Flushes until empty, waiting for writability. Fails (0) when no byte could
// be written for timeoutMs (0 takes 120,000 ms), also when a held placeholder
// blocks the head; whyFailed then gets a message. 1 when all was written.
int outbufferFlushBlocking(OutBuffer* buffer, u32 timeoutMs, const char** whyFailed = nullptr);
// Frees the spare segment, if any: for a buffer that will likely stay idle.
void outbufferDropSpare(OutBuffer* buffer);
// Frees every segment and the spare; head and tail are left as they are.
void outbufferFree(OutBuffer* buffer);

}  // namespace palvon
