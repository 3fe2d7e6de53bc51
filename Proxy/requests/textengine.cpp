// The glyph engine: text drawn character by character from a font's glyph
// pixmap on a head, with the client's GC changed for each fill and put
// back at the end.
#include "Proxy/requests/textengine.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/glyphs.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/pixels.h"
#include "base/logging.h"
#include "xsupport/xfont.h"

namespace palvon {

namespace {

constexpr u16 kNoGlyph = 65535;
// Advance of a character drawn without any font information.
constexpr i32 kUnknownAdvance = 6;

struct Engine {
  ProxyClient* client;
  Head* head;
  ServerLink* link;
  const GCRecord* gc;
  u32 drawable;        // the client's
  u32 drawableOnHead;
  u32 gcOnHead;
  HeadScaler* scaler;  // framed on the drawable
  const XFontStruct* info;
  const FontHeadGlyphs* glyphs;
  u32 restore;         // GC components changed on the head
  bool clipChanged;
  bool stippleSet;     // the glyph pixmap is the GC's stipple
};

void change(Engine& e, u32 mask, const XGCValues& values) { requestChangeGC(e.link, e.gcOnHead, mask, &values); }

u32 characterCode(const u8* characters, u32 i, u32 bits) {
  return bits == 8 ? characters[i] : u32(characters[2 * i]) << 8 | characters[2 * i + 1];
}

// The glyph of a code, with the font's default character standing in for
// codes outside the font and glyphs it lacks; -1 when neither exists.
i32 glyphOf(const Engine& e, u32 code) {
  i32 index = fontGlyphIndex(e.info, code);
  i32 fallback = fontGlyphIndex(e.info, e.info->default_char);
  if (index < 0) index = fallback;
  if (index < 0) return -1;
  if (e.glyphs->boxes[index].x != kNoGlyph) return index;
  return fallback >= 0 && e.glyphs->boxes[fallback].x != kNoGlyph ? fallback : -1;
}

const XCharStruct& metricsOf(const XFontStruct* info, i32 index) {
  return info->per_char ? info->per_char[index] : info->max_bounds;
}

// A meta rectangle in the head's pixels.
xRectangle onHead(const Engine& e, i32 x, i32 y, i32 width, i32 height) {
  xRectangle r{i16(std::clamp(x, -32768, 32767)), i16(std::clamp(y, -32768, 32767)), u16(std::clamp(width, 0, 65535)),
               u16(std::clamp(height, 0, 65535))};
  if (e.scaler) scaleRectangles(e.scaler, &r, 1);
  return r;
}

// A glyph of the head's own (scaled) font: its box around the scaled
// origin by that font's metrics, which the glyph's ink fills.
xRectangle byHeadMetrics(const Engine& e, i32 index, const GlyphBox& box, i32 x, i32 y) {
  const XCharStruct& own = e.glyphs->metrics[index];
  scalePoint(e.scaler, &x, &y);
  return xRectangle{i16(std::clamp(x + own.lbearing, -32768, 32767)), i16(std::clamp(y - own.ascent, -32768, 32767)),
                    box.width, box.height};
}

// ImageText's background: the string's logical box in the GC's background,
// with copy, solid fill and no exposures as ImageText is defined.
void fillBackground(Engine& e, i32 x, i32 y, const u8* characters, u32 count, u32 bits) {
  const XGCValues& v = e.gc->values;
  XGCValues values{};
  u32 mask = GCForeground;
  values.foreground = convertPixelToHead(u32(v.background), e.gc->visual, e.head);
  if (v.function != GXcopy) mask |= GCFunction, values.function = GXcopy;
  if (v.fill_style != FillSolid) mask |= GCFillStyle, values.fill_style = FillSolid;
  if (v.graphics_exposures) mask |= GCGraphicsExposures, values.graphics_exposures = 0;
  change(e, mask, values);
  e.restore |= mask & ~u32(GCForeground);
  XRectangle box;
  xfontTextBox(const_cast<XFontStruct*>(e.info), x, y, reinterpret_cast<const char*>(characters), int(count),
               int(bits), &box);
  xRectangle r = onHead(e, box.x, box.y, box.width, box.height);
  requestPolyFillRectangle(e.link, e.drawableOnHead, e.gcOnHead, r.x, r.y, r.width, r.height);
  values.foreground = convertPixelToHead(u32(v.foreground), e.gc->visual, e.head);
  change(e, GCForeground, values);
}

// The GC's stipple origin on the head, where a tile of its size starts.
void headStippleOrigin(const Engine& e, i32* x, i32* y) {
  *x = e.gc->values.ts_x_origin, *y = e.gc->values.ts_y_origin;
  if (!e.scaler) return;
  HeadRect r{*x, *y, std::max<i32>(e.gc->tileWidth, 1), std::max<i32>(e.gc->tileHeight, 1)};
  scaleArea32(e.scaler, &r);
  *x = r.x, *y = r.y;
}

// A depth-1 pixmap of the glyph's size holding the glyph; its id, and the
// id of a GC for it through *gc (when gc is given; else the GC is freed).
u32 glyphPixmap(Engine& e, const GlyphBox& box, u32* gc) {
  RequestWriter* w = &e.link->writer;
  u32 pixmap = translateXid(allocProxyXid(e.client), RT_PIXMAP, e.head);
  u32 temporary = translateXid(allocProxyXid(e.client), RT_GC, e.head);
  xprotoCreatePixmap(w, 1, pixmap, e.drawableOnHead, box.width, box.height);
  XGCValues values{};
  values.graphics_exposures = 0;
  xprotoCreateGC(w, temporary, pixmap, GCGraphicsExposures, &values);
  xprotoCopyArea(w, e.glyphs->pixmap, pixmap, temporary, i16(box.x), i16(box.y), box.width, box.height, 0, 0);
  if (gc) *gc = temporary;
  else xprotoFreeGC(w, temporary);
  return pixmap;
}

// The glyph pixmap as stipple, placed so that the glyph lies under the
// rectangle.
void fillThroughGlyph(Engine& e, const GlyphBox& box, const xRectangle& at) {
  XGCValues values{};
  u32 mask = GCTileStipXOrigin | GCTileStipYOrigin;
  if (!e.stippleSet) {
    mask |= GCFillStyle | GCStipple;
    values.fill_style = FillStippled;
    values.stipple = e.glyphs->pixmap;
    e.stippleSet = true;
  }
  values.ts_x_origin = at.x - i32(box.x), values.ts_y_origin = at.y - i32(box.y);
  change(e, mask, values);
  e.restore |= mask;
  requestPolyFillRectangle(e.link, e.drawableOnHead, e.gcOnHead, at.x, at.y, box.width, box.height);
}

// The glyph cut by the client's stipple: where either is 0 nothing is
// drawn, so a copy of the glyph is ANDed with the stipple laid opaquely as
// 1 and 0, and then serves as the GC's stipple.
void fillThroughStippledGlyph(Engine& e, const GlyphBox& box, const xRectangle& at) {
  RequestWriter* w = &e.link->writer;
  u32 temporary = 0;
  u32 pixmap = glyphPixmap(e, box, &temporary);
  i32 sx, sy;
  headStippleOrigin(e, &sx, &sy);
  XGCValues values{};
  values.function = GXand;
  values.foreground = 1;
  values.background = 0;
  values.fill_style = FillOpaqueStippled;
  values.stipple = pixmapServerId(e.gc->stipple, e.head);
  values.ts_x_origin = sx - at.x, values.ts_y_origin = sy - at.y;
  requestChangeGC(e.link, temporary,
                  GCFunction | GCForeground | GCBackground | GCFillStyle | GCStipple | GCTileStipXOrigin |
                      GCTileStipYOrigin,
                  &values);
  requestPolyFillRectangle(e.link, pixmap, temporary, 0, 0, box.width, box.height);
  xprotoFreeGC(w, temporary);
  values = {};
  values.fill_style = FillStippled;
  values.stipple = pixmap;
  values.ts_x_origin = at.x, values.ts_y_origin = at.y;
  u32 mask = GCFillStyle | GCStipple | GCTileStipXOrigin | GCTileStipYOrigin;
  change(e, mask, values);
  e.restore |= mask;
  e.stippleSet = false;
  requestPolyFillRectangle(e.link, e.drawableOnHead, e.gcOnHead, at.x, at.y, box.width, box.height);
  xprotoFreePixmap(w, pixmap);
}

// The glyph as clip mask over the GC's own tile or stipple.
void fillThroughClippedGlyph(Engine& e, const GlyphBox& box, const xRectangle& at) {
  u32 pixmap = glyphPixmap(e, box, nullptr);
  XGCValues values{};
  values.clip_mask = pixmap;
  values.clip_x_origin = at.x, values.clip_y_origin = at.y;
  u32 mask = GCClipMask | GCClipXOrigin | GCClipYOrigin;
  change(e, mask, values);
  e.restore |= mask;
  e.clipChanged = true;
  requestPolyFillRectangle(e.link, e.drawableOnHead, e.gcOnHead, at.x, at.y, box.width, box.height);
  xprotoFreePixmap(&e.link->writer, pixmap);
}

// One glyph at the head rectangle's origin, by the GC's fill style.
void drawGlyph(Engine& e, const GlyphBox& box, const xRectangle& at, bool image, bool fitsAdvance) {
  u8 fill = u8(e.gc->values.fill_style);
  if (image && !e.scaler && fitsAdvance) {
    // Exposures were switched off with the background.
    requestCopyPlane(e.link, e.glyphs->pixmap, e.drawableOnHead, e.gcOnHead, i16(box.x), i16(box.y), at.x, at.y,
                     box.width, box.height, 1);
  } else if (image || fill == FillSolid) {
    fillThroughGlyph(e, box, at);
  } else if (fill == FillStippled && e.gc->stipple) {
    fillThroughStippledGlyph(e, box, at);
  } else if (fill == FillTiled || fill == FillOpaqueStippled) {
    fillThroughClippedGlyph(e, box, at);
  }
}

// Without any font information the string goes to the head as it is.
void drawPlain(Engine& e, i32* x, i32 y, const u8* characters, u32 count, u32 bits, bool image) {
  i16 hx = i16(*x), hy = i16(y);
  if (e.scaler) scaleTextOrigin(e.scaler, &hx, &hy);
  const char* text = reinterpret_cast<const char*>(characters);
  const auto* wide = reinterpret_cast<const XChar2b*>(characters);
  if (image && bits == 8) requestImageText8(e.link, e.drawableOnHead, e.gcOnHead, hx, hy, text, u8(count));
  else if (image) requestImageText16(e.link, e.drawableOnHead, e.gcOnHead, hx, hy, wide, u8(count));
  else if (bits == 8) xprotoPolyText8(&e.link->writer, e.drawableOnHead, e.gcOnHead, hx, hy, text, count);
  else xprotoPolyText16(&e.link->writer, e.drawableOnHead, e.gcOnHead, hx, hy, wide, count);
  *x += kUnknownAdvance * i32(count);
}

// The font's glyphs on the head (fonts are kept once per equivalent head);
// made now when the font has none there yet.
const FontHeadGlyphs* headGlyphs(FontRecord* font, Head* head) {
  Head* holder = head->equivalentHead ? head->equivalentHead : head;
  if (const FontHeadGlyphs* glyphs = findFontHeadGlyphs(font, holder)) return glyphs;
  if (const char* error = openFontOnHead(font, holder)) {
    logProblem(error, __FILE__, __LINE__);
    return nullptr;
  }
  return findFontHeadGlyphs(font, holder);
}

}  // namespace

u8 drawTextItems(ProxyClient* client, Head* head, ServerLink* link, u32 drawable, const GCRecord* gc,
                 FontRecord* font, i32* x, i32 y, const u8* characters, u32 count, u32 bits, bool image,
                 u32 target) {
  void* object = nullptr;
  u32 type = lookupResourceAnyType(drawable, &object);
  if (type == RT_PICTURE) {
    PALVON_UNE();
    return BadDrawable;
  }
  DrawableInfo info;
  if (!describeDrawable(drawable, &info)) return BadDrawable;
  if (info.inputOnly) return BadMatch;
  if (!count) return 0;
  u32 into = target ? target : mapDrawableToHead(drawable, head);
  Engine e{client, head, link, gc, drawable, into, translateXid(gc->id, RT_GC, head), head->scaler, nullptr, nullptr, 0,
           false, false};
  if (e.scaler) setScalerDrawable(e.scaler, drawable);
  if (!font) font = serverDefaultFont();
  if (!font || !font->fontInfo) {
    drawPlain(e, x, y, characters, count, bits, image);
    return 0;
  }
  e.info = font->fontInfo;
  e.glyphs = headGlyphs(font, head);
  if (!e.glyphs || !e.glyphs->pixmap || !waitForGlyphs(e.glyphs)) return 0;
  if (image) fillBackground(e, *x, y, characters, count, bits);
  for (u32 i = 0; i < count; i++) {
    i32 index = glyphOf(e, characterCode(characters, i, bits));
    if (index < 0) continue;
    const XCharStruct& m = metricsOf(e.info, index);
    const GlyphBox& box = e.glyphs->boxes[index];
    if (box.width && box.height) {
      i32 inkWidth = m.rbearing - m.lbearing;
      xRectangle at = e.glyphs->metrics && e.scaler ? byHeadMetrics(e, index, box, *x, y)
                                                    : onHead(e, *x + m.lbearing, y - m.ascent, inkWidth, m.ascent + m.descent);
      drawGlyph(e, box, at, image, std::abs(m.width) >= inkWidth);
    }
    *x += m.width;
  }
  if (e.restore && !restoreGCOnHead(gc, head, link, e.restore, drawable, e.clipChanged)) return BadAlloc;
  return 0;
}

}  // namespace palvon
