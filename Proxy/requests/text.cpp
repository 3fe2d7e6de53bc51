// PolyText8 (74), PolyText16 (75), ImageText8 (76) and ImageText16 (77):
// forwarded with ids translated and positions scaled, or drawn by the glyph
// engine on heads that draw text as bitmaps.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <utility>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawing.h"
#include "Proxy/requests/drawmath.h"
#include "Proxy/requests/textengine.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "xsupport/region.h"
#include "xsupport/xfont.h"

namespace palvon {

namespace {

struct Text {
  const u8* request;
  u32 length;
  u32 bits;           // 8 or 16
  bool image;
  u32 drawable, gc;
  i16 x, y;
  GCRecord* gcRecord;
  FontRecord* startFont;  // the GC's font before the request
  DrawableInfo info;
  bool known;
  u8 error;           // an error a bitmap head gave, sent once
  u32 errorValue;
  bool failed;
};

// The items' damage: each string's ink after its delta, the font
// following the font elements. Without font information the whole window.
void setPolyTextDamage(const Text& t) {
  Region* region = currentDamageRegion();
  if (!region || !t.info.window) return;
  XFontStruct* info = getGCFontInfo(t.gc);
  regionEmpty(region);
  TextItemWalk walk(t.request + 16, t.length - 16, t.bits / 8);
  TextItem item;
  i32 x = t.x;
  bool whole = !info;
  while (!whole && walk.next(&item) == 1) {
    if (item.isFont) {
      if (const FontRecord* font = lookupFont(item.font)) info = font->fontInfo;
      whole = !info;
      continue;
    }
    x += item.delta;
    const char* chars = reinterpret_cast<const char*>(item.characters);
    XRectangle ink;
    xfontTextInkBox(nullptr, info, x, t.y, chars, int(item.count), int(t.bits), &ink);
    if (ink.width && ink.height) regionAppendRect(region, ink.x, ink.y, ink.width, ink.height);
    x += t.bits == 8 ? XTextWidth(info, chars, int(item.count))
                     : XTextWidth16(info, reinterpret_cast<const XChar2b*>(chars), int(item.count));
  }
  if (whole) {
    regionResetRect(region, 0, 0, t.info.width, t.info.height);
    return;
  }
  bool overlap;
  regionValidate(region, &overlap);
  regionIntersectRect(region, region, 0, 0, t.info.width, t.info.height);
}

// Where text from glyph pixmaps goes: the drawable on the head, or (into
// not 0) a background tile with the drawn window's origin at dx, dy.
struct GlyphTarget {
  u32 into;
  i32 dx, dy;
};

// The PolyText items on a head that draws text itself.
bool drawItemsOnHead(Text& t, const RouteTarget& target, const GlyphTarget& to) {
  TextItemWalk walk(t.request + 16, t.length - 16, t.bits / 8);
  TextItem item;
  i32 x = t.x + to.dx;
  FontRecord* font = t.startFont;
  while (walk.next(&item) == 1) {
    if (item.isFont) {
      font = lookupFont(item.font);
      if (!font) {
        t.error = BadFont, t.errorValue = item.font;
        return false;
      }
      continue;
    }
    x += item.delta;
    u8 error = drawTextItems(currentClient, target.head, target.link, t.drawable, t.gcRecord, font, &x, t.y + to.dy,
                             item.characters, item.count, t.bits, false, to.into);
    if (error) {
      t.error = error, t.errorValue = t.drawable;
      return false;
    }
  }
  return true;
}

bool drawGlyphText(Text& t, const RouteTarget& target, const GlyphTarget& to) {
  if (!t.image) return drawItemsOnHead(t, target, to);
  i32 x = t.x + to.dx;
  u8 error = drawTextItems(currentClient, target.head, target.link, t.drawable, t.gcRecord, t.gcRecord->font, &x,
                           t.y + to.dy, t.request + 16, t.request[1], t.bits, true, to.into);
  if (error) t.error = error, t.errorValue = t.drawable;
  return error == 0;
}

// The copy for a head that draws with server fonts: origin and deltas
// scaled, font ids those of the head's server.
void rewriteText(u8* copy, const Text& t, const Head* head) {
  put32(copy + 4, mapDrawableToHead(t.drawable, head));
  put32(copy + 8, translateXid(t.gc, RT_GC, head));
  const HeadScaler* s = head ? head->scaler : nullptr;
  if (s) {
    i16 x = i16(get16(copy + 12)), y = i16(get16(copy + 14));
    setScalerDrawable(head->scaler, t.drawable);
    scaleTextOrigin(s, &x, &y);
    put16(copy + 12, u16(x)), put16(copy + 14, u16(y));
  }
  if (t.image) return;
  TextItemWalk walk(copy + 16, t.length - 16, t.bits / 8);
  TextItem item;
  while (walk.next(&item) == 1) {
    u8* at = copy + 16 + item.offset;
    if (item.isFont) {
      u32 font = translateXid(item.font, RT_FONT, head);
      at[1] = u8(font >> 24), at[2] = u8(font >> 16), at[3] = u8(font >> 8), at[4] = u8(font);
    } else if (s && item.delta) {
      i32 delta = i32(scaleLengthX(s, u32(std::abs(i32(item.delta)))));
      at[1] = u8(std::clamp(item.delta < 0 ? -delta : delta, -128, 127));
    }
  }
}

bool textOnHead(const RouteTarget& target, void* argument) {
  auto& t = *static_cast<Text*>(argument);
  const Head* head = target.head;
  if (head && (cullsWindowHead(head, t.info.window) || needsVisualEmulation(t.drawable, head))) return true;
  if (head && head->fontBitmaps && t.gcRecord) {
    // The tiles first: a translucent window's pixels are evaluated from them
    // ahead of the text, which takes several requests.
    if (backgroundTileCount) {
      std::pair<Text*, const RouteTarget*> drawing{&t, &target};
      forEachMirrorTile(head, t.info.window, t.gc, [](BackgroundTile* tile, i32 dx, i32 dy, void* argument) {
        auto* d = static_cast<std::pair<Text*, const RouteTarget*>*>(argument);
        return drawGlyphText(*d->first, *d->second, {tile->pixmap, dx, dy});
      }, &drawing);
    }
    if (ProxyWindow* translucent = currentClient->requestTranslucentWindow)
      drawOnTranslucentWindow(target.link, target.head, translucent, t.request, t.length, nullptr, 0);
    return drawGlyphText(t, target, {});
  }
  u8* copy = copyRequestToServer(t.request, t.length, target.link);
  if (!copy) {
    t.failed = true;
    return false;
  }
  u64 copySequence = target.link->requestsSent;
  rewriteText(copy, t, head);
  if (backgroundTileCount) mirrorText(target.link, head, t.info.window, t.gc, copy, t.length);
  swapServerRequest(target.link, copy, t.length, currentRequest.row->requestLayout);
  if (ProxyWindow* translucent = currentClient->requestTranslucentWindow)
    drawOnTranslucentWindow(target.link, target.head, translucent, t.request, t.length, copy, copySequence);
  return true;
}

void textRequest(u8* request, u32 length, u32 bits, bool image) {
  Text t{};
  t.request = request, t.length = length, t.bits = bits, t.image = image;
  t.drawable = get32(request + 4), t.gc = get32(request + 8);
  t.x = i16(get16(request + 12)), t.y = i16(get16(request + 14));
  setRequestResource(currentClient, t.drawable);
  t.known = describeDrawable(t.drawable, &t.info);
  t.gcRecord = lookupGC(t.gc);
  // A GC of another meta screen is on none of the drawable's heads.
  if (t.known && t.gcRecord && t.gcRecord->screen != t.info.screen)
    return sendXError(BadMatch, t.drawable, request, length, nullptr);
  if (t.known && t.gcRecord && t.gcRecord->depth != t.info.depth) return sendXError(BadMatch, 0, request, length, nullptr);
  if (!image) {
    // Every walk below stays inside the request: an item past its end is
    // refused before anything is drawn.
    TextItemWalk walk(request + 16, length - 16, bits / 8);
    TextItem item;
    int step;
    while ((step = walk.next(&item)) == 1) {}
    if (step < 0) return sendXError(BadLength, length, request, length, nullptr);
  }
  if (damageWanted() && t.known && t.info.window) {
    if (image) {
      addDamageText(t.gc, t.x, t.y, reinterpret_cast<const char*>(request + 16), request[1], bits);
    } else {
      setPolyTextDamage(t);
    }
  }
  t.startFont = t.gcRecord ? t.gcRecord->font : nullptr;
  // The drawing's first font stays alive while the record follows the
  // font elements.
  refFont(t.startFont, nullptr);
  if (!image && t.gcRecord) {
    TextItemWalk walk(request + 16, length - 16, bits / 8);
    TextItem item;
    while (walk.next(&item) == 1) {
      if (!item.isFont) continue;
      u8 value[4];
      put32(value, item.font);
      applyGCValueList(t.gcRecord, GCFont, value);
    }
  }
  if (prepareGCForDrawing(t.gc, t.drawable, request, length)) {
    forEachTarget(currentRequest.row->route, textOnHead, &t);
    if (t.failed) sendXError(BadAlloc, 0, request, length, nullptr);
    else if (t.error) sendXError(t.error, t.errorValue, request, length, nullptr);
  }
  if (t.startFont) unrefFont(t.startFont, 0);
}

}  // namespace

void ProcPolyText8(u8* request, u32 length) { textRequest(request, length, 8, false); }
void ProcPolyText16(u8* request, u32 length) { textRequest(request, length, 16, false); }
void ProcImageText8(u8* request, u32 length) { textRequest(request, length, 8, true); }
void ProcImageText16(u8* request, u32 length) { textRequest(request, length, 16, true); }

}  // namespace palvon
