// Emulated visuals and the colour cells of their colormaps.
#include "Proxy/visuals/emulation.h"

#include <cstring>

#include <strings.h>

#include <cstdlib>

#include "Proxy/proxystate.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "base/logging.h"
#include "xsupport/colornames.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

// --- Emulation table ----------------------------------------------------

struct EmulationEntry {
  u32 bit;
  u8 visualClass;
  u8 depth;
};

// In the order the visuals are added.
constexpr EmulationEntry kEmulationTable[] = {
    {0x1, kClassPseudoColor, 4},   {0x2, kClassPseudoColor, 8},   {0x40, kClassStaticColor, 4},
    {0x80, kClassStaticColor, 8},  {0x100, kClassDirectColor, 4}, {0x200, kClassDirectColor, 8},
    {0x400, kClassTrueColor, 4},   {0x800, kClassTrueColor, 8},   {0x4, kClassGrayScale, 4},
    {0x8, kClassGrayScale, 8},     {0x10, kClassStaticGray, 4},   {0x20, kClassStaticGray, 8},
};

// Ids of emulated visuals: far above the ids servers give their visuals,
// and never one the head already uses.
u32 nextEmulatedVisualId = 0x10000000;

bool headHasVisual(const VisualRecord* visuals, i32 count, u8 visualClass, u8 depth) {
  for (i32 i = 0; i < count; i++) {
    if (visuals[i].visualClass == visualClass && visuals[i].depth == depth) return true;
  }
  return false;
}

bool hasGLOrBuffering(const VisualRecord* record) {
  return record->glxVersion || record->dbeCapable || record->mbufMono >= 0 || record->mbufStereo >= 0;
}

// The real visual that shows an entry: a DirectColor visual with room for
// the entry's index in every channel. Scans from the last visual; one
// without GL or double buffering wins over one with them.
const VisualRecord* chooseBaseVisual(const VisualRecord* visuals, i32 count, const EmulationEntry& entry) {
  u32 minimumDepth;
  if (entry.visualClass == kClassPseudoColor) {
    minimumDepth = entry.depth == 4 ? 12 : 24;
  } else if (entry.visualClass == kClassDirectColor) {
    minimumDepth = entry.depth;
  } else {
    PALVON_UNE();
    return nullptr;
  }
  const VisualRecord* second = nullptr;
  for (i32 i = count - 1; i >= 0; i--) {
    const VisualRecord* base = &visuals[i];
    if (base->emulatedVisualId || base->visualClass != kClassDirectColor || base->depth < minimumDepth) continue;
    if (!hasGLOrBuffering(base)) return base;
    if (!second) second = base;
  }
  return second;
}

u32 freshVisualId(const VisualRecord* visuals, i32 count) {
  VisualRecord* records = const_cast<VisualRecord*>(visuals);
  while (findVisualRecord(records, count, nextEmulatedVisualId)) nextEmulatedVisualId++;
  return nextEmulatedVisualId++;
}

void makeEmulatedRecord(VisualRecord* out, const VisualRecord* base, const EmulationEntry& entry, u32 id) {
  memset(out, 0, sizeof(*out));
  out->visualId = id;
  out->screen = base->screen;
  out->visualClass = entry.visualClass;
  out->depth = entry.depth;
  u32 size = 1u << entry.depth;
  out->colormapSize = static_cast<u16>(size < base->colormapSize ? size : base->colormapSize);
  out->bitsPerRgb = base->bitsPerRgb;
  out->emulatedVisualId = base->visualId;
  out->emulatedClass = base->visualClass;
  out->emulatedDepth = base->depth;
  if (entry.depth != base->depth) proxyState.headsFoldDepths = true;
  setVisualMasks(out, base->redMask, base->greenMask, base->blueMask);
  out->mbufMono = out->mbufStereo = -1;
  out->emulation.significantMask = significantBitsMask(base->bitsPerRgb);
}

// --- Named-colour cache -------------------------------------------------

struct NamedColour {
  char* name;
  u16 red, green, blue;
};
NamedColour* namedColours = nullptr;  // grows, never shrinks
u32 namedColourCount = 0;
u32 namedColourCapacity = 0;

const NamedColour* findNamedColour(const char* name, u32 length) {
  for (u32 i = 0; i < namedColourCount; i++) {
    const char* cached = namedColours[i].name;
    if (strncasecmp(cached, name, length) == 0 && cached[length] == 0) return &namedColours[i];
  }
  return nullptr;
}

void cacheNamedColour(const char* name, u32 length, u16 red, u16 green, u16 blue) {
  if (namedColourCount == namedColourCapacity) {
    u32 capacity = namedColourCapacity ? namedColourCapacity * 2 : 32;
    auto* grown = static_cast<NamedColour*>(memRealloc(namedColours, capacity * sizeof(NamedColour)));
    if (!grown) return;  // not cached: the next look-up asks again
    namedColours = grown;
    namedColourCapacity = capacity;
  }
  char* copy = static_cast<char*>(memdupz(name, length));
  if (!copy) return;
  namedColours[namedColourCount++] = {copy, red, green, blue};
}

// --- Holders ------------------------------------------------------------

u32 currentHolder() { return currentClient ? currentClient->number : 0; }

// Client numbers are slots below kMaxClientSlots; anything else is a fault
// of the caller and touches no cell.
bool holderSlot(u32 number) {
  if (number < kMaxClientSlots) return true;
  PALVON_UNE();
  return false;
}

void setHolder(EmulatedColorCell* cell, u32 number) {
  if (!holderSlot(number)) return;
  cell->holders[number / 8] |= static_cast<u8>(1u << (number % 8));
  // The client's end walks the colormaps only for a client that holds a
  // cell: without the mark its cells would stay taken after it left.
  if (currentClient && currentClient->number == number) currentClient->holdsColorCells = 1;
}

bool hasHolder(const EmulatedColorCell* cell, u32 number) {
  return number < kMaxClientSlots && (cell->holders[number / 8] & (1u << (number % 8)));
}

bool anyHolder(const EmulatedColorCell* cell) {
  for (u8 byte : cell->holders) {
    if (byte) return true;
  }
  return false;
}

u32 cellCount(const EmulatedColormap* colormap) {
  u32 size = colormap->visual.colormapSize;
  return size < kEmulatedCells ? size : kEmulatedCells;
}

u32 cellDepth(const EmulatedColormap* colormap) {
  u32 depth = colormap->visual.depth;
  return depth < 8 ? depth : 8;
}

u16 significantMaskOf(const EmulatedColormap* colormap) {
  u16 mask = colormap->visual.emulation.significantMask;
  return mask ? mask : significantBitsMask(colormap->visual.bitsPerRgb);
}

// A channel as the visual stores it: its significant bits, spread over the
// whole 16-bit range as a plain server spreads them (8 bits of 0xff give
// 0xffff, not 0xff00).
u16 storedChannel(u16 value, u16 mask) {
  u32 bits = u32(__builtin_popcount(mask));
  if (bits == 0 || bits >= 16) return value & mask;
  u32 limit = (1u << bits) - 1;
  return u16(((value >> (16 - bits)) & limit) * 65535u / limit);
}

// Every base combined with every subset of the mask is a free cell.
bool planeSetFree(const EmulatedColormap* colormap, u32 base, u32 mask) {
  u32 size = cellCount(colormap);
  u32 subset = 0;
  do {
    u32 pixel = base | subset;
    if (pixel >= size || colormap->cells[pixel].state != kCellFree) return false;
    subset = (subset - mask) & mask;
  } while (subset);
  return true;
}

// Up to count bases for the mask in increasing order; true when all found.
bool findBases(const EmulatedColormap* colormap, u32 mask, u32* pixels, u32 count) {
  u32 found = 0;
  for (u32 base = 0; base < cellCount(colormap) && found < count; base++) {
    if (!(base & mask) && planeSetFree(colormap, base, mask)) pixels[found++] = base;
  }
  return found == count;
}

void claimPlaneSets(EmulatedColormap* colormap, u16 state, u32 mask, const u32* pixels, u32 count) {
  u32 holder = currentHolder();
  for (u32 i = 0; i < count; i++) {
    u32 subset = 0;
    do {
      EmulatedColorCell* cell = &colormap->cells[pixels[i] | subset];
      cell->state = state;
      setHolder(cell, holder);
      subset = (subset - mask) & mask;
    } while (subset);
  }
}

// The colour as the visual stores it, with every channel.
XColor storedColour(const EmulatedColormap* colormap, const XColor& colour) {
  u16 mask = significantMaskOf(colormap);
  XColor stored = colour;
  stored.red = storedChannel(stored.red, mask);
  stored.green = storedChannel(stored.green, mask);
  stored.blue = storedChannel(stored.blue, mask);
  stored.flags = DoRed | DoGreen | DoBlue;
  return stored;
}

bool sameColour(const XColor& a, u16 red, u16 green, u16 blue) {
  return a.red == red && a.green == green && a.blue == blue;
}

// The shared cell of that stored colour; null when none.
EmulatedColorCell* sharedCellOf(EmulatedColormap* colormap, const XColor& stored, u32* pixel) {
  for (u32 i = 0; i < cellCount(colormap); i++) {
    EmulatedColorCell* cell = &colormap->cells[i];
    if (cell->state == kCellShared && sameColour(stored, cell->red, cell->green, cell->blue)) {
      *pixel = i;
      return cell;
    }
  }
  return nullptr;
}

}  // namespace

u16 significantBitsMask(u32 bitsPerRgb) {
  if (bitsPerRgb > 16) bitsPerRgb = 16;
  return static_cast<u16>(((1u << bitsPerRgb) - 1) << (16 - bitsPerRgb));
}

const char* emulateVisuals(Display* display, const VisualRecord* visuals, i32 count, u32 wantedMask,
                           VisualRecord** newVisuals, i32* newCount) {
  *newVisuals = nullptr;
  *newCount = 0;
  VisualRecord added[sizeof(kEmulationTable) / sizeof(kEmulationTable[0])];
  i32 addedCount = 0;
  for (const EmulationEntry& entry : kEmulationTable) {
    if (!(wantedMask & entry.bit)) continue;
    if ((wantedMask & kEmulateOnlyMissing) && headHasVisual(visuals, count, entry.visualClass, entry.depth))
      continue;
    const VisualRecord* base = chooseBaseVisual(visuals, count, entry);
    if (!base) continue;
    VisualRecord* record = &added[addedCount++];
    makeEmulatedRecord(record, base, entry, freshVisualId(visuals, count));
    logStepf("Emulating %s at %s...", describeVisual(record), display ? xShortDisplayName(display) : "?");
  }
  if (!addedCount) return nullptr;
  *newVisuals = static_cast<VisualRecord*>(memdup(added, sizeof(VisualRecord) * addedCount));
  if (!*newVisuals) return PALVON_OOM();
  *newCount = addedCount;
  return nullptr;
}

// --- Cells -----------------------------------------------------------------

bool releaseEmulatedColorCell(EmulatedColorCell* cell) {
  u32 holder = currentHolder();
  if (holderSlot(holder)) cell->holders[holder / 8] &= static_cast<u8>(~(1u << (holder % 8)));
  if (anyHolder(cell)) return false;
  cell->state = kCellFree;
  return true;
}

void setEmulatedColorCells(EmulatedColormap* colormap, const XColor* items, u32 count) {
  u16 mask = significantMaskOf(colormap);
  u32 holder = currentHolder();
  for (u32 i = 0; i < count; i++) {
    if (items[i].pixel >= cellCount(colormap)) continue;
    EmulatedColorCell* cell = &colormap->cells[items[i].pixel];
    cell->red = storedChannel(items[i].red, mask);
    cell->green = storedChannel(items[i].green, mask);
    cell->blue = storedChannel(items[i].blue, mask);
    setHolder(cell, holder);
  }
}

bool allocEmulatedCells(EmulatedColormap* colormap, u16 state, u32* pixels, u32 count) {
  if (!count) return false;
  u32 freeCells = 0;
  for (u32 i = 0; i < cellCount(colormap); i++) freeCells += colormap->cells[i].state == kCellFree;
  if (freeCells < count) return false;
  u32 holder = currentHolder();
  u32 taken = 0;
  for (u32 i = 0; taken < count; i++) {
    EmulatedColorCell* cell = &colormap->cells[i];
    if (cell->state != kCellFree) continue;
    cell->state = state;
    setHolder(cell, holder);
    pixels[taken++] = i;
  }
  return true;
}

bool allocEmulatedColorCells(EmulatedColormap* colormap, u16 state, bool contiguous, u32* planeMask, u32 planes,
                             u32* pixels, u32 count) {
  *planeMask = 0;
  if (!planes) return allocEmulatedCells(colormap, state, pixels, count);
  u32 depth = cellDepth(colormap);
  if (!count || planes > depth || (static_cast<u64>(count) << planes) > cellCount(colormap)) return false;
  u32 mask = (1u << planes) - 1;
  for (u32 shift = 0; shift + planes <= depth; shift++) {
    if (findBases(colormap, mask << shift, pixels, count)) {
      *planeMask = mask << shift;
      claimPlaneSets(colormap, state, *planeMask, pixels, count);
      return true;
    }
  }
  if ((planes == 1 || !contiguous) && depth >= 3) {
    for (u32 candidate = (3u << (planes - 1)) - 1; candidate < (1u << depth); candidate++) {
      if (static_cast<u32>(__builtin_popcount(candidate)) != planes) continue;
      if (findBases(colormap, candidate, pixels, count)) {
        *planeMask = candidate;
        claimPlaneSets(colormap, state, candidate, pixels, count);
        return true;
      }
    }
  }
  return false;
}

bool allocEmulatedColorCellsRequest(Display* /*display*/, EmulatedColormap* colormap, bool contiguous, u32* masks,
                                    u32 planes, u32* pixels, u32 count) {
  u32 planeMask;
  if (!allocEmulatedColorCells(colormap, kCellPrivate, contiguous, &planeMask, planes, pixels, count)) return false;
  for (u32 bit = 0, n = 0; n < planes && bit < 32; bit++) {
    if (planeMask & (1u << bit)) masks[n++] = 1u << bit;
  }
  return true;
}

bool allocEmulatedPixel(EmulatedColormap* colormap, const XColor& colour) {
  if (colour.pixel >= cellCount(colormap) || colormap->cells[colour.pixel].state != kCellFree) return false;
  colormap->cells[colour.pixel].state = kCellShared;
  setEmulatedColorCells(colormap, &colour, 1);
  return true;
}

bool allocEmulatedColor(Display* /*display*/, EmulatedColormap* colormap, XColor* colour) {
  XColor masked = storedColour(colormap, *colour);
  u32 pixel;
  if (EmulatedColorCell* cell = sharedCellOf(colormap, masked, &pixel)) {
    setHolder(cell, currentHolder());
    masked.pixel = pixel;
    *colour = masked;
    return true;
  }
  if (!allocEmulatedCells(colormap, kCellShared, &pixel, 1)) return false;
  masked.pixel = pixel;
  setEmulatedColorCells(colormap, &masked, 1);
  *colour = masked;
  return true;
}

u32 writeColoursIntoFreeCells(EmulatedColormap* colormap, const XColor* colours, u32 count, XColor* written) {
  u32 n = 0, next = 0;
  for (u32 k = 0; k < count; k++) {
    XColor stored = storedColour(colormap, colours[k]);
    u32 pixel;
    bool seen = sharedCellOf(colormap, stored, &pixel) != nullptr;
    for (u32 w = 0; w < n && !seen; w++) seen = sameColour(stored, written[w].red, written[w].green, written[w].blue);
    if (seen) continue;
    while (next < cellCount(colormap) && colormap->cells[next].state != kCellFree) next++;
    if (next == cellCount(colormap)) break;
    EmulatedColorCell* cell = &colormap->cells[next];
    cell->red = stored.red, cell->green = stored.green, cell->blue = stored.blue;
    stored.pixel = next++;
    written[n++] = stored;
  }
  return n;
}

u8 freeEmulatedColors(Display* /*display*/, EmulatedColormap* colormap, const u32* pixels, u32 count, u32 planeMask,
                      u32* badValue) {
  // Plane bits at or above the largest colormap only name cells that do not
  // exist; dropping them keeps a client's mask of 32 bits from asking for
  // four billion combinations.
  planeMask &= kEmulatedCells - 1;
  u32 size = cellCount(colormap), holder = currentHolder();
  // As a plain server: every pixel is tried, the last fault is reported.
  u8 error = 0;
  for (u32 i = 0; i < count; i++) {
    if (pixels[i] >= size) {
      error = BadValue;
      if (badValue) *badValue = pixels[i];
      continue;
    }
    u32 subset = 0;
    do {
      u32 pixel = pixels[i] | subset;
      if (pixel < size && !hasHolder(&colormap->cells[pixel], holder)) error = BadAccess;
      else if (pixel < size) releaseEmulatedColorCell(&colormap->cells[pixel]);
      subset = (subset - planeMask) & planeMask;
    } while (subset);
  }
  return error;
}

const char* createEmulatedColormap(Display* display, Window root, const VisualRecord* visual,
                                   EmulatedColormap* colormap) {
  memset(colormap, 0, sizeof(*colormap));
  // The record without its correction tables: the colormap owns no tables.
  colormap->visual = *visual;
  colormap->visual.redTable = colormap->visual.greenTable = colormap->visual.blueTable = nullptr;
  colormap->visual.redCount = colormap->visual.greenCount = colormap->visual.blueCount = 0;
  if (!colormap->visual.emulation.significantMask)
    colormap->visual.emulation.significantMask = significantBitsMask(visual->bitsPerRgb);
  if (!root) return nullptr;
  colormap->serverColormap =
      static_cast<u32>(XfsCreateColormap(display, root, selectVisualConversion(visual), AllocAll));
  return colormap->serverColormap ? nullptr : "XfsCreateColormap() failed";
}

bool copyEmulatedColormapAndFree(Display* display, const EmulatedColormap* colormap, EmulatedColormap* copy) {
  memcpy(copy, colormap, sizeof(*copy));
  if (!colormap->serverColormap) return true;
  copy->serverColormap = 0;
  // Only fills Xlib's buffer once pending output is flushed.
  if (!rawBegin(display)) return false;
  copy->serverColormap = static_cast<u32>(XCopyColormapAndFree(display, colormap->serverColormap));
  rawFlush(display);
  return copy->serverColormap && !isDisplayOffline(display);
}

bool lookupColorNameCached(Display* display, const EmulatedColormap* colormap, const char* name, u32 length,
                           XColor* colour) {
  memset(colour, 0, sizeof(*colour));
  colour->flags = DoRed | DoGreen | DoBlue;
  if (const NamedColour* cached = findNamedColour(name, length)) {
    colour->red = cached->red;
    colour->green = cached->green;
    colour->blue = cached->blue;
    return true;
  }
  if (display && colormap->serverColormap) {
    const char* text = tmpStrndup(name, length);
    XColor exact{}, screen{};
    // The server names colours alike for every colormap; the client's own
    // travels on the client's link and may not have reached the server
    // yet, so the server's default one is asked.
    Colormap any = DefaultColormap(display, DefaultScreen(display));
    if (!text || !XfsLookupColor(display, any, text, &exact, &screen)) return false;
    colour->red = exact.red;
    colour->green = exact.green;
    colour->blue = exact.blue;
  } else if (!colorLookupName(name, length, &colour->red, &colour->green, &colour->blue)) {
    return false;  // no server colormap to ask: the built-in colour names
  }
  // The exact colour is the name's, whichever visual asks later: the
  // visual's precision belongs to the colour it gets, not to the name.
  cacheNamedColour(name, length, colour->red, colour->green, colour->blue);
  return true;
}

bool allocNamedEmulatedColor(Display* display, EmulatedColormap* colormap, const char* name, u32 length,
                             XColor* screenColour, XColor* exactColour) {
  XColor exact;
  if (!lookupColorNameCached(display, colormap, name, length, &exact)) return false;
  XColor allocated = exact;
  if (!allocEmulatedColor(display, colormap, &allocated)) return false;
  if (exactColour) *exactColour = exact;
  *screenColour = allocated;
  return true;
}

void freeClientEmulatedCells(EmulatedColormap* colormap) {
  u32 holder = currentHolder();
  for (EmulatedColorCell& cell : colormap->cells) {
    if (hasHolder(&cell, holder)) releaseEmulatedColorCell(&cell);
  }
}

}  // namespace palvon
