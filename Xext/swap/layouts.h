// Internals of the byte swapper shared by its source files. The layout
// strings of the protocol's messages are in the dispatch rows.
//
// The special layouts work on a Span (the bytes from the cursor to the end
// of the message) with offsets, never forming a pointer beyond the end.
// Every field goes through the same bounds check, so counts that claim more
// than the data only stop the swapping at the end.
#pragma once

#include "Xext/swap/byteswap.h"
#include "base/logging.h"
#include "base/strings.h"
#include "base/wordswap.h"

// Unexpected states of the swapper (unknown letters, special numbers and
// kinds) are reported under the module's one source path.
#define SWAP_UNE() ::palvon::logProblem("UNE", "Xext/byteswap", __LINE__)

namespace palvon {

namespace swapping {

struct Span {
  u8* data;
  u64 size;
  bool fits(u64 offset, u64 width) const { return offset <= size && width <= size - offset; }
  // The bytes from offset up to offset + length, both cut at the end.
  Span sub(u64 offset, u64 length = ~u64{0}) const {
    if (offset >= size) return Span{data + size, 0};
    u64 rest = size - offset;
    return Span{data + offset, length < rest ? length : rest};
  }
};

inline u64 pad4(u64 n) { return n > ~u64{0} - 3 ? ~u64{0} & ~u64{3} : (n + 3) & ~u64{3}; }
inline u64 addSat(u64 a, u64 b) { return a > ~u64{0} - b ? ~u64{0} : a + b; }
inline u64 mulSat(u64 a, u64 b) {
  u64 r;
  return __builtin_mul_overflow(a, b, &r) ? ~u64{0} : r;
}

inline void flip16(u8* p) {
  u8 t = p[0];
  p[0] = p[1];
  p[1] = t;
}
inline void flip32(u8* p) {
  u32 v;
  __builtin_memcpy(&v, p, 4);
  v = __builtin_bswap32(v);
  __builtin_memcpy(p, &v, 4);
}
inline void flip64(u8* p) {
  u64 v;
  __builtin_memcpy(&v, p, 8);
  v = __builtin_bswap64(v);
  __builtin_memcpy(p, &v, 8);
}

// Swap one field when it fits.
inline void sw16(Span m, u64 off) {
  if (m.fits(off, 2)) flip16(m.data + off);
}
inline void sw32(Span m, u64 off) {
  if (m.fits(off, 4)) flip32(m.data + off);
}

// Read a field as it stands in memory; 0 when it lies beyond the end.
inline u8 rd8(Span m, u64 off) { return m.fits(off, 1) ? m.data[off] : 0; }
inline u16 rd16(Span m, u64 off) { return m.fits(off, 2) ? loadU16(m.data + off) : 0; }
inline u32 rd32(Span m, u64 off) { return m.fits(off, 4) ? loadU32(m.data + off) : 0; }

// Swap a count and give its value in our order: read after the swap when the
// message arrives (positive), before it when it leaves.
inline u32 take16(Span m, u64 off, bool positive) {
  if (positive) sw16(m, off);
  u32 v = rd16(m, off);
  if (!positive) sw16(m, off);
  return v;
}
inline u32 take32(Span m, u64 off, bool positive) {
  if (positive) sw32(m, off);
  u32 v = rd32(m, off);
  if (!positive) sw32(m, off);
  return v;
}

// Applies a flat layout to the bytes at offset (cut at length and the end).
inline void apply(Span m, u64 offset, LayoutString layout, u64 length = ~u64{0}) {
  Span s = m.sub(offset, length);
  swapByFormat(layout, s.data, s.data + s.size);
}

// A header whose counts steer the walk: the header is swapped before the
// counts are read when positive, after when negative.
template <class ReadCounts>
inline void withHeader(Span m, u64 length, LayoutString layout, bool positive, ReadCounts read) {
  if (positive) apply(m, 0, layout, length);
  read();
  if (!positive) apply(m, 0, layout, length);
}

u64 arr16(Span m, u64 off, u64 count);
u64 arr32(Span m, u64 off, u64 count);
u64 arr64(Span m, u64 off, u64 count);
u64 countedString(Span m, u64 off, bool positive);
u64 kindRecord(Span m, u64 off, bool positive);

// Special layouts living in their protocol's source file.
void swapXkbEvent(Span m);
void swapXkbGetMapReply(Span m, bool positive);
void swapXkbSetMap(Span m, bool positive);
void swapXkbSelectEvents(Span m, bool positive);
void swapXkbGetKbdByName(Span m, bool positive);
void swapXkbListComponents(Span m, bool positive);
void swapXkbGetNames(Span m, bool positive);
void swapXkbSetNames(Span m, bool positive);
void swapXkbGetDeviceInfo(Span m, bool positive);
void swapXkbSetDeviceInfo(Span m, bool positive);
void swapXkbGetGeometry(Span m, bool positive);
void swapXkbSetGeometry(Span m, bool positive);

void swapListInputDevices(Span m);
void swapFeedbackControlReply(Span m, bool positive);
void swapQueryDeviceStateReply(Span m);
void swapSendExtensionEvent(Span m, bool positive);
void swapChangeHierarchy(Span m, bool positive);
void swapXvQueryAdaptors(Span m, bool positive);
void swapRandrScreenResources(Span m, bool positive);
void swapRandrCrtcTransform(Span m, bool positive);
void swapRandrOutputInfo(Span m, bool positive);
void swapRandrSetCrtcTransform(Span m, bool positive);
void swapRandrNotify(Span m);
void swapRenderAddGlyphs(Span m, bool positive);
void swapRenderSetPictureFilter(Span m, bool positive);
void swapRenderCompositeGlyphs(Span m, u32 glyphWidth);
void swapRenderQueryPictFormats(Span m, bool positive);

}  // namespace swapping
}  // namespace palvon
