// Drawing requests repeated into background tiles. The head's copy of the
// request is copied again per tile, its drawable replaced by the tile's
// pixmap and its coordinates moved by the tile window's place in the drawn
// window; the rows below say where each request keeps those.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawing.h"
#include "Proxy/requests/drawmath.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

// --- Coordinates -----------------------------------------------------------------------

void shiftPair(u8* at, i32 ox, i32 oy) {
  put16(at, u16(std::clamp(i32(i16(get16(at))) + ox, -32768, 32767)));
  put16(at + 2, u16(std::clamp(i32(i16(get16(at + 2))) + oy, -32768, 32767)));
}

// Every `stride` bytes from `first`: the pairs at the given offsets.
void shiftList(u8* copy, u32 length, u32 first, u32 stride, std::initializer_list<u32> pairs, i32 ox, i32 oy) {
  for (u32 at = first; at + stride <= length; at += stride)
    for (u32 pair : pairs) shiftPair(copy + at + pair, ox, oy);
}

// Points after `first`; relative to the previous point, only the first.
void shiftPoints(u8* copy, u32 length, u32 first, bool relative, i32 ox, i32 oy) {
  if (relative) {
    if (first + 4 <= length) shiftPair(copy + first, ox, oy);
    return;
  }
  shiftList(copy, length, first, 4, {0}, ox, oy);
}

using Shift = void (*)(u8* copy, u32 length, i32 ox, i32 oy);

struct MirrorRow {
  u8 major;
  u8 drawableAt;
  Shift shift;
  const char* layout;
};

constexpr MirrorRow kRows[] = {
    {X_PutImage, 4, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 16, x, y); }, "bbsiissss"},
    {X_CopyArea, 8, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 20, x, y); }, "bbsiiissssss"},
    {X_CopyPlane, 8, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 20, x, y); }, "bbsiiissssssi"},
    {X_PolyPoint, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftPoints(c, n, 12, c[1] == CoordModePrevious, x, y); },
     "bbsiiS"},
    {X_PolyLine, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftPoints(c, n, 12, c[1] == CoordModePrevious, x, y); },
     "bbsiiS"},
    {X_PolySegment, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftList(c, n, 12, 8, {0, 4}, x, y); }, "bbsiiS"},
    {X_PolyRectangle, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftList(c, n, 12, 8, {0}, x, y); }, "bbsiiS"},
    {X_PolyFillRectangle, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftList(c, n, 12, 8, {0}, x, y); }, "bbsiiS"},
    {X_PolyArc, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftList(c, n, 12, 12, {0}, x, y); }, "bbsiiS"},
    {X_PolyFillArc, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftList(c, n, 12, 12, {0}, x, y); }, "bbsiiS"},
    {X_FillPoly, 4, [](u8* c, u32 n, i32 x, i32 y) { shiftPoints(c, n, 16, c[13] == CoordModePrevious, x, y); },
     "bbsiibbbbS"},
    {X_PolyText8, 4, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 12, x, y); }, "bbsiiss"},
    {X_PolyText16, 4, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 12, x, y); }, "bbsiiss"},
    {X_ImageText8, 4, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 12, x, y); }, "bbsiiss"},
    {X_ImageText16, 4, [](u8* c, u32, i32 x, i32 y) { shiftPair(c + 12, x, y); }, "bbsiiss"},
};

const MirrorRow* rowOf(u8 major) {
  for (const MirrorRow& row : kRows)
    if (row.major == major) return &row;
  return nullptr;
}

// --- The walk ----------------------------------------------------------------------------

BackgroundTile* tileOn(ProxyWindow* window, const Head* head) {
  for (BackgroundTile* tile = window->tiles; tile; tile = tile->next)
    if (!head || tile->head == head) return tile;
  return nullptr;
}

// The drawn area in the window's coordinates: the damage the handler set
// when damage is kept, else the whole window.
RegionBox drawnArea(const ProxyWindow* window) {
  Region* damage = damageWanted() ? currentDamageRegion() : nullptr;
  if (damage) return *regionExtents(damage);
  return {0, 0, i16(std::min<u32>(window->width, 32767)), i16(std::min<u32>(window->height, 32767))};
}

bool overlaps(const ProxyWindow* top, const ProxyWindow* w, const RegionBox& area) {
  i32 x = w->x - top->x, y = w->y - top->y;
  return x < area.x2 && y < area.y2 && x + i32(w->width) > area.x1 && y + i32(w->height) > area.y1;
}

// Calls visit(tile, ox, oy) for the drawn window's tile on the head and,
// with IncludeInferiors, for each viewable descendant of the same depth
// whose tile the drawing reaches; (ox, oy) is where the drawn window's
// origin lies in the tile, in head pixels (in the client's with unscaled).
template <typename Visit>
void forEachTakingPart(const Head* head, ProxyWindow* top, const GCRecord* gc, Visit visit, bool unscaled = false) {
  bool inferiors = gc && gc->values.subwindow_mode == IncludeInferiors;
  RegionBox area{};
  if (inferiors) area = drawnArea(top);
  for (ProxyWindow* w = top; w; w = inferiors ? nextWindowPreorder(w, top) : nullptr) {
    if (w != top && (!w->tiles || !w->viewable || w->depth != top->depth || !overlaps(top, w, area))) continue;
    BackgroundTile* tile = tileOn(w, head);
    if (!tile) continue;
    i32 ox = top->x - w->x, oy = top->y - w->y;
    if ((ox || oy) && head && head->scaler && !unscaled) scalePoint32(head->scaler, &ox, &oy, nullptr, nullptr);
    if (!visit(tile, ox, oy)) return;
  }
}

void mirrorByRow(const MirrorRow& row, ServerLink* link, const Head* head, ProxyWindow* window, u32 gc,
                 const u8* request, u32 length) {
  if (!backgroundTileCount || !link || !window || length < 12u + row.drawableAt) return;
  const GCRecord* record = lookupGC(gc);
  if (!record) return;
  // A copy within the window has already changed the window when the
  // mirrors run: the window's own tile copies from itself instead.
  bool withinWindow = row.drawableAt == 8 && get32(request + 4) == get32(request + 8);
  BackgroundTile* own = tileOn(window, head);
  forEachTakingPart(head, window, record, [&](BackgroundTile* tile, i32 ox, i32 oy) {
    u8* copy = allocServerRequest(link, request[0], request[1], length);
    if (!copy) return false;
    std::memcpy(copy + 4, request + 4, length - 4);
    put32(copy + row.drawableAt, tile->pixmap);
    if (withinWindow && tile == own) put32(copy + 4, tile->pixmap);
    if (ox || oy) row.shift(copy, length, ox, oy);
    swapServerRequest(link, copy, length, row.layout);
    return true;
  });
}

void mirrorMajor(u8 major, ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  if (const MirrorRow* row = rowOf(major)) mirrorByRow(*row, link, head, window, gc, request, length);
}

}  // namespace

// --- The mirrors ---------------------------------------------------------------------------

void mirrorPutImage(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(X_PutImage, link, head, window, gc, request, length);
}
void mirrorCopyArea(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(X_CopyArea, link, head, window, gc, request, length);
}
void mirrorCopyPlane(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(X_CopyPlane, link, head, window, gc, request, length);
}
void mirrorPolyPointOrLine(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(request[0], link, head, window, gc, request, length);
}
void mirrorPolySegment(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(X_PolySegment, link, head, window, gc, request, length);
}
void mirrorPolyRectangle(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(request[0], link, head, window, gc, request, length);
}
void mirrorPolyArc(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(request[0], link, head, window, gc, request, length);
}
void mirrorFillPoly(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(X_FillPoly, link, head, window, gc, request, length);
}
void mirrorText(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  mirrorMajor(request[0], link, head, window, gc, request, length);
}

void mirrorShmPutImage(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  if (!backgroundTileCount || !link || !window || length < 40) return;
  const GCRecord* record = lookupGC(gc);
  if (!record) return;
  forEachTakingPart(head, window, record, [&](BackgroundTile* tile, i32 ox, i32 oy) {
    u8 at[4];
    std::memcpy(at, request + 24, 4);
    shiftPair(at, ox, oy);
    requestShmPutImage(link, tile->pixmap, get32(request + 8), get16(request + 12), get16(request + 14),
                       get16(request + 16), get16(request + 18), get16(request + 20), get16(request + 22),
                       i16(get16(at)), i16(get16(at + 2)), request[28], request[29], 0, get32(request + 32),
                       get32(request + 36));
    return true;
  });
}

void mirrorWholeShmImage(ServerLink* link, const Head* head, u32 drawable, u32 gc, u16 width, u16 height, i16 x, i16 y,
                         u8 depth, u8 format, u32 segment) {
  DrawableInfo info;
  if (!backgroundTileCount || !describeDrawable(drawable, &info) || !info.window) return;
  u8 put[40] = {};
  put32(put + 8, translateXid(gc, RT_GC, head));
  put16(put + 12, width), put16(put + 14, height), put16(put + 20, width), put16(put + 22, height);
  put16(put + 24, u16(x)), put16(put + 26, u16(y));
  put[28] = depth, put[29] = format;
  put32(put + 32, segment);
  mirrorShmPutImage(link, head, info.window, gc, put, 40);
}

void mirrorCopyPieces(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length,
                      const CopyPiece* pieces, u32 count) {
  const MirrorRow* row = rowOf(request[0]);
  u8 piece[32];
  if (!backgroundTileCount || !row || row->drawableAt != 8 || length > sizeof piece) return;
  std::memcpy(piece, request, length);
  for (u32 i = 0; i < count; i++) {
    const CopyPiece& p = pieces[i];
    put16(piece + 16, u16(p.sourceX)), put16(piece + 18, u16(p.sourceY));
    put16(piece + 20, u16(p.destinationX)), put16(piece + 22, u16(p.destinationY));
    put16(piece + 24, u16(p.width)), put16(piece + 26, u16(p.height));
    mirrorByRow(*row, link, head, window, gc, piece, length);
  }
}

void mirrorConvertedImage(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const XImage* image, i32 x,
                          i32 y) {
  if (!backgroundTileCount || !link || !window) return;
  const GCRecord* record = lookupGC(gc);
  if (!record) return;
  u32 onHead = translateXid(gc, RT_GC, head);
  forEachTakingPart(head, window, record, [&](BackgroundTile* tile, i32 ox, i32 oy) {
    return xprotoPutImage(&link->writer, tile->pixmap, onHead, image, i16(std::clamp(x + ox, -32768, 32767)),
                          i16(std::clamp(y + oy, -32768, 32767))) != 0;
  });
}

void forEachMirrorTile(const Head* head, ProxyWindow* window, u32 gc, TileVisit visit, void* argument) {
  const GCRecord* record = backgroundTileCount && window ? lookupGC(gc) : nullptr;
  if (!record) return;
  forEachTakingPart(
      head, window, record, [&](BackgroundTile* tile, i32 dx, i32 dy) { return visit(tile, dx, dy, argument); }, true);
}

void mirrorDrawing(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length) {
  if (!backgroundTileCount || !window) return;
  if (request[0] != X_ClearArea) return mirrorMajor(request[0], link, head, window, gc, request, length);
  // The server paints the window's background; the window's own tile only.
  if (length < 16) return;
  if (BackgroundTile* tile = tileOn(window, head)) {
    setupBackgroundGC(window, tile, i16(get16(request + 8)), i16(get16(request + 10)), get16(request + 12),
                      get16(request + 14), currentClient);
  }
}

void mirrorTextTranslucent(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const xRectangle* rectangles,
                           u32 count) {
  if (!backgroundTileCount || !link || !window || !count) return;
  const GCRecord* record = lookupGC(gc);
  if (!record) return;
  u32 onHead = translateXid(gc, RT_GC, head);
  const XGCValues& was = record->values;
  bool change = was.function != GXcopy || was.fill_style != FillSolid;
  if (change) {
    XGCValues solid{};
    solid.function = GXcopy, solid.fill_style = FillSolid;
    requestChangeGC(link, onHead, GCFunction | GCFillStyle, &solid);
  }
  u32 length = 12 + 8 * count;
  forEachTakingPart(head, window, record, [&](BackgroundTile* tile, i32 ox, i32 oy) {
    u8* fill = allocServerRequest(link, X_PolyFillRectangle, 0, length);
    if (!fill) return false;
    put32(fill + 4, tile->pixmap);
    put32(fill + 8, onHead);
    std::memcpy(fill + 12, rectangles, 8 * count);
    if (ox || oy) shiftList(fill, length, 12, 8, {0}, ox, oy);
    swapServerRequest(link, fill, length, "bbsiiS");
    return true;
  });
  if (change) requestChangeGC(link, onHead, GCFunction | GCFillStyle, &was);
}

}  // namespace palvon
