// Font, cursor and colormap records: shared fonts with their glyph data,
// cursors with one entry per server display, colormaps sized for their
// visual.
#include "Proxy/resources/records.h"

#include <cstdlib>
#include <cstring>

#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/glyphs.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/visual.h"
#include "Xext/small/pose.h"
#include "base/logging.h"
#include "base/strlist.h"
#include "xsupport/rclib/pointer.h"

namespace palvon {

namespace {

ResourceRecordLists& lists() { return proxyState.records; }

constexpr u8 kGrayScale = 1;
constexpr u8 kPseudoColor = 3;
constexpr u8 kDirectColor = 5;
constexpr u32 kCorePointer = 256;

// Lists whose head's previous is the tail, so appending costs nothing.
template <typename Record>
void appendRecord(Record** head, Record* record) {
  record->next = nullptr;
  if (!*head) {
    record->previous = record;
    *head = record;
    return;
  }
  Record* tail = (*head)->previous;
  tail->next = record;
  record->previous = tail;
  (*head)->previous = record;
}

template <typename Record>
void unlinkRecord(Record** head, Record* record) {
  if (record == *head) {
    *head = record->next;
    if (*head) (*head)->previous = record->previous;
  } else {
    record->previous->next = record->next;
    if (record->next) {
      record->next->previous = record->previous;
    } else {
      (*head)->previous = record->previous;
    }
  }
  record->next = record->previous = nullptr;
}

void releaseCursorEntry(CursorDisplayEntry* entry) {
  if (entry->mask != entry->image) std::free(entry->mask);
  std::free(entry->image);
  entry->image = entry->mask = nullptr;
}

void destroyFont(FontRecord* font) {
  strlistFree(font->fontPathCount, font->fontPath);
  if (font->fontInfo) {
    if (font->fontInfoLoaded && fontDisplay && fontDisplay->display) {
      XfsFreeFont(fontDisplay->display, font->fontInfo);
    } else {
      XFreeFontInfo(nullptr, font->fontInfo, 1);
    }
  }
  if (font->glyphImages && font->destroyGlyphImages) font->destroyGlyphImages(font->glyphImages);
  std::free(font->glyphBuffer);
  while (FontHeadGlyphs* glyphs = font->headGlyphs) {
    font->headGlyphs = glyphs->next;
    Display* display = glyphs->head && glyphs->head->serverDisplay ? glyphs->head->serverDisplay->display : nullptr;
    if (display && glyphs->pixmap) XfsFreePixmap(display, glyphs->pixmap);
    std::free(glyphs->metrics);
    std::free(glyphs);
  }
  poseForgetFont(font->id);
  unlinkRecord(&lists().fonts, font);
  std::free(font->name);
  std::free(font);
}

}  // namespace

// --- Fonts -------------------------------------------------------------------------

FontRecord* createFontRecord(u32 id, const char* name, u32 nameLength) {
  auto* font = static_cast<FontRecord*>(std::calloc(1, sizeof(FontRecord)));
  if (!font) return nullptr;
  font->name = static_cast<char*>(std::malloc(u64(nameLength) + 1));
  if (!font->name) {
    std::free(font);
    return nullptr;
  }
  std::memcpy(font->name, name, nameLength);
  font->name[nameLength] = '\0';
  font->id = id;
  FontRecord* head = lists().fonts;
  font->serial = head ? head->previous->serial + 1 : 1;
  appendRecord(&lists().fonts, font);
  return font;
}

void refFont(FontRecord* font, void* recording) {
  if (!font) return;
  if (!font->glyphImages) {
    if (const char* error = makeFontGlyphImages(font)) logProblem(error, __FILE__, __LINE__);
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
      for (Head* head = screen->heads; head; head = head->next) {
        if (!head->fontBitmaps) continue;  // the head draws text with server fonts
        if (const char* error = openFontOnHead(font, head)) {
          logProblem(error, __FILE__, __LINE__);
        } else if (head->serverDisplay && head->serverDisplay->display) {
          XfsFlush(head->serverDisplay->display);
        }
      }
    }
  }
  font->refCount++;
  poseRecordFont(font, recording, nullptr);
}

void unrefFont(FontRecord* font, u32 id) {
  if (!font) return;
  if (font->refCount > 0) {
    font->refCount--;
    if (font->id == id) font->id = 0;
    poseForgetFont(id);
    return;
  }
  destroyFont(font);
}

void destroyFontResource(u32 id, FontRecord* font) { unrefFont(font, id); }

// --- Cursors -------------------------------------------------------------------------

CursorRecord* createCursorRecord(u32 id, u32 displayCount) {
  u64 size = sizeof(CursorRecord) + u64(displayCount) * sizeof(CursorDisplayEntry);
  auto* cursor = static_cast<CursorRecord*>(std::calloc(1, size));
  if (!cursor) return nullptr;
  cursor->id = id;
  cursor->displayCount = displayCount;
  cursor->entries = reinterpret_cast<CursorDisplayEntry*>(cursor + 1);
  appendRecord(&lists().cursors, cursor);
  // A failed registration has destroyed the record already.
  return addResource(id, RT_CURSOR, cursor) ? cursor : nullptr;
}

void refCursor(CursorRecord* cursor) {
  if (cursor) cursor->refCount++;
}

void unrefCursor(CursorRecord* cursor) {
  if (!cursor) return;
  if (cursor == proxyState.pointerCursor) recordCursorChange(kCorePointer);
  if (cursor->refCount > 0) {
    cursor->refCount--;
    return;
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->currentCursor == cursor) head->currentCursor = kCursorUnknown;
    }
  }
  if (proxyState.pointerCursor == cursor) proxyState.pointerCursor = nullptr;
  unlinkRecord(&lists().cursors, cursor);
  for (u32 i = cursor->displayCount; i-- > 0;) releaseCursorEntry(&cursor->entries[i]);
  cursorImageArrayFree(cursor->images, cursor->imageCount);
  std::free(cursor);
}

void destroyCursorResource(CursorRecord* cursor) {
  cursor->id = 0;
  unrefCursor(cursor);
}

// --- Colormaps -------------------------------------------------------------------------

bool isWritableVisualClass(u8 visualClass) {
  return visualClass == kGrayScale || visualClass == kPseudoColor || visualClass == kDirectColor;
}

u64 colormapRecordSize(const VisualRecord* visual) {
  u64 size = sizeof(ColormapRecord);
  if (visual && isWritableVisualClass(visual->visualClass)) size += 3 * u64(visual->colormapSize) * sizeof(u16);
  return size;
}

namespace {

void pointTablesInto(ColormapRecord* record) {
  if (record->visual && isWritableVisualClass(record->visual->visualClass)) {
    u32 cells = record->visual->colormapSize;
    record->red = reinterpret_cast<u16*>(record + 1);
    record->green = record->red + cells;
    record->blue = record->green + cells;
  } else {
    record->red = record->green = record->blue = nullptr;
  }
}

}  // namespace

ColormapRecord* createColormapRecord(ProxyClient* client, u32 id, MetaScreen* screen, VisualRecord* visual,
                                     u32 alloc) {
  auto* record = static_cast<ColormapRecord*>(std::calloc(1, colormapRecordSize(visual)));
  if (!record) return nullptr;
  record->id = id;
  record->alloc = alloc;
  record->screen = screen;
  record->visual = visual;
  pointTablesInto(record);
  if (alloc == kAllocAll && visual && isWritableVisualClass(visual->visualClass)) {
    u32 pixel = 0;
    u32 planes = visual->visualClass == kDirectColor ? visual->redMask | visual->greenMask | visual->blueMask
                                                      : u32(visual->colormapSize) - 1;
    if (!allocColorCellsOnHeads(client, record, &pixel, 1, &planes, 1)) {
      freeColormapRecord(record);
      return nullptr;
    }
  }
  return addResource(id, RT_COLORMAP, record) ? record : nullptr;
}

ColormapRecord* cloneColormapRecord(const ColormapRecord* record) {
  u64 size = colormapRecordSize(record->visual);
  auto* copy = static_cast<ColormapRecord*>(std::malloc(size));
  if (!copy) return nullptr;
  std::memcpy(copy, record, size);
  pointTablesInto(copy);
  // The allocation list belongs to one record: the copy gets its own.
  copy->allocations = nullptr;
  copy->allocationCapacity = 0;
  // So does the emulation block.
  copy->emulation = nullptr;
  if (record->allocationCount) {
    copy->allocations =
        static_cast<ColormapAllocation*>(std::malloc(u64(record->allocationCount) * sizeof(ColormapAllocation)));
    if (!copy->allocations) {
      std::free(copy);
      return nullptr;
    }
    std::memcpy(copy->allocations, record->allocations, u64(record->allocationCount) * sizeof(ColormapAllocation));
    copy->allocationCapacity = record->allocationCount;
  }
  return copy;
}

void freeColormapRecord(ColormapRecord* record) {
  if (!record) return;
  std::free(record->emulation);
  std::free(record->allocations);
  std::free(record);
}

void destroyColormapResource(ColormapRecord* colormap) {
  removeInstalledColormap(colormap->screen, colormap->id);
  freeColormapRecord(colormap);
}

}  // namespace palvon
