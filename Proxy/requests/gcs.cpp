// The GC requests CreateGC (55) to FreeGC (60): validated against the
// proxy's records, then written to every head of the GC's meta screen with
// the head's values.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawmath.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/visuals/pixels.h"
#include "base/bits.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kClipComponents = GCClipXOrigin | GCClipYOrigin | GCClipMask;
constexpr u32 kOriginComponents = GCTile | GCStipple | GCTileStipXOrigin | GCTileStipYOrigin | kClipComponents;
// The components whose values badGCValue checks; most changes (colours,
// line widths, origins) have none of them nor a resource.
constexpr u32 kEnumeratedComponents = GCFunction | GCLineStyle | GCCapStyle | GCJoinStyle | GCFillStyle | GCFillRule |
                                      GCSubwindowMode | GCGraphicsExposures | GCDashList | GCArcMode;

// The X11 defaults a new GC starts from.
void setDefaults(GCRecord* gc) {
  XGCValues& v = gc->values;
  v.function = GXcopy;
  v.plane_mask = ~0ul & 0xffffffffu;
  v.foreground = 0;
  v.background = 1;
  v.line_width = 0;
  v.line_style = LineSolid;
  v.cap_style = CapButt;
  v.join_style = JoinMiter;
  v.fill_style = FillSolid;
  v.fill_rule = EvenOddRule;
  v.arc_mode = ArcPieSlice;
  v.subwindow_mode = ClipByChildren;
  v.graphics_exposures = 1;
  v.dash_offset = 0;
  v.dashes = 4;
  gc->tileWidth = gc->tileHeight = 1;
  gc->clipWidth = gc->clipHeight = 1;
}

bool skipGCHead(const RouteTarget& target, void* gc) { return gcSkipsHead(static_cast<GCRecord*>(gc), target.head); }

// --- CreateGC --------------------------------------------------------------------------

struct CreateGC {
  GCRecord* gc;
  u32 drawable;
  u32 mask;
  bool failed;
};

bool createOnHead(const RouteTarget& target, void* argument) {
  auto* c = static_cast<CreateGC*>(argument);
  const GCRecord* gc = c->gc;
  if (gcSkipsHead(gc, target.head)) return true;
  XGCValues values;
  u32 mask = headGCValues(gc, target.head, c->mask, gc->values, c->drawable, &values);
  if (target.head) {
    // The defaults are pixels too: a head that shows pixel 0 or 1 of the
    // visual otherwise gets them explicitly.
    if (!(mask & GCForeground)) {
      u32 pixel = convertPixelToHead(0, gc->visual, target.head);
      if (pixel != 0) mask |= GCForeground, values.foreground = pixel;
    }
    if (!(mask & GCBackground)) {
      u32 pixel = convertPixelToHead(1, gc->visual, target.head);
      if (pixel != 1) mask |= GCBackground, values.background = pixel;
    }
  }
  u64 before = target.link->requestsSent;
  xprotoCreateGC(&target.link->writer, translateXid(gc->id, RT_GC, target.head),
                 mapDrawableToHead(c->drawable, target.head), mask, &values);
  if (!wroteRequest(target.link, before)) {
    c->failed = true;
    return false;
  }
  stashCreatedId(target.link, gc->id);
  return true;
}

// --- ChangeGC --------------------------------------------------------------------------

struct ChangeGC {
  GCRecord* gc;
  u32 mask;
  const u8* request;
  u32 length;
  bool merged;  // `values` holds the record's values with the request's
  XGCValues values;
  bool failed;
};

bool changeOnHead(const RouteTarget& target, void* argument) {
  auto* c = static_cast<ChangeGC*>(argument);
  if (gcSkipsHead(c->gc, target.head)) return true;
  // Most heads take the request itself: copied, its ids translated.
  if (gcValuesPassAsIs(c->gc, target.head, c->mask)) {
    u8* copy = copySmallRequestToServer(c->request, c->length, target.link);
    if (!copy) copy = copyRequestToServer(c->request, c->length, target.link);
    if (!copy) {
      c->failed = true;
      return false;
    }
    put32(copy + 4, translateXid(c->gc->id, RT_GC, target.head));
    if (c->mask & kGCResourceComponents) translateGCValueIds(c->gc, target.head, c->mask, copy + 12);
    swapServerRequest(target.link, copy, c->length, currentRequest.row->requestLayout);
    return true;
  }
  if (!c->merged) {
    c->values = c->gc->values;
    mergeGCValueList(&c->values, c->mask, c->request + 12);
    c->merged = true;
  }
  const XGCValues& merged = c->values;
  XGCValues values;
  u32 mask = headGCValues(c->gc, target.head, c->mask, merged, c->gc->preparedDrawable, &values);
  // The font alone on a head that draws text itself: nothing to send.
  if (!mask) return true;
  u64 before = target.link->requestsSent;
  requestChangeGC(target.link, translateXid(c->gc->id, RT_GC, target.head), mask, &values);
  if (wroteRequest(target.link, before)) return true;
  c->failed = true;
  return false;
}

// --- CopyGC ----------------------------------------------------------------------------

void copyComponent(XGCValues& to, const XGCValues& from, u32 bit) {
  u32 value;
  packGCValues(1u << bit, &from, &value);
  u8 wire[4];
  put32(wire, value);
  mergeGCValueList(&to, 1u << bit, wire);
}

void copyClipList(GCRecord* to, const GCRecord* from) {
  if (to->clipCount != from->clipCount) {
    std::free(to->clipRectangles);
    to->clipRectangles = nullptr;
    to->clipCount = 0;
    if (from->clipCount) {
      to->clipRectangles = static_cast<xRectangle*>(memAlloc(sizeof(xRectangle) * from->clipCount));
      if (!to->clipRectangles) {
        PALVON_OOM();
        return;
      }
    }
  }
  if (from->clipCount) std::memcpy(to->clipRectangles, from->clipRectangles, sizeof(xRectangle) * from->clipCount);
  to->clipCount = from->clipCount;
  to->ordering = from->ordering;
}

void setPixmapReference(GCRecord* gc, PixmapRecord** slot, PixmapRecord* pixmap) {
  refPixmap(pixmap, gc->id);
  unrefPixmap(*slot, 0);
  *slot = pixmap;
}

void copyGCRecord(GCRecord* to, const GCRecord* from, u32 mask) {
  for (u32 bit = 0; bit < kGCComponentCount; bit++) {
    u32 component = 1u << bit;
    if (!(mask & component)) continue;
    switch (component) {
      case GCTile:
        setPixmapReference(to, &to->tile, from->tile);
        to->tileWidth = from->tileWidth, to->tileHeight = from->tileHeight;
        break;
      case GCStipple:
        setPixmapReference(to, &to->stipple, from->stipple);
        to->tileWidth = from->tileWidth, to->tileHeight = from->tileHeight;
        break;
      case GCClipMask:
        setPixmapReference(to, &to->clipMask, from->clipMask);
        to->clipWidth = from->clipWidth, to->clipHeight = from->clipHeight;
        copyClipList(to, from);
        break;
      case GCFont:
        refFont(from->font, nullptr);
        if (to->font) unrefFont(to->font, 0);
        to->font = from->font;
        break;
      case GCDashList:
        std::free(to->dashList);
        to->dashList = nullptr;
        to->dashCount = 0;
        break;
      default: break;
    }
    copyComponent(to->values, from->values, bit);
  }
  if (mask & kOriginComponents) to->preparedDrawable = 0;
}

void rewriteCopyGC(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_GC, target.head));
  put32(copy + 8, translateXid(get32(copy + 8), RT_GC, target.head));
}

// --- SetDashes ---------------------------------------------------------------------------

void rewriteSetDashes(u8* copy, u32 length, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_GC, target.head));
  if (target.head && target.head->scaler) scaleSetDashes(target.head->scaler, copy, length);
}

// --- SetClipRectangles -------------------------------------------------------------------

struct ClipList {
  GCRecord* gc;
  bool failed;
};

bool clipOnHead(const RouteTarget& target, void* argument) {
  auto* c = static_cast<ClipList*>(argument);
  GCRecord* gc = c->gc;
  if (gcSkipsHead(gc, target.head)) return true;
  u32 gcOnHead = translateXid(gc->id, RT_GC, target.head);
  HeadScaler* s = target.head ? target.head->scaler : nullptr;
  u64 before = target.link->requestsSent;
  if (!s) {
    xprotoSetClipRectangles(&target.link->writer, gc->ordering, gcOnHead, i16(gc->values.clip_x_origin),
                            i16(gc->values.clip_y_origin), reinterpret_cast<const XRectangle*>(gc->clipRectangles),
                            gc->clipCount);
  } else {
    setScalerDrawable(s, gc->preparedDrawable);
    i16 ox = i16(gc->values.clip_x_origin), oy = i16(gc->values.clip_y_origin);
    u32 count = 0;
    xRectangle* scaled = scaleClipRectangles(s, &ox, &oy, gc->clipRectangles, gc->clipCount, &count);
    if (scaled) {
      // Merged boxes overlap nowhere, but their order is the region's:
      // nothing is promised.
      xprotoSetClipRectangles(&target.link->writer, Unsorted, gcOnHead, ox, oy,
                              reinterpret_cast<const XRectangle*>(scaled), count);
      std::free(scaled);
    }
  }
  if (wroteRequest(target.link, before)) return true;
  c->failed = true;
  return false;
}

void rewriteFreeGC(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_GC, target.head));
}

// An enumerated component (or the dashes) whose value a plain server
// refuses: true with the value it names. The function is read as a byte,
// as a plain server reads it; the others whole.
bool badGCValue(u32 mask, const u8* values, u32* bad) {
  // The highest value of each enumerated component, by bit; others take any.
  static constexpr u32 kAny = ~0u;
  static constexpr u32 kHighest[23] = {kAny, kAny, kAny, kAny, kAny, LineDoubleDash, CapProjecting, JoinBevel,
                                       FillOpaqueStippled, WindingRule, kAny, kAny, kAny, kAny, kAny,
                                       IncludeInferiors, 1, kAny, kAny, kAny, kAny, kAny, ArcPieSlice};
  for (u32 rest = mask & kEnumeratedComponents; rest; rest &= rest - 1) {
    u32 bit = u32(__builtin_ctz(rest));
    u32 value = get32(values + 4 * bitCount(mask & ((1u << bit) - 1)));
    if (bit == 0 && (value & 0xff) > GXset) return *bad = value & 0xff, true;
    if (bit == 21 && (value & 0xff) == 0) return *bad = 0, true;
    if (value > kHighest[bit]) return *bad = value, true;
  }
  return false;
}

// The error a plain server answers (with the value 0) to the first pixmap
// or font of a value list, in bit order, that it refuses for a GC of this
// meta screen and depth; 0 when all pass. Refused here, not left to the
// heads: the GC would keep an id no head made, a pixmap of another meta
// screen is on none of the GC's heads, and a head that keeps two client
// depths at one of its own would take a tile the others refuse.
u8 refusedGCResource(const MetaScreen* screen, u32 depth, u32 mask, const u8* values) {
  if (!(mask & kGCResourceComponents)) return 0;
  u32 index = 0;
  for (u32 bit = 0; bit < kGCComponentCount; bit++) {
    if (!(mask & (1u << bit))) continue;
    u32 value = get32(values + 4 * index++);
    u32 component = 1u << bit;
    if (component == GCFont && !lookupResourceByType(value, RT_FONT)) return BadFont;
    if (!(component & (GCTile | GCStipple | GCClipMask)) || (component == GCClipMask && value == None)) continue;
    auto* pixmap = static_cast<PixmapRecord*>(lookupResourceByType(value, RT_PIXMAP));
    if (!pixmap) return BadPixmap;
    if ((pixmap->screen && pixmap->screen != screen) || pixmap->depth != (component == GCTile ? depth : 1))
      return BadMatch;
  }
  return 0;
}

}  // namespace

// --- Handlers ------------------------------------------------------------------------------

void ProcCreateGC(u8* request, u32 length) {
  u32 id = get32(request + 4), drawable = get32(request + 8), mask = get32(request + 12);
  setRequestResource(currentClient, drawable);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  DrawableInfo d;
  if (!describeDrawable(drawable, &d)) return sendXError(BadDrawable, drawable, request, length, nullptr);
  // An InputOnly window is no drawable, whatever the values; refused here,
  // the id stays free for the requests that follow at once.
  if (d.inputOnly) return sendXError(BadMatch, 0, request, length, nullptr);
  if (mask > kGCAllComponents) return sendXError(BadValue, mask, request, length, nullptr);
  u32 bad = 0;
  if (badGCValue(mask, request + 16, &bad)) return sendXError(BadValue, bad, request, length, nullptr);
  if (u8 error = refusedGCResource(d.screen, d.depth, mask, request + 16))
    return sendXError(error, 0, request, length, nullptr);
  auto* gc = static_cast<GCRecord*>(memCalloc(1, sizeof(GCRecord)));
  if (!gc) return sendXError(BadAlloc, 0, request, length, nullptr);
  gc->id = id;
  gc->depth = u8(d.depth);
  gc->screen = d.screen;
  gc->visual = d.visual;
  gc->preparedDrawable = drawable;
  setDefaults(gc);
  applyGCValueList(gc, mask, request + 16);
  // A failed registration has destroyed the record.
  if (!addResource(id, RT_GC, gc)) return sendXError(BadAlloc, 0, request, length, nullptr);
  CreateGC c{gc, drawable, mask, false};
  forEachTarget(currentRequest.row->route, createOnHead, &c);
  if (c.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcChangeGC(u8* request, u32 length) {
  u32 id = get32(request + 4), mask = get32(request + 8);
  // One look-up serves the note of the request's resource and the GC.
  ResourceNode* node = findResourceNode(id);
  setRequestResourceQuickly(currentClient, id, node ? node->type : RT_NONE, node ? node->object : nullptr);
  GCRecord* gc = node && node->type == RT_GC ? static_cast<GCRecord*>(node->object) : lookupGC(id);
  if (!gc) return sendXError(BadGC, id, request, length, nullptr);
  if (mask > kGCAllComponents) return sendXError(BadValue, mask, request, length, nullptr);
  // The checks are called only when the list holds what they check: the
  // usual change sets colours, and the calls cost more than its forwarding.
  u32 bad = 0;
  if ((mask & kEnumeratedComponents) && badGCValue(mask, request + 12, &bad))
    return sendXError(BadValue, bad, request, length, nullptr);
  if (u8 error = mask & kGCResourceComponents ? refusedGCResource(gc->screen, gc->depth, mask, request + 12) : 0)
    return sendXError(error, 0, request, length, nullptr);
  ChangeGC c;
  c.gc = gc, c.mask = mask, c.request = request, c.length = length, c.merged = false, c.failed = false;
  forEachTarget(currentRequest.row->route, changeOnHead, &c);
  if (c.failed) sendXError(BadAlloc, 0, request, length, nullptr);
  // Scaled clip lists are sent relative to a scaled origin: a new origin
  // needs them again.
  if ((mask & kClipComponents) && gc->clipCount && liveScalerCount()) gc->preparedDrawable = 0;
  applyGCValueList(gc, mask, request + 12);
}

void ProcCopyGC(u8* request, u32 length) {
  u32 source = get32(request + 4), destination = get32(request + 8), mask = get32(request + 12);
  setRequestResource(currentClient, destination);
  GCRecord* from = lookupGC(source);
  GCRecord* to = lookupGC(destination);
  // The GCs of two meta screens are on no head together.
  if (from && to && from->screen != to->screen) return sendXError(BadMatch, destination, request, length, nullptr);
  // Not left to the heads: one that keeps two client depths at one of its
  // own would copy what the others refuse.
  if (from && to && from->depth != to->depth) return sendXError(BadMatch, 0, request, length, nullptr);
  if (from && to) copyGCRecord(to, from, mask);
  // The heads answer a bad GC or mask themselves.
  forwardToHeads(request, length, to ? skipGCHead : nullptr, rewriteCopyGC, to);
}

void ProcSetDashes(u8* request, u32 length) {
  u32 id = get32(request + 4);
  u16 offset = get16(request + 8), count = get16(request + 10);
  setRequestResource(currentClient, id);
  GCRecord* gc = currentClient->requestResourceType == RT_GC ? lookupGC(id) : nullptr;
  if (gc && count) {
    if (gc->dashCount != count) {
      std::free(gc->dashList);
      gc->dashCount = 0;
      gc->dashList = static_cast<u8*>(memAlloc(count));
    }
    if (gc->dashList) {
      std::memcpy(gc->dashList, request + 12, count);
      gc->dashCount = count;
    } else {
      PALVON_OOM();
    }
    gc->values.dash_offset = offset;
  }
  forwardToHeads(request, length, gc ? skipGCHead : nullptr, rewriteSetDashes, gc);
}

void ProcSetClipRectangles(u8* request, u32 length) {
  u8 ordering = request[1];
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  GCRecord* gc = currentClient->requestResourceType == RT_GC ? lookupGC(id) : nullptr;
  if (!gc) return sendXError(BadGC, id, request, length, nullptr);
  if (ordering > YXBanded) return sendXError(BadValue, ordering, request, length, "invalid ordering");
  u32 count = (length - 12) / 8;
  // 16-bit counts: a big request may carry more rectangles than the
  // record's count can name.
  if (count > 65535) return sendXError(BadLength, length, request, length, nullptr);
  if (!rectanglesInClaimedOrder(request + 12, count, ordering))
    return sendXError(BadMatch, 0, request, length, nullptr);
  if (gc->clipCount != count) {
    std::free(gc->clipRectangles);
    gc->clipRectangles = nullptr;
    gc->clipCount = 0;
    if (count) {
      gc->clipRectangles = static_cast<xRectangle*>(memAlloc(sizeof(xRectangle) * count));
      if (!gc->clipRectangles) return sendXError(BadAlloc, 0, request, length, nullptr);
    }
  }
  for (u32 i = 0; i < count; i++) {
    const u8* r = request + 12 + 8 * i;
    gc->clipRectangles[i] = {i16(get16(r)), i16(get16(r + 2)), get16(r + 4), get16(r + 6)};
  }
  gc->clipCount = u16(count);
  gc->ordering = ordering;
  gc->values.clip_mask = 0;
  gc->values.clip_x_origin = i16(get16(request + 8));
  gc->values.clip_y_origin = i16(get16(request + 10));
  unrefPixmap(gc->clipMask, 0);
  gc->clipMask = nullptr;
  i32 right = 0, bottom = 0;
  if (count) rectanglesExtent(gc->clipRectangles, gc->clipRectangles + count, &right, &bottom);
  gc->clipWidth = u16(std::clamp(right, 1, 65535));
  gc->clipHeight = u16(std::clamp(bottom, 1, 65535));
  ClipList c{gc, false};
  forEachTarget(currentRequest.row->route, clipOnHead, &c);
  if (c.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcFreeGC(u8* request, u32 length) {
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  GCRecord* gc = currentClient->requestResourceType == RT_GC ? lookupGC(id) : nullptr;
  forwardToHeads(request, length, gc ? skipGCHead : nullptr, rewriteFreeGC, gc);
  if (gc) freeResourceById(id, RT_NONE);
}

}  // namespace palvon
