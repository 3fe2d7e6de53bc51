// Background tiles: making, painting, resizing and freeing them. The
// drawing mirrors are in bgtile_mirror.cpp, the resize arithmetic in
// bgtile_plan.cpp.
#include "Proxy/join/bgtile.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

u32 backgroundTileCount;

namespace {

// The request that destroys a GLX pixmap (GLX minor 15).
constexpr u8 kGlxDestroyGlxPixmap = 15;

ServerLink* linkTo(ProxyClient* client, const Head* head) {
  return client && client->links ? clientLink(client, head->serverIndex) : nullptr;
}

u16 clampSize(u32 size) { return u16(std::clamp<u32>(size, 1, 65535)); }

// A window's inside rectangle (absolute) on the head, as its geometry is
// scaled and turned for the head's server.
HeadRect rectOnHead(const Head* head, i32 x, i32 y, u32 width, u32 height) {
  HeadRect r{x, y, clampSize(width), clampSize(height)};
  const MetaScreen* screen = head->metaScreen;
  if (head->scaler) scaleRectangleRotated(head->scaler, &r, screen ? screen->width : 0, screen ? screen->height : 0);
  r.width = clampSize(u32(std::max(r.width, 1))), r.height = clampSize(u32(std::max(r.height, 1)));
  return r;
}

// Makes the server's windows forget their contents on a resize.
constexpr u32 kForgetBitGravityWorkaround = 0x4;

// The bit gravity the window has on the head's server: turned with the
// head, or Forget by the workaround.
u8 headBitGravity(const ProxyWindow* window, const Head* head) {
  if (proxyConfig.workarounds & kForgetBitGravityWorkaround) return kGravityUnmap;
  return rotateGravity(window->bitGravity, head);
}

u32 tileDepth(const ProxyWindow* window, const Head* head) {
  if (window->windowClass == kInputOutput && window->visual) {
    if (const VisualRecord* v = lookupHeadVisual(window->visual, head))
      return v->emulatedVisualId ? v->emulatedDepth : v->depth;
  }
  return mapDepthForHead(window->depth, head);
}

void appendTile(ProxyWindow* window, BackgroundTile* tile) {
  BackgroundTile** at = &window->tiles;
  BackgroundTile* last = nullptr;
  while (*at) last = *at, at = &(*at)->next;
  tile->previous = last;
  *at = tile;
  backgroundTileCount++;
}

void unlinkTile(ProxyWindow* window, BackgroundTile* tile) {
  if (tile->previous) tile->previous->next = tile->next;
  else window->tiles = tile->next;
  if (tile->next) tile->next->previous = tile->previous;
  std::free(tile);
  backgroundTileCount--;
}

void freePixmapOn(ServerLink* link, Display* display, u32 pixmap) {
  if (!pixmap) return;
  if (link) xprotoFreePixmap(&link->writer, pixmap);
  else if (!isDisplayOffline(display)) XfsFreePixmap(display, pixmap);
}

void destroyGlxPixmap(ServerLink* link, u32 glxPixmap) {
  ExtensionEntry* glx = findExtensionByName("GLX");
  u8* request = glx ? allocServerRequest(link, glx->major, kGlxDestroyGlxPixmap, 8) : nullptr;
  if (!request) return;
  put32(request + 4, glxPixmap);
  swapServerRequest(link, request, 8, "bbsi");
}

// The values that paint the window's background: tiled with its pixmap at
// its origin, or solid with its pixel.
u32 backgroundValues(ProxyWindow* window, Head* head, XGCValues* values) {
  u32 pixmap = 0, pixel = 0;
  i32 xOffset = 0, yOffset = 0;
  *values = XGCValues{};
  if (resolveBackgroundPixmap(window, head, &pixmap, &xOffset, &yOffset, &pixel) && pixmap) {
    values->fill_style = FillTiled;
    values->tile = pixmap;
    // The offsets are the window's place in the pixmap's owner: its origin
    // lies that far up and left of the window's.
    values->ts_x_origin = -xOffset;
    values->ts_y_origin = -yOffset;
    return GCFillStyle | GCTile | GCTileStipXOrigin | GCTileStipYOrigin;
  }
  values->fill_style = FillSolid;
  values->foreground = pixel;
  return GCFillStyle | GCForeground;
}

}  // namespace

// --- Making and freeing ------------------------------------------------------------------

const char* createBackgroundTile(ProxyClient* client, ProxyWindow* window, Head* head) {
  auto* tile = static_cast<BackgroundTile*>(std::calloc(1, sizeof(BackgroundTile)));
  if (!tile) return PALVON_OOM();
  tile->head = head;
  HeadRect r = rectOnHead(head, window->x, window->y, window->width, window->height);
  tile->width = u16(r.width), tile->height = u16(r.height);
  tile->allocatedWidth = tile->width, tile->allocatedHeight = tile->height;
  tile->depth = tileDepth(window, head);
  // The server frees what a client made when it leaves: a tile lives as
  // long as its window only when its owner made it, else the proxy does.
  ServerLink* link = client == window->owner ? linkTo(client, head) : nullptr;
  if (link) {
    u32 id = allocProxyXid(client);
    tile->pixmap = id ? translateXid(id, RT_SERVER_ID, head) : 0;
    if (tile->pixmap)
      xprotoCreatePixmap(&link->writer, u8(tile->depth), tile->pixmap, u32(head->root), tile->width, tile->height);
  } else {
    tile->pixmap = u32(XfsCreatePixmap(head->display, head->root, tile->width, tile->height, tile->depth));
  }
  if (!tile->pixmap) {
    std::free(tile);
    return isDisplayOffline(head->display) ? displayOfflineText(head->display) : PALVON_OOM();
  }
  appendTile(window, tile);
  // Made on the proxy's connection, drawn into next through clients' links:
  // the server must have it first.
  if (!link) XfsSync(head->display, False);
  setupBackgroundGC(window, tile, 0, 0, 0, 0, client);
  return nullptr;
}

void freeBackgroundTile(ProxyClient* client, ProxyWindow* window, Head* head) {
  BackgroundTile* next;
  for (BackgroundTile* tile = window->tiles; tile; tile = next) {
    next = tile->next;
    if (head && tile->head != head) continue;
    ServerLink* link = linkTo(client, tile->head);
    Display* display = tile->head->display;
    freePixmapOn(link, display, tile->pixmap);
    if (tile->glxPixmap && link) destroyGlxPixmap(link, tile->glxPixmap);
    freePixmapOn(link, display, tile->secondPixmap);
    unlinkTile(window, tile);
  }
}

// --- Painting ----------------------------------------------------------------------------

// A GC of its own for each fill, not the depth cache's: that one is shared
// by every user of the display, and a change made through a client's link
// would leave Xlib's cache of its values wrong, so that a later XChangeGC
// could leave out a value the server no longer has.
void setupBackgroundGC(ProxyWindow* window, BackgroundTile* tile, i32 x, i32 y, u32 width, u32 height,
                       ProxyClient* client) {
  Head* head = tile->head;
  i64 w = width ? i64(width) : i64(tile->width) - x, h = height ? i64(height) : i64(tile->height) - y;
  if (w <= 0 || h <= 0) return;
  XGCValues values;
  u32 mask = backgroundValues(window, head, &values);
  i16 fx = i16(std::clamp(x, -32768, 32767)), fy = i16(std::clamp(y, -32768, 32767));
  u16 fw = u16(std::min<i64>(w, 65535)), fh = u16(std::min<i64>(h, 65535));
  if (ServerLink* link = linkTo(client, head)) {
    u32 id = allocProxyXid(client);
    u32 gc = id ? translateXid(id, RT_SERVER_ID, head) : 0;
    if (!gc) return;
    xprotoCreateGC(&link->writer, gc, tile->pixmap, mask, &values);
    requestPolyFillRectangle(link, tile->pixmap, gc, fx, fy, fw, fh);
    xprotoFreeGC(&link->writer, gc);
    return;
  }
  Display* display = head->display;
  GC gc = XfsCreateGC(display, tile->pixmap, mask, &values);
  if (!gc) return;
  XfsFillRectangle(display, tile->pixmap, gc, fx, fy, fw, fh);
  XfsFreeGC(display, gc);
  XfsFlush(display);
}

// --- Resizing ------------------------------------------------------------------------------

namespace {

void resizeTile(ProxyWindow* window, BackgroundTile* tile, u32 width, u32 height, i32 dx, i32 dy) {
  Head* head = tile->head;
  Display* display = head->display;
  ServerLink* link = linkTo(currentClient, head);
  u16 oldWidth = tile->width, oldHeight = tile->height;
  // The old and the new place: under Static the contents stay where they
  // were on the screen, and a turned head moves the window's origin with
  // its size too.
  HeadRect before = rectOnHead(head, window->x, window->y, window->width, window->height);
  HeadRect after = rectOnHead(head, window->x + dx, window->y + dy, width, height);
  tile->width = u16(after.width), tile->height = u16(after.height);
  dx = after.x - before.x, dy = after.y - before.y;
  u32 old = tile->pixmap;
  GC gc = getDepthGC(display, int(head->screen), int(tile->depth));
  if (!keepsTilePixmap(tile->allocatedWidth, tile->allocatedHeight, tile->width, tile->height)) {
    u32 made = u32(XfsCreatePixmap(display, head->root, tile->width, tile->height, tile->depth));
    if (!made) return;
    // Made on the proxy's connection (with the GC, when it was made just
    // now), used next on the client's: the server must have them before
    // the client's link names them.
    if (link) XfsSync(display, False);
    tile->pixmap = made;
    tile->allocatedWidth = tile->width, tile->allocatedHeight = tile->height;
  }
  TileResizePlan plan;
  bool moved = old != tile->pixmap;
  if (!planTileResize(headBitGravity(window, head), oldWidth, oldHeight, tile->width, tile->height, dx, dy, moved,
                      &plan)) {
    PALVON_UNE();
  } else {
    if (plan.copy) {
      const TileArea& d = plan.destination;
      if (gc && link) {
        xprotoCopyArea(&link->writer, old, tile->pixmap, u32(XGContextFromGC(gc)), i16(plan.sourceX), i16(plan.sourceY),
                       u16(d.width), u16(d.height), i16(d.x), i16(d.y));
      } else if (gc) {
        XfsCopyArea(display, old, tile->pixmap, gc, plan.sourceX, plan.sourceY, u32(d.width), u32(d.height), d.x, d.y);
      }
    }
    for (u32 i = 0; i < plan.paintCount; i++) {
      const TileArea& p = plan.paint[i];
      setupBackgroundGC(window, tile, p.x, p.y, u32(p.width), u32(p.height), currentClient);
    }
  }
  if (moved) freePixmapOn(link, display, old);
}

}  // namespace

void paintEmulatedBackground(ProxyWindow* window, u32 width, u32 height, i32 dx, i32 dy) {
  if (!window->tiles || (width > 19999 && height > 19999)) return;
  for (BackgroundTile* tile = window->tiles; tile; tile = tile->next) resizeTile(window, tile, width, height, dx, dy);
}

}  // namespace palvon
