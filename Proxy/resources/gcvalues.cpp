// The GC record: its values, the references it holds, and the per-head
// values made from them.
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/pixels.h"
#include "base/bits.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Stores one component's wire value (its bit index in the mask) into an
// Xlib GC record; 16-bit fields take the low half as the server does.
[[gnu::always_inline]] inline void setComponent(XGCValues& v, u32 bit, u32 value) {
  switch (bit) {
    case 0: v.function = int(value & 0xf); break;
    case 1: v.plane_mask = value; break;
    case 2: v.foreground = value; break;
    case 3: v.background = value; break;
    case 4: v.line_width = u16(value); break;
    case 5: v.line_style = int(value & 0xff); break;
    case 6: v.cap_style = int(value & 0xff); break;
    case 7: v.join_style = int(value & 0xff); break;
    case 8: v.fill_style = int(value & 0xff); break;
    case 9: v.fill_rule = int(value & 0xff); break;
    case 10: v.tile = value; break;
    case 11: v.stipple = value; break;
    case 12: v.ts_x_origin = i16(value); break;
    case 13: v.ts_y_origin = i16(value); break;
    case 14: v.font = value; break;
    case 15: v.subwindow_mode = int(value & 0xff); break;
    case 16: v.graphics_exposures = int(value & 0xff); break;
    case 17: v.clip_x_origin = i16(value); break;
    case 18: v.clip_y_origin = i16(value); break;
    case 19: v.clip_mask = value; break;
    case 20: v.dash_offset = u16(value); break;
    case 21: v.dashes = char(value & 0xff); break;
    case 22: v.arc_mode = int(value & 0xff); break;
    default: break;
  }
}

PixmapRecord* suitablePixmap(const GCRecord* gc, u32 id, u32 depth) {
  PixmapRecord* pixmap = lookupPixmap(id);
  if (!pixmap || pixmap->screen != gc->screen || pixmap->depth != depth) return nullptr;
  return pixmap;
}

// Replaces a pixmap reference of the record.
void takePixmap(GCRecord* gc, PixmapRecord** slot, PixmapRecord* pixmap) {
  refPixmap(pixmap, gc->id);
  unrefPixmap(*slot, 0);
  *slot = pixmap;
}

void dropClipRectangles(GCRecord* gc) {
  std::free(gc->clipRectangles);
  gc->clipRectangles = nullptr;
  gc->clipCount = 0;
}

// The id of a pixmap component on the head: through the record's reference
// when it names the same pixmap (it may have lost its id), else translated.
u32 headPixmapId(u32 id, const PixmapRecord* referenced, const Head* head) {
  if (!id) return 0;
  if (referenced && referenced->id == id) return pixmapServerId(referenced, head);
  if (const PixmapRecord* pixmap = lookupPixmap(id)) return pixmapServerId(pixmap, head);
  return translateXid(id, RT_PIXMAP, head);
}

// The tile and clip sizes that go with the values: a tile, stipple or clip
// mask that the values name anew gives its own size.
void originSizes(const GCRecord* gc, u32 mask, const XGCValues& v, u32* tw, u32* th, u32* cw, u32* ch) {
  *tw = gc->tileWidth, *th = gc->tileHeight, *cw = gc->clipWidth, *ch = gc->clipHeight;
  for (u32 bit : {GCTile, GCStipple}) {
    if (!(mask & bit)) continue;
    if (const PixmapRecord* p = lookupPixmap(bit == GCTile ? u32(v.tile) : u32(v.stipple))) *tw = p->width, *th = p->height;
  }
  if (mask & GCClipMask) {
    const PixmapRecord* p = v.clip_mask ? lookupPixmap(u32(v.clip_mask)) : nullptr;
    *cw = p ? p->width : 1, *ch = p ? p->height : 1;
  }
}

// An origin scaled with the size of what it places, in the scaler's frame.
void scaleOrigin(const HeadScaler* s, int* x, int* y, u32 width, u32 height) {
  HeadRect r{*x, *y, i32(std::max(width, 1u)), i32(std::max(height, 1u))};
  scaleArea32(s, &r);
  *x = r.x, *y = r.y;
}

}  // namespace

// --- The record ------------------------------------------------------------------

void applyGCValueList(GCRecord* gc, u32 mask, const u8* values) {
  const u8* at = values;
  for (u32 rest = mask & ((1u << kGCComponentCount) - 1); rest; rest &= rest - 1) {
    u32 bit = u32(__builtin_ctz(rest));
    u32 value = get32(at);
    at += 4;
    // Most components are only kept.
    if (!((1u << bit) & (kGCResourceComponents | GCDashList))) {
      setComponent(gc->values, bit, value);
      continue;
    }
    switch (1u << bit) {
      case GCTile:
        if (PixmapRecord* p = suitablePixmap(gc, value, gc->depth)) {
          takePixmap(gc, &gc->tile, p);
          gc->tileWidth = p->width, gc->tileHeight = p->height;
        }
        break;
      case GCStipple:
        if (PixmapRecord* p = suitablePixmap(gc, value, 1)) {
          takePixmap(gc, &gc->stipple, p);
          gc->tileWidth = p->width, gc->tileHeight = p->height;
        }
        break;
      case GCFont:
        if (FontRecord* font = lookupFont(value)) {
          refFont(font, nullptr);
          unrefFont(gc->font, 0);
          gc->font = font;
        } else {
          logProblem(tmpPrintf("Unknown font 0x%x in ChangeGC 0x%x by %s", value, gc->id, clientName(currentClient)),
                     __FILE__, __LINE__);
        }
        break;
      case GCClipMask:
        if (value) {
          PixmapRecord* p = suitablePixmap(gc, value, 1);
          if (!p) {
            logProblem(tmpPrintf("Invalid clip mask 0x%x for gc 0x%x", value, gc->id), __FILE__, __LINE__);
            break;
          }
          takePixmap(gc, &gc->clipMask, p);
          dropClipRectangles(gc);
          gc->clipWidth = p->width, gc->clipHeight = p->height;
        } else {
          takePixmap(gc, &gc->clipMask, nullptr);
          dropClipRectangles(gc);
          gc->clipWidth = gc->clipHeight = 1;
        }
        break;
      case GCDashList:
        std::free(gc->dashList);
        gc->dashList = nullptr;
        gc->dashCount = 0;
        break;
      default: break;
    }
    setComponent(gc->values, bit, value);
  }
}

void destroyGCRecord(GCRecord* gc) {
  if (!gc) return;
  unrefPixmap(gc->tile, 0);
  unrefPixmap(gc->stipple, 0);
  unrefPixmap(gc->clipMask, 0);
  // The GC's own reference: the font's id is the font's, not the GC's.
  if (gc->font) unrefFont(gc->font, 0);
  std::free(gc->dashList);
  std::free(gc->clipRectangles);
  std::free(gc);
}

MetaScreen* gcRecordScreen(const GCRecord* gc) { return gc->screen; }

bool gcSkipsHead(const GCRecord* gc, const Head* head) {
  constexpr u32 kBoth = kHeadTagSloppyVisuals | kHeadTagSloppyDepths;
  return gc && head && (head->tags & kBoth) == kBoth && isDepthMissingOnHead(gc->depth, head);
}

// Values one at a time so that a merged record serves ChangeGC too.
void mergeGCValueList(XGCValues* values, u32 mask, const u8* list) {
  for (u32 rest = mask & ((1u << kGCComponentCount) - 1); rest; rest &= rest - 1) {
    u32 bit = u32(__builtin_ctz(rest));
    setComponent(*values, bit, get32(list));
    list += 4;
  }
}

u32 headGCValues(const GCRecord* gc, const Head* head, u32 mask, const XGCValues& v, u32 drawable, XGCValues* out) {
  *out = v;
  HeadScaler* s = head ? head->scaler : nullptr;
  if (s) mask = adjustGCMaskForScaling(mask);
  if (!head) return mask;
  const VisualRecord* headVisual = gc->visual ? getHeadVisualIfConverting(gc->visual, head) : nullptr;
  if ((mask & GCPlaneMask) && headVisual) out->plane_mask = rescalePixelToHead(u32(v.plane_mask), gc->visual, headVisual);
  if (mask & GCForeground) out->foreground = convertPixelToHead(u32(v.foreground), gc->visual, head);
  if (mask & GCBackground) out->background = convertPixelToHead(u32(v.background), gc->visual, head);
  if (mask & GCTile) out->tile = headPixmapId(u32(v.tile), gc->tile, head);
  if (mask & GCStipple) out->stipple = headPixmapId(u32(v.stipple), gc->stipple, head);
  if (mask & GCClipMask) out->clip_mask = headPixmapId(u32(v.clip_mask), gc->clipMask, head);
  if (mask & GCFont) {
    if (head->fontBitmaps) mask &= ~u32(GCFont);
    else out->font = translateXid(u32(v.font), RT_FONT, head);
  }
  if (!s) return mask;
  if (mask & GCLineWidth) out->line_width = int(scaleLineWidth(s, u16(v.line_width)));
  if (mask & GCDashOffset) out->dash_offset = int(std::min<u32>(scaleLineWidth(s, u16(v.dash_offset)), 65535));
  if (mask & GCDashList) {
    u8 dash = u8(v.dashes);
    scaleDashes(s, &dash, 1);
    out->dashes = char(dash);
  }
  if (mask & (GCTileStipXOrigin | GCClipXOrigin)) {
    u32 tw, th, cw, ch;
    originSizes(gc, mask, v, &tw, &th, &cw, &ch);
    setScalerDrawable(s, drawable);
    if (mask & GCTileStipXOrigin) scaleOrigin(s, &out->ts_x_origin, &out->ts_y_origin, tw, th);
    if (mask & GCClipXOrigin) scaleOrigin(s, &out->clip_x_origin, &out->clip_y_origin, cw, ch);
  }
  return mask;
}

bool gcValuesPassAsIs(const GCRecord* gc, const Head* head, u32 mask) {
  if (!head || head->scaler || ((mask & GCFont) && head->fontBitmaps)) return false;
  return !(mask & (GCPlaneMask | GCForeground | GCBackground)) || !gc->visual ||
         !getHeadVisualIfConverting(gc->visual, head);
}

void translateGCValueIds(const GCRecord* gc, const Head* head, u32 mask, u8* list) {
  for (u32 rest = mask & kGCResourceComponents; rest; rest &= rest - 1) {
    u32 component = rest & -rest;
    u8* at = list + 4 * bitCount(mask & (component - 1));
    u32 id = get32(at);
    switch (component) {
      case GCTile: put32(at, headPixmapId(id, gc->tile, head)); break;
      case GCStipple: put32(at, headPixmapId(id, gc->stipple, head)); break;
      case GCClipMask: put32(at, headPixmapId(id, gc->clipMask, head)); break;
      default: put32(at, translateXid(id, RT_FONT, head)); break;
    }
  }
}

bool restoreGCOnHead(const GCRecord* gc, const Head* head, ServerLink* link, u32 mask, u32 drawable,
                     bool clipChanged) {
  u32 gcOnHead = translateXid(gc->id, RT_GC, head);
  bool clipList = clipChanged && gc->clipCount && !gc->clipMask;
  if (clipList) mask &= ~u32(GCClipMask | GCClipXOrigin | GCClipYOrigin);
  // A pixmap the head no longer has is not put back, nor the server's own
  // default, which has no id.
  if ((mask & GCTile) && !gc->tile) mask &= ~u32(GCTile);
  if ((mask & GCStipple) && !gc->stipple) mask &= ~u32(GCStipple);
  if (mask) {
    XGCValues values;
    u32 headMask = headGCValues(gc, head, mask, gc->values, drawable, &values);
    if (headMask) requestChangeGC(link, gcOnHead, headMask, &values);
  }
  if (!clipList) return true;
  HeadScaler* s = head ? head->scaler : nullptr;
  if (!s) {
    xprotoSetClipRectangles(&link->writer, gc->ordering, gcOnHead, i16(gc->values.clip_x_origin),
                            i16(gc->values.clip_y_origin), reinterpret_cast<const XRectangle*>(gc->clipRectangles),
                            gc->clipCount);
    return true;
  }
  setScalerDrawable(s, drawable);
  i16 ox = i16(gc->values.clip_x_origin), oy = i16(gc->values.clip_y_origin);
  u32 count = 0;
  xRectangle* scaled = scaleClipRectangles(s, &ox, &oy, gc->clipRectangles, gc->clipCount, &count);
  if (!scaled) return false;
  xprotoSetClipRectangles(&link->writer, Unsorted, gcOnHead, ox, oy, reinterpret_cast<const XRectangle*>(scaled), count);
  std::free(scaled);
  return true;
}

// --- What other modules read -------------------------------------------------------

bool describeGC(u32 id, GCFacts* out) {
  *out = {};
  const GCRecord* gc = lookupGC(id);
  if (!gc) return false;
  *out = {gc->screen,
          gc->preparedDrawable,
          gc->clipRectangles,
          gc->clipCount,
          i16(gc->values.clip_x_origin),
          i16(gc->values.clip_y_origin),
          i16(gc->values.ts_x_origin),
          i16(gc->values.ts_y_origin),
          gc->tileWidth,
          gc->tileHeight,
          gc->clipWidth,
          gc->clipHeight,
          gc->depth};
  return true;
}

void notePreparedDrawable(u32 id, u32 drawable) {
  if (GCRecord* gc = lookupGC(id)) gc->preparedDrawable = drawable;
}

XFontStruct* gcFontInfo(u32 id) {
  const GCRecord* gc = lookupGC(id);
  return gc && gc->font ? gc->font->fontInfo : nullptr;
}

}  // namespace palvon
