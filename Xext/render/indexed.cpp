// RENDER drawing on a picture whose pixels are colour indexes of a visual
// that the head emulates (8-bit PseudoColor in a 24-bit visual, the index
// in every channel). The head's RENDER takes those pixels for colours: a
// solid colour it writes is turned into the index of the nearest cell, as
// a plain server of that visual finds it, and shapes and glyphs are drawn
// through a one-bit mask, since blending two indexes gives a third cell,
// not a colour between them.
#include <X11/extensions/render.h>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/colorheads.h"
#include "Xext/render/internal.h"

namespace palvon {

namespace {

// The taken cell of the colormap nearest to the colour (16-bit channels);
// 0 when no cell is taken.
u32 nearestCell(const ColormapRecord* colormap, u16 red, u16 green, u16 blue) {
  u32 best = 0;
  u64 bestDistance = ~u64(0);
  for (u32 i = 0; i < colormap->allocationCount; i++) {
    u32 pixel = colormap->allocations[i].pixel;
    XColor cell = colormapCellColour(colormap, pixel);
    i64 r = i64(cell.red >> 8) - (red >> 8), g = i64(cell.green >> 8) - (green >> 8),
        b = i64(cell.blue >> 8) - (blue >> 8);
    u64 distance = u64(r * r + g * g + b * b);
    if (distance < bestDistance) best = pixel, bestDistance = distance;
  }
  return best;
}

// The colormap whose cells the picture's indexes name: its format's.
const ColormapRecord* indexColormap(const PictureRecord* destination) {
  u32 id = destination->format ? destination->format->colormap : 0;
  return id ? static_cast<const ColormapRecord*>(lookupResourceByType(id, RT_COLORMAP)) : nullptr;
}

// The colour at `colour` (red, green, blue, alpha) as the nearest cell's
// index in every channel; alpha stays.
void indexColour(const ColormapRecord* colormap, u8* colour) {
  u32 index = nearestCell(colormap, get16(colour), get16(colour + 2), get16(colour + 4));
  for (u32 c = 0; c < 3; c++) put16(colour + 2 * c, u16(index * 0x101));
}

}  // namespace

bool drawsIndexesOnHead(const PictureRecord* destination, const Head* head) {
  const ProxyPictFormat* format = destination->format;
  if (!head || !format || format->type != PictTypeIndexed || !format->visualCount || !head->metaScreen) return false;
  const VisualRecord* visual = findScreenVisual(head->metaScreen, format->visuals[0]);
  const VisualRecord* match = visual ? headVisualMatch(head, visual) : nullptr;
  return match && match->emulatedVisualId && indexColormap(destination);
}

void noteSolidFill(PictureRecord* destination, const u8* request, u32 length) {
  const PixmapRecord* pixmap = destination->pixmap;
  destination->solidFilled = 0;
  if (!pixmap || pixmap->width != 1 || pixmap->height != 1 || !destination->repeat) return;
  if (request[1] != X_RenderFillRectangles || request[4] != PictOpSrc || length < 28) return;
  // One rectangle over the pixel (0, 0).
  i16 x = i16(get16(request + 20)), y = i16(get16(request + 22));
  if (x > 0 || y > 0 || x + get16(request + 24) < 1 || y + get16(request + 26) < 1) return;
  for (u32 c = 0; c < 4; c++) destination->solidColour[c] = get16(request + 12 + 2 * c);
  destination->solidFilled = 1;
}

u32 indexedSourceOnHead(const PictureRecord* source, const PictureRecord* destination, ServerLink* link,
                        const Head* head) {
  bool fill = source && source->creation && source->creation[1] == X_RenderCreateSolidFill;
  if (!fill && !(source && source->solidFilled)) return 0;
  u32 temporary = translateXid(allocProxyXid(currentClient), RT_SERVER_ID, head);
  u8* solid = temporary ? renderRequest(&link->writer, X_RenderCreateSolidFill, 16) : nullptr;
  if (!solid) return 0;
  put32(solid + 4, temporary);
  if (fill) memcpy(solid + 8, source->creation + 8, 8);
  else
    for (u32 c = 0; c < 4; c++) put16(solid + 8 + 2 * c, source->solidColour[c]);
  indexColour(indexColormap(destination), solid + 8);
  finishWriterRequest(&link->writer, solid, 16, "bbsissss");
  return temporary;
}

void indexDrawingOnHead(u8* copy, u32 length, u32 indexedSource, const PictureRecord* destination,
                        const Head* head) {
  switch (copy[1]) {
    case X_RenderFillRectangles:
      if (length >= 20) indexColour(indexColormap(destination), copy + 12);
      return;
    case X_RenderComposite:
      if (indexedSource) put32(copy + 8, indexedSource);
      return;
    case X_RenderTrapezoids:
    case X_RenderTriangles:
    case X_RenderTriStrip:
    case X_RenderTriFan:
    case X_RenderCompositeGlyphs8:
    case X_RenderCompositeGlyphs16:
    case X_RenderCompositeGlyphs32:
      if (indexedSource) put32(copy + 8, indexedSource);
      if (u32 a1 = alphaBitFormatOnHead(head)) put32(copy + 16, a1);
      return;
    default: return;
  }
}

}  // namespace palvon
