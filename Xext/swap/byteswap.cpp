// The layout-string interpreter and the special layouts of the core protocol
// and of GL; the special layouts of the extensions are in layouts_*.cpp.

#include "Xext/swap/byteswap.h"

#include "Xext/swap/layouts.h"
#include "base/logging.h"
#include "gl/glxswap.h"

namespace palvon {

using namespace swapping;

namespace swapping {

// Swaps count words of Width bytes from off, cut at the end; gives the full
// size.
template <u32 Width>
static u64 swapWords(Span m, u64 off, u64 count) {
  u64 bytes = mulSat(count, Width);
  Span s = m.sub(off, bytes);
  for (u64 k = 0; k + Width <= s.size; k += Width) {
    if constexpr (Width == 2) flip16(s.data + k);
    if constexpr (Width == 4) flip32(s.data + k);
    if constexpr (Width == 8) flip64(s.data + k);
  }
  return bytes;
}

u64 arr16(Span m, u64 off, u64 count) { return swapWords<2>(m, off, count); }
u64 arr32(Span m, u64 off, u64 count) { return swapWords<4>(m, off, count); }
u64 arr64(Span m, u64 off, u64 count) { return swapWords<8>(m, off, count); }

u64 countedString(Span m, u64 off, bool positive) {
  return pad4(addSat(take16(m, off, positive), 2));
}

}  // namespace swapping

u32 swap32InPlace(u8* field, const u8* end) {
  if (field && end >= field && end - field >= 4) flip32(field);
  return 4;
}

static Span spanOf(u8* at, const u8* end) {
  if (!at || end <= at) return Span{at, 0};
  return Span{at, static_cast<u64>(end - at)};
}

u32 swapCountedString(u8* at, const u8* end, bool positive) {
  return static_cast<u32>(countedString(spanOf(at, end), 0, positive));
}

u8* swapKindRecord(u8* record, const u8* end, bool positive) {
  Span m = spanOf(record, end);
  u64 after = kindRecord(m, 0, positive);
  return m.data + (after < m.size ? after : m.size);
}

u64 swapArray16(u64 count, u8* at, const u8* end) { return arr16(spanOf(at, end), 0, count); }
u64 swapArray32(u64 count, u8* at, const u8* end) { return arr32(spanOf(at, end), 0, count); }
u64 swapArray64(u64 count, u8* at, const u8* end) { return arr64(spanOf(at, end), 0, count); }

u8* swapRecordArray(u8* at, const u8* end, u64 count, u32 recordSize, LayoutString layout) {
  Span m = spanOf(at, end);
  u64 off = 0;
  for (u64 k = 0; k < count && off < m.size; k++, off += recordSize) apply(m, off, layout, recordSize);
  if (recordSize == 0) return at;
  return m.data + (off < m.size ? off : m.size);
}

// ---- Core protocol ----------------------------------------------------------

// The connection set-up reply: the counts of vendor bytes, formats, screens,
// depths and visuals steer the walk.
static void swapSetupReply(Span m, bool positive) {
  u32 vendorLength = 0;
  u32 screens = 0;
  u32 formats = 0;
  u8 status = rd8(m, 0);
  apply(m, 0, "bbsss", 8);
  if (status != 1) return;
  withHeader(m.sub(8), 32, "iiiissbbbbbbbbi", positive, [&] {
    vendorLength = rd16(m, 24);
    screens = rd8(m, 28);
    formats = rd8(m, 29);
  });
  u64 off = addSat(40 + pad4(vendorLength), mulSat(formats, 8));
  for (u32 s = 0; s < screens && off < m.size; s++) {
    u32 depths = rd8(m, off + 39);
    apply(m, off, "iiiiissssssi", 40);
    off += 40;
    for (u32 d = 0; d < depths && off < m.size; d++) {
      u32 visuals = take16(m, off + 2, positive);
      u64 bytes = mulSat(visuals, 24);
      Span list = m.sub(off + 8, bytes);
      for (u64 v = 0; v + 24 <= list.size; v += 24) apply(list, v, "ibbsiii", 24);
      off = addSat(off + 8, bytes);
    }
  }
}

void swapConnectionSetupReply(u8* reply, const u8* end, bool positive) {
  swapSetupReply(spanOf(reply, end), positive);
}

static void swapChangeProperty(Span m) {
  if (m.size < 24) {
    SWAP_UNE();
    return;
  }
  switch (m.data[16]) {
    case 8: apply(m, 0, "bbsiiibbbbi"); break;
    case 16: apply(m, 0, "bbsiiibbbbiS"); break;
    case 32: apply(m, 0, "bbsiiibbbbI"); break;
    // A format the protocol does not know is the handler's to refuse with
    // BadValue: its fields must still be readable, its data is never used.
    default: apply(m, 0, "bbsiiibbbbi"); break;
  }
}

static void swapListHosts(Span m, bool positive) {
  u32 hosts = 0;
  withHeader(m, 32, "bbsis", positive, [&] { hosts = rd16(m, 8); });
  u64 off = 32;
  for (u32 h = 0; h < hosts && off < m.size; h++) {
    u32 length = take16(m, off + 2, positive);
    off = addSat(off + 4, pad4(length));
  }
}

// ListFontsWithInfo (withCharInfos false) and QueryFont (true).
static void swapFontReply(Span m, bool positive, bool withCharInfos) {
  u32 properties = 0;
  u32 charInfos = 0;
  withHeader(m, 60, "bbsissssssissssssissssbbbbssi", positive, [&] {
    properties = rd16(m, 46);
    charInfos = rd32(m, 56);
  });
  u64 off = addSat(60, arr32(m, 60, 2 * u64{properties}));
  if (withCharInfos) arr16(m, off, mulSat(charInfos, 6));
}

static void swapCountedWords(Span m, bool positive) {
  u32 n = take32(m, 0, positive);
  arr32(m, 4, n);
}

static void swapCountedBytesThenWords(Span m, bool positive, LayoutString words) {
  u32 n = take32(m, 0, positive);
  apply(m, addSat(4, n), words);
}

// ---- GL -----------------------------------------------------------------------

enum : u32 {
  kGLByte = 0x1400,
  kGLUnsignedByte = 0x1401,
  kGLShort = 0x1402,
  kGLUnsignedShort = 0x1403,
  kGLInt = 0x1404,
  kGLUnsignedInt = 0x1405,
  kGLFloat = 0x1406,
  kGL2Bytes = 0x1407,
  kGL3Bytes = 0x1408,
  kGL4Bytes = 0x1409,
  kGLDouble = 0x140A,
  kGLHalfFloat = 0x140B,
};

// Element size of a GL data type, 0 for a type without one.
static u32 glTypeSize(u32 type) {
  switch (type) {
    case kGLByte:
    case kGLUnsignedByte: return 1;
    case kGLShort:
    case kGLUnsignedShort:
    case kGLHalfFloat: return 2;
    case kGLInt:
    case kGLUnsignedInt:
    case kGLFloat: return 4;
    case kGLDouble: return 8;
    default: return 0;
  }
}

static u64 swapByWidth(Span m, u64 off, u64 bytes, u32 width) {
  Span s = m.sub(off, bytes);
  if (width == 2) arr16(s, 0, s.size / 2);
  if (width == 4) arr32(s, 0, s.size / 4);
  if (width == 8) arr64(s, 0, s.size / 8);
  return bytes;
}

// A GL command with typed arrays: header {multiplier, entry count, word},
// entries {type, count, word}, then one data area per entry.
static void swapGLTypedArrays(Span m, bool positive) {
  if (!m.fits(0, 12)) {
    SWAP_UNE();
    return;
  }
  u32 multiplier = take32(m, 0, positive);
  u32 entries = take32(m, 4, positive);
  sw32(m, 8);
  if (!m.fits(12, mulSat(entries, 12))) {
    SWAP_UNE();
    return;
  }
  u64 off = 12 + u64{entries} * 12;
  for (u32 e = 0; e < entries && off < m.size; e++) {
    u64 at = 12 + u64{e} * 12;
    u32 type = take32(m, at, positive);
    u32 count = take32(m, at + 4, positive);
    sw32(m, at + 8);
    u32 size = glTypeSize(type);
    if (size == 0 || type == kGLHalfFloat) {
      SWAP_UNE();
      size = 1;
    }
    u64 bytes = pad4(mulSat(mulSat(multiplier, count), size));
    off = addSat(off, swapByWidth(m, off, bytes, size));
  }
}

// A GL command with described arrays: items of 20 bytes {type, count, ...}
// after a header that names the multiplier and the item count.
static void swapGLDescribedArrays(Span m, bool positive, LayoutString header, u64 headerSize,
                                  u64 multiplierAt, u64 itemsAt) {
  u32 multiplier = 0;
  u32 items = 0;
  withHeader(m, headerSize, header, positive, [&] {
    multiplier = rd32(m, multiplierAt);
    items = rd32(m, itemsAt);
  });
  u64 off = addSat(headerSize, mulSat(items, 20));
  for (u32 k = 0; k < items && off < m.size; k++) {
    u64 at = headerSize + u64{k} * 20;
    u32 type = 0;
    u32 count = 0;
    withHeader(m.sub(at, 20), 20, "iiii", positive, [&] {
      type = rd32(m, at);
      count = rd32(m, at + 4);
    });
    u32 size = glTypeSize(type);
    if (size == 0) {
      SWAP_UNE();
      continue;
    }
    u64 bytes = mulSat(mulSat(multiplier, count), size);
    if (size < 4) bytes = pad4(bytes);
    off = addSat(off, swapByWidth(m, off, bytes, size));
  }
}

static void swapGLValue(Span m, bool positive) {
  u32 raw = rd32(m, 4);
  u32 type = positive ? __builtin_bswap32(raw) : raw;
  switch (type) {
    case kGLByte:
    case kGLUnsignedByte:
    case kGL2Bytes:
    case kGL3Bytes:
    case kGL4Bytes: apply(m, 0, "ii"); break;
    case kGLShort:
    case kGLUnsignedShort: apply(m, 0, "iiS"); break;
    case kGLInt:
    case kGLUnsignedInt:
    case kGLFloat: apply(m, 0, "I"); break;
    default:
      // The type word is swapped all the same: the other side then sees the
      // same unknown type, and the value comes back unchanged both ways.
      SWAP_UNE();
      apply(m, 0, "ii");
      break;
  }
}

static void swapGLXVendorPrivate(Span m, bool positive) {
  u32 vendorCode = 0;
  withHeader(m, 12, "bbsii", positive, [&] { vendorCode = rd32(m, 4); });
  Span body = m.sub(12);
  glxSwapVendorCommand(vendorCode, body.data, body.data + body.size);
}

// ---- Dispatch of the special layouts ----------------------------------------

static void swapSpecial(int number, Span m) {
  bool positive = number > 0;
  switch (positive ? number : -number) {
    case 1: swapGLTypedArrays(m, positive); break;
    case 2:
      switch (rd8(m, 1)) {
        case 16: apply(m, 0, "bbsiiS"); break;
        case 32: apply(m, 0, "bbsI"); break;
        default: apply(m, 0, "bbsii"); break;
      }
      break;
    case 3: swapListInputDevices(m); break;
    case 4: swapCountedBytesThenWords(m, positive, "I"); break;
    case 5: swapCountedBytesThenWords(m, positive, "L"); break;
    case 6: swapXvQueryAdaptors(m, positive); break;
    case 7: swapGLXRenderStream(m.data, m.size, positive); break;
    case 8: swapXkbEvent(m); break;
    case 9: swapXkbGetMapReply(m, positive); break;
    case 10: swapXkbSelectEvents(m, positive); break;
    case 11: swapXkbGetKbdByName(m, positive); break;
    case 12: swapXkbListComponents(m, positive); break;
    case 13: swapXkbGetNames(m, positive); break;
    case 14: swapXkbGetDeviceInfo(m, positive); break;
    case 15: swapXkbSetDeviceInfo(m, positive); break;
    case 16: swapXkbSetNames(m, positive); break;
    case 17: swapXkbSetMap(m, positive); break;
    case 18: swapXkbGetGeometry(m, positive); break;
    case 19: swapXkbSetGeometry(m, positive); break;
    case 20: swapRandrScreenResources(m, positive); break;
    case 21: swapRandrCrtcTransform(m, positive); break;
    case 22: swapRandrOutputInfo(m, positive); break;
    case 23: swapSetupReply(m, positive); break;
    case 24: swapChangeProperty(m); break;
    case 25: swapRenderAddGlyphs(m, positive); break;
    case 26: swapRenderSetPictureFilter(m, positive); break;
    case 27: swapRenderCompositeGlyphs(m, 1); break;
    case 28: swapRenderCompositeGlyphs(m, 2); break;
    case 29: swapRenderCompositeGlyphs(m, 4); break;
    case 30: swapRenderQueryPictFormats(m, positive); break;
    case 32: swapGLXVendorPrivate(m, positive); break;
    case 33: swapGLValue(m, positive); break;
    case 34: swapListHosts(m, positive); break;
    case 35: swapFontReply(m, positive, false); break;
    case 36: swapFontReply(m, positive, true); break;
    case 37: swapGLDescribedArrays(m, positive, "iiii", 16, 8, 12); break;
    case 38: swapGLDescribedArrays(m, positive, "liiiiii", 32, 20, 28); break;
    case 39: swapCountedWords(m, positive); break;
    case 60: swapRandrSetCrtcTransform(m, positive); break;
    case 61: swapRandrNotify(m); break;
    case 70: swapFeedbackControlReply(m, positive); break;
    case 71: swapQueryDeviceStateReply(m); break;
    case 72: swapSendExtensionEvent(m, positive); break;
    case 99: swapChangeHierarchy(m, positive); break;
    default: SWAP_UNE(); break;
  }
}

// ---- The interpreter ------------------------------------------------------------

namespace {
enum class Direction { kAsWritten, kArriving, kLeaving };
}  // namespace

static void walkLayout(LayoutString layout, u8* start, const u8* end, Direction direction) {
  if (!layout || !start || end <= start) return;
  const u64 size = static_cast<u64>(end - start);
  u64 pos = 0;
  const char* group = nullptr;
  u64 groupPos = 0;
  for (const char* f = layout;; f++) {
    switch (*f) {
      case '\0': return;
      case 'b': pos++; break;
      case 's':
        if (pos > size || size - pos < 2) return;
        flip16(start + pos);
        pos += 2;
        break;
      case 'i':
        if (pos > size || size - pos < 4) return;
        flip32(start + pos);
        pos += 4;
        break;
      case 'l':
        if (pos > size || size - pos < 8) return;
        flip64(start + pos);
        pos += 8;
        break;
      case 'S':
        for (; pos <= size && size - pos >= 2; pos += 2) flip16(start + pos);
        return;
      case 'I':
        for (; pos <= size && size - pos >= 4; pos += 4) flip32(start + pos);
        return;
      case 'L':
        for (; pos <= size && size - pos >= 8; pos += 8) flip64(start + pos);
        return;
      case '[':
        group = f;
        groupPos = pos;
        break;
      case ']':
        // A group that consumed nothing (or only skipped past the end) would
        // repeat forever.
        if (!group || pos == groupPos || pos >= size) return;
        f = group;
        groupPos = pos;
        break;
      case 'H': {
        bool negative = f[1] == '-';
        const char* d = f + (negative ? 2 : 1);
        int number = 0;
        for (; *d >= '0' && *d <= '9'; d++) number = number < 1000 ? number * 10 + (*d - '0') : number;
        if (direction != Direction::kAsWritten) negative = direction == Direction::kLeaving;
        if (pos > size) pos = size;
        swapSpecial(negative ? -number : number, Span{start + pos, size - pos});
        return;
      }
      default: SWAP_UNE(); break;
    }
  }
}

void swapByFormat(LayoutString layout, u8* start, const u8* end) {
  walkLayout(layout, start, end, Direction::kAsWritten);
}

void swapArriving(LayoutString layout, u8* start, const u8* end) {
  walkLayout(layout, start, end, Direction::kArriving);
}

void swapLeaving(LayoutString layout, u8* start, const u8* end) {
  walkLayout(layout, start, end, Direction::kLeaving);
}

}  // namespace palvon
