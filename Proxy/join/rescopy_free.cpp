// A leaving head's copies of the clients' resources (rescopy.h).
#include <X11/Xlib.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/fonts.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Proxy/servers/rawtricks.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Extension requests that free a copy: DOUBLE-BUFFER DeallocateBackBufferName,
// RENDER FreePicture and FreeGlyphSet.
struct RawFree {
  u32 type;
  const char* extension;
  u8 minor;
};
constexpr RawFree kRawFrees[] = {
    {RT_DBE_BUFFER, "DOUBLE-BUFFER", 2},
    {RT_PICTURE, "RENDER", 7},
    {RT_GLYPHSET, "RENDER", 19},
};

Display* liveDisplay(const Head* head) {
  Display* display = head->serverDisplay ? head->serverDisplay->display : nullptr;
  return display && !isDisplayOffline(display) ? display : nullptr;
}

void dropPixmapCopy(PixmapRecord* pixmap, const Head* head, Display* display) {
  for (PixmapHeadCopy* copy = pixmap->headCopies; copy; copy = copy->next) {
    if (copy->head != head) continue;
    if (display && copy->serverId) XfsFreePixmap(display, copy->serverId);
    if (copy->previous) copy->previous->next = copy->next;
    else pixmap->headCopies = copy->next;
    if (copy->next) copy->next->previous = copy->previous;
    std::free(copy);
    return;
  }
}

void dropFontGlyphs(FontRecord* font, const Head* head, Display* display) {
  for (FontHeadGlyphs* entry = font ? font->headGlyphs : nullptr; entry; entry = entry->next) {
    if (entry->head != head) continue;
    if (display && entry->pixmap) XfsFreePixmap(display, entry->pixmap);
    if (entry->previous) entry->previous->next = entry->next;
    else font->headGlyphs = entry->next;
    if (entry->next) entry->next->previous = entry->previous;
    std::free(entry->metrics);
    std::free(entry);
    return;
  }
}

void rawFree(Display* display, const char* extension, u8 minor, u32 id) {
  u8 major = rawExtensionOpcode(display, extension);
  if (!major) return;
  if (!rawBegin(display)) return;
  if (u8* request = rawRequest(display, major, minor, 8)) rawPut32(request, 4, id);
}

struct FreeRun {
  Head* head;
  MetaScreen* screen;
  u32 type;
  bool offline;
};

int freeNode(u32 id, void* object, ProxyClient*, void* argument, Head*) {
  auto* run = static_cast<FreeRun*>(argument);
  if (run->type == RT_WINDOW) {
    auto* window = static_cast<ProxyWindow*>(object);
    if (window->tiles) freeBackgroundTile(nullptr, window, run->head);
  }
  if (run->offline) {
    // Nothing is sent, but the records must not keep the head.
    if (run->type == RT_PIXMAP) dropPixmapCopy(static_cast<PixmapRecord*>(object), run->head, nullptr);
    if (run->type == RT_FONT) dropFontGlyphs(static_cast<FontRecord*>(object), run->head, nullptr);
    if (run->type == RT_GC) dropFontGlyphs(static_cast<GCRecord*>(object)->font, run->head, nullptr);
    return 1;
  }
  freeResourceOnHead(id, run->type, object, run->head, run->screen);
  return 1;
}

}  // namespace

void freeResourceOnHead(u32 id, u32 type, void* object, Head* head, MetaScreen* screen) {
  Display* display = liveDisplay(head);
  u32 server = translateXid(id, type, head);
  switch (type) {
    case RT_WINDOW:
      if (display && static_cast<ProxyWindow*>(object)->screen == screen && server) XfsDestroyWindow(display, server);
      return;
    case RT_PIXMAP: {
      auto* pixmap = static_cast<PixmapRecord*>(object);
      if (display && pixmap->screen == screen && server) XfsFreePixmap(display, server);
      dropPixmapCopy(pixmap, head, display);
      return;
    }
    case RT_GC: {
      auto* gc = static_cast<GCRecord*>(object);
      if (display && gcRecordScreen(gc) == screen && server) rawFreeGC(display, server);
      dropFontGlyphs(gc->font, head, nullptr);
      return;
    }
    case RT_COLORMAP:
      if (display && server && (id >> proxyState.resourceIdShift) != 0) XfsFreeColormap(display, server);
      return;
    case RT_CURSOR:
      if (display && server) XfsFreeCursor(display, server);
      return;
    case RT_FONT:
      dropFontGlyphs(static_cast<FontRecord*>(object), head, display);
      if (display && server && opensFonts(head) && !head->fontBitmaps) XfsUnloadFont(display, server);
      return;
    case RT_MBUF_BUFFER: PALVON_WIP(); return;
    default: break;
  }
  for (const RawFree& row : kRawFrees) {
    if (row.type == type && display && server) rawFree(display, row.extension, row.minor, server);
  }
}

void freeHeadResources(Head* head, MetaScreen* screen, bool offline) {
  FreeRun run{head, screen, 0, offline || !liveDisplay(head)};
  constexpr u32 kTypes[] = {RT_PICTURE, RT_GLYPHSET, RT_DBE_BUFFER, RT_GC, RT_WINDOW,
                            RT_PIXMAP,  RT_CURSOR,   RT_FONT,       RT_COLORMAP};
  for (u32 type : kTypes) {
    run.type = type;
    forEachResourceOfType(type, freeNode, &run, head);
  }
  Display* display = run.offline ? nullptr : liveDisplay(head);
  for (PixmapRecord* zombie = proxyState.records.zombies; zombie; zombie = zombie->zombieNext)
    dropPixmapCopy(zombie, head, display);
  if (display) XfsFlush(display);
}

}  // namespace palvon
