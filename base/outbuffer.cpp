#include "base/outbuffer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/fd.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kDefaultMaxPerWrite = 0x7fffffff;
constexpr u32 kDefaultBlockingTimeout = 120000;

u8* dataStart(OutSegment* segment) { return reinterpret_cast<u8*>(segment + 1); }
u8* blockEnd(OutSegment* segment) { return reinterpret_cast<u8*>(segment) + segment->blockSize; }

// The first segment in which the address lies; the end counts unless
// endExcluded.
OutSegment* findSegment(const OutBuffer* buffer, const u8* address, bool endExcluded) {
  for (OutSegment* s = buffer->head; s; s = s->next) {
    if (address < s->readPosition) continue;
    if (address < s->end || (!endExcluded && address == s->end)) return s;
  }
  return nullptr;
}

u64 monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<u64>(now.tv_sec) * 1000 + static_cast<u64>(now.tv_nsec) / 1000000;
}

// Removes n bytes at address from segment s, keeping the bytes behind them.
void deleteIn(OutSegment* s, u8* address, size_t n) {
  if (address + n == s->end) {
    s->end = address;
    if (s->readPosition == address) s->held = 0;
  } else if (address == s->readPosition) {
    s->readPosition = address + n;
  } else {
    std::memmove(address, address + n, static_cast<size_t>(s->end - (address + n)));
    s->end -= n;
  }
}

// Links segment directly behind s.
void linkBehind(OutBuffer* buffer, OutSegment* s, OutSegment* segment) {
  outbufferSegmentsLinked++;
  segment->next = s->next;
  s->next = segment;
  if (buffer->tail == s) buffer->tail = segment;
}

}  // namespace

u64 outbufferSegmentsLinked;

void outbufferInit(OutBuffer* buffer, int descriptor, OrderCallback becameNonEmpty, void* argument) {
  *buffer = OutBuffer{nullptr, nullptr, becameNonEmpty, argument, descriptor, kDefaultMaxPerWrite, nullptr};
}

size_t outbufferSize(const OutBuffer* buffer) {
  size_t total = 0;
  for (OutSegment* s = buffer->head; s; s = s->next) total += static_cast<size_t>(s->end - s->readPosition);
  return total;
}

size_t outbufferCountCapacity(const OutBuffer* buffer) {
  size_t segments = 0;
  for (OutSegment* s = buffer->head; s; s = s->next) segments++;
  return segments * kOutSegmentData;
}

OutSegment* outbufferNewSegment(size_t n) {
  if (n > 0xffffffffu - sizeof(OutSegment)) return nullptr;
  size_t size = n + sizeof(OutSegment) > kOutSegmentBlock ? n + sizeof(OutSegment) : kOutSegmentBlock;
  OutSegment* segment = static_cast<OutSegment*>(memAlloc(size));
  if (!segment) return nullptr;
  segment->readPosition = dataStart(segment);
  segment->end = segment->readPosition + n;
  segment->next = nullptr;
  segment->held = 0;
  segment->blockSize = static_cast<u32>(size);
  return segment;
}

// A written-out segment of the standard size becomes the spare when there
// is none; any other is freed.
static void keepOrFree(OutBuffer* buffer, OutSegment* segment) {
  if (!buffer->spare && segment->blockSize == kOutSegmentBlock) {
    buffer->spare = segment;
    return;
  }
  std::free(segment);
}

void outbufferDropSpare(OutBuffer* buffer) {
  std::free(buffer->spare);
  buffer->spare = nullptr;
}

// The spare, made ready to hold n bytes; null when there is none or n does
// not fit.
static OutSegment* takeSpare(OutBuffer* buffer, size_t n) {
  OutSegment* segment = buffer->spare;
  if (!segment || n > kOutSegmentData) return nullptr;
  buffer->spare = nullptr;
  segment->readPosition = dataStart(segment);
  segment->end = segment->readPosition + n;
  segment->next = nullptr;
  segment->held = 0;
  return segment;
}

u8* outbufferReserveInNewSegment(OutBuffer* buffer, size_t n) {
  OutSegment* tail = buffer->tail;
  OutSegment* segment = takeSpare(buffer, n);
  if (!segment) segment = outbufferNewSegment(n);
  if (!segment) return nullptr;
  outbufferSegmentsLinked++;
  if (tail) {
    tail->next = segment;
    buffer->tail = segment;
  } else {
    buffer->head = buffer->tail = segment;
    if (buffer->becameNonEmpty) buffer->becameNonEmpty(buffer->argument);
  }
  return segment->readPosition;
}

int outbufferPutByte(u8 byte, OutBuffer* buffer) {
  u8* at = outbufferReserve(buffer, 1);
  if (!at) return 0;
  *at = byte;
  return 1;
}

int outbufferPut(const void* data, size_t n, OutBuffer* buffer) {
  u8* at = outbufferReserve(buffer, n);
  if (!at) return 0;
  if (n) std::memcpy(at, data, n);
  return 1;
}

void outbufferHold(OutBuffer* buffer, const u8* address) {
  OutSegment* s = findSegment(buffer, address, false);
  if (!s) return PALVON_UNE();
  s->held = 1;
}

void outbufferRelease(OutBuffer* buffer, const u8* address, size_t n) {
  OutSegment* s = findSegment(buffer, address, false);
  if (!s) return PALVON_UNE();
  if (s->end == address) {
    if (n > static_cast<size_t>(blockEnd(s) - s->end)) return PALVON_UNE();
    s->end += n;
  }
  s->held = 0;
}

u8* outbufferInsertHold(OutBuffer* buffer, const u8* address, size_t n) {
  OutSegment* s = findSegment(buffer, address, false);
  if (!s) {
    PALVON_UNE();
    return nullptr;
  }
  size_t behind = static_cast<size_t>(s->end - address);
  OutSegment* hold = outbufferNewSegment(n);
  OutSegment* back = behind ? outbufferNewSegment(behind) : nullptr;
  if (!hold || (behind && !back)) {
    std::free(hold);
    std::free(back);
    return nullptr;
  }
  hold->end = hold->readPosition;
  hold->held = 1;
  linkBehind(buffer, s, hold);
  if (back) {
    std::memcpy(back->readPosition, address, behind);
    deleteIn(s, const_cast<u8*>(address), behind);
    linkBehind(buffer, hold, back);
  }
  return hold->readPosition;
}

void outbufferDelete(const u8* address, size_t n, OutBuffer* buffer) {
  OutSegment* s = findSegment(buffer, address, false);
  if (!s || n > static_cast<size_t>(s->end - address)) return PALVON_UNE();
  deleteIn(s, const_cast<u8*>(address), n);
}

OutSegment* outbufferCutCopy(OutBuffer* buffer, const u8* address, size_t n) {
  OutSegment* s = findSegment(buffer, address, true);
  OutSegment* cut = s && n <= static_cast<size_t>(s->end - address) ? outbufferNewSegment(n) : nullptr;
  if (!cut) {
    PALVON_UNE();
    return nullptr;
  }
  std::memcpy(cut->readPosition, address, n);
  deleteIn(s, const_cast<u8*>(address), n);
  return cut;
}

u8* outbufferSegmentData(OutSegment* segment) { return segment->readPosition; }

u8* outbufferAppendSegment(OutBuffer* buffer, OutSegment* segment) {
  outbufferSegmentsLinked++;
  segment->next = nullptr;
  if (buffer->tail) buffer->tail->next = segment;
  else buffer->head = segment;
  buffer->tail = segment;
  return segment->readPosition;
}

void outbufferTakeAll(OutBuffer* to, OutBuffer* from) {
  if (!from->head) return;
  bool wasEmpty = !to->head;
  outbufferSegmentsLinked++;
  if (to->tail)
    to->tail->next = from->head;
  else
    to->head = from->head;
  to->tail = from->tail;
  from->head = from->tail = nullptr;
  if (wasEmpty && to->becameNonEmpty) to->becameNonEmpty(to->argument);
}

int outbufferForEach(OutBuffer* buffer, const u8* address, size_t n, OutbufferPieceFunction function,
                     void* argument) {
  OutSegment* s = findSegment(buffer, address, false);
  if (!s) {
    PALVON_UNE();
    return 0;
  }
  size_t piece = static_cast<size_t>(s->end - address);
  if (piece > n) piece = n;
  if (piece) {
    if (int result = function(address, piece, argument)) return result;
  }
  size_t remaining = n - piece;
  for (s = s->next; remaining && s; s = s->next) {
    piece = static_cast<size_t>(s->end - s->readPosition);
    if (piece > remaining) piece = remaining;
    if (!piece) continue;
    if (int result = function(s->readPosition, piece, argument)) return result;
    remaining -= piece;
  }
  if (remaining) PALVON_UNE();
  return 0;
}

// Up to this many segments go out in one writev: a batch of requests
// forwarded from one read spans a few segments and leaves in one call.
constexpr int kFlushPieces = 16;

int outbufferFlush(OutBuffer* buffer) {
  for (;;) {
    iovec pieces[kFlushPieces];
    int count = 0;
    size_t total = 0;
    bool capped = false;
    for (OutSegment* s = buffer->head; s && !s->held && count < kFlushPieces; s = s->next) {
      size_t unsent = static_cast<size_t>(s->end - s->readPosition);
      if (!unsent) continue;
      if (unsent >= buffer->maxPerWrite - total) {
        unsent = buffer->maxPerWrite - total;
        capped = true;
      }
      pieces[count++] = {s->readPosition, unsent};
      total += unsent;
      if (capped) break;
    }
    size_t written = 0;
    if (count) {
      ssize_t n = count == 1 ? write(buffer->descriptor, pieces[0].iov_base, pieces[0].iov_len)
                             : writev(buffer->descriptor, pieces, count);
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 1 : 2;
      written = static_cast<size_t>(n);
    }
    bool whole = written == total && !capped;
    // Written segments go (empty ones too); the first one with bytes left
    // keeps its place.
    for (;;) {
      OutSegment* s = buffer->head;
      if (!s) {
        buffer->tail = nullptr;
        return 0;
      }
      if (s->held) return 1;
      size_t unsent = static_cast<size_t>(s->end - s->readPosition);
      if (written < unsent) {
        s->readPosition += written;
        // The socket took all it was given: what lay beyond the pieces of
        // one call goes next.
        if (whole && written == 0) break;
        return 1;
      }
      written -= unsent;
      buffer->head = s->next;
      keepOrFree(buffer, s);
    }
  }
}

int outbufferFlushBlocking(OutBuffer* buffer, u32 timeoutMs, const char** whyFailed) {
  if (timeoutMs == 0) timeoutMs = kDefaultBlockingTimeout;
  buffer->maxPerWrite += kDefaultMaxPerWrite;
  const char* failure = nullptr;
  u64 deadline = monotonicMs() + timeoutMs;
  for (;;) {
    const OutSegment* headBefore = buffer->head;
    const u8* positionBefore = headBefore ? headBefore->readPosition : nullptr;
    int result = outbufferFlush(buffer);
    if (result == 0) break;
    if (result == 2) {
      failure = tmpPrintf("Can't write %zu bytes to fd %d: %s", outbufferSize(buffer), buffer->descriptor,
                          errnoText(errno));
      break;
    }
    // Any byte written restarts the time-out: a slow reader is fine, a
    // stalled one (or a placeholder nobody can release) is not.
    u64 now = monotonicMs();
    if (buffer->head != headBefore || (headBefore && headBefore->readPosition != positionBefore))
      deadline = now + timeoutMs;
    // A time-out past INT_MAX ms must not turn negative (no time at all).
    int left = now < deadline ? static_cast<int>(std::min<u64>(deadline - now, INT_MAX)) : 0;
    bool ready = false;
    if (left > 0 && buffer->head->held) poll(nullptr, 0, left);
    else if (left > 0) ready = fdWaitWritable(buffer->descriptor, left);
    if (!ready) {
      failure = tmpPrintf("Can't write %zu bytes to fd %d: %s after %u ms", outbufferSize(buffer),
                          buffer->descriptor, buffer->head->held ? "output held" : "timed out", timeoutMs);
      break;
    }
  }
  buffer->maxPerWrite -= kDefaultMaxPerWrite;
  if (whyFailed) *whyFailed = failure;
  return failure ? 0 : 1;
}

void outbufferFree(OutBuffer* buffer) {
  for (OutSegment* s = buffer->head; s;) {
    OutSegment* next = s->next;
    std::free(s);
    s = next;
  }
  std::free(buffer->spare);
  buffer->spare = nullptr;
}

}  // namespace palvon
