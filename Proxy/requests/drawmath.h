// The arithmetic of the drawing, image and text handlers, kept apart from
// the handlers so that it can be checked on its own: CopyArea strips on
// scaled heads, head culling, the damage of each drawing request, image
// sizes and the walk over PolyText items.
//
// Pure functions; main thread or any.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Region;
struct RegionBox;

// --- CopyArea on a scaled head ----------------------------------------------------

// One copy of a rectangle from the source to the destination.
struct CopyPiece {
  i32 sourceX, sourceY;
  u32 width, height;
  i32 destinationX, destinationY;
};

// The copies that carry a scaled source area (ws x hs at sx, sy) onto a
// scaled destination area (wd x hd at dx, dy) whose size differs by
// rounding: the common part first, then the last source column repeated
// into the destination's extra columns, the last row into its extra rows
// and the corner into the extra corner. Returns the count (1 to 4).
u32 planCopyStrips(i32 sx, i32 sy, u32 ws, u32 hs, i32 dx, i32 dy, u32 wd, u32 hd, CopyPiece out[4]);

// --- SetDashes on a scaled head ------------------------------------------------------

struct HeadScaler;
// Rewrites a SetDashes copy (proxy byte order) for a scaled head: the dash
// offset scaled like a line width, every dash byte up to the request's end,
// padding included, scaled by the uniform factor (0 stays 0, others 1..255).
void scaleSetDashes(const HeadScaler* scaler, u8* request, u32 length);

// --- Culling ------------------------------------------------------------------------

// Whether damage with these extents (window coordinates, right and bottom
// exclusive) misses a head whose rectangle lies at (hx, hy, hw, hh) in the
// meta screen, the window's origin being at (wx, wy).
bool damageMissesHead(const RegionBox& extents, i32 hx, i32 hy, u32 hw, u32 hh, i32 wx, i32 wy);

// --- Damage -------------------------------------------------------------------------

// The GC values the damage of lines depends on.
struct LineStyle {
  u32 lineWidth;
  u8 joinStyle;  // JoinMiter 0, JoinRound 1, JoinBevel 2
  u8 capStyle;   // CapNotLast 0, CapButt 1, CapRound 2, CapProjecting 3
};
// The margin around each PolyLine segment's box.
u32 lineMargin(const LineStyle& style);
// The margin around PolyRectangle edges and PolyArc boxes.
u32 outlineMargin(u32 lineWidth);

// Adds the boxes a drawing request touches (majors 64 to 71; the request
// in the proxy's byte order, `length` checked by its size rule) to the
// region (boxes appended, then validated). False when memory ran out.
bool appendDrawingDamage(Region* region, const u8* request, u32 length, const LineStyle& style);

// --- Images ---------------------------------------------------------------------------

// Bytes of one row: bits per pixel times width, rounded up to the pad (in
// bits, a multiple of 8).
u64 imageBytesPerLine(u32 bitsPerPixel, u64 width, u32 pad);
// The bytes of an image: XYBitmap and XYPixmap at one bit per pixel and
// `bitmapPad`, XYPixmap once per plane of the plane mask within the depth;
// ZPixmap at `bitsPerPixel` and `scanlinePad`. 64-bit: no size wraps.
u64 imageSize(u32 format, u32 depth, u64 width, u32 height, u32 planeMask, u32 bitmapPad, u32 bitsPerPixel,
              u32 scanlinePad);

// --- Rectangle lists --------------------------------------------------------------------

// Whether a list of `count` rectangles (wire layout, proxy order) is in the
// ordering it claims (Unsorted, YSorted, YXSorted, YXBanded), as a server
// checks it before answering BadMatch. A scaled head is sent the list
// unsorted and cannot tell.
bool rectanglesInClaimedOrder(const u8* list, u32 count, u8 ordering);

// --- PolyText items ---------------------------------------------------------------------

// One item of a PolyText request: a text element (count characters after a
// delta) or a font element.
struct TextItem {
  bool isFont;
  i32 delta;      // signed byte
  const u8* characters;  // count characters of 1 or 2 bytes
  u32 count;
  u32 font;              // a font element's id
  u32 offset;            // of the item from the start of the items
};

// Walks the items of a PolyText body (`items` of `length` bytes, after the
// 16-byte head); `bytesPerChar` 1 or 2. Items end where fewer than three
// bytes are left (the padding).
class TextItemWalk {
 public:
  TextItemWalk(const u8* items, u32 length, u32 bytesPerChar)
      : items_(items), length_(length), bytesPerChar_(bytesPerChar) {}
  // 1 with the next item, 0 at the end, -1 when an item runs past the end
  // (the request is then BadLength).
  int next(TextItem* item);

 private:
  const u8* items_;
  u32 length_;
  u32 bytesPerChar_;
  u32 at_ = 0;
};

}  // namespace palvon
