// Exact colour cells on one server through the proxy's own connection.
//
// A server hands out the first free cell (or shares a read-only cell of the
// same colour), so the wanted pixel is had by taking every other free cell
// first: then the wanted one is the only cell left to give.
#include "Proxy/visuals/colorcells.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/visual.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

constexpr unsigned short kAllChannels = DoRed | DoGreen | DoBlue;

// The grabbed free cells of a colormap, freed again piece by piece.
struct Grab {
  unsigned long* pixels = nullptr;
  u32 count = 0;
  const char* failure = nullptr;  // the grab's message when it failed
};

Grab grabFreeCells(Display* display, Colormap colormap) {
  Grab grab;
  grab.failure = allocAllColorCells(display, colormap, &grab.pixels, &grab.count);
  return grab;
}

// Takes pixel out of the grabbed set; false when it was not in it.
bool takeOut(Grab& grab, unsigned long pixel) {
  for (u32 i = 0; i < grab.count; i++) {
    if (grab.pixels[i] != pixel) continue;
    grab.pixels[i] = grab.pixels[--grab.count];
    return true;
  }
  return false;
}

// Keeps the cells base | subset(mask) allocated and returns the number
// kept; the rest of the set stays in it, and the kept ones move behind
// its end.
u64 keepCells(Grab& grab, u32 base, u32 mask) {
  u64 kept = 0;
  for (u32 i = 0; i < grab.count;) {
    if (isPixelInCells(grab.pixels[i], base, mask)) {
      unsigned long pixel = grab.pixels[i];
      grab.pixels[i] = grab.pixels[--grab.count];
      grab.pixels[grab.count] = pixel;
      kept++;
    } else {
      i++;
    }
  }
  return kept;
}

void releaseGrab(Display* display, Colormap colormap, Grab& grab) {
  if (grab.count) XfsFreeColors(display, colormap, grab.pixels, int(grab.count), 0);
  std::free(grab.pixels);
  grab = Grab{};
}

void freeOne(Display* display, Colormap colormap, unsigned long pixel, unsigned long planes = 0) {
  XfsFreeColors(display, colormap, &pixel, 1, planes);
}

// The wanted colour as the server keeps it (its own rounding); false when
// the server gives no cell for it.
bool resolveColour(Display* display, Colormap colormap, const XColor& wanted, XColor* resolved) {
  XColor asked = wanted;
  asked.flags = kAllChannels;
  if (!XfsAllocColor(display, colormap, &asked)) return false;
  freeOne(display, colormap, asked.pixel);
  *resolved = asked;
  return true;
}

// Step 4 of the exact allocation: the wanted pixel is held already. It is
// shared only when it is a read-only cell that already shows the wanted
// colour (`resolved`, as the server keeps it): a cell of another colour
// would show this pixel differently on this server than on the others.
bool shareHeldPixel(Display* display, Colormap colormap, XColor* colour, const XColor& resolved) {
  XColor held{};
  held.pixel = colour->pixel;
  if (!XfsQueryColor(display, colormap, &held)) return false;
  if (held.red != resolved.red || held.green != resolved.green || held.blue != resolved.blue) return false;
  XColor asked = held;
  asked.flags = kAllChannels;
  if (!XfsAllocColor(display, colormap, &asked)) return false;
  if (asked.pixel == colour->pixel) {
    colour->red = asked.red, colour->green = asked.green, colour->blue = asked.blue;
    return true;
  }
  freeOne(display, colormap, asked.pixel);
  return false;
}

u16 shifted(u16 value, i32 offset) {
  i32 v = i32(value) + offset;
  return u16(v < 0 ? 0 : v > 65535 ? 65535 : v);
}

u32 bitCount(u32 mask) { return u32(__builtin_popcount(mask)); }

// One run of adjacent bits (the contiguous flag of AllocColorCells).
bool isContiguous(u32 mask) {
  if (!mask) return false;
  u32 low = mask >> __builtin_ctz(mask);
  return (low & (low + 1)) == 0;
}

// Whether the kept pixels hold every wanted entry of a DirectColor map:
// each pixel grabbed holds one entry of each channel's table, so the
// wanted cells are had when every channel has all of its wanted entries
// (count << the channel's plane bits), not one pixel per combination.
bool holdsEveryChannelEntry(const unsigned long* kept, u64 keptCount, u32 count, u32 planes,
                            const VisualRecord* visual) {
  for (u32 field : {visual->redMask, visual->greenMask, visual->blueMask}) {
    u64 wanted = u64(count) << bitCount(planes & field), distinct = 0;
    for (u64 i = 0; i < keptCount; i++) {
      bool seen = false;
      for (u64 j = 0; j < i && !seen; j++) seen = (kept[j] & field) == (kept[i] & field);
      distinct += !seen;
    }
    if (distinct != wanted) return false;
  }
  return true;
}

// What a mismatched cell request falls back to: the cells the server gave
// are freed, every free cell is grabbed, the wanted ones are kept and the
// rest released. False (nothing kept) when a wanted cell was not free.
bool keepWantedCells(Display* display, Colormap colormap, const u32* pixels, u32 count, u32 planes,
                     const VisualRecord* visual) {
  Grab grab = grabFreeCells(display, colormap);
  if (grab.failure) {
    logProblem(grab.failure, __FILE__, __LINE__);
    return false;
  }
  u64 wanted = u64(count) << bitCount(planes);
  u64 kept = 0;
  for (u32 i = 0; i < count; i++) kept += keepCells(grab, pixels[i], planes);
  // keepCells moved the kept pixels behind the rest of the set.
  const unsigned long* keptPixels = grab.pixels + grab.count;
  bool whole = visual && visual->visualClass == DirectColor
                   ? holdsEveryChannelEntry(keptPixels, kept, count, planes, visual)
                   : kept == wanted;
  releaseGrab(display, colormap, grab);
  if (whole) {
    XfsFlush(display);
    return true;
  }
  // Some wanted cell belongs to someone else: giving the caller the others
  // would report cells as the client's that are not.
  for (u32 i = 0; i < count; i++) {
    unsigned long pixel = pixels[i];
    XfsFreeColors(display, colormap, &pixel, 1, planes);
  }
  XfsFlush(display);
  return false;
}

}  // namespace

int allocColorNear(Display* display, Colormap colormap, XColor* colour) {
  for (u32 k = 0; k < kNearTries; k++) {
    // 0, -2, +2, -4, +4, ...
    i32 step = i32((k + 1) / 2) * 2;
    i32 offset = k % 2 ? -step : step;
    XColor asked = *colour;
    asked.red = shifted(colour->red, offset);
    asked.green = shifted(colour->green, offset);
    asked.blue = shifted(colour->blue, offset);
    asked.flags = kAllChannels;
    if (!XfsAllocColor(display, colormap, &asked)) return 0;
    if (asked.pixel == colour->pixel) {
      colour->red = asked.red, colour->green = asked.green, colour->blue = asked.blue;
      return 1;
    }
    freeOne(display, colormap, asked.pixel);
  }
  return 0;
}

int allocPixelExactly(Display* display, Colormap colormap, XColor* colour, bool sync) {
  XColor asked = *colour;
  asked.flags = kAllChannels;
  if (!XfsAllocColor(display, colormap, &asked)) return 0;
  if (asked.pixel == colour->pixel) {
    colour->red = asked.red, colour->green = asked.green, colour->blue = asked.blue;
    return 1;
  }
  freeOne(display, colormap, asked.pixel);
  const XColor resolved = asked;
  Grab grab = grabFreeCells(display, colormap);
  if (grab.failure) {
    bool shared = shareHeldPixel(display, colormap, colour, resolved);
    if (!shared) logProblem(grab.failure, __FILE__, __LINE__);
    return shared ? 1 : 0;
  }
  if (!takeOut(grab, colour->pixel)) {
    releaseGrab(display, colormap, grab);
    return shareHeldPixel(display, colormap, colour, resolved) ? 1 : 0;
  }
  // Only the wanted cell is free now: a new cell must be that one.
  freeOne(display, colormap, colour->pixel);
  int result = allocColorNear(display, colormap, colour);
  releaseGrab(display, colormap, grab);
  if (sync) XfsSync(display, False);
  return result;
}

namespace {

bool allocPixelList(Display* display, Colormap colormap, XColor* colours, u32 count) {
  u32 i = 0;
  while (i < count) {
    XColor& colour = colours[i];
    XColor asked = colour;
    asked.flags = kAllChannels;
    if (!XfsAllocColor(display, colormap, &asked)) return false;
    if (asked.pixel == colour.pixel) {
      colour.red = asked.red, colour.green = asked.green, colour.blue = asked.blue;
      i++;
      continue;
    }
    freeOne(display, colormap, asked.pixel);
    Grab grab = grabFreeCells(display, colormap);
    if (!grab.failure && grab.count) {
      // Every following colour whose cell is free comes out of this grab.
      while (i < count && takeOut(grab, colours[i].pixel)) {
        freeOne(display, colormap, colours[i].pixel);
        if (!allocColorNear(display, colormap, &colours[i])) {
          releaseGrab(display, colormap, grab);
          return false;
        }
        i++;
      }
      releaseGrab(display, colormap, grab);
      if (i == count) return true;
    } else {
      std::free(grab.pixels);
    }
    XColor& held = colours[i];
    XColor resolved{};
    if (!resolveColour(display, colormap, held, &resolved) || !shareHeldPixel(display, colormap, &held, resolved)) {
      LOGF(logChWarning, "Can't alloc pixel 0x%lx (RGB %x/%x/%x) in 0x%lx on display %s", held.pixel, held.red,
           held.green, held.blue, colormap, xShortDisplayName(display));
    }
    i++;
  }
  return true;
}

}  // namespace

bool allocPixelsExactly(Display* display, Colormap colormap, const XColor* wanted, u32 count) {
  auto* colours = static_cast<XColor*>(std::malloc(u64(count ? count : 1) * sizeof(XColor)));
  if (!colours) {
    PALVON_OOM();
    return false;
  }
  std::memcpy(colours, wanted, u64(count) * sizeof(XColor));
  bool result = allocPixelList(display, colormap, colours, count);
  std::free(colours);
  return result;
}

bool allocColorCellsExactly(Display* display, Colormap colormap, const unsigned long* pixels, u32 count) {
  auto* cells = static_cast<u32*>(std::malloc(u64(count ? count : 1) * sizeof(u32)));
  if (!cells) {
    PALVON_OOM();
    return false;
  }
  for (u32 i = 0; i < count; i++) cells[i] = u32(pixels[i]);
  bool result = allocColorCellsExactly(display, colormap, cells, count, nullptr, 0) != 0;
  std::free(cells);
  return result;
}

int allocColorCellsExactly(Display* display, Colormap colormap, const u32* pixels, u32 count, const u32* masks,
                           u32 maskCount, const VisualRecord* visual) {
  if (!count) return 1;
  u32 planes = 0;
  for (u32 k = 0; k < maskCount; k++) planes |= masks[k];
  bool contiguous = maskCount > 1 && isContiguous(planes);
  auto* got = static_cast<unsigned long*>(std::calloc(u64(count) + maskCount, sizeof(unsigned long)));
  if (!got) {
    PALVON_OOM();
    return 0;
  }
  unsigned long* gotMasks = got + count;
  if (!XfsAllocColorCells(display, colormap, contiguous, gotMasks, maskCount, got, count)) {
    std::free(got);
    LOGF(logChWarning, "Failed XAllocColorCells(%d pixels, %d masks)", int(count), int(maskCount));
    return 0;
  }
  bool same = true;
  u32 gotPlanes = 0;
  for (u32 k = 0; k < maskCount; k++) {
    same = same && gotMasks[k] == masks[k];
    gotPlanes |= u32(gotMasks[k]);
  }
  for (u32 i = 0; i < count; i++) same = same && got[i] == pixels[i];
  if (same) {
    std::free(got);
    return 1;
  }
  LOGF(logChWarning, "Different cells in 0x%lx (%d pixels, %d mask) at %s", colormap, int(count), int(maskCount),
       xShortDisplayName(display));
  XfsFreeColors(display, colormap, got, int(count), gotPlanes);
  std::free(got);
  return keepWantedCells(display, colormap, pixels, count, planes, visual) ? 1 : 0;
}

int allocColorPlanesExactly(Display* display, Colormap colormap, u32 redMask, u32 greenMask, u32 blueMask,
                            const u32* pixels, u32 count, const VisualRecord* visual) {
  if (!count) return 1;
  u32 planes = redMask | greenMask | blueMask;
  auto* got = static_cast<unsigned long*>(std::calloc(count, sizeof(unsigned long)));
  if (!got) {
    PALVON_OOM();
    return 0;
  }
  unsigned long red = 0, green = 0, blue = 0;
  if (!XfsAllocColorPlanes(display, colormap, isContiguous(planes), got, int(count), int(bitCount(redMask)),
                           int(bitCount(greenMask)), int(bitCount(blueMask)), &red, &green, &blue)) {
    std::free(got);
    return 0;
  }
  bool same = red == redMask && green == greenMask && blue == blueMask;
  for (u32 i = 0; i < count; i++) same = same && got[i] == pixels[i];
  if (same) {
    std::free(got);
    return 1;
  }
  XfsFreeColors(display, colormap, got, int(count), red | green | blue);
  std::free(got);
  return keepWantedCells(display, colormap, pixels, count, planes, visual) ? 1 : 0;
}

u32 fillFreeColorCells(Display* display, Colormap colormap, u16 red, u16 green, u16 blue) {
  Grab grab = grabFreeCells(display, colormap);
  if (grab.failure || !grab.count) {
    std::free(grab.pixels);
    return 0;
  }
  auto* items = static_cast<XColor*>(std::calloc(grab.count, sizeof(XColor)));
  if (!items) {
    PALVON_OOM();
    releaseGrab(display, colormap, grab);
    return 0;
  }
  for (u32 i = 0; i < grab.count; i++) items[i] = XColor{grab.pixels[i], red, green, blue, kAllChannels, 0};
  XfsStoreColors(display, colormap, items, int(grab.count));
  std::free(items);
  u32 filled = grab.count;
  releaseGrab(display, colormap, grab);
  return filled;
}

u32 fillFreeColorCells(Display* display, Colormap colormap, const VisualRecord* match) {
  return match ? fillFreeColorCells(display, colormap, 0, 0, 0) : 0;
}

XColor* queryAllocatedColors(Display* display, Colormap colormap, u32 size, u32* count) {
  *count = 0;
  auto* items = static_cast<XColor*>(std::calloc(size ? size : 1, sizeof(XColor)));
  if (!items) {
    PALVON_OOM();
    return nullptr;
  }
  for (u32 p = 0; p < size; p++) items[p] = XColor{p, 0, 0, 0, kAllChannels, 0};
  Grab grab = grabFreeCells(display, colormap);
  if (grab.failure) {
    std::free(items);
    return nullptr;
  }
  // A cell the grab could take was free: it is marked by flags 0.
  for (u32 i = 0; i < grab.count; i++)
    if (grab.pixels[i] < size) items[grab.pixels[i]].flags = 0;
  releaseGrab(display, colormap, grab);
  u32 kept = 0;
  for (u32 p = 0; p < size; p++)
    if (items[p].flags) items[kept++] = items[p];
  if (kept && !XfsQueryColors(display, colormap, items, int(kept))) {
    std::free(items);
    return nullptr;
  }
  *count = kept;
  return items;
}

u32 nextPixelValue(u32 pixel, const VisualRecord* visual, u32 base, u32 mask) {
  u32 last = base | mask;
  if (pixel == last) return base - 1;
  bool channels = visual && (visual->visualClass == kClassTrueColor || visual->visualClass == kClassDirectColor);
  if (!channels) {
    // The next subset of the mask in increasing order, combined with base.
    u32 subset = ((pixel & mask) | ~mask) + 1;
    return base | (subset & mask);
  }
  const u32 fields[3] = {visual->redMask, visual->greenMask, visual->blueMask};
  u32 rounds = visual->colormapSize ? visual->colormapSize : 256;
  for (u32 round = 0; round < rounds; round++) {
    for (u32 field : fields) {
      if (!field) continue;
      u32 shift = u32(__builtin_ctz(field));
      u32 value = ((pixel & field) >> shift) + 1;
      pixel = (pixel & ~field) | ((value << shift) & field);
    }
    // Back at the start: every field went round once.
    if (pixel == base) break;
    if ((pixel | last) == last) return pixel;
  }
  return base - 1;
}

}  // namespace palvon
