// Special layouts of XInputExtension, XVideo, RANDR and RENDER.

#include "Xext/swap/layouts.h"
#include "base/logging.h"

namespace palvon::swapping {

// ---- XInputExtension ----------------------------------------------------------------

// ListInputDevices reply: device records, then every device's class records
// in device order, each advanced by its own length byte; names untouched.
void swapListInputDevices(Span m) {
  if (m.size <= 32) {
    SWAP_UNE();
    return;
  }
  apply(m, 0, "bbsi", 8);
  u32 devices = m.data[8];
  u64 classes = 32 + 8u * devices;
  for (u32 d = 0; d < devices; d++) {
    u64 device = 32 + 8u * d;
    sw32(m, device);
    u32 count = rd8(m, device + 5);
    for (u32 c = 0; c < count && classes < m.size; c++) {
      u32 length = rd8(m, classes + 1);
      switch (rd8(m, classes)) {
        case 0: apply(m, classes, "bbbbs", length); break;
        case 1: apply(m, classes, "bbs", length); break;
        case 2: apply(m, classes, "bbbbI", length); break;
        default: SWAP_UNE(); break;
      }
      classes += length;
    }
  }
}

// ChangeHierarchy request: each change says its own length; a change of
// length 0 ends the walk (advancing by it would swap the same bytes again).
void swapChangeHierarchy(Span m, bool positive) {
  apply(m, 0, "bbs", 4);
  u32 changes = rd8(m, 4);
  u64 off = 8;
  for (u32 k = 0; k < changes && off < m.size; k++) {
    u32 type = take16(m, off, positive);
    u32 length = (take16(m, off + 2, positive) * 4u) & 0x3fffc;
    if (length == 0) return;
    Span change = m.sub(off, length);
    switch (type) {
      case 1: apply(change, 4, "s"); break;
      case 2: apply(change, 4, "sbbss"); break;
      case 3:
      case 4: apply(change, 4, "ss"); break;
      default: SWAP_UNE(); break;
    }
    off += length;
  }
}

// ---- XVideo -------------------------------------------------------------------------------

void swapXvQueryAdaptors(Span m, bool positive) {
  apply(m, 0, "bbsis", 32);
  u64 off = 32;
  while (off < m.size) {
    u32 nameLength = 0;
    u32 formats = 0;
    withHeader(m.sub(off, 12), 12, "isss", positive, [&] {
      nameLength = rd16(m, off + 4);
      formats = rd16(m, off + 8);
    });
    off = addSat(off + 12, pad4(nameLength));
    for (u32 f = 0; f < formats && off < m.size; f++, off += 8) sw32(m, off);
  }
}

// ---- RANDR -----------------------------------------------------------------------------------

void swapRandrScreenResources(Span m, bool positive) {
  u32 ids = 0;
  u32 modes = 0;
  withHeader(m, 32, "bbsiiissss", positive, [&] {
    ids = rd16(m, 16) + rd16(m, 18);
    modes = rd16(m, 20);
  });
  u64 off = addSat(32, arr32(m, 32, ids));
  for (u32 k = 0; k < modes && off < m.size; k++, off += 32) apply(m, off, "ississssssssi", 32);
}

void swapRandrCrtcTransform(Span m, bool positive) {
  u32 pendingName = 0, pendingParams = 0, currentName = 0, currentParams = 0;
  withHeader(m, 96, "bbsiiiiiiiiiibbsiiiiiiiiiissss", positive, [&] {
    pendingName = rd16(m, 88);
    pendingParams = rd16(m, 90);
    currentName = rd16(m, 92);
    currentParams = rd16(m, 94);
  });
  u64 off = addSat(96, pad4(pendingName));
  off = addSat(off, arr32(m, off, pendingParams));
  off = addSat(off, pad4(currentName));
  arr32(m, off, currentParams);
}

void swapRandrOutputInfo(Span m, bool positive) {
  u64 ids = 0;
  withHeader(m, 36, "bbsiiiiibbsssss", positive,
             [&] { ids = u64{rd16(m, 26)} + rd16(m, 28) + rd16(m, 32); });
  arr32(m, 36, ids);
}

// SetCrtcTransform: the filter name (length at 44) is bytes, the filter
// parameters after it are 32-bit fixed-point values.
void swapRandrSetCrtcTransform(Span m, bool positive) {
  u32 nameLength = 0;
  withHeader(m, 48, "bbsiiiiiiiiiis", positive, [&] { nameLength = rd16(m, 44); });
  u64 off = addSat(48, pad4(nameLength));
  arr32(m, off, m.size > off ? (m.size - off) / 4 : 0);
}

// RRNotify: the fields after the first 20 bytes depend on the sub-code in
// byte 1 (CRTC change, output change, output property); another sub-code
// is read as an output property.
void swapRandrNotify(Span m) {
  switch (rd8(m, 1)) {
    case 0: apply(m, 0, "bbsiiiiS"); break;
    case 1: apply(m, 0, "bbsiiiiiis"); break;
    default: apply(m, 0, "bbsiiii"); break;
  }
}

// ---- RENDER ----------------------------------------------------------------------------------

void swapRenderAddGlyphs(Span m, bool positive) {
  if (m.size < 12) {
    SWAP_UNE();
    return;
  }
  u32 glyphs = 0;
  withHeader(m, 12, "bbsii", positive, [&] { glyphs = rd32(m, 8); });
  u64 off = addSat(12, arr32(m, 12, glyphs));
  arr16(m, off, mulSat(glyphs, 6));
}

void swapRenderSetPictureFilter(Span m, bool positive) {
  u32 nameLength = 0;
  withHeader(m, 12, "bbsiss", positive, [&] { nameLength = rd16(m, 8); });
  apply(m, addSat(12, pad4(nameLength)), "I");
}

// CompositeGlyphs8/16/32: items {count, pad, dx, dy} each followed by count
// glyphs of the width, or by a glyph-set id when the count is 255.
void swapRenderCompositeGlyphs(Span m, u32 glyphWidth) {
  apply(m, 0, "bbsbbsiiiiss", 28);
  u64 off = 28;
  while (m.fits(off, 8)) {
    u32 count = m.data[off];
    apply(m, off, "bbsss", 8);
    off += 8;
    if (count == 255) {
      sw32(m, off);
      off += 4;
      continue;
    }
    if (glyphWidth == 2) arr16(m, off, count);
    if (glyphWidth == 4) arr32(m, off, count);
    off += pad4(u64{count} * glyphWidth);
  }
}

void swapRenderQueryPictFormats(Span m, bool positive) {
  u32 formats = 0, screens = 0, subpixels = 0;
  withHeader(m, 32, "bbsiiiiiii", positive, [&] {
    formats = rd32(m, 8);
    screens = rd32(m, 12);
    subpixels = rd32(m, 24);
  });
  u64 off = 32;
  for (u32 f = 0; f < formats && off < m.size; f++, off += 28) apply(m, off, "ibbsssssssssi", 28);
  for (u32 s = 0; s < screens && off < m.size; s++) {
    u32 depths = take32(m, off, positive);
    sw32(m, off + 4);
    off += 8;
    for (u32 d = 0; d < depths && off < m.size; d++) {
      u32 visuals = take16(m, off + 2, positive);
      sw32(m, off + 4);
      off = addSat(off + 8, arr32(m, off + 8, 2 * u64{visuals}));
    }
  }
  if (off < m.size) arr32(m, off, subpixels);
}

}  // namespace palvon::swapping
