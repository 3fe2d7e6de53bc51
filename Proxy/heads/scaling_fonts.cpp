// Scaled heads and text, glyphs, GCs and window geometry: which heads draw
// text as bitmaps, the scaled font names tried on a head, RENDER glyphs
// resampled for a head, GC origins and clip lists prepared per drawable,
// and ConfigureWindow values in head geometry.
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "base/logging.h"
#include "xsupport/xfont.h"
#include "xsupport/ximage.h"

namespace palvon {

u8 proxyFontBitmaps;

// --- Text as bitmaps ---------------------------------------------------------------

namespace {

// "host:0.1" and "host:0" name the same server; the part before the last
// ':' names the host.
bool sameHost(const char* a, const char* b) {
  const char* ca = strrchr(a, ':');
  const char* cb = strrchr(b, ':');
  size_t la = ca ? size_t(ca - a) : strlen(a), lb = cb ? size_t(cb - b) : strlen(b);
  return la == lb && strncmp(a, b, la) == 0;
}

// Zoomed by its sizes, as setupHeadScaling decides, whether or not the
// scaler is made yet.
bool headIsZoomed(const Head* head) {
  if (head->scaler) return true;
  return std::max(head->clip.width, 1) != std::max(head->logical.width, 1) ||
         std::max(head->clip.height, 1) != std::max(head->logical.height, 1);
}

}  // namespace

void checkFontBitmaps(Head* head) {
  if (proxyConfig.options & kOptionDynamicServer) proxyFontBitmaps = 1;
  const ServerDisplay* server = head->serverDisplay;
  bool bitmaps;
  if (head->rotation) bitmaps = true;
  else if (server && server->serverFonts) bitmaps = false;
  else if (headIsZoomed(head)) bitmaps = true;
  else bitmaps = server && fontDisplay && server != fontDisplay && !sameHost(server->displayName, fontDisplay->displayName);
  head->fontBitmaps = bitmaps;
  if (bitmaps) proxyFontBitmaps = 1;
}

void decideHeadFontScaling(Head* head) { checkFontBitmaps(head); }

// --- Scaled font names -----------------------------------------------------------------

namespace {

// Whether the head's server has a font of that name: opened and closed on
// the proxy's own connection (the font path is the server's, the same for
// every connection).
bool tryOpenScaledFont(const Head* head, const char* name) {
  XFontStruct* font = XfsLoadQueryFont(head->display, name);
  if (!font) return false;
  XfsFreeFont(head->display, font);
  return true;
}

const ScaledFontName* findCached(const HeadScaler* s, const char* name) {
  for (const ScaledFontName* f = s->scaledFonts; f; f = f->next)
    if (strcasecmp(f->requestedName, name) == 0) return f;
  return nullptr;
}

// The name with the sizes scaled; null when none of the forms exists.
char* findScaledName(const Head* head, XlfdFields* fields) {
  const HeadScaler* s = head->scaler;
  if (fields->averageWidth != kXlfdNone && fields->averageWidth > 0)
    fields->averageWidth = i32(scaleLengthX(s, u32(fields->averageWidth)));
  i32 points = fields->pointSize, pixels = fields->pixelSize;
  // The point size scaled and the pixel size left to the server first, then
  // the other way round.
  const i32 forms[2][2] = {{points, kXlfdNone}, {kXlfdNone, pixels}};
  for (const auto& form : forms) {
    if (form[0] == kXlfdNone && form[1] == kXlfdNone) continue;
    fields->pointSize = form[0] == kXlfdNone || form[0] <= 0 ? kXlfdNone : i32(scaleLengthY(s, u32(form[0])));
    fields->pixelSize = form[1] == kXlfdNone || form[1] <= 0 ? kXlfdNone : i32(scaleLengthY(s, u32(form[1])));
    char* name = xfontFormatXLFD(fields);
    if (name && tryOpenScaledFont(head, name)) return name;
    free(name);
  }
  return nullptr;
}

}  // namespace

const char* openScaledFont(const char* name, Head* head) {
  HeadScaler* s = head->scaler;
  if (!s || !name || !isHeadOnline(head)) return nullptr;
  if (const ScaledFontName* cached = findCached(s, name)) return cached->scaledName;
  XlfdFields* fields = xfontParseXLFD(name);
  if (!fields) {
    // Not an XLFD name: the fields of the font the head knows by it.
    if (XFontStruct* font = XfsLoadQueryFont(head->display, name)) {
      fields = xfontGetXLFDFields(head->display, font);
      XfsFreeFont(head->display, font);
    }
  }
  char* scaled = fields ? findScaledName(head, fields) : nullptr;
  xfontFreeXLFDFields(fields);
  auto* entry = static_cast<ScaledFontName*>(memCalloc(1, sizeof(ScaledFontName)));
  char* requested = memStrdup(name);
  if (!entry || !requested) {
    free(entry);
    free(requested);
    PALVON_OOM();
    // Uncached: the caller uses it at once.
    const char* result = scaled ? tmpCopy(scaled) : nullptr;
    free(scaled);
    return result;
  }
  *entry = {s->scaledFonts, scaled, requested};
  s->scaledFonts = entry;
  return scaled;
}

// --- RENDER glyphs -------------------------------------------------------------------

namespace {

// Glyph images as RENDER lays them out for the head's server: rows padded
// to 32 bits, the server's byte and bit order.
ImageFormat glyphFormat(Display* display, u32 depth) {
  ImageFormat f = *ximageFormatForDisplay(display, depth == 1 ? XYBitmap : ZPixmap, depth, nullptr);
  f.bitsPerPixel = depth == 1 ? 1 : depth == 4 ? 4 : depth == 8 ? 8 : 32;
  f.scanlinePad = 32;
  return f;
}

size_t glyphBytes(const ImageFormat& f, u32 width, u32 height) {
  u64 bits = u64(width) * f.bitsPerPixel;
  return size_t((bits + 31) / 32 * 4 * height);
}

}  // namespace

bool scaleGlyphs(const Head* head, u32 depth, xGlyphInfo* infos, u32 count, const u8* images, u32 length,
                 u8** outImages, u32* outLength) {
  *outImages = nullptr, *outLength = 0;
  const HeadScaler* s = head->scaler;
  ImageFormat f = glyphFormat(head->display, depth);
  u64 total = 0, consumed = 0;
  for (u32 i = 0; i < count; i++) {
    u16 w = infos[i].width, h = infos[i].height;
    consumed += glyphBytes(f, w, h);
    scaleSize(s, &w, &h);
    total += glyphBytes(f, w, h);
  }
  if (consumed > length) return false;  // the request was checked; a short list is not ours to read
  u8* out = static_cast<u8*>(memCalloc(1, size_t(std::max<u64>(total, 1))));
  if (!out) return PALVON_OOM(), false;
  const u8* from = images;
  u8* to = out;
  for (u32 i = 0; i < count; i++) {
    xGlyphInfo& g = infos[i];
    u32 w = g.width, h = g.height;
    u16 sw = g.width, sh = g.height;
    scaleSize(s, &sw, &sh);
    XImage source{}, target{};
    if (w && h && sw && sh && ximageInit(&source, int(w), int(h), 0, reinterpret_cast<char*>(const_cast<u8*>(from)), &f) &&
        ximageInit(&target, sw, sh, 0, reinterpret_cast<char*>(to), &f))
      ximageCopyScaled(&source, 0, 0, int(w), int(h), &target, 0, 0, sw, sh, int(s->rotation));
    i32 x = g.x, y = g.y;
    scalePointInSize(s, &x, &y, std::max(w, 1u), std::max(h, 1u));
    i32 dx = g.xOff, dy = g.yOff;
    rotateVector(s, &dx, &dy, true);
    from += glyphBytes(f, w, h);
    to += glyphBytes(f, sw, sh);
    g.width = sw, g.height = sh;
    g.x = i16(std::clamp(x, -32768, 32767)), g.y = i16(std::clamp(y, -32768, 32767));
    g.xOff = i16(std::clamp(dx, -32768, 32767)), g.yOff = i16(std::clamp(dy, -32768, 32767));
  }
  *outImages = out, *outLength = u32(total);
  return true;
}

// --- GCs -------------------------------------------------------------------------------

int prepareScaledGC(ProxyClient* client, u32 gc, u32 drawable) {
  GCFacts facts{};
  if (!describeGC(gc, &facts) || facts.preparedDrawable == drawable) return 1;
  notePreparedDrawable(gc, drawable);
  if (!facts.screen) return 1;
  for (Head* head = facts.screen->heads; head; head = head->next) {
    HeadScaler* s = head->scaler;
    if (!s || needsVisualEmulation(drawable, head) || gcSkipsHead(lookupGC(gc), head)) continue;
    ServerLink* link = client && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
    if (!link) return 0;
    u32 gcOnHead = translateXid(gc, RT_GC, head);
    setScalerDrawable(s, drawable);
    XGCValues values{};
    u32 mask = GCTileStipXOrigin | GCTileStipYOrigin;
    if (facts.clipCount) {
      i16 ox = facts.clipX, oy = facts.clipY;
      u32 n = 0;
      xRectangle* scaled = scaleClipRectangles(s, &ox, &oy, facts.clipRectangles, facts.clipCount, &n);
      if (!scaled) return 0;
      // The merged boxes are banded: the ordering the server may rely on.
      xprotoSetClipRectangles(&link->writer, YXBanded, gcOnHead, ox, oy, reinterpret_cast<XRectangle*>(scaled), n);
      free(scaled);
    } else {
      // An origin places its clip mask or tile: on a turned head the
      // corner that becomes the origin depends on the size.
      HeadRect clip{facts.clipX, facts.clipY, std::max<i32>(facts.clipWidth, 1), std::max<i32>(facts.clipHeight, 1)};
      scaleArea32(s, &clip);
      values.clip_x_origin = clip.x, values.clip_y_origin = clip.y;
      mask |= GCClipXOrigin | GCClipYOrigin;
    }
    HeadRect tile{facts.tileX, facts.tileY, std::max<i32>(facts.tileWidth, 1), std::max<i32>(facts.tileHeight, 1)};
    scaleArea32(s, &tile);
    values.ts_x_origin = tile.x, values.ts_y_origin = tile.y;
    requestChangeGC(link, gcOnHead, mask, &values);
  }
  return 1;
}

// --- Window geometry ----------------------------------------------------------------

u16 scaleConfigureValues(const Head* head, const ProxyWindow* window, u16 mask, const u32* values, u32* out) {
  const HeadScaler* s = head->scaler;
  WindowFacts w{}, p{};
  describeWindow(window, &w);
  describeWindow(w.parent, &p);
  i32 geometry[5] = {w.x, w.y, i32(w.width), i32(w.height), i32(w.borderWidth)};
  const u32* v = values;
  for (u32 bit = 0; bit < 5; bit++)
    if (mask & (1u << bit)) geometry[bit] = i32(*v++);
  u32 screenW = head->metaScreen ? head->metaScreen->width : 0, screenH = head->metaScreen ? head->metaScreen->height : 0;
  u16 newMask = mask;
  if (s && (mask & 0x1f)) {
    // x and y name the border's outer corner, width and height the inside.
    // The inside is what must land on its scaled place: it is scaled as an
    // area, absolute in the meta screen, and the head's corner lies the
    // scaled border before it, relative to the parent's scaled inside. On
    // a turned head the corner moves with every size and border change, so
    // all four values go.
    i32 border = geometry[4];
    HeadRect child{p.absX + geometry[0] + border, p.absY + geometry[1] + border, std::max(geometry[2], 1),
                   std::max(geometry[3], 1)};
    HeadRect parent{p.absX, p.absY, i32(std::max(p.width, 1u)), i32(std::max(p.height, 1u))};
    scaleRectangleRotated(s, &child, screenW, screenH);
    scaleRectangleRotated(s, &parent, screenW, screenH);
    i32 headBorder = i32(scaleBorderWidth(s, u32(std::max(border, 0))));
    geometry[0] = child.x - parent.x - headBorder, geometry[1] = child.y - parent.y - headBorder;
    geometry[2] = child.width, geometry[3] = child.height;
    geometry[4] = headBorder;
    newMask |= 0xf;
  }
  u32* o = out;
  for (u32 bit = 0; bit < 5; bit++)
    if (newMask & (1u << bit)) *o++ = u32(geometry[bit]);
  // Sibling and stack mode follow unchanged.
  for (u32 bit = 5; bit < 7; bit++)
    if (mask & (1u << bit)) *o++ = *v++;
  return newMask;
}

}  // namespace palvon
