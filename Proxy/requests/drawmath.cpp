// Arithmetic of the drawing, image and text handlers.
#include "Proxy/requests/drawmath.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "xsupport/region.h"

namespace palvon {

// --- CopyArea on a scaled head ----------------------------------------------------

u32 planCopyStrips(i32 sx, i32 sy, u32 ws, u32 hs, i32 dx, i32 dy, u32 wd, u32 hd, CopyPiece out[4]) {
  u32 w = std::min(ws, wd), h = std::min(hs, hd);
  u32 n = 0;
  out[n++] = {sx, sy, w, h, dx, dy};
  // Sizes differ by rounding only: the last source column or row stands in
  // for the destination's extra ones. Without the corner piece a pixel
  // would stay unpainted where both grew.
  bool wider = wd > ws && ws > 0, taller = hd > hs && hs > 0;
  if (wider) out[n++] = {sx + i32(ws) - 1, sy, wd - ws, h, dx + i32(ws), dy};
  if (taller) out[n++] = {sx, sy + i32(hs) - 1, w, hd - hs, dx, dy + i32(hs)};
  if (wider && taller) out[n++] = {sx + i32(ws) - 1, sy + i32(hs) - 1, wd - ws, hd - hs, dx + i32(ws), dy + i32(hs)};
  return n;
}

// --- SetDashes on a scaled head ------------------------------------------------------

void scaleSetDashes(const HeadScaler* s, u8* request, u32 length) {
  put16(request + 8, u16(std::min<u32>(scaleLineWidth(s, get16(request + 8)), 65535)));
  // The padding too: the server reads the list by its count, the bytes
  // behind it are scaled as the client's copy would have been.
  scaleDashes(s, request + 12, length - 12);
}

// --- Culling ------------------------------------------------------------------------

bool damageMissesHead(const RegionBox& e, i32 hx, i32 hy, u32 hw, u32 hh, i32 wx, i32 wy) {
  i64 left = i64(hx) - wx, top = i64(hy) - wy;
  return e.x1 >= left + hw || e.y1 >= top + hh || e.x2 <= left || e.y2 <= top;
}

// --- Damage -------------------------------------------------------------------------

u32 lineMargin(const LineStyle& style) {
  u32 w = style.lineWidth;
  if (w <= 1) return 1;
  // A miter may reach far beyond the line at a sharp angle.
  if (style.joinStyle == JoinMiter) return 6 * w;
  return style.capStyle == CapProjecting ? w : (w + 1) / 2;
}

u32 outlineMargin(u32 lineWidth) { return (std::max(lineWidth, 1u) + 1) / 2; }

namespace {

struct Boxes {
  Region* region;
  bool ok = true;
  void add(i64 x, i64 y, i64 width, i64 height, i64 margin) {
    x -= margin, y -= margin, width += 2 * margin, height += 2 * margin;
    if (!ok || width <= 0 || height <= 0) return;
    // The region keeps 16-bit boxes: what lies beyond is clipped there.
    i64 x0 = std::clamp<i64>(x, kRegionMin, kRegionMax), y0 = std::clamp<i64>(y, kRegionMin, kRegionMax);
    i64 x1 = std::clamp<i64>(x + width, kRegionMin, kRegionMax), y1 = std::clamp<i64>(y + height, kRegionMin, kRegionMax);
    if (x1 > x0 && y1 > y0) ok = regionAppendRect(region, int(x0), int(y0), u32(x1 - x0), u32(y1 - y0));
  }
  // The box from one point to another, both included.
  void span(i64 ax, i64 ay, i64 bx, i64 by, i64 margin) {
    add(std::min(ax, bx), std::min(ay, by), std::abs(ax - bx) + 1, std::abs(ay - by) + 1, margin);
  }
};

// Points of a list, made absolute in coordinate mode Previous.
struct PointWalk {
  const u8* at;
  u32 count;
  bool relative;
  i64 x = 0, y = 0;
  u32 index = 0;
  bool next() {
    if (index >= count) return false;
    i64 px = i16(get16(at + 4 * index)), py = i16(get16(at + 4 * index + 2));
    if (relative && index > 0) x += px, y += py;
    else x = px, y = py;
    index++;
    return true;
  }
};

}  // namespace

bool appendDrawingDamage(Region* region, const u8* request, u32 length, const LineStyle& style) {
  Boxes boxes{region};
  const u8* list = request + 12;
  u32 bytes = length - 12;
  switch (request[0]) {
    case X_PolyPoint: {
      PointWalk p{list, bytes / 4, request[1] == CoordModePrevious};
      while (p.next()) boxes.add(p.x, p.y, 1, 1, 0);
      break;
    }
    case X_PolyLine: {
      PointWalk p{list, bytes / 4, request[1] == CoordModePrevious};
      i64 m = lineMargin(style);
      if (!p.next()) break;
      for (i64 px = p.x, py = p.y; p.next(); px = p.x, py = p.y) boxes.span(px, py, p.x, p.y, m);
      break;
    }
    case X_PolySegment:
      for (u32 i = 0; i < bytes / 8; i++) {
        const u8* s = list + 8 * i;
        boxes.span(i16(get16(s)), i16(get16(s + 2)), i16(get16(s + 4)), i16(get16(s + 6)), style.lineWidth);
      }
      break;
    case X_PolyRectangle: {
      i64 m = outlineMargin(style.lineWidth);
      for (u32 i = 0; i < bytes / 8; i++) {
        const u8* r = list + 8 * i;
        i64 x = i16(get16(r)), y = i16(get16(r + 2)), w = get16(r + 4), h = get16(r + 6);
        // One box per edge, each widened by the margin on both sides.
        boxes.add(x - m, y - m, w + 2 * m, 2 * m, 0);
        boxes.add(x - m, y - m, 2 * m, h + 2 * m, 0);
        boxes.add(x + w - 1, y - m, 2 * m, h + 2 * m, 0);
        boxes.add(x - m, y + h - 1, w + 2 * m, 2 * m, 0);
      }
      break;
    }
    case X_PolyArc:
    case X_PolyFillArc: {
      i64 m = request[0] == X_PolyArc ? outlineMargin(style.lineWidth) : 0;
      for (u32 i = 0; i < bytes / 12; i++) {
        const u8* a = list + 12 * i;
        boxes.add(i16(get16(a)), i16(get16(a + 2)), get16(a + 4), get16(a + 6), m);
      }
      break;
    }
    case X_FillPoly: {
      PointWalk p{request + 16, (length - 16) / 4, request[13] == CoordModePrevious};
      if (!p.next()) break;
      i64 x0 = p.x, y0 = p.y, x1 = p.x, y1 = p.y;
      while (p.next()) x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
      boxes.add(x0, y0, x1 - x0 + 1, y1 - y0 + 1, 0);
      break;
    }
    case X_PolyFillRectangle:
      for (u32 i = 0; i < bytes / 8; i++) {
        const u8* r = list + 8 * i;
        boxes.add(i16(get16(r)), i16(get16(r + 2)), get16(r + 4), get16(r + 6), 0);
      }
      break;
    default: break;
  }
  bool overlap;
  return boxes.ok && regionValidate(region, &overlap);
}

// --- Images ---------------------------------------------------------------------------

u64 imageBytesPerLine(u32 bitsPerPixel, u64 width, u32 pad) {
  if (!pad) pad = 8;
  return (u64(bitsPerPixel) * width + pad - 1) / pad * (pad / 8);
}

u64 imageSize(u32 format, u32 depth, u64 width, u32 height, u32 planeMask, u32 bitmapPad, u32 bitsPerPixel,
              u32 scanlinePad) {
  if (format == ZPixmap) return imageBytesPerLine(bitsPerPixel, width, scanlinePad) * height;
  u64 plane = imageBytesPerLine(1, width, bitmapPad) * height;
  if (format == XYBitmap) return plane;
  u32 planes = depth >= 32 ? planeMask : planeMask & ((1u << depth) - 1);
  return plane * u32(__builtin_popcount(planes));
}

// --- PolyText items ---------------------------------------------------------------------

int TextItemWalk::next(TextItem* item) {
  if (length_ - at_ < 3) return 0;
  const u8* p = items_ + at_;
  u32 left = length_ - at_;
  *item = {};
  item->offset = at_;
  if (p[0] == 255) {
    if (left < 5) return -1;
    item->isFont = true;
    // Most significant byte first, whatever the client's byte order.
    item->font = u32(p[1]) << 24 | u32(p[2]) << 16 | u32(p[3]) << 8 | p[4];
    at_ += 5;
    return 1;
  }
  u32 size = 2 + u32(p[0]) * bytesPerChar_;
  if (left < size) return -1;
  item->delta = i32(static_cast<signed char>(p[1]));
  item->count = p[0];
  item->characters = p + 2;
  at_ += size;
  return 1;
}

bool rectanglesInClaimedOrder(const u8* list, u32 count, u8 ordering) {
  for (u32 k = 1; ordering != Unsorted && k < count; k++) {
    const u8* p = list + 8 * (k - 1);
    const u8* n = p + 8;
    i32 px = i16(get16(p)), py = i16(get16(p + 2)), nx = i16(get16(n)), ny = i16(get16(n + 2));
    if (ny < py || (ordering >= YXSorted && ny == py && nx < px)) return false;
    // Bands: a band's rectangles share its top and height and do not
    // overlap; the next band starts below it.
    if (ordering == YXBanded && ((ny != py && ny < py + get16(p + 6)) ||
                                 (ny == py && (get16(n + 6) != get16(p + 6) || nx < px + get16(p + 4)))))
      return false;
  }
  return true;
}

}  // namespace palvon
