// Drawing on translucent windows: each drawing request on a head is moved
// behind the shape requests that give its pixels their opacity, so that
// what it paints lands inside the window's new shape.
#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/extensions/shape.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/pixels.h"
#include "Xext/translucent/internal.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

// --- Moving a drawing request behind its shape requests ---------------------------------------

// A request cut out of a link's output, to be appended again once the
// requests that must reach the server before it are written. Its sequence
// slot moves along, so that an error still names the client's request.
struct MovedRequest {
  OutSegment* segment;
  u64 sequence;
  SequenceRing* tail;
};

// Requests the ring must have room for before a move is safe: a ring chunk
// that closes among the moved requests would retire at the wrong sequence.
constexpr u32 kMoveRoom = 512;

void cutRequest(ServerLink* link, u8* copy, u32 length, u64 sequence, MovedRequest* moved) {
  *moved = {};
  SequenceRing* tail = link->ring ? link->ring->previous : nullptr;
  if (!copy || !tail || tail->closed || link->requestsSent - sequence > kMoveRoom) return;
  u32 ahead = (u32(tail->oldestNeeded) - u32(link->requestsSent + 1)) & (kRingSlots - 1);
  if (ahead < kMoveRoom) return;
  bool big = length > kMaxPlainRequest;
  OutSegment* segment = outbufferCutCopy(&link->output, big ? copy - 4 : copy, big ? length + 4 : length);
  if (segment) *moved = {segment, sequence, tail};
}

void appendMovedRequest(ServerLink* link, MovedRequest* moved) {
  if (!moved->segment) return;
  bool wasEmpty = outbufferSize(&link->output) == 0;
  outbufferAppendSegment(&link->output, moved->segment);
  if (wasEmpty && link->output.becameNonEmpty) link->output.becameNonEmpty(link->output.argument);
  SequenceRing* tail = link->ring ? link->ring->previous : nullptr;
  if (tail != moved->tail) {
    PALVON_UNE();
  } else {
    constexpr u64 kMask = kRingSlots - 1;
    SequenceSlot drawing = tail->slots[moved->sequence & kMask];
    for (u64 s = moved->sequence; s < link->requestsSent; s++) tail->slots[s & kMask] = tail->slots[(s + 1) & kMask];
    tail->slots[link->requestsSent & kMask] = drawing;
  }
  link->stashSequence = link->requestsSent;
  moved->segment = nullptr;
}

// --- Pixel evaluation ---------------------------------------------------------------------------

const BackgroundTile* tileOn(const ProxyWindow* window, const Head* head) {
  for (const BackgroundTile* tile = window->tiles; tile; tile = tile->next)
    if (tile->head == head) return tile;
  return nullptr;
}

u32 gcId(GC gc) { return gc ? u32(XGContextFromGC(gc)) : 0; }

// Sets the pixmap's bits over w x h where the tile's pixel differs from
// the key colour (a pixel of the head).
void markDifferences(ServerLink* link, const TranslucencyDisplayRecord* d, const BackgroundTile* tile, u32 pixmap,
                     u32 size, i32 x, i32 y, u32 width, u32 height, u32 key) {
  requestPolyFillRectangle(link, pixmap, gcId(d->clearGC), 0, 0, u16(size), u16(size));
  for (u32 b = 0; b < tile->depth && b < 32; b++) {
    GC gc = (key >> b) & 1 ? d->orInvertedGC : d->orGC;
    requestCopyPlane(link, tile->pixmap, pixmap, gcId(gc), i16(x), i16(y), 0, 0, u16(width), u16(height), 1u << b);
  }
}

// --- Hooks per request ---------------------------------------------------------------------------

bool plainCopyGC(const GCRecord* gc) {
  if (!gc) return false;
  const XGCValues& v = gc->values;
  return v.function == GXcopy && (v.plane_mask & 0xffffffffu) == 0xffffffffu && v.clip_mask == None &&
         !gc->clipRectangles;
}

// The request's damage on the head, clipped to the window; null when none.
Region* damageOnHead(ProxyWindow* window, const Head* head) {
  Region* damage = currentClient ? currentClient->region : nullptr;
  if (!damage || !regionNotEmpty(damage)) return nullptr;
  return translucentRegionToHead(window, damage, true, head);
}

// The drawing request just copied to the link goes after what `write`
// puts there (its shape requests); the area is freed.
template <class Write>
void writeAhead(ServerLink* link, u8* copy, u32 length, u64 sequence, Region* area, Write write) {
  MovedRequest moved;
  cutRequest(link, copy, length, sequence, &moved);
  write();
  appendMovedRequest(link, &moved);
  regionDestroy(area);
}

void evaluateDrawing(ServerLink* link, Head* head, ProxyWindow* window, u8* copy, u32 length, u64 sequence) {
  if (!window->translucency->count) return;
  Region* area = damageOnHead(window, head);
  if (!area) return;
  writeAhead(link, copy, length, sequence, area, [&] { paintTranslucencyMask(link, head, window, area); });
}

void fillRectangles(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length, u8* copy,
                    u64 sequence) {
  const GCRecord* gc = lookupGC(get32(request + 8));
  if (!plainCopyGC(gc) || gc->values.fill_style != FillSolid)
    return evaluateDrawing(link, head, window, copy, length, sequence);
  Region* area = damageOnHead(window, head);
  if (!area) return;
  writeAhead(link, copy, length, sequence, area,
             [&] { fillTranslucentArea(link, head, window, area, u32(gc->values.foreground)); });
}

// Text made opaque by its extents instead of its pixels.
void opaqueText(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length, u8* copy,
                u64 sequence, bool poly) {
  u32 holder = translucentHolder(window, head);
  Region* area = damageOnHead(window, head);
  if (!area || !holder || !window->tiles) return regionDestroy(area);
  const RegionBox* e = regionExtents(area);
  xRectangle extents{e->x1, e->y1, u16(e->x2 - e->x1), u16(e->y2 - e->y1)};
  writeAhead(link, copy, length, sequence, area, [&] {
    mirrorTextTranslucent(link, head, window, get32(request + 8), &extents, 1);
    writeShapeBox(link, ShapeUnion, holder, extents.x, extents.y, extents.width, extents.height);
    applyTranslucentShape(link, head, window, area, poly);
  });
}

// The cleared area is repainted ahead of the ClearArea, which exposes
// nothing: the proxy sends the exposures itself.
void clearArea(ServerLink* link, Head* head, ProxyWindow* window, u32 length, u8* copy, u64 sequence) {
  Region* area = damageOnHead(window, head);
  if (copy) copy[1] = 0;
  if (!area) return;
  writeAhead(link, copy, length, sequence, area, [&] { repaintTranslucentArea(link, head, window, area); });
}

// The holder's shape moves with the pixels a plain CopyArea moves inside
// the window: the source part, saved in the first scratch window, lands at
// the destination; an overlapping copy is first only united, so that the
// copied pixels land inside the shape, and the destination is replaced
// once the copy is written.
void copyArea(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length, u8* copy,
              u64 sequence) {
  const GCRecord* gc = lookupGC(get32(request + 12));
  u32 holder = translucentHolder(window, head);
  const TranslucencyDisplayRecord* d = translucencyDisplayOf(head);
  if (get32(request + 4) != window->id || !plainCopyGC(gc) || !holder || !d || head->scaler)
    return evaluateDrawing(link, head, window, copy, length, sequence);
  i32 sx = i16(get16(request + 16)), sy = i16(get16(request + 18)), dx = i16(get16(request + 20)),
      dy = i16(get16(request + 22));
  u32 w = get16(request + 24), h = get16(request + 26);
  if (!w || !h) return;
  u32 saved = u32(d->copyScratch[0]), built = u32(d->copyScratch[1]);
  bool overlap = sx < dx + i32(w) && dx < sx + i32(w) && sy < dy + i32(h) && dy < sy + i32(h);
  Region* destination = regionCreateRect(dx, dy, w, h);
  if (!destination) return (void)PALVON_OOM();
  auto replaceDestination = [&]() {
    writeShapeCombine(link, ShapeSet, built, 0, 0, holder);
    writeShapeBox(link, ShapeSubtract, built, dx, dy, w, h);
    writeShapeCombine(link, ShapeUnion, built, dx - sx, dy - sy, saved);
    writeShapeCombine(link, ShapeSet, holder, 0, 0, built);
    applyTranslucentShape(link, head, window, destination, false);
  };
  MovedRequest moved;
  cutRequest(link, copy, length, sequence, &moved);
  writeShapeCombine(link, ShapeSet, saved, 0, 0, holder);
  writeShapeBox(link, ShapeIntersect, saved, sx, sy, w, h);
  if (overlap) {
    writeShapeCombine(link, ShapeUnion, holder, dx - sx, dy - sy, saved);
    applyTranslucentShape(link, head, window, destination, false);
    appendMovedRequest(link, &moved);
    replaceDestination();
  } else {
    replaceDestination();
    appendMovedRequest(link, &moved);
  }
  regionDestroy(destination);
}

}  // namespace

void paintTranslucencyMask(ServerLink* link, Head* head, ProxyWindow* window, const Region* region) {
  const TranslucencyRecord* record = window->translucency;
  u32 holder = translucentHolder(window, head);
  const TranslucencyDisplayRecord* d = translucencyDisplayOf(head);
  const BackgroundTile* tile = tileOn(window, head);
  // Without the window's pixels on the head nothing can be decided: the
  // shape stays as it is.
  if (!holder || !d || (record->count && !tile)) return;
  writeShapeRectangles(link, ShapeSubtract, holder, 0, 0, region, head->scaler ? Unsorted : YXBanded);
  addChildrenToTranslucentShape(link, head, holder, window, 0, 0, region);
  if (record->count) {
    // The head's pixels of the key colours: another depth or an emulated
    // visual stores them otherwise than the client gave them.
    u32 first = convertPixelToHead(record->colors[0], window->visual, head);
    long count = regionNumRects(region);
    const RegionBox* boxes = regionRects(region);
    for (long k = 0; k < count; k++) {
      i32 x = boxes[k].x1, y = boxes[k].y1;
      u32 w = u32(boxes[k].x2 - boxes[k].x1), h = u32(boxes[k].y2 - boxes[k].y1);
      int pair = stipplePairFor(w, h, d->width, d->height);
      if (pair < 0) {
        PALVON_UNE();
        continue;
      }
      u32 size = pair < int(kHeadSizePair) ? 16u << pair : std::max(d->width, d->height);
      u32 mask = u32(d->masks[pair]), scratch = u32(d->scratch[pair]);
      markDifferences(link, d, tile, mask, size, x, y, w, h, first);
      for (u32 c = 1; c < record->count; c++) {
        markDifferences(link, d, tile, scratch, size, x, y, w, h,
                        convertPixelToHead(record->colors[c], window->visual, head));
        xprotoCopyArea(&link->writer, scratch, mask, gcId(d->andGC), 0, 0, u16(size), u16(size), 0, 0);
      }
      writeShapeMask(link, ShapeUnion, holder, x, y, mask);
    }
  }
  applyTranslucentShape(link, head, window, region, false);
}

void translucentDraw(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length, u8* copy,
                     u64 copySequence) {
  const TranslucencyRecord* record = window->translucency;
  if (!record || !link || isResourceHead(head)) return;
  switch (request[0]) {
    case X_PolyFillRectangle: return fillRectangles(link, head, window, request, length, copy, copySequence);
    case X_ClearArea: return clearArea(link, head, window, length, copy, copySequence);
    case X_CopyArea: return copyArea(link, head, window, request, length, copy, copySequence);
    case X_ImageText8:
    case X_ImageText16:
      if (record->flags & kTranslucentImageTextOpaque)
        return opaqueText(link, head, window, request, length, copy, copySequence, false);
      return evaluateDrawing(link, head, window, copy, length, copySequence);
    case X_PolyText8:
    case X_PolyText16:
      if (record->flags & kTranslucentPolyTextOpaque)
        return opaqueText(link, head, window, request, length, copy, copySequence, true);
      return evaluateDrawing(link, head, window, copy, length, copySequence);
    default: return evaluateDrawing(link, head, window, copy, length, copySequence);
  }
}

void sendTranslucentExposures(ProxyWindow* window, const Region* region) {
  long count = regionNumRects(region);
  const RegionBox* boxes = regionRects(region);
  for (const EventSelection* s = window->selections; s; s = s->next) {
    if (!(s->eventMask & ExposureMask)) continue;
    for (long k = 0; k < count; k++) {
      u8 event[32] = {};
      event[0] = Expose;
      // After the last request the client sent: its events carry that.
      put16(event + 2, u16(s->client->requestCounter));
      put32(event + 4, window->id);
      put16(event + 8, u16(boxes[k].x1));
      put16(event + 10, u16(boxes[k].y1));
      put16(event + 12, u16(boxes[k].x2 - boxes[k].x1));
      put16(event + 14, u16(boxes[k].y2 - boxes[k].y1));
      put16(event + 16, u16(count - 1 - k));
      sendComposedEvent(event, "bbsisssss", s->client);
    }
  }
}

void translucentClearArea(ProxyClient*, ProxyWindow* window, const u8* request) {
  if (!request[1] || !window->translucency) return;
  i32 x = i16(get16(request + 8)), y = i16(get16(request + 10));
  u32 w = get16(request + 12), h = get16(request + 14);
  if (!w && i32(window->width) > x) w = u32(i32(window->width) - x);
  if (!h && i32(window->height) > y) h = u32(i32(window->height) - y);
  Region* area = regionCreateRect(x, y, w, h);
  if (!area || !regionIntersectRect(area, area, 0, 0, window->width, window->height)) {
    regionDestroy(area);
    return (void)PALVON_OOM();
  }
  if (regionNotEmpty(area)) sendTranslucentExposures(window, area);
  regionDestroy(area);
}

}  // namespace palvon
