// Window backgrounds on heads: which pixmap a head's copy of a window uses
// as its background, and the shifted (and, on turned heads, turned and
// scaled) tiles made for it on the head's server.
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawablefacts.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

constexpr u32 kPixmapKind = 2;
constexpr u32 kProxyIdKind = 10;

i32 wrap(i32 v, u32 modulus) {
  i64 m = i64(v) % i64(modulus);
  return i32(m < 0 ? m + modulus : m);
}

}  // namespace

// --- The plan of a shifted tile ------------------------------------------------------

u32 planShiftedTile(u32 tileWidth, u32 tileHeight, i32 originX, i32 originY, u32 width, u32 height, TileCopy* out,
                    u32 maximum) {
  if (!tileWidth || !tileHeight || !width || !height) return 0;
  u32 n = 0;
  auto add = [&](bool fromTarget, i64 sx, i64 sy, i64 w, i64 h, i64 dx, i64 dy) {
    w = std::min<i64>(w, i64(width) - dx), h = std::min<i64>(h, i64(height) - dy);
    if (w <= 0 || h <= 0 || n >= maximum) return;
    out[n++] = {fromTarget, i16(sx), i16(sy), u16(w), u16(h), i16(dx), i16(dy)};
  };
  // The first cell: the tile cut at the origin into its (up to) four
  // wrapped parts.
  i32 ox = wrap(originX, tileWidth), oy = wrap(originY, tileHeight);
  i64 rightW = i64(tileWidth) - ox, lowerH = i64(tileHeight) - oy;
  add(false, ox, oy, rightW, lowerH, 0, 0);
  if (ox) add(false, 0, oy, ox, lowerH, rightW, 0);
  if (oy) add(false, ox, 0, rightW, oy, 0, lowerH);
  if (ox && oy) add(false, 0, 0, ox, oy, rightW, lowerH);
  // Then the filled part doubles across and down: a few copies whatever the
  // ratio of window to tile (one copy per tile cell would be unbounded).
  for (i64 filled = tileWidth; filled < i64(width); filled *= 2)
    add(true, 0, 0, filled, std::min<i64>(tileHeight, height), filled, 0);
  for (i64 filled = tileHeight; filled < i64(height); filled *= 2) add(true, 0, 0, width, filled, 0, filled);
  return n;
}

// --- Tiles made on a head --------------------------------------------------------------

namespace {

ServerLink* linkOf(ProxyClient* client, const Head* head) {
  return client && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
}

// A new pixmap on the head holding the tile shifted by the origin and
// repeated over width x height; its id on the head (made from a proxy-owned
// id of the client's) or 0.
u32 makeShiftedTile(ProxyClient* client, Head* head, u32 tileOnHead, u32 tileWidth, u32 tileHeight, u32 depth,
                    i32 originX, i32 originY, u32 width, u32 height) {
  ServerLink* link = linkOf(client, head);
  GC gc = link ? getDepthGC(head->display, int(head->screen), depth) : nullptr;
  u32 id = gc ? allocProxyXid(client) : 0;
  if (!id) return 0;
  u32 onHead = translateXid(id, kProxyIdKind, head);
  xprotoCreatePixmap(&link->writer, u8(depth), onHead, u32(head->root), u16(std::min(width, 65535u)),
                     u16(std::min(height, 65535u)));
  TileCopy copies[40];
  u32 n = planShiftedTile(tileWidth, tileHeight, originX, originY, width, height, copies, 40);
  u32 gcId = u32(XGContextFromGC(gc));
  for (u32 i = 0; i < n; i++) {
    const TileCopy& c = copies[i];
    xprotoCopyArea(&link->writer, c.fromTarget ? onHead : tileOnHead, onHead, gcId, c.sourceX, c.sourceY, c.width,
                   c.height, c.destinationX, c.destinationY);
  }
  return onHead;
}

// The window's background tile on a turned head. The head's copy of the
// pixmap is turned and scaled already (it is made and drawn so), but the
// head window's origin is another corner of the meta window: one period of
// the tile, shifted so that the head's first pixel of the window shows the
// tile pixel the meta window shows there, which the server repeats over the
// window and its border. The tile itself when no shifted one could be made.
u32 turnedWindowTile(ProxyClient* client, Head* head, u32 tileOnHead, const PixmapFacts& pixmap,
                     const WindowFacts& window, bool* made) {
  if (!pixmap.width || !pixmap.height || !head->scaler) return 0;
  u16 tw = u16(pixmap.width), th = u16(pixmap.height);
  scaleSize(head->scaler, &tw, &th);
  // The meta pixel at the window's first head pixel, as a pixel of the tile,
  // turned and scaled like the tile.
  i32 x = 0, y = 0;
  unscalePointInSize(head->scaler, &x, &y, std::max(window.width, 1u), std::max(window.height, 1u));
  i32 tx = wrap(x, pixmap.width), ty = wrap(y, pixmap.height);
  scalePointInSize(head->scaler, &tx, &ty, pixmap.width, pixmap.height);
  u32 shifted = makeShiftedTile(client, head, tileOnHead, tw, th, pixmap.depth, tx, ty, tw, th);
  *made = shifted != 0;
  return shifted ? shifted : tileOnHead;
}

u32 turnedWindowTile(ProxyClient* client, Head* head, u32 pixmapId, const WindowFacts& window, bool* made) {
  PixmapFacts pixmap{};
  if (!describePixmap(pixmapId, &pixmap)) return 0;
  return turnedWindowTile(client, head, translateXid(pixmapId, kPixmapKind, head), pixmap, window, made);
}

bool visualMissing(const WindowFacts& window, const Head* head) {
  return (head->tags & kHeadTagSloppyVisuals) && !window.inputOnly && window.visual &&
         !headVisualMatch(head, window.visual);
}

}  // namespace

u32 mapWindowRectToHead(ProxyClient* client, u32 pixmapId, const ProxyWindow* window, Head* head, bool* made) {
  *made = false;
  WindowFacts facts{};
  describeWindow(window, &facts);
  if (visualMissing(facts, head)) return 0;
  if (head->rotation && pixmapId > ParentRelative) return turnedWindowTile(client, head, pixmapId, facts, made);
  if (!facts.parent && pixmapId <= ParentRelative) return u32(head->backgroundPixmap);
  PixmapFacts pixmap{};
  bool larger = describePixmap(pixmapId, &pixmap) && (i64(pixmap.width) > head->logical.width ||
                                                      i64(pixmap.height) > head->logical.height);
  if ((head->tags & kHeadTagStaticDisplay) && larger) {
    u32 id = makeShiftedTile(client, head, translateXid(pixmapId, kPixmapKind, head), pixmap.width, pixmap.height,
                             pixmap.depth, head->logical.x, head->logical.y, u32(std::max(head->logical.width, 1)),
                             u32(std::max(head->logical.height, 1)));
    *made = id != 0;
    if (id) return id;
  }
  return translateXid(pixmapId, kPixmapKind, head);
}

u32 mapTurnedTileToHead(ProxyClient* client, const PixmapRecord* pixmap, const ProxyWindow* window, Head* head,
                        bool* made) {
  *made = false;
  WindowFacts facts{};
  describeWindow(window, &facts);
  if (!head->rotation || visualMissing(facts, head)) return 0;
  PixmapFacts size{pixmap->width, pixmap->height, pixmap->depth};
  return turnedWindowTile(client, head, pixmapServerId(pixmap, head), size, facts, made);
}

u32 mapBackgroundPixmapToHead(ProxyClient* client, u32 pixmapId, const ProxyWindow* window, Head* head, bool* made) {
  *made = false;
  WindowFacts facts{};
  describeWindow(window, &facts);
  if (visualMissing(facts, head)) return u32(head->backgroundPixmap);
  if (head->rotation && pixmapId > ParentRelative) return turnedWindowTile(client, head, pixmapId, facts, made);
  return translateXid(pixmapId, kPixmapKind, head);
}

}  // namespace palvon
