// Client resources onto a joining head (rescopy.h): zombie pixmaps,
// cursors, pixmaps with their contents, colormaps with their cells, fonts
// and GCs.
#include "Proxy/join/rescopy.h"

#include <X11/X.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/fontpath.h"
#include "Proxy/requests/fonts.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/strlist.h"
#include "xsupport/xfont.h"
#include "xsupport/ximage.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

ServerLink* ownerLink(ProxyClient* client, const Head* head) {
  if (!client || client->stopped) return nullptr;
  ServerLink* link = clientLink(client, head->serverIndex);
  return link && link->descriptor >= 0 ? link : nullptr;
}

// A pixmap made on the new head whose contents follow once the server holds
// it: read from the source head, written through the proxy's connection.
struct PendingContents {
  PixmapRecord* pixmap;
  u32 sourceId;       // on the source head
  u32 destinationId;  // on the new head
};

struct CopyRun {
  Head* source;
  Head* head;
  PendingContents* contents;
  u32 contentCount, contentCapacity;
  GC scratch[33];  // by depth on the new head, made on demand
  // Fonts opened through the clients' links, and those the server refused
  // (a GC names them only where they exist).
  u32* fonts;
  u32 fontCount, fontCapacity;
  u32* missingFonts;
  u32 missingCount;
  // GCs whose font their client has closed: the font opened for each under
  // an id of the proxy's, closed again once the GC holds it.
  struct ClosedFont {
    const GCRecord* gc;
    u32 id;
  }* closedFonts;
  u32 closedCount, closedCapacity;
  bool proxyCopies;  // the proxy's own display made pixmaps (zombies)
  const char* error;
};

bool noteContents(CopyRun* run, PixmapRecord* pixmap, u32 sourceId, u32 destinationId) {
  if (run->contentCount == run->contentCapacity) {
    u32 capacity = run->contentCapacity ? 2 * run->contentCapacity : 64;
    auto* grown = static_cast<PendingContents*>(std::realloc(run->contents, capacity * sizeof(PendingContents)));
    if (!grown) return false;
    run->contents = grown, run->contentCapacity = capacity;
  }
  run->contents[run->contentCount++] = {pixmap, sourceId, destinationId};
  return true;
}

// Both heads show the pixmap's pixels unconverted and lay images out alike.
bool sameImageLayout(const PixmapRecord* pixmap, const Head* source, const Head* head) {
  const ServerImageFormat& a = source->serverDisplay->imageFormat;
  const ServerImageFormat& b = head->serverDisplay->imageFormat;
  return !getHeadVisualIfConverting(pixmap->visual, source) && !getHeadVisualIfConverting(pixmap->visual, head) &&
         std::memcmp(&a, &b, sizeof a) == 0;
}

u32 bitsPerPixelFor(u32 depth) { return depth == 1 ? 1 : depth <= 8 ? 8 : depth <= 16 ? 16 : 32; }

// The pixmap's image, band by band, from the source head to the new one.
// Only heads that agree on depth, visual and scale take the image as it
// is; others get it converted through the client's depth.
void copyContents(CopyRun* run, const PendingContents& c) {
  Head* source = run->source;
  Head* head = run->head;
  Display* from = source ? source->display : nullptr;
  Display* to = head->display;
  if (!from || !to || isDisplayOffline(from) || isDisplayOffline(to) || !c.sourceId) return;
  const PixmapRecord* pixmap = c.pixmap;
  u32 depth = mapDepthForHead(pixmap->depth, head);
  if (depth > 32) return;
  if (!run->scratch[depth]) {
    Pixmap any = XfsCreatePixmap(to, head->root, 1, 1, depth);
    if (!any) return;
    run->scratch[depth] = XfsCreateGC(to, any, 0, nullptr);
    XfsFreePixmap(to, any);
    if (!run->scratch[depth]) return;
  }
  bool direct = !source->scaler && !head->scaler && mapDepthForHead(pixmap->depth, source) == depth &&
                source->serverDisplay && head->serverDisplay &&
                sameImageLayout(pixmap, source, head);
  u32 width = pixmap->width, height = pixmap->height;
  u32 rows = direct ? rowsPerBand(imageBandSize(), (u64(width) * bitsPerPixelFor(depth) + 31) / 32 * 4) : height;
  for (u32 row = 0; row < height; row += rows) {
    u32 band = std::min(rows, height - row);
    if (direct) {
      XImage* image = XfsGetImage(from, c.sourceId, 0, int(row), width, band, AllPlanes, ZPixmap);
      if (!image) return;
      XfsPutImage(to, c.destinationId, run->scratch[depth], image, 0, 0, 0, int(row), width, band);
      XDestroyImage(image);
      continue;
    }
    XImage* image = getPixmapImageFromHead(pixmap, source);
    if (!image) return;
    u16 w = pixmap->width, h = pixmap->height;
    if (head->scaler) scaleSize(head->scaler, &w, &h);
    XImage* converted = convertImageForHead(image, pixmap->visual, head, std::max<u16>(w, 1), std::max<u16>(h, 1));
    if (converted) XfsPutImage(to, c.destinationId, run->scratch[depth], converted, 0, 0, 0, 0, converted->width,
                               converted->height);
    if (converted && converted != image) XDestroyImage(converted);
    XDestroyImage(image);
  }
}

// --- Zombies -----------------------------------------------------------------------------

PixmapHeadCopy* copyOn(const PixmapRecord* pixmap, const Head* head) {
  for (PixmapHeadCopy* copy = pixmap->headCopies; copy; copy = copy->next)
    if (copy->head == head) return copy;
  return nullptr;
}

// A pixmap under its client's id on the new head, through the client's
// link; its contents follow once the server holds it.
void copyOwnedPixmap(CopyRun* run, u32 id, PixmapRecord* pixmap, ServerLink* link) {
  Head* head = run->head;
  u32 depth = mapDepthForHead(pixmap->depth, head);
  if (!depth) return;
  u16 width = std::max<u16>(pixmap->width, 1), height = std::max<u16>(pixmap->height, 1);
  if (head->scaler) scaleSize(head->scaler, &width, &height);
  u32 destination = translateXid(id, RT_SERVER_ID, head);
  xprotoCreatePixmap(&link->writer, u8(depth), destination, u32(head->root), width, height);
  markProxyCopy(&link->writer);
  u32 source = run->source ? translateXid(id, RT_PIXMAP, run->source) : 0;
  if (!noteContents(run, pixmap, source, destination)) run->error = PALVON_OOM();
}

// A zombie whose client is still connected keeps its id on the servers
// (they free it with its last reference), and that client's requests name
// it there: the new head gets it under that id too. Where the proxy made
// copies of its own (other clients' references), the new head gets one.
void copyZombie(CopyRun* run, PixmapRecord* zombie) {
  Head* head = run->head;
  if (zombie->ownerPresent && zombie->id) {
    if (ServerLink* link = ownerLink(findClientByXid(zombie->id), head)) copyOwnedPixmap(run, zombie->id, zombie, link);
    if (run->error) return;
  }
  PixmapHeadCopy* from = run->source ? copyOn(zombie, run->source) : nullptr;
  if (!from || !head->display) return;
  u16 width = std::max<u16>(zombie->width, 1), height = std::max<u16>(zombie->height, 1);
  if (head->scaler) scaleSize(head->scaler, &width, &height);
  Pixmap server = XfsCreatePixmap(head->display, head->root, width, height, mapDepthForHead(zombie->depth, head));
  if (!server) return;
  PixmapHeadCopy* copy = copyOn(zombie, head);
  if (!copy) {
    copy = static_cast<PixmapHeadCopy*>(std::calloc(1, sizeof(PixmapHeadCopy)));
    if (!copy) {
      XfsFreePixmap(head->display, server);
      run->error = PALVON_OOM();
      return;
    }
    copy->head = head;
    copy->next = zombie->headCopies;
    if (copy->next) copy->next->previous = copy;
    zombie->headCopies = copy;
  }
  copy->serverId = u32(server);
  run->proxyCopies = true;
  if (!noteContents(run, zombie, from->serverId, u32(server))) run->error = PALVON_OOM();
}

// --- Per type ------------------------------------------------------------------------------

int copyCursor(CopyRun* run, CursorRecord* cursor) {
  if (!cursor->id) return 1;
  ProxyClient* owner = findClientByXid(cursor->id);
  ServerLink* link = ownerLink(owner, run->head);
  if (!link) {
    if (!owner) PALVON_UNE();
    return 1;
  }
  u32 id = translateXid(cursor->id, RT_CURSOR, run->head);
  link->writingProxyCopies = 1;
  if (!replicateCursorOnHead(cursor, owner, &link->writer, id, run->head)) LOGF(logChXhint, "Cursor 0x%x not copied", cursor->id);
  link->writingProxyCopies = 0;
  return 1;
}

int copyPixmapNode(u32 id, void* object, ProxyClient* client, void* argument, Head*) {
  auto* run = static_cast<CopyRun*>(argument);
  auto* pixmap = static_cast<PixmapRecord*>(object);
  Head* head = run->head;
  ServerLink* link = ownerLink(client, head);
  if (!link || pixmap->screen != head->metaScreen || !pixmap->ownerPresent) return 1;
  copyOwnedPixmap(run, id, pixmap, link);
  return run->error ? 0 : 1;
}

int copyColormapNode(u32 id, void* object, ProxyClient* client, void* argument, Head*) {
  auto* run = static_cast<CopyRun*>(argument);
  auto* colormap = static_cast<ColormapRecord*>(object);
  Head* head = run->head;
  ServerLink* link = ownerLink(client, head);
  if (!link || colormap->screen != head->metaScreen || !colormap->visual) return 1;
  const VisualRecord* match = headVisualMatch(head, colormap->visual);
  if (!match) return 1;
  u32 server = translateXid(id, RT_COLORMAP, head);
  xprotoCreateColormap(&link->writer, AllocNone, server, u32(head->root), mapVisualIdToHead(colormap->visual->visualId, head));
  markProxyCopy(&link->writer);
  if (!colormap->allocationCount) return 1;
  // The cells go in through the proxy's own connection: the colormap must
  // exist on the server first.
  if (const char* error = syncServerLink(link)) {
    run->error = error;
    return 0;
  }
  if (const char* error = copyColormapCellsToHead(id, head, server)) logProblem(error, __FILE__, __LINE__);
  return 1;
}

// Sets the path on the link's server as a client's SetFontPath reaches
// every server; one that keeps its own fonts gets only what it has.
void setPathThrough(ServerLink* link, const Head* head, char* const* path, u32 count) {
  if (!head->serverDisplay->serverFonts) {
    xprotoSetFontPath(&link->writer, path, u16(count));
    markProxyCopy(&link->writer);
    return;
  }
  char** filtered = nullptr;
  u32 filteredCount = 0;
  if (!filterFontPathForDisplay(path, count, &filtered, &filteredCount, head->serverDisplay)) return;
  if (filteredCount) xprotoSetFontPath(&link->writer, filtered, u16(filteredCount));
  markProxyCopy(&link->writer);
  strlistFree(filteredCount, filtered);
}

// A font is opened under the font path that was in force when its client
// opened it; the new server has the proxy's current path, which is put
// back right after. The id is noted for the check of what the server could
// not open. False when memory ran out.
bool openFontThrough(CopyRun* run, ServerLink* link, const FontRecord* font, u32 id) {
  Head* head = run->head;
  const char* name = head->scaler ? openScaledFont(font->name, head) : nullptr;
  if (!name) name = font->name;
  u32 count = 0;
  char* const* current = currentFontPath(&count);
  bool ownPath = font->fontPathCount && !strlistEqual(count, current, font->fontPathCount, font->fontPath);
  if (ownPath) setPathThrough(link, head, font->fontPath, font->fontPathCount);
  xprotoOpenFont(&link->writer, translateXid(id, RT_SERVER_ID, head), name, u16(std::strlen(name)));
  markProxyCopy(&link->writer);
  if (run->fontCount == run->fontCapacity) {
    u32 capacity = run->fontCapacity ? 2 * run->fontCapacity : 32;
    auto* grown = static_cast<u32*>(std::realloc(run->fonts, capacity * sizeof(u32)));
    if (!grown) {
      run->error = PALVON_OOM();
      return false;
    }
    run->fonts = grown, run->fontCapacity = capacity;
  }
  run->fonts[run->fontCount++] = id;
  if (ownPath) setPathThrough(link, head, current, count);
  return true;
}

int copyFontNode(u32 id, void* object, ProxyClient* client, void* argument, Head*) {
  auto* run = static_cast<CopyRun*>(argument);
  auto* font = static_cast<FontRecord*>(object);
  ServerLink* link = ownerLink(client, run->head);
  if (!link || !opensFonts(run->head) || !font->name) return 1;
  return openFontThrough(run, link, font, id) ? 1 : 0;
}

// Whether the GC still uses a font its client has closed.
bool usesClosedFont(const GCRecord* gc) { return gc->font && lookupFont(u32(gc->values.font)) != gc->font; }

// A GC of the head's screen whose font was closed: the font is opened for
// it under a new id of its client's (the server keeps a font while a GC
// uses it, whatever its id).
int openClosedFontNode(u32, void* object, ProxyClient* client, void* argument, Head*) {
  auto* run = static_cast<CopyRun*>(argument);
  auto* gc = static_cast<GCRecord*>(object);
  Head* head = run->head;
  ServerLink* link = ownerLink(client, head);
  if (!link || !usesClosedFont(gc) || !gc->font->name || !opensFonts(head) || head->fontBitmaps) return 1;
  if (gcRecordScreen(gc) != head->metaScreen || gcSkipsHead(gc, head)) return 1;
  if (run->closedCount == run->closedCapacity) {
    u32 capacity = run->closedCapacity ? 2 * run->closedCapacity : 16;
    auto* grown = static_cast<CopyRun::ClosedFont*>(std::realloc(run->closedFonts, capacity * sizeof(CopyRun::ClosedFont)));
    if (!grown) {
      run->error = PALVON_OOM();
      return 0;
    }
    run->closedFonts = grown, run->closedCapacity = capacity;
  }
  u32 id = allocProxyXid(client);
  if (!id) return 1;
  if (!openFontThrough(run, link, gc->font, id)) return 0;
  run->closedFonts[run->closedCount++] = {gc, id};
  return 1;
}

// The id under which the GC's closed font was opened, unless the server
// could not open it; 0 when none.
u32 closedFontOf(const CopyRun* run, const GCRecord* gc) {
  for (u32 i = 0; i < run->closedCount; i++) {
    if (run->closedFonts[i].gc != gc) continue;
    for (u32 k = 0; k < run->missingCount; k++)
      if (run->missingFonts[k] == run->closedFonts[i].id) return 0;
    return run->closedFonts[i].id;
  }
  return 0;
}

// The components whose values differ from a new GC's.
u32 changedGCComponents(const GCRecord* gc) {
  const XGCValues& v = gc->values;
  u32 mask = 0;
  if (v.function != GXcopy) mask |= GCFunction;
  if (v.plane_mask != ~0ul && u32(v.plane_mask) != ~0u) mask |= GCPlaneMask;
  if (v.foreground != 0) mask |= GCForeground;
  if (v.background != 1) mask |= GCBackground;
  if (v.line_width) mask |= GCLineWidth;
  if (v.line_style) mask |= GCLineStyle;
  if (v.cap_style != CapButt) mask |= GCCapStyle;
  if (v.join_style) mask |= GCJoinStyle;
  if (v.fill_style) mask |= GCFillStyle;
  if (v.fill_rule) mask |= GCFillRule;
  if (gc->tile) mask |= GCTile;
  if (gc->stipple) mask |= GCStipple;
  if (v.ts_x_origin) mask |= GCTileStipXOrigin;
  if (v.ts_y_origin) mask |= GCTileStipYOrigin;
  // A font the client has closed since is named by the copy's own id.
  if (gc->font && !usesClosedFont(gc)) mask |= GCFont;
  if (v.subwindow_mode) mask |= GCSubwindowMode;
  if (!v.graphics_exposures) mask |= GCGraphicsExposures;
  if (v.clip_x_origin) mask |= GCClipXOrigin;
  if (v.clip_y_origin) mask |= GCClipYOrigin;
  if (gc->clipMask) mask |= GCClipMask;
  if (v.dash_offset) mask |= GCDashOffset;
  if (v.dashes != 4) mask |= GCDashList;
  if (v.arc_mode != ArcPieSlice) mask |= GCArcMode;
  return mask;
}

int copyGCNode(u32 id, void* object, ProxyClient* client, void* argument, Head*) {
  auto* run = static_cast<CopyRun*>(argument);
  auto* gc = static_cast<GCRecord*>(object);
  Head* head = run->head;
  ServerLink* link = ownerLink(client, head);
  if (!link || gcRecordScreen(gc) != head->metaScreen || gcSkipsHead(gc, head)) return 1;
  u32 depth = mapDepthForHead(gc->depth, head);
  // A GC is made for a drawable of its depth: the root when it has it.
  u32 drawable = u32(head->root), made = 0;
  if (depth != head->defaultDepth) {
    made = drawable = allocProxyXid(client);
    if (!made) return 1;
    xprotoCreatePixmap(&link->writer, u8(depth), translateXid(made, RT_SERVER_ID, head), u32(head->root), 1, 1);
    markProxyCopy(&link->writer);
    drawable = translateXid(made, RT_SERVER_ID, head);
  }
  ProxyClient* saved = currentClient;
  currentClient = client;
  XGCValues values{};
  u32 wanted = changedGCComponents(gc);
  for (u32 i = 0; i < run->missingCount && (wanted & GCFont); i++)
    if (run->missingFonts[i] == u32(gc->values.font)) wanted &= ~u32(GCFont);
  u32 mask = headGCValues(gc, head, wanted, gc->values, 0, &values);
  currentClient = saved;
  u32 closedFont = closedFontOf(run, gc);
  if (closedFont) mask |= GCFont, values.font = translateXid(closedFont, RT_SERVER_ID, head);
  u32 server = translateXid(id, RT_GC, head);
  xprotoCreateGC(&link->writer, server, drawable, mask, &values);
  markProxyCopy(&link->writer);
  if (closedFont) {
    xprotoCloseFont(&link->writer, u32(values.font));
    markProxyCopy(&link->writer);
  }
  if (gc->dashList && gc->dashCount) {
    xprotoSetDashes(&link->writer, server, u16(gc->values.dash_offset), gc->dashList, u16(gc->dashCount));
    markProxyCopy(&link->writer);
  }
  if (gc->clipRectangles && gc->clipCount) {
    xprotoSetClipRectangles(&link->writer, gc->ordering, server, i16(gc->values.clip_x_origin),
                            i16(gc->values.clip_y_origin), reinterpret_cast<const XRectangle*>(gc->clipRectangles),
                            gc->clipCount);
    markProxyCopy(&link->writer);
  }
  if (made) {
    xprotoFreePixmap(&link->writer, drawable);
    markProxyCopy(&link->writer);
  }
  return 1;
}

// The fonts the new server could not open (a font directory it lacks):
// asked through the proxy's own connection once the links' opens are done.
void findMissingFonts(CopyRun* run) {
  Display* display = run->head->display;
  if (!display || !run->fontCount) return;
  run->missingFonts = static_cast<u32*>(std::calloc(run->fontCount, sizeof(u32)));
  if (!run->missingFonts) {
    run->error = PALVON_OOM();
    return;
  }
  for (u32 i = 0; i < run->fontCount; i++) {
    xErrorTrapBegin(display);
    XFontStruct* info = XfsQueryFont(display, translateXid(run->fonts[i], RT_SERVER_ID, run->head));
    xErrorTrapEnd();
    if (info) {
      XFreeFontInfo(nullptr, info, 1);
      continue;
    }
    LOGF(logChWarning, "Font 0x%x not opened on %s", run->fonts[i], run->head->name);
    run->missingFonts[run->missingCount++] = run->fonts[i];
  }
}

const char* syncLinksToHead(const Head* head) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = ownerLink(client, head);
    if (!link || !linkWaitable(link)) continue;
    if (const char* error = syncServerLink(link)) return error;
  }
  return nullptr;
}

// --- Font paths of a joining server ---------------------------------------------------------

struct FontPathSet {
  u32 count = 0;
  char** paths = nullptr;
};

int addFontPaths(void* argument, const FontRecord* font) {
  auto* set = static_cast<FontPathSet*>(argument);
  return font ? strlistAddUnique(&set->count, &set->paths, font->fontPathCount, font->fontPath) : 1;
}

int addFontPathsOfFont(u32, void* object, ProxyClient*, void* argument, Head*) {
  return addFontPaths(argument, static_cast<const FontRecord*>(object));
}

int addFontPathsOfGC(u32, void* object, ProxyClient*, void* argument, Head*) {
  return addFontPaths(argument, static_cast<const GCRecord*>(object)->font);
}

// Every element a font of the session was opened under (a GC may hold a
// font its client has closed), then the current and the default path: what
// a joining server needs so that the session's fonts open there.
const char* gatherSessionFontPaths(FontPathSet* set) {
  u32 count = 0;
  char* const* current = currentFontPath(&count);
  if (!forEachResourceOfType(RT_GC, addFontPathsOfGC, set, nullptr) ||
      !forEachResourceOfType(RT_FONT, addFontPathsOfFont, set, nullptr) ||
      !strlistAddUnique(&set->count, &set->paths, count, current) ||
      !strlistAddUnique(&set->count, &set->paths, defaultFontPathCount, defaultFontPath))
    return PALVON_OOM();
  return nullptr;
}

struct ProbeCall {
  Display* display;
  const FontPathSet* wanted;
  FontPathSet* accepted;
};

void runProbe(void* argument) {
  auto* call = static_cast<ProbeCall*>(argument);
  xfontValidFontPaths(call->display, call->wanted->count, call->wanted->paths, &call->accepted->paths,
                      &call->accepted->count);
}

// The elements the server takes, asked one by one under a server grab.
const char* probeFontPaths(Display* display, const FontPathSet* wanted, FontPathSet* accepted) {
  if (!wanted->count) return nullptr;
  ProbeCall call{display, wanted, accepted};
  if (!xfsRun(display, runProbe, &call)) {
    xfontReleaseCutShort();
    return displayOfflineText(display);
  }
  if (isDisplayOffline(display)) return displayOfflineText(display);
  return nullptr;
}

// An element the joining server refuses is only tolerable when the font
// display has it (the session's fonts of that element are measured there);
// one that neither has cannot hold the session's fonts at all. The server's
// own list then names what it has, so that every path set on it later is
// filtered to that.
const char* noteRefusedFontPaths(const Head* head, const FontPathSet& wanted, const FontPathSet& accepted) {
  ServerDisplay* server = head->serverDisplay;
  if (accepted.count == wanted.count) return nullptr;
  FontPathSet refused;
  for (u32 i = 0; i < wanted.count; i++) {
    if (strlistContains(accepted.count, accepted.paths, wanted.paths[i])) continue;
    if (!strlistAdd(&refused.count, &refused.paths, wanted.paths[i])) {
      strlistFree(refused.count, refused.paths);
      return PALVON_OOM();
    }
  }
  FontPathSet atFontDisplay;
  const char* error = nullptr;
  if (fontDisplay && fontDisplay != server && fontDisplay->display && !isDisplayOffline(fontDisplay->display))
    error = probeFontPaths(fontDisplay->display, &refused, &atFontDisplay);
  for (u32 i = 0; i < refused.count && !error; i++) {
    if (!strlistContains(atFontDisplay.count, atFontDisplay.paths, refused.paths[i]))
      error = tmpPrintf("No font path '%s' on %s", refused.paths[i], head->name);
    else
      LOGF(logChWarning, "No font path '%s' on %s", refused.paths[i], head->name);
  }
  if (!error && !strlistAssign(&server->fontPathCount, &server->fontPaths, accepted.count, accepted.paths))
    error = PALVON_OOM();
  strlistFree(refused.count, refused.paths);
  strlistFree(atFontDisplay.count, atFontDisplay.paths);
  return error;
}

}  // namespace

u32 rowsPerBand(u64 bandSize, u64 bytesPerLine) {
  if (!bytesPerLine) return 1;
  u64 rows = bandSize / bytesPerLine;
  return rows ? u32(std::min<u64>(rows, 0xffffffffu)) : 1;
}

void markProxyCopy(RequestWriter* writer) {
  auto* link = static_cast<ServerLink*>(writer->argument);
  stashRequestData(link, kStashProxyCopy, reinterpret_cast<void*>(uintptr_t(1)), nullptr);
}

u64 imageBandSize() { return proxyLife.maxBandSize ? proxyLife.maxBandSize : 65536; }

const char* copyResourcesToHead(Head* source, Head* head) {
  CopyRun run{};
  run.source = source;
  run.head = head;
  MetaScreen* screen = head->metaScreen;
  logStepf("Copying zombie pixmaps...");
  for (PixmapRecord* zombie = proxyState.records.zombies; zombie && !run.error; zombie = zombie->zombieNext) {
    if (zombie->screen == screen && mapDepthForHead(zombie->depth, head)) copyZombie(&run, zombie);
  }
  u32 cursors = 0;
  for (CursorRecord* cursor = proxyState.records.cursors; cursor; cursor = cursor->next) cursors++;
  logStepf("Copying %u cursors...", cursors);
  for (CursorRecord* cursor = proxyState.records.cursors; cursor && !run.error; cursor = cursor->next)
    copyCursor(&run, cursor);
  if (!run.error) forEachResourceOfType(RT_PIXMAP, copyPixmapNode, &run, head);
  if (!run.error) forEachResourceOfType(RT_COLORMAP, copyColormapNode, &run, head);
  if (!run.error) forEachResourceOfType(RT_FONT, copyFontNode, &run, head);
  if (!run.error) forEachResourceOfType(RT_GC, openClosedFontNode, &run, head);
  if (!run.error && run.proxyCopies) logStepf("Syncing master display...");
  // The pixmaps must exist on the server before the proxy fills them.
  if (!run.error) run.error = syncLinksToHead(head);
  if (!run.error) findMissingFonts(&run);
  for (u32 i = 0; i < run.contentCount && !run.error; i++) copyContents(&run, run.contents[i]);
  if (!run.error) forEachResourceOfType(RT_GC, copyGCNode, &run, head);
  for (GC gc : run.scratch)
    if (gc && head->display) XfsFreeGC(head->display, gc);
  std::free(run.contents);
  std::free(run.fonts);
  std::free(run.missingFonts);
  std::free(run.closedFonts);
  if (run.error) return run.error;
  if (head->display && syncServerDisplay(head->serverDisplay)) return displayOfflineText(head->display);
  return syncLinksToHead(head);
}

const char* applyFontPathToHead(Head* head) {
  logStepf("Adjusting font paths...");
  ServerDisplay* server = head->serverDisplay;
  if (!head->display || !server) return nullptr;
  FontPathSet wanted;
  const char* error = gatherSessionFontPaths(&wanted);
  FontPathSet accepted;
  if (!error) error = probeFontPaths(server->display, &wanted, &accepted);
  if (!error) error = noteRefusedFontPaths(head, wanted, accepted);
  if (!error && !head->inWindow) {
    u32 count = 0;
    char* const* path = currentFontPath(&count);
    char** filtered = nullptr;
    u32 filteredCount = 0;
    if (!filterFontPathForDisplay(path, count, &filtered, &filteredCount, server)) error = PALVON_OOM();
    else if (filteredCount) XfsSetFontPath(head->display, filtered, int(filteredCount));
    strlistFree(filteredCount, filtered);
  }
  strlistFree(wanted.count, wanted.paths);
  strlistFree(accepted.count, accepted.paths);
  return error;
}

}  // namespace palvon
