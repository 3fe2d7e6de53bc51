// RENDER drawing: Composite, Scale, the trapezoid and triangle families,
// CompositeGlyphs, FillRectangles and AddTraps, each copied to the heads of
// the destination's screen with its pictures, formats and glyph sets
// translated and its coordinates scaled per head, and repeated into the
// background tiles of a window picture's windows.
#include <X11/X.h>
#include <X11/extensions/render.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Xext/render/internal.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kBadPictFormat = 0, kBadPicture = 1, kBadGlyphSet = 3;

i16 field16(const u8* p, u32 at) { return i16(get16(p + at)); }
void setField16(u8* p, u32 at, i32 value) { put16(p + at, u16(i16(std::clamp(value, -32768, 32767)))); }

// Every glyph-set id of a CompositeGlyphs item list: the request's own at
// byte 20 and the ones items switch to.
template <class Visit>
bool forEachGlyphSetField(u8* request, u32 length, Visit visit) {
  if (!visit(request + 20)) return false;
  u32 glyphBytes = request[1] == X_RenderCompositeGlyphs8 ? 1 : request[1] == X_RenderCompositeGlyphs16 ? 2 : 4;
  for (u32 at = 28; at + 8 <= length;) {
    u32 n = request[at];
    if (n == 255) {
      if (at + 12 > length || !visit(request + at + 8)) return at + 12 <= length;
      at += 12;
      continue;
    }
    at += 8 + pad4(n * glyphBytes);
  }
  return true;
}

// --- Per-head rewriting -------------------------------------------------------------

void translatePicture(u8* copy, u32 at, const Head* head) {
  put32(copy + at, translateXid(get32(copy + at), RT_SERVER_ID, head));
}

void translateIds(const RenderDrawing& d, u8* copy, const Head* head) {
  switch (d.minor) {
    case X_RenderComposite:
      translatePicture(copy, 8, head);
      translatePicture(copy, 12, head);
      translatePicture(copy, 16, head);
      return;
    case X_RenderScale:
      translatePicture(copy, 4, head);
      translatePicture(copy, 8, head);
      return;
    case X_RenderFillRectangles: return translatePicture(copy, 8, head);
    case X_RenderAddTraps: return translatePicture(copy, 4, head);
    case X_RenderCompositeGlyphs8:
    case X_RenderCompositeGlyphs16:
    case X_RenderCompositeGlyphs32:
      forEachGlyphSetField(copy, d.length, [&](u8* field) {
        put32(field, translateXid(get32(field), RT_SERVER_ID, head));
        return true;
      });
      [[fallthrough]];
    default:  // trapezoids and triangles share the header
      translatePicture(copy, 8, head);
      translatePicture(copy, 12, head);
      put32(copy + 16, renderFormatForHead(get32(copy + 16), head));
      return;
  }
}

void scaleArea(const Head* head, const PictureRecord* picture, u8* copy, u32 at, u16 width, u16 height) {
  setScalerPicture(head, picture);
  i16 x = field16(copy, at), y = field16(copy, at + 2);
  scaleArea16(head->scaler, &x, &y, &width, &height);
  put16(copy + at, u16(x));
  put16(copy + at + 2, u16(y));
}

void scaleCopy(const RenderDrawing& d, u8* copy, const Head* head) {
  HeadScaler* s = head->scaler;
  switch (d.minor) {
    case X_RenderComposite: {
      u16 w = get16(copy + 32), h = get16(copy + 34);
      scaleArea(head, d.source, copy, 20, w, h);
      if (d.mask) scaleArea(head, d.mask, copy, 24, w, h);
      setScalerPicture(head, d.destination);
      i16 x = field16(copy, 28), y = field16(copy, 30);
      scaleArea16(s, &x, &y, &w, &h);
      put16(copy + 28, u16(x)), put16(copy + 30, u16(y)), put16(copy + 32, w), put16(copy + 34, h);
      return;
    }
    case X_RenderScale: {
      u16 w = get16(copy + 28), h = get16(copy + 30);
      scaleArea(head, d.source, copy, 20, w, h);
      setScalerPicture(head, d.destination);
      i16 x = field16(copy, 24), y = field16(copy, 26);
      scaleArea16(s, &x, &y, &w, &h);
      put16(copy + 24, u16(x)), put16(copy + 26, u16(y)), put16(copy + 28, w), put16(copy + 30, h);
      return;
    }
    case X_RenderTriangles:
    case X_RenderTriStrip:
    case X_RenderTriFan: {
      setScalerPicture(head, d.destination);
      scaleRenderPoints(s, reinterpret_cast<xPointFixed*>(copy + 24), (d.length - 24) / 8);
      scaleArea(head, d.source, copy, 20, 1, 1);
      return;
    }
    case X_RenderCompositeGlyphs8:
    case X_RenderCompositeGlyphs16:
    case X_RenderCompositeGlyphs32: {
      setScalerPicture(head, d.destination);
      i16 x = field16(copy, 24), y = field16(copy, 26);
      u32 glyphBytes = d.minor == X_RenderCompositeGlyphs8 ? 1 : d.minor == X_RenderCompositeGlyphs16 ? 2 : 4;
      scaleGlyphOrigin(s, &x, &y, copy + 28, d.length - 28, glyphBytes);
      put16(copy + 24, u16(x)), put16(copy + 26, u16(y));
      return;
    }
    case X_RenderFillRectangles:
      setScalerPicture(head, d.destination);
      scaleRectangles(s, reinterpret_cast<xRectangle*>(copy + 20), (d.length - 20) / 8);
      return;
    case X_RenderAddTraps: {
      setScalerPicture(head, d.destination);
      i16 x = field16(copy, 8), y = field16(copy, 10);
      scaleTextOrigin(s, &x, &y);
      put16(copy + 8, u16(x)), put16(copy + 10, u16(y));
      return;
    }
    default: return;
  }
}

// Trapezoids on a scaled head: the scaled list, as trapezoids or, when the
// head turns, as triangle fans of their corners.
bool writeScaledTrapezoids(const RenderDrawing& d, const Head* head, ServerLink* link, u8* header) {
  setScalerPicture(head, d.destination);
  i16 sx = field16(header, 20), sy = field16(header, 22);
  ScaledTrapezoids out{};
  if (!scaleTrapezoids(head->scaler, reinterpret_cast<const xTrapezoid*>(d.request + 24), (d.length - 24) / 40, &sx,
                       &sy, &out))
    return false;
  bool fans = out.kind != 0;
  u64 body = fans ? 24ull * (out.count / 4) * 2 : 40ull * out.count;
  bool ok = true;
  if (body) {
    u32 size = u32(24 + body);
    u8* request = allocServerRequest(link, header[0], fans ? X_RenderTriangles : X_RenderTrapezoids, size);
    if (request) {
      memcpy(request + 4, header + 4, 20);
      setField16(request, 20, sx), setField16(request, 22, sy);
      if (!fans) {
        memcpy(request + 24, out.data, body);
      } else {
        // Each four corners make two triangles.
        const auto* p = static_cast<const xPointFixed*>(out.data);
        auto* t = reinterpret_cast<xPointFixed*>(request + 24);
        for (u32 q = 0; q + 4 <= out.count; q += 4) {
          *t++ = p[q], *t++ = p[q + 1], *t++ = p[q + 2];
          *t++ = p[q], *t++ = p[q + 2], *t++ = p[q + 3];
        }
      }
      swapServerRequest(link, request, size, "bbsbbsiiissI");
    }
    ok = request != nullptr;
  }
  free(out.data);
  return ok;
}

// --- Background tiles ------------------------------------------------------------------

const BackgroundTile* tileOnHead(const ProxyWindow* window, const Head* head) {
  for (const BackgroundTile* tile = window->tiles; tile; tile = tile->next)
    if (tile->head == head && tile->pixmap) return tile;
  return nullptr;
}

// Frees a picture the proxy made on the head; false when it could not.
bool freeServerPicture(ServerLink* link, u32 picture) {
  u8* release = renderRequest(&link->writer, X_RenderFreePicture, 8);
  if (!release) return false;
  put32(release + 4, picture);
  finishWriterRequest(&link->writer, release, 8, "bbsi");
  return true;
}

// The request again for every viewable window of the destination's tree
// that has a tile on the head, drawn into the tile through a picture made
// for it and moved by the window's place in the destination.
bool mirrorIntoTiles(const RenderDrawing& d, const RouteTarget& target, const u8* written) {
  ProxyWindow* top = d.window;
  PictureRecord* p = d.destination;
  if (!top || !target.head) return true;
  for (ProxyWindow* w = top; w; w = p->subwindowMode ? nextWindowPreorder(w, top) : nullptr) {
    const BackgroundTile* tile = w->viewable ? tileOnHead(w, target.head) : nullptr;
    if (!tile) continue;
    i32 dx = w->x - top->x, dy = w->y - top->y;
    u32 temporary = translateXid(allocProxyXid(currentClient), RT_SERVER_ID, target.head);
    u8 exposures = p->graphicsExposures;
    i16 ax = p->alphaX, ay = p->alphaY, cx = p->clipX, cy = p->clipY;
    p->graphicsExposures = 0;
    p->alphaX = i16(ax - dx), p->alphaY = i16(ay - dy), p->clipX = i16(cx - dx), p->clipY = i16(cy - dy);
    bool made = temporary && replicatePicture(p, currentClient, &target.link->writer, target.head, temporary, tile->pixmap);
    p->graphicsExposures = exposures;
    p->alphaX = ax, p->alphaY = ay, p->clipX = cx, p->clipY = cy;
    if (!made) {
      PALVON_OOM();
      return false;
    }
    u8* copy = allocServerRequest(target.link, written[0], d.minor, d.length);
    if (copy) {
      memcpy(copy + 4, written + 4, d.length - 4);
      put32(copy + d.destinationAt, temporary);
      if (!shiftRenderDrawing(copy, d.length, dx, dy, target.head)) PALVON_WIP();
      swapServerRequest(target.link, copy, d.length, d.layout);
    }
    if (!freeServerPicture(target.link, temporary) || !copy) return false;
  }
  return true;
}

// --- The walk ----------------------------------------------------------------------------

// On a head that converts pixels: indexes of an emulated visual blended in
// true colours or drawn with a colour turned into an index, and alpha-only
// pictures that the head keeps in deeper pixels copied as true bytes.
bool drawConvertingOnHead(RenderDrawing& d, const RouteTarget& target) {
  Head* head = target.head;
  ServerLink* link = target.link;
  bool indexes = drawsIndexesOnHead(d.destination, head);
  bool blended = indexes ? !drawsIndexesDirectly(d) : readsIndexesOnHead(d, head);
  if (blended && blendedOnIndexes(d.minor)) return blendOnIndexes(d, target) || !(d.failed = true);
  u32 indexedSource = indexes ? indexedSourceOnHead(d.source, d.request[4], d.destination, link, head) : 0;
  BytePictures bytes{};
  bool byteCopies = keptAsBytesOnHead(d.source, head) || keptAsBytesOnHead(d.mask, head) ||
                    keptAsBytesOnHead(d.destination, head);
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  bool copied = !byteCopies || copyBytePictures(d, head, link, &bytes);
  link->writingProxyCopies = marking;
  u8* copy = copied ? copyRequestToServer(d.request, d.length, link) : nullptr;
  bool written = copy != nullptr;
  if (copy) {
    rewriteDrawingForHead(d, copy, head);
    if (indexes) indexDrawingOnHead(copy, d.length, indexedSource, d.destination);
    if (byteCopies) useBytePictures(d, copy, bytes);
    written = !d.window || !d.window->tiles || mirrorIntoTiles(d, target, copy);
    swapServerRequest(link, copy, d.length, d.layout);
  }
  if (indexedSource) freeServerPicture(link, indexedSource);
  link->writingProxyCopies = 1;
  if (byteCopies) endBytePictures(d, head, link, bytes);
  link->writingProxyCopies = marking;
  if (!written) d.failed = true;
  return written;
}

bool drawOnHead(const RouteTarget& target, void* argument) {
  auto& d = *static_cast<RenderDrawing*>(argument);
  const Head* head = target.head;
  if (!pictureOnHead(d.destination, head)) return true;
  if (head && (head->tags & kHeadTagOptimizedDraw) && d.window && !windowOverlapsHead(head, d.window)) return true;
  u8 header[24];
  bool trapezoids = d.minor == X_RenderTrapezoids && head && head->scaler;
  if (trapezoids) {
    memcpy(header, d.request, 24);
    translateIds(d, header, head);
    if (!writeScaledTrapezoids(d, head, target.link, header)) return !(d.failed = true);
    return true;
  }
  if (head && !head->pixelsAsIs) return drawConvertingOnHead(d, target);
  u8* copy = copyRequestToServer(d.request, d.length, target.link);
  if (!copy) return !(d.failed = true);
  rewriteDrawingForHead(d, copy, head);
  // The tiles are drawn from the head's copy before it is swapped.
  bool mirrored = !d.window || !d.window->tiles || mirrorIntoTiles(d, target, copy);
  swapServerRequest(target.link, copy, d.length, d.layout);
  if (!mirrored) d.failed = true;
  return mirrored;
}

// Looks up a picture field; 0 is allowed where `optional`. False after the
// error was sent.
bool pictureField(const u8* request, u32 length, u32 at, bool optional, PictureRecord** out) {
  u32 id = get32(request + at);
  *out = id ? lookupPicture(id) : nullptr;
  if (*out || (optional && !id)) return true;
  sendExtensionError(kBadPicture, id, request, length, nullptr);
  return false;
}

void draw(u8* request, u32 length, u32 destinationAt, u32 sourceAt, u32 maskAt) {
  RenderDrawing d{request, length, request[1], destinationAt, nullptr, nullptr, nullptr, nullptr,
            currentRequest.row->requestLayout, false};
  if (!pictureField(request, length, destinationAt, false, &d.destination)) return;
  if (sourceAt && !pictureField(request, length, sourceAt, false, &d.source)) return;
  if (maskAt && !pictureField(request, length, maskAt, true, &d.mask)) return;
  d.window = d.destination->window ? lookupWindow(d.destination->window) : nullptr;
  noteSolidFill(d.destination, request, length);
  setRequestResource(currentClient, d.destination->id);
  forEachTarget(Route::kEveryHead, drawOnHead, &d);
  if (d.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

// The mask format of the trapezoid, triangle and glyph requests.
bool maskFormatKnown(const u8* request, u32 length) {
  u32 format = get32(request + 16);
  if (!format || findPictFormat(format)) return true;
  sendExtensionError(kBadPictFormat, format, request, length, nullptr);
  return false;
}

}  // namespace

void rewriteDrawingForHead(const RenderDrawing& d, u8* copy, const Head* head) {
  translateIds(d, copy, head);
  if (head && head->scaler) scaleCopy(d, copy, head);
}

bool blendedOnIndexes(u8 minor) {
  switch (minor) {
    case X_RenderComposite:
    case X_RenderFillRectangles:
    case X_RenderTrapezoids:
    case X_RenderTriangles:
    case X_RenderTriStrip:
    case X_RenderTriFan:
    case X_RenderCompositeGlyphs8:
    case X_RenderCompositeGlyphs16:
    case X_RenderCompositeGlyphs32: return true;
    default: return false;
  }
}

void shiftHeadDrawing(u8* copy, u32 length, i32 dx, i32 dy) {
  // Wrapping as the servers' own 32-bit fixed point does when they place a
  // drawable: a coordinate near the ends stays defined.
  auto shiftFixed = [&](u32 at, i32 by) { put32(copy + at, get32(copy + at) - u32(by) * 65536u); };
  switch (copy[1]) {
    case X_RenderTrapezoids:
      for (u32 at = 24; at + 40 <= length; at += 40) {
        shiftFixed(at, dy), shiftFixed(at + 4, dy);
        for (u32 p = at + 8; p < at + 40; p += 8) shiftFixed(p, dx), shiftFixed(p + 4, dy);
      }
      return;
    case X_RenderTriangles:
    case X_RenderTriStrip:
    case X_RenderTriFan:
      for (u32 at = 24; at + 8 <= length; at += 8) shiftFixed(at, dx), shiftFixed(at + 4, dy);
      return;
    default: shiftRenderDrawing(copy, length, dx, dy, nullptr); return;
  }
}

bool mirrorRenderWrite(ProxyClient* client, u32 picture, Head* head, ServerLink* link, const u8* written,
                       u32 length) {
  PictureRecord* p = lookupPicture(picture);
  ProxyWindow* window = p && p->window ? lookupWindow(p->window) : nullptr;
  if (!window || !window->tiles || client != currentClient) return true;
  RenderDrawing d{written, length, written[1], 16, p, nullptr, nullptr, window, "bbsbbsiiiS", false};
  return mirrorIntoTiles(d, RouteTarget{head, link}, written);
}

bool shiftRenderDrawing(u8* copy, u32 length, i32 dx, i32 dy, const Head* head) {
  i32 hx = head && head->scaler ? scaleX(head->scaler, dx) : dx;
  i32 hy = head && head->scaler ? scaleY(head->scaler, dy) : dy;
  switch (copy[1]) {
    case X_RenderComposite:
      setField16(copy, 28, field16(copy, 28) - hx);
      setField16(copy, 30, field16(copy, 30) - hy);
      return true;
    case X_RenderCompositeGlyphs8:
    case X_RenderCompositeGlyphs16:
    case X_RenderCompositeGlyphs32:
      // Later items move relative to the first.
      for (u32 at = 28; at + 8 <= length; at += 12) {
        if (copy[at] == 255) continue;
        setField16(copy, at + 4, field16(copy, at + 4) - hx);
        setField16(copy, at + 6, field16(copy, at + 6) - hy);
        break;
      }
      return true;
    case X_RenderFillRectangles:
      for (u32 at = 20; at + 8 <= length; at += 8) {
        setField16(copy, at, field16(copy, at) - hx);
        setField16(copy, at + 2, field16(copy, at + 2) - hy);
      }
      return true;
    default: return false;
  }
}

void ProcRenderComposite(u8* request, u32 length) { draw(request, length, 16, 8, 12); }
void ProcRenderScale(u8* request, u32 length) { draw(request, length, 8, 4, 0); }
void ProcRenderFillRectangles(u8* request, u32 length) { draw(request, length, 8, 0, 0); }
void ProcRenderAddTraps(u8* request, u32 length) { draw(request, length, 4, 0, 0); }

void ProcRenderTrapezoids(u8* request, u32 length) {
  if (maskFormatKnown(request, length)) draw(request, length, 12, 8, 0);
}

void ProcRenderTriangles(u8* request, u32 length) {
  if (maskFormatKnown(request, length)) draw(request, length, 12, 8, 0);
}

void ProcRenderCompositeGlyphs(u8* request, u32 length) {
  if (!maskFormatKnown(request, length)) return;
  u32 bad = 0;
  bool whole = forEachGlyphSetField(request, length, [&](u8* field) {
    if (lookupGlyphSet(get32(field))) return true;
    bad = get32(field);
    return false;
  });
  if (bad) return sendExtensionError(kBadGlyphSet, bad, request, length, nullptr);
  if (!whole) return sendXError(BadLength, length, request, length, nullptr);
  draw(request, length, 12, 8, 0);
}

}  // namespace palvon
