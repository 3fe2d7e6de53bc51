// Small helpers over the X wire.
#include "Proxy/dispatch/wirehelpers.h"

#include <cstring>

#include "base/bits.h"
#include "base/wordswap.h"

namespace palvon {

namespace {

constexpr u8 kErrorType = 0;
constexpr u8 kReplyType = 1;

// Walks the messages of the buffer; visit(position, size) returns true to
// stop there. The result: 1 stopped at a message, 0 ran out (*position is
// where).
template <class Visit>
int scanMessages(const u8* buffer, u64 length, bool swapped, u64* position, Visit visit) {
  u64 at = 0;
  while (length - at >= 32) {
    const u8* message = buffer + at;
    u64 size = 32;
    if (message[0] == kReplyType) {
      size += 4ull * loadU32(message + 4, swapped);
      if (size > length - at) break;
    }
    if (visit(message, size)) {
      *position = at;
      return 1;
    }
    at += size;
  }
  *position = at;
  return 0;
}

}  // namespace

int findReplyBySequence(u16 sequence, const u8* buffer, u64 length, bool swapped, u64* position, u64* size) {
  u64 found = 0;
  int hit = scanMessages(buffer, length, swapped, position, [&](const u8* m, u64 n) {
    if (m[0] != kReplyType || loadU16(m + 2, swapped) != sequence) return false;
    found = n;
    return true;
  });
  if (hit && size) *size = found;
  return hit;
}

int findErrorBySequence(u16 sequence, const u8* buffer, u64 length, bool swapped, u64* position) {
  return scanMessages(buffer, length, swapped, position,
                      [&](const u8* m, u64) { return m[0] == kErrorType && loadU16(m + 2, swapped) == sequence; });
}

u64 bigRequestLength(const u8* data, u64 available, bool swapped) {
  if (available < 8) return 0;
  u64 length = 4ull * loadU32(data + 4, swapped);
  if (length < 8) length = 8;
  return length > available ? 0 : length;
}

void markClientClosing(ClosingMark* mark, const char* reason) {
  if (mark->state == 0xffffffffu) return;
  mark->state = 0xffffffffu;
  mark->reason = reason ? reason : "";
}

void invalidateId(u8* field) { memset(field, 0xff, 4); }

u32 readCard32BE(const u8* bytes) {
  return u32(bytes[0]) << 24 | u32(bytes[1]) << 16 | u32(bytes[2]) << 8 | bytes[3];
}

void writeCard32BE(u8* bytes, u32 value) {
  bytes[0] = u8(value >> 24);
  bytes[1] = u8(value >> 16);
  bytes[2] = u8(value >> 8);
  bytes[3] = u8(value);
}

char** unpackStringList(const u8* data, u32 length, u32 count) {
  u64 used = 0;
  for (u32 i = 0; i < count; i++) {
    if (used >= length) return nullptr;
    used += 1ull + data[used];
    if (used > length) return nullptr;
  }
  if (((used + 3) & ~u64{3}) != length) return nullptr;
  // The pointers, then the texts with their terminators, in one block.
  u64 bytes = u64(count) * sizeof(char*) + (used - count) + count;
  auto** list = static_cast<char**>(memAlloc(bytes ? bytes : 1));
  if (!list) return nullptr;
  char* text = reinterpret_cast<char*>(list + count);
  u64 at = 0;
  for (u32 i = 0; i < count; i++) {
    u32 n = data[at];
    list[i] = text;
    memcpy(text, data + at + 1, n);
    text[n] = '\0';
    text += n + 1;
    at += 1ull + n;
  }
  return list;
}

u32 packStringList(const char* const* strings, u32 count, u8* out) {
  u32 at = 0;
  for (u32 i = 0; i < count; i++) {
    size_t n = strlen(strings[i]);
    if (n > 255) n = 255;
    out[at++] = u8(n);
    memcpy(out + at, strings[i], n);
    at += u32(n);
  }
  return at;
}

u64 imageDataSize(u32 width, u32 height, u32 format, u32 depth, u32 planeMask, u32 bitsPerPixel, u32 scanlinePad) {
  if (!scanlinePad) return 0;
  u64 line = (u64(width) * bitsPerPixel + scanlinePad - 1) / scanlinePad * (scanlinePad / 8);
  u64 size = line * height;
  if (format == 1) {
    u32 planes = depth >= 32 ? planeMask : planeMask & ((1u << depth) - 1);
    size *= bitCount(planes);
  }
  return size;
}

}  // namespace palvon
