// Colour allocations repeated on the heads that did not answer them, the
// allocation lists of the colormap records, the installed-colormap lists of
// the meta screens and the colormaps of emulated visuals.
#include "Proxy/visuals/colorheads.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/colorcells.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "base/logging.h"
#include "xsupport/colornames.h"

namespace palvon {

namespace {

constexpr unsigned short kAllChannels = DoRed | DoGreen | DoBlue;

// --- The record's tables and list -------------------------------------------------

ColormapTables tablesOf(const ColormapRecord* colormap) {
  ColormapTables tables{};
  const VisualRecord* visual = colormap->visual;
  if (!colormap->red || !visual) return tables;
  tables = {colormap->red,     colormap->green,     colormap->blue,     visual->colormapSize,
            visual->visualClass, visual->redMask, visual->greenMask, visual->blueMask};
  return tables;
}

bool appendAllocation(ColormapRecord* colormap, const ColormapAllocation& entry) {
  if (colormap->allocationCount == colormap->allocationCapacity) {
    u32 capacity = colormap->allocationCapacity ? 2 * colormap->allocationCapacity : 8;
    auto* grown = static_cast<ColormapAllocation*>(
        std::realloc(colormap->allocations, u64(capacity) * sizeof(ColormapAllocation)));
    if (!grown) {
      PALVON_OOM();
      return false;
    }
    colormap->allocations = grown;
    colormap->allocationCapacity = capacity;
  }
  colormap->allocations[colormap->allocationCount++] = entry;
  if (entry.owner) entry.owner->holdsColorCells = 1;
  return true;
}

// Keeps the order: the list is walked last to first.
void dropAllocations(ColormapRecord* colormap, u32 index, u32 count) {
  if (index >= colormap->allocationCount) return;
  if (count > colormap->allocationCount - index) count = colormap->allocationCount - index;
  std::memmove(colormap->allocations + index, colormap->allocations + index + count,
               u64(colormap->allocationCount - index - count) * sizeof(ColormapAllocation));
  colormap->allocationCount -= count;
}

// --- Target heads -----------------------------------------------------------------

bool isColorHead(const ColormapRecord* colormap, const Head* head) {
  return colormap->screen && head == colormap->screen->colorHead;
}

// The next target head after `head` (null: the first); null at the end.
Head* nextTarget(const ColormapRecord* colormap, Head* head) {
  if (!colormap->screen) return nullptr;
  for (head = head ? head->next : colormap->screen->heads; head; head = head->next) {
    if (!isColorHead(colormap, head) && colormapHeadMatch(colormap, head)) return head;
  }
  return nullptr;
}

Colormap serverColormap(const ColormapRecord* colormap, const Head* head) {
  return translateXid(colormap->id, RT_COLORMAP, head);
}

u32 pixelOnHead(const ColormapRecord* colormap, u32 pixel, const Head* head) {
  return convertPixelToHead(pixel, colormap->visual, head);
}

// Frees pixels | subset(planes) on one head (the proxy's cells there).
void freeOnHead(const ColormapRecord* colormap, Head* head, const u32* pixels, u32 count, u32 planes) {
  if (isColormapEmulatedOn(colormap, head) || !count) return;
  u32 mask = colormapMaskOnHead(colormap, planes, head);
  for (u32 i = 0; i < count; i++) {
    unsigned long pixel = pixelOnHead(colormap, pixels[i], head);
    XfsFreeColors(head->display, serverColormap(colormap, head), &pixel, 1, mask);
  }
  XfsFlush(head->display);
}

// Undoes a repetition on the heads before `failed`.
void freeOnHeadsBefore(const ColormapRecord* colormap, Head* failed, const u32* pixels, u32 count, u32 planes) {
  for (Head* head = nextTarget(colormap, nullptr); head && head != failed; head = nextTarget(colormap, head))
    freeOnHead(colormap, head, pixels, count, planes);
}

void storeOnHead(const ColormapRecord* colormap, Head* head, const XColor* colours, u32 count) {
  auto* items = static_cast<XColor*>(std::malloc(u64(count ? count : 1) * sizeof(XColor)));
  if (!items) {
    PALVON_OOM();
    return;
  }
  for (u32 i = 0; i < count; i++) {
    items[i] = colours[i];
    items[i].pixel = pixelOnHead(colormap, u32(colours[i].pixel), head);
  }
  XfsStoreColors(head->display, serverColormap(colormap, head), items, int(count));
  XfsFlush(head->display);
  std::free(items);
}

// The pixels and masks of a cell request converted for one head (one
// block: count pixels, then maskCount masks); null when memory ran out.
u32* convertCells(const ColormapRecord* colormap, const Head* head, const u32* pixels, u32 count, const u32* masks,
                  u32 maskCount) {
  auto* out = static_cast<u32*>(std::malloc((u64(count) + maskCount + 1) * sizeof(u32)));
  if (!out) {
    PALVON_OOM();
    return nullptr;
  }
  for (u32 i = 0; i < count; i++) out[i] = pixelOnHead(colormap, pixels[i], head);
  for (u32 k = 0; k < maskCount; k++) out[count + k] = colormapMaskOnHead(colormap, masks[k], head);
  return out;
}

bool isWritableEntry(const ColormapAllocation& entry) { return entry.kind == kAllocationWritable; }

// The colours of a writable entry's cells, read from the record.
u32 entryColours(const ColormapRecord* record, const ColormapAllocation& entry, XColor** out) {
  u64 cells = u64(1) << __builtin_popcount(entry.planeMask);
  auto* colours = static_cast<XColor*>(std::malloc(cells * sizeof(XColor)));
  *out = colours;
  if (!colours) return 0;
  u32 n = 0;
  u32 pixel = entry.pixel;
  while (n < cells) {
    colours[n++] = colormapCellColour(record, pixel);
    u32 next = nextPixelValue(pixel, record->visual, entry.pixel, entry.planeMask);
    if (next == entry.pixel - 1) break;
    pixel = next;
  }
  return n;
}

}  // namespace

const VisualRecord* colormapHeadMatch(const ColormapRecord* colormap, const Head* head) {
  if (!colormap->visual || !head || !isHeadOnline(head)) return nullptr;
  return headVisualMatch(head, colormap->visual);
}

bool isColormapEmulatedOn(const ColormapRecord* colormap, const Head* head) {
  const VisualRecord* match = colormapHeadMatch(colormap, head);
  return match && match->emulatedVisualId;
}

u32 colormapMaskOnHead(const ColormapRecord* colormap, u32 mask, const Head* head) {
  const VisualRecord* headVisual = getHeadVisualIfConverting(colormap->visual, head);
  return headVisual ? rescalePixelToHead(mask, colormap->visual, headVisual) : mask;
}

void setColormapCellColour(ColormapRecord* colormap, u32 pixel, u16 red, u16 green, u16 blue, u32 flags) {
  ColormapTables tables = tablesOf(colormap);
  if (tables.entries) setColormapEntry(&tables, pixel, red, green, blue, flags);
}

XColor colormapCellColour(const ColormapRecord* colormap, u32 pixel) {
  XColor colour{};
  ColormapTables tables = tablesOf(colormap);
  getColormapEntry(&tables, pixel, &colour);
  return colour;
}

// --- Repetition ------------------------------------------------------------------------

int allocColorOnHeads(ProxyClient* client, ColormapRecord* colormap, const XColor* colour) {
  u32 pixel = u32(colour->pixel);
  if (!appendAllocation(colormap, {client, pixel, 0, kAllocationShared})) return 0;
  setColormapCellColour(colormap, pixel, colour->red, colour->green, colour->blue, kAllChannels);
  if (!client) return 1;
  u32 index = colormap->allocationCount - 1;
  for (Head* head = nextTarget(colormap, nullptr); head; head = nextTarget(colormap, head)) {
    if (isColormapEmulatedOn(colormap, head)) {
      storeOnHead(colormap, head, colour, 1);
      continue;
    }
    XColor onHead = *colour;
    onHead.pixel = pixelOnHead(colormap, pixel, head);
    bool taken = allocPixelExactly(head->display, serverColormap(colormap, head), &onHead, false);
    // What the juggling freed again must reach the server now.
    XfsFlush(head->display);
    if (!taken) {
      LOGF(logChWarning, "Can't alloc pixel %u on %s", pixel, headName(head));
      freeOnHeadsBefore(colormap, head, &pixel, 1, 0);
      dropAllocations(colormap, index, 1);
      return 0;
    }
  }
  return 1;
}

int allocColorCellsOnHeads(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count,
                           const u32* masks, u32 maskCount) {
  u32 planes = 0;
  for (u32 k = 0; k < maskCount; k++) planes |= masks[k];
  u32 first = colormap->allocationCount;
  for (u32 i = 0; i < count; i++) {
    if (!appendAllocation(colormap, {client, pixels[i], planes, kAllocationWritable})) {
      dropAllocations(colormap, first, i);
      return 0;
    }
  }
  // The heads made the whole colormap the client's when they created it;
  // asking them for cells now could only fail.
  if (colormap->alloc == kAllocAll || !client) return 1;
  for (Head* head = nextTarget(colormap, nullptr); head; head = nextTarget(colormap, head)) {
    if (isColormapEmulatedOn(colormap, head)) continue;
    u32* cells = convertCells(colormap, head, pixels, count, masks, maskCount);
    bool ok = cells && allocColorCellsExactly(head->display, serverColormap(colormap, head), cells, count,
                                              cells + count, maskCount, colormapHeadMatch(colormap, head));
    std::free(cells);
    XfsFlush(head->display);
    if (!ok) {
      freeOnHeadsBefore(colormap, head, pixels, count, planes);
      dropAllocations(colormap, first, count);
      return 0;
    }
  }
  return 1;
}

int allocColorPlanesOnHeads(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count,
                            u32 redMask, u32 greenMask, u32 blueMask) {
  u32 planes = redMask | greenMask | blueMask;
  u32 first = colormap->allocationCount;
  for (u32 i = 0; i < count; i++) {
    if (!appendAllocation(colormap, {client, pixels[i], planes, kAllocationWritable})) {
      dropAllocations(colormap, first, i);
      return 0;
    }
  }
  if (colormap->alloc == kAllocAll || !client) return 1;
  const u32 masks[3] = {redMask, greenMask, blueMask};
  for (Head* head = nextTarget(colormap, nullptr); head; head = nextTarget(colormap, head)) {
    if (isColormapEmulatedOn(colormap, head)) continue;
    u32* cells = convertCells(colormap, head, pixels, count, masks, 3);
    bool ok = cells && allocColorPlanesExactly(head->display, serverColormap(colormap, head), cells[count],
                                               cells[count + 1], cells[count + 2], cells, count,
                                               colormapHeadMatch(colormap, head));
    std::free(cells);
    XfsFlush(head->display);
    if (!ok) {
      freeOnHeadsBefore(colormap, head, pixels, count, planes);
      dropAllocations(colormap, first, count);
      return 0;
    }
  }
  return 1;
}

int storeColorsOnHeads(ColormapRecord* colormap, const u8* items, u32 count) {
  if (!count) return 1;
  auto* colours = static_cast<XColor*>(std::malloc(u64(count) * sizeof(XColor)));
  if (!colours) {
    PALVON_OOM();
    return 0;
  }
  for (u32 i = 0; i < count; i++) {
    const u8* item = items + 12 * u64(i);
    XColor& c = colours[i];
    c = XColor{get32(item), get16(item + 4), get16(item + 6), get16(item + 8), char(item[10]), 0};
    // Cells that nobody holds read-write have no colour of their own.
    for (u32 e = colormap->allocationCount; e-- > 0;) {
      const ColormapAllocation& entry = colormap->allocations[e];
      if (isWritableEntry(entry) && isPixelInCells(c.pixel, entry.pixel, entry.planeMask)) {
        setColormapCellColour(colormap, u32(c.pixel), c.red, c.green, c.blue, c.flags);
        break;
      }
    }
  }
  // Items go in the client's order on every head, so that a pixel named
  // twice ends with the same colour everywhere.
  for (Head* head = nextTarget(colormap, nullptr); head; head = nextTarget(colormap, head))
    storeOnHead(colormap, head, colours, count);
  std::free(colours);
  return 1;
}

void showFreeCellColoursOnHeads(ColormapRecord* colormap, const XColor* colours, u32 count) {
  for (Head* head = nextTarget(colormap, nullptr); head && count; head = nextTarget(colormap, head)) {
    if (isColormapEmulatedOn(colormap, head)) {
      storeOnHead(colormap, head, colours, count);
      continue;
    }
    // A server stores only into cells held: each is held for the moment.
    Colormap there = serverColormap(colormap, head);
    for (u32 i = 0; i < count; i++) {
      XColor item = colours[i];
      unsigned long pixel = item.pixel = pixelOnHead(colormap, u32(colours[i].pixel), head);
      if (!allocColorCellsExactly(head->display, there, &pixel, 1)) continue;
      XfsStoreColors(head->display, there, &item, 1);
      XfsFreeColors(head->display, there, &pixel, 1, 0);
    }
    XfsFlush(head->display);
  }
}

int storeNamedColorOnHeads(ColormapRecord* colormap, u32 pixel, u8 flags, const char* name, u32 length) {
  u16 red = 0, green = 0, blue = 0;
  if (!colorLookupName(name, length, &red, &green, &blue)) return 1;
  u8 item[12] = {};
  put32(item, pixel);
  put16(item + 4, red);
  put16(item + 6, green);
  put16(item + 8, blue);
  item[10] = flags;
  return storeColorsOnHeads(colormap, item, 1);
}

void freeSharedColorCell(ColormapRecord* colormap, u32 index) {
  if (index >= colormap->allocationCount) return;
  u32 pixel = colormap->allocations[index].pixel;
  for (Head* head = nextTarget(colormap, nullptr); head; head = nextTarget(colormap, head))
    freeOnHead(colormap, head, &pixel, 1, 0);
  dropAllocations(colormap, index, 1);
}

void freeWritableColorCells(ColormapRecord* colormap, u32 index) {
  if (index >= colormap->allocationCount) return;
  const ColormapAllocation entry = colormap->allocations[index];
  if (colormap->alloc != kAllocAll) {
    for (Head* head = nextTarget(colormap, nullptr); head; head = nextTarget(colormap, head))
      freeOnHead(colormap, head, &entry.pixel, 1, entry.planeMask);
  }
  dropAllocations(colormap, index, 1);
}

void freeClientPixels(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count, u32 planeMask) {
  for (u32 i = 0; i < count; i++) {
    for (u32 e = colormap->allocationCount; e-- > 0;) {
      const ColormapAllocation& entry = colormap->allocations[e];
      if (entry.owner != client || entry.pixel != pixels[i] || entry.planeMask != planeMask) continue;
      if (isWritableEntry(entry)) {
        freeWritableColorCells(colormap, e);
      } else {
        freeSharedColorCell(colormap, e);
      }
      break;
    }
  }
}

int moveClientCellsToColormap(ProxyClient* client, ColormapRecord* from, ColormapRecord* to) {
  if (!from->visual || !to->visual || !isWritableVisualClass(from->visual->visualClass) ||
      !isWritableVisualClass(to->visual->visualClass))
    return 1;
  for (u32 e = from->allocationCount; e-- > 0;) {
    if (e >= from->allocationCount) continue;
    const ColormapAllocation entry = from->allocations[e];
    if (entry.owner != client) continue;
    if (!isWritableEntry(entry)) {
      XColor colour = colormapCellColour(from, entry.pixel);
      if (!allocColorOnHeads(client, to, &colour)) return 0;
      freeSharedColorCell(from, e);
      continue;
    }
    const VisualRecord* v = to->visual;
    if (v->visualClass == DirectColor) {
      // A DirectColor entry's planes lie in the channels' fields: single
      // bits are no allocation such a map can give.
      if (!allocColorPlanesOnHeads(client, to, &entry.pixel, 1, entry.planeMask & v->redMask,
                                   entry.planeMask & v->greenMask, entry.planeMask & v->blueMask))
        return 0;
    } else {
      // Single-bit masks, as a server gives them for AllocColorCells.
      u32 masks[32];
      u32 maskCount = 0;
      for (u32 bit = 0; bit < 32; bit++)
        if (entry.planeMask & (1u << bit)) masks[maskCount++] = 1u << bit;
      if (!allocColorCellsOnHeads(client, to, &entry.pixel, 1, masks, maskCount)) return 0;
    }
    XColor* colours = nullptr;
    u32 n = entryColours(from, entry, &colours);
    for (u32 i = 0; i < n; i++)
      setColormapCellColour(to, u32(colours[i].pixel), colours[i].red, colours[i].green, colours[i].blue, kAllChannels);
    // The heads' copies got the cells but not their colours.
    for (Head* head = nextTarget(to, nullptr); head && n; head = nextTarget(to, head))
      storeOnHead(to, head, colours, n);
    std::free(colours);
    freeWritableColorCells(from, e);
  }
  return 1;
}

namespace {

int freeCellsOfClient(u32, void* object, ProxyClient* owner, void* argument, Head*) {
  auto* client = static_cast<ProxyClient*>(argument);
  if (owner == client) return 1;
  auto* colormap = static_cast<ColormapRecord*>(object);
  // A default colormap keeps its emulated cells on the colour head.
  if (EmulatedColormap* cells = emulatedCellsOf(colormap)) {
    ProxyClient* saved = currentClient;
    currentClient = client;
    freeClientEmulatedCells(cells);
    currentClient = saved;
  }
  for (u32 e = colormap->allocationCount; e-- > 0;) {
    if (e >= colormap->allocationCount || colormap->allocations[e].owner != client) continue;
    if (isWritableEntry(colormap->allocations[e])) {
      freeWritableColorCells(colormap, e);
    } else {
      freeSharedColorCell(colormap, e);
    }
  }
  return 1;
}

}  // namespace

// Finding the colormaps walks every client's resources: a client that
// never owned an entry, as most on a true-colour screen, ends without it.
void freeClientColormapCells(ProxyClient* client) {
  if (client && client->holdsColorCells) forEachResourceOfType(RT_COLORMAP, freeCellsOfClient, client, nullptr);
}

namespace {

// A head beside `head` that shows the visual as it is, with cells in its
// server's default colormap; null when none.
Head* plainHeadOf(const ColormapRecord* colormap, const Head* head, const VisualRecord* clientVisual) {
  for (Head* other = colormap->screen ? colormap->screen->heads : nullptr; other; other = other->next) {
    const VisualRecord* match = other != head && isHeadOnline(other) ? headVisualMatch(other, clientVisual) : nullptr;
    if (match && !match->emulatedVisualId && match->visualClass == clientVisual->visualClass &&
        match->colormapSize == clientVisual->colormapSize)
      return other;
  }
  return nullptr;
}

// An emulated default colormap starts with the cells that a server of the
// visual itself beside it holds already (an 8-bit server keeps a colour
// cube for RENDER): as on that server, and the client's first colour does
// not land on a cell that server shows in another colour. Black and white
// have their cells already.
void preallocFromPlainHead(ColormapRecord* colormap, Head* head, const VisualRecord* clientVisual) {
  EmulatedColormap* cells = emulatedCellsOf(colormap);
  Head* plain = cells ? plainHeadOf(colormap, head, clientVisual) : nullptr;
  if (!plain) return;
  u32 count = 0;
  XColor* used = queryAllocatedColors(plain->display, plain->defaultColormap, clientVisual->colormapSize, &count);
  if (!used) return;
  ProxyClient* saved = currentClient;
  currentClient = nullptr;
  for (u32 i = 0; i < count; i++) {
    XColor colour = used[i];
    if (!allocEmulatedPixel(cells, colour)) continue;
    allocColorOnHeads(nullptr, colormap, &colour);
    colour.pixel = pixelOnHead(colormap, u32(colour.pixel), head);
    XfsStoreColors(head->display, cells->serverColormap, &colour, 1);
  }
  currentClient = saved;
  std::free(used);
}

}  // namespace

bool takeProxyColour(ColormapRecord* colormap, XColor* colour) {
  EmulatedColormap* cells = emulatedCellsOf(colormap);
  MetaScreen* screen = colormap ? colormap->screen : nullptr;
  Head* head = screen ? (screen->colorHead ? screen->colorHead : screen->heads) : nullptr;
  if (!cells || !head || !isColormapEmulatedOn(colormap, head)) return false;
  // A shared cell of the colour (black, white, a plain server's cells
  // taken over at the start) is shared again, as a server's own
  // allocation shares it.
  ProxyClient* saved = currentClient;
  currentClient = nullptr;
  bool taken = allocEmulatedColor(head->display, cells, colour);
  currentClient = saved;
  if (!taken) return false;
  u32 pixel = u32(colour->pixel);
  for (u32 i = 0; i < colormap->allocationCount; i++)
    if (colormap->allocations[i].pixel == pixel) return true;
  allocColorOnHeads(nullptr, colormap, colour);
  XColor onHead = *colour;
  onHead.pixel = pixelOnHead(colormap, pixel, head);
  XfsStoreColors(head->display, cells->serverColormap, &onHead, 1);
  return true;
}

void preallocColormapCells(u32 colormapId, Head* head, const VisualRecord* clientVisual,
                           const VisualRecord* headVisual) {
  auto* colormap = static_cast<ColormapRecord*>(lookupResourceByType(colormapId, RT_COLORMAP));
  if (!colormap) return;
  // An emulated visual's cells live in the proxy alone: the head's default
  // colormap is of its own visual and holds none of them (its cells, read
  // as if they were the emulated one's, all came back as one pixel).
  if (!head || !clientVisual || !headVisual || headVisual->emulatedVisualId) {
    if (head && clientVisual && headVisual) preallocFromPlainHead(colormap, head, clientVisual);
    if (!colormap->visual || !isWritableVisualClass(colormap->visual->visualClass) || !colormap->screen) return;
    XColor black{u32(colormap->screen->blackPixel), 0, 0, 0, kAllChannels, 0};
    XColor white{u32(colormap->screen->whitePixel), 0xffff, 0xffff, 0xffff, kAllChannels, 0};
    allocColorOnHeads(nullptr, colormap, &black);
    allocColorOnHeads(nullptr, colormap, &white);
    return;
  }
  if (!isWritableVisualClass(headVisual->visualClass) || headVisual->visualClass == kClassDirectColor) return;
  if (!isHeadOnline(head)) return;
  u32 count = 0;
  XColor* used = queryAllocatedColors(head->display, head->defaultColormap, headVisual->colormapSize, &count);
  if (!used) {
    LOGF(logChWarning, "Can't alloc pixel");
    return;
  }
  // An overlay visual keeps its transparent pixel (or pixels) out.
  u32 mode = headVisual->overlayFormat ? headVisual->transparentType : 0;
  if (mode > 1) PALVON_UNE();
  for (u32 i = 0; i < count; i++) {
    u32 pixel = u32(used[i].pixel);
    if (mode == 1 && pixel == headVisual->transparentValue) continue;
    if (mode == 2 && (pixel & headVisual->transparentValue)) continue;
    XColor colour = used[i];
    colour.pixel = convertPixelFromHead(pixel, clientVisual, head);
    if (!allocColorOnHeads(nullptr, colormap, &colour)) {
      LOGF(logChWarning, "Can't alloc pixel");
    } else if (detailFlags & kDetailVisuals) {
      LOGF(logChInfo, "Prealloced color %u (RGB 0x%x, 0x%x, 0x%x)", u32(colour.pixel), colour.red, colour.green,
           colour.blue);
    }
  }
  std::free(used);
}

// --- Installed colormaps ------------------------------------------------------------------

namespace {

// Colormap records outlive nothing they point to, except at the very end of
// a run: a screen that is no longer listed has no list to change.
bool isListedScreen(const MetaScreen* screen) {
  for (const MetaScreen* s = proxyState.screens; s; s = s->next)
    if (s == screen) return true;
  return false;
}

}  // namespace

u32 installedColormaps(const MetaScreen* screen, u32* ids, u32 maximum) {
  if (!screen) return 0;
  u32 count = screen->installedColormapCount < maximum ? screen->installedColormapCount : maximum;
  if (count) std::memcpy(ids, screen->installedColormapIds, u64(count) * sizeof(u32));
  return count;
}

bool isStaticColormapInstalled(u32 colormap) {
  const auto* record = static_cast<const ColormapRecord*>(lookupResourceByType(colormap, RT_COLORMAP));
  const MetaScreen* screen = record ? record->screen : nullptr;
  if (!screen || !record->visual || isWritableVisualClass(record->visual->visualClass)) return false;
  for (u32 i = 0; i < screen->installedColormapCount; i++)
    if (screen->installedColormapIds[i] == colormap) return true;
  return false;
}

void removeInstalledColormap(MetaScreen* screen, u32 colormap) {
  if (!screen || !isListedScreen(screen)) return;
  u32 kept = 0;
  for (u32 i = 0; i < screen->installedColormapCount; i++)
    if (screen->installedColormapIds[i] != colormap) screen->installedColormapIds[kept++] = screen->installedColormapIds[i];
  screen->installedColormapCount = kept;
}

void clearInstalledColormaps(MetaScreen* screen) {
  if (screen) screen->installedColormapCount = 0;
}

void setInstalledColormap(MetaScreen* screen, u32 colormap) {
  clearInstalledColormaps(screen);
  installColormapOnScreen(screen, colormap);
}

bool installColormapOnScreen(MetaScreen* screen, u32 colormap) {
  if (!screen) return false;
  removeInstalledColormap(screen, colormap);
  // A full list forgets its oldest entry: clients install a few maps in
  // turn, a server holds fewer still.
  if (screen->installedColormapCount == kInstalledColormapsMax) {
    std::memmove(screen->installedColormapIds, screen->installedColormapIds + 1,
                 (kInstalledColormapsMax - 1) * sizeof(u32));
    screen->installedColormapCount--;
  }
  screen->installedColormapIds[screen->installedColormapCount++] = colormap;
  return true;
}

// --- Emulated visuals -----------------------------------------------------------------------

const char* initColormapEmulation(ColormapRecord* colormap, Head* head, const VisualRecord* headVisual,
                                  Window window) {
  if (!colormap->emulation) {
    colormap->emulation = static_cast<EmulatedColormapState*>(std::calloc(1, sizeof(EmulatedColormapState)));
    if (!colormap->emulation) return PALVON_OOM();
  }
  EmulatedColormapState* state = colormap->emulation;
  state->head = head;
  state->headVisual = headVisual;
  if (const char* failure = createEmulatedColormap(head->display, window, headVisual, &state->cells)) return failure;
  if (!window) state->cells.serverColormap = translateXid(colormap->id, RT_COLORMAP, head);
  return nullptr;
}

EmulatedColormap* emulatedCellsOf(ColormapRecord* colormap) {
  if (!colormap) return nullptr;
  if (colormap->emulation) return &colormap->emulation->cells;
  // A meta screen's default colormap: the heads layer keeps its cells on
  // the colour head.
  MetaScreen* screen = colormap->screen;
  if (!screen || colormap->id != screen->defaultColormap) return nullptr;
  Head* head = screen->colorHead ? screen->colorHead : screen->heads;
  return head ? head->emulatedColormap : nullptr;
}

EmulatedColormap* emulatedColormapOf(u32 colormapId) {
  return emulatedCellsOf(static_cast<ColormapRecord*>(lookupResourceByType(colormapId, RT_COLORMAP)));
}

bool colormapCellsReproducible(u32 colormap) {
  const auto* record = static_cast<const ColormapRecord*>(lookupResourceByType(colormap, RT_COLORMAP));
  if (!record || !record->visual) return true;
  // StaticGray, StaticColor and TrueColor have even class numbers.
  if ((record->visual->visualClass & 1) == 0) return true;
  for (u32 i = 0; i < record->allocationCount; i++)
    if (record->allocations[i].owner) return false;
  return true;
}

}  // namespace palvon
