// RENDER on a picture whose pixels are colour indexes of a visual that the
// head emulates (8-bit PseudoColor in a 24-bit visual, the index in every
// channel). The head's RENDER takes those pixels for colours, so what it
// draws there is computed as a plain server of that visual computes it:
// such a server takes a palette in the visual's default colormap when its
// RENDER starts (a colour cube of four levels a channel and thirteen
// greys), reads a pixel as the colour its cell holds, and stores every
// colour it computes as the palette's cell nearest in five bits a channel.
// A solid colour that covers what it draws whole becomes that cell's index
// here; everything else is blended in true colours (blend.cpp).
#include <X11/extensions/render.h>

#include <cstdlib>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/colorheads.h"
#include "Xext/render/internal.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kCubeLevels = 4, kGreyLevels = 13;

// The palette's colours in the order a server takes them: the cube, red
// slowest, then the greys (black and white are the cube's corners).
XColor paletteColour(u32 i) {
  XColor c{};
  c.flags = DoRed | DoGreen | DoBlue;
  if (i < kCubeLevels * kCubeLevels * kCubeLevels) {
    c.red = u16(i / 16 * 0x5555), c.green = u16(i / 4 % 4 * 0x5555), c.blue = u16(i % 4 * 0x5555);
  } else {
    u32 level = i - kCubeLevels * kCubeLevels * kCubeLevels;
    c.red = c.green = c.blue = u16((level * 65535 + (kGreyLevels - 1) / 2) / (kGreyLevels - 1));
  }
  return c;
}

const ColormapRecord* formatColormap(const ProxyPictFormat* format) {
  u32 id = format ? format->colormap : 0;
  return id ? static_cast<const ColormapRecord*>(lookupResourceByType(id, RT_COLORMAP)) : nullptr;
}

// The allocated cell that holds the colour to eight bits a channel; -1
// when none.
i32 cellOfColour(const ColormapRecord* colormap, const XColor& colour) {
  i32 found = -1;
  for (u32 i = 0; i < colormap->allocationCount; i++) {
    u32 pixel = colormap->allocations[i].pixel;
    XColor cell = colormapCellColour(colormap, pixel);
    if ((cell.red >> 8) == (colour.red >> 8) && (cell.green >> 8) == (colour.green >> 8) &&
        (cell.blue >> 8) == (colour.blue >> 8) && (found < 0 || i32(pixel) < found))
      found = i32(pixel);
  }
  return found;
}

// Whether some head of the format's screen emulates its visual.
bool emulatedSomewhere(const ProxyPictFormat& format) {
  const MetaScreen* screen = pictFormatScreen(&format);
  const VisualRecord* visual = screen ? findScreenVisual(screen, format.visuals[0]) : nullptr;
  for (const Head* head = screen && visual ? screen->heads : nullptr; head; head = head->next) {
    const VisualRecord* match = headVisualMatch(head, visual);
    if (match && match->emulatedVisualId) return true;
  }
  return false;
}

}  // namespace

u32 IndexPalette::nearest(u16 red, u16 green, u16 blue) const {
  return cells[(red >> 11) << 10 | (green >> 11) << 5 | blue >> 11];
}

void takeIndexPalettes() {
  for (u32 i = 0; i < renderState.formatCount; i++) {
    ProxyPictFormat& format = renderState.formats[i];
    if (format.type != PictTypeIndexed || !format.visualCount || format.palette || !emulatedSomewhere(format)) continue;
    auto* colormap = static_cast<ColormapRecord*>(format.colormap ? lookupResourceByType(format.colormap, RT_COLORMAP)
                                                                  : nullptr);
    if (!colormap) continue;
    auto* palette = static_cast<IndexPalette*>(memCalloc(1, sizeof(IndexPalette)));
    if (!palette) {
      PALVON_OOM();
      return;
    }
    // Where the colour head emulates the visual the proxy takes the cells;
    // a server of the visual beside it has taken them already.
    u32 pixels[kCubeLevels * kCubeLevels * kCubeLevels + kGreyLevels];
    u8 colours[sizeof pixels / sizeof pixels[0]][3];
    u32 count = 0;
    for (u32 c = 0; c < sizeof pixels / sizeof pixels[0]; c++) {
      XColor colour = paletteColour(c);
      takeProxyColour(colormap, &colour);
      i32 pixel = cellOfColour(colormap, paletteColour(c));
      bool listed = false;
      for (u32 k = 0; k < count; k++) listed = listed || pixels[k] == u32(pixel);
      if (pixel < 0 || listed) continue;
      XColor held = colormapCellColour(colormap, u32(pixel));
      pixels[count] = u32(pixel);
      colours[count][0] = u8(held.red >> 11), colours[count][1] = u8(held.green >> 11), colours[count][2] = u8(held.blue >> 11);
      count++;
    }
    for (u32 rgb = 0; rgb < 32768; rgb++) {
      i32 r = i32(rgb >> 10), g = i32(rgb >> 5 & 31), b = i32(rgb & 31);
      i32 best = 1 << 30;
      for (u32 k = 0; k < count; k++) {
        i32 dr = colours[k][0] - r, dg = colours[k][1] - g, db = colours[k][2] - b;
        i32 distance = dr * dr + dg * dg + db * db;
        if (distance < best) best = distance, palette->cells[rgb] = u8(pixels[k]);
      }
    }
    format.palette = palette;
  }
}

const IndexPalette* indexPaletteOf(const PictureRecord* picture) {
  return picture && picture->format ? picture->format->palette : nullptr;
}

void pictureIndexColours(const PictureRecord* picture, u32* rgb) {
  const ColormapRecord* colormap = formatColormap(picture->format);
  u32 size = colormap && colormap->visual ? colormap->visual->colormapSize : 0;
  for (u32 i = 0; i < 256; i++) {
    XColor c = i < size ? colormapCellColour(colormap, i) : XColor{};
    rgb[i] = u32(c.red >> 8) << 16 | u32(c.green >> 8) << 8 | u32(c.blue >> 8);
  }
}

bool drawsIndexesOnHead(const PictureRecord* destination, const Head* head) {
  const ProxyPictFormat* format = destination ? destination->format : nullptr;
  if (!head || head->pixelsAsIs || !format || !format->palette || !head->metaScreen) return false;
  const VisualRecord* visual = findScreenVisual(head->metaScreen, format->visuals[0]);
  const VisualRecord* match = visual ? headVisualMatch(head, visual) : nullptr;
  return match && match->emulatedVisualId;
}

void noteSolidFill(PictureRecord* destination, const u8* request, u32 length) {
  const PixmapRecord* pixmap = destination->pixmap;
  destination->solidFilled = 0;
  if (!pixmap || pixmap->width != 1 || pixmap->height != 1 || !destination->repeat) return;
  if (request[1] != X_RenderFillRectangles || request[4] != PictOpSrc || length < 28) return;
  // One rectangle over the pixel (0, 0).
  i16 x = i16(get16(request + 20)), y = i16(get16(request + 22));
  if (x > 0 || y > 0 || x + get16(request + 24) < 1 || y + get16(request + 26) < 1) return;
  // The colour as the format holds it: a channel it lacks reads as 0 (alpha
  // as opaque), the others cut to their bits and spread again.
  const ProxyPictFormat* format = destination->format;
  if (!format || format->type != PictTypeDirect) return;
  for (u32 c = 0; c < 4; c++) {
    u32 bits = format->bits[c], value = get16(request + 12 + 2 * c);
    if (!bits || bits >= 16) {
      destination->solidColour[c] = u16(bits ? value : c == 3 ? 0xffff : 0);
      continue;
    }
    u32 kept = value >> (16 - bits), spread = 0;
    for (i32 shift = 16 - i32(bits); shift > -i32(bits); shift -= i32(bits))
      spread |= shift >= 0 ? kept << shift : kept >> -shift;
    destination->solidColour[c] = u16(spread);
  }
  destination->solidFilled = 1;
}

bool solidColourOf(const PictureRecord* source, u16* colour) {
  if (source && source->creation && source->creation[1] == X_RenderCreateSolidFill) {
    for (u32 c = 0; c < 4; c++) colour[c] = get16(source->creation + 8 + 2 * c);
    return true;
  }
  if (!source || !source->solidFilled) return false;
  for (u32 c = 0; c < 4; c++) colour[c] = source->solidColour[c];
  return true;
}

bool drawsIndexesDirectly(const RenderDrawing& d) {
  u8 op = d.request[4];
  u16 colour[4];
  switch (d.minor) {
    case X_RenderFillRectangles:
      if (d.length < 20) return false;
      for (u32 c = 0; c < 4; c++) colour[c] = get16(d.request + 12 + 2 * c);
      break;
    case X_RenderComposite: {
      if (d.mask) return false;
      // Indexes of the same palette are copied as they are: a plain server
      // stores a palette cell it reads as that cell again.
      const PictureRecord* s = d.source;
      if (s && s->format && s->format->palette == indexPaletteOf(d.destination) && !s->hasTransform &&
          !s->filterName && !s->alphaMap)
        return op == PictOpSrc || op == PictOpOver;
      if (!solidColourOf(s, colour)) return false;
      break;
    }
    default: return false;
  }
  return op == PictOpSrc || op == PictOpClear || (op == PictOpOver && colour[3] == 0xffff);
}

u32 indexedSourceOnHead(const PictureRecord* source, u8 op, const PictureRecord* destination, ServerLink* link,
                        const Head* head) {
  u16 colour[4];
  if (!solidColourOf(source, colour)) return 0;
  if (op == PictOpClear) colour[0] = colour[1] = colour[2] = 0;
  u32 temporary = translateXid(allocProxyXid(currentClient), RT_SERVER_ID, head);
  u8* solid = temporary ? renderRequest(&link->writer, X_RenderCreateSolidFill, 16) : nullptr;
  if (!solid) return 0;
  put32(solid + 4, temporary);
  u32 index = indexPaletteOf(destination)->nearest(colour[0], colour[1], colour[2]);
  for (u32 c = 0; c < 3; c++) put16(solid + 8 + 2 * c, u16(index * 0x101));
  put16(solid + 14, 0xffff);
  finishWriterRequest(&link->writer, solid, 16, "bbsissss");
  return temporary;
}

void indexDrawingOnHead(u8* copy, u32 length, u32 indexedSource, const PictureRecord* destination) {
  // What Clear leaves is black, stored as its nearest cell.
  if (copy[4] == PictOpClear) {
    copy[4] = PictOpSrc;
    if (copy[1] == X_RenderFillRectangles && length >= 20) memset(copy + 12, 0, 8);
  }
  if (copy[1] == X_RenderComposite) {
    if (indexedSource) put32(copy + 8, indexedSource);
    return;
  }
  if (copy[1] != X_RenderFillRectangles || length < 20) return;
  u32 index = indexPaletteOf(destination)->nearest(get16(copy + 12), get16(copy + 14), get16(copy + 16));
  for (u32 c = 0; c < 3; c++) put16(copy + 12 + 2 * c, u16(index * 0x101));
  put16(copy + 18, 0xffff);
}

}  // namespace palvon
