#include "xsupport/xfont.h"

#include <stdlib.h>
#include <string.h>

#include <X11/Xlibint.h>
#include <X11/Xutil.h>

#include "base/logging.h"
#include "xsupport/ximage.h"

namespace palvon {

XExtCodes* xDisplayExtensionCodes(Display* display, const char* name) {
  if (!display || (display->flags & XlibDisplayClosing)) return nullptr;
  for (_XExtension* ext = display->ext_procs; ext; ext = ext->next) {
    if (ext->name && strcmp(ext->name, name) == 0) return &ext->codes;
  }
  return XInitExtension(display, name);
}

// --- Text boxes ----------------------------------------------------------------

namespace {

void textExtents(XFontStruct* font, const char* string, int count, int bits, XCharStruct* overall) {
  int direction, ascent, descent;
  *overall = XCharStruct{};
  if (bits == 16) {
    XTextExtents16(font, reinterpret_cast<const XChar2b*>(string), count, &direction, &ascent, &descent, overall);
  } else {
    XTextExtents(font, string, count, &direction, &ascent, &descent, overall);
  }
}

void setBox(XRectangle* box, int x, int y, int width, int height) {
  box->x = static_cast<short>(x);
  box->y = static_cast<short>(y);
  box->width = static_cast<unsigned short>(width < 0 ? 0 : width);
  box->height = static_cast<unsigned short>(height < 0 ? 0 : height);
}

char* defaultFontName = nullptr;

}  // namespace

void xfontTextInkBox(Display*, XFontStruct* font, int x, int y, const char* string, int count, int bits,
                     XRectangle* box) {
  XCharStruct overall;
  textExtents(font, string, count, bits, &overall);
  setBox(box, x + overall.lbearing, y - overall.ascent, overall.rbearing - overall.lbearing,
         overall.ascent + overall.descent);
}

void xfontTextBox(XFontStruct* font, int x, int y, const char* string, int count, int bits, XRectangle* box) {
  XCharStruct overall;
  textExtents(font, string, count, bits, &overall);
  int ascent = overall.ascent > font->max_bounds.ascent ? overall.ascent : font->max_bounds.ascent;
  int descent = overall.descent > font->max_bounds.descent ? overall.descent : font->max_bounds.descent;
  setBox(box, x + font->min_bounds.lbearing, y - ascent, overall.width, ascent + descent);
}

void xfontSetDefaultFontName(const char* name) {
  char* copy = name ? memStrdup(name) : nullptr;
  free(defaultFontName);
  defaultFontName = copy;
}

const char* xfontDefaultFontName() { return defaultFontName ? defaultFontName : "fixed"; }

// --- Glyph atlas -------------------------------------------------------------------

namespace {

constexpr int kAtlasRowLimit = 3999;
constexpr u32 kPixmapSizeLimit = 32767;

u32 glyphCount(const XFontStruct* font) {
  if (font->max_byte1 < font->min_byte1 || font->max_char_or_byte2 < font->min_char_or_byte2) return 0;
  return (font->max_byte1 - font->min_byte1 + 1) * (font->max_char_or_byte2 - font->min_char_or_byte2 + 1);
}

// The metrics of glyph g, or nullptr for a glyph that does not exist.
const XCharStruct* glyphMetrics(const XFontStruct* font, u32 g, XCharStruct* whole) {
  if (!font->per_char) {
    *whole = font->max_bounds;
    whole->lbearing = font->min_bounds.lbearing;
    return whole;
  }
  const XCharStruct* metrics = &font->per_char[g];
  bool empty = !metrics->lbearing && !metrics->rbearing && !metrics->width && !metrics->ascent &&
               !metrics->descent && !metrics->attributes;
  return empty && !font->all_chars_exist ? nullptr : metrics;
}

XChar2b glyphChar(const XFontStruct* font, u32 g) {
  u32 columns = font->max_char_or_byte2 - font->min_char_or_byte2 + 1;
  XChar2b c;
  c.byte1 = static_cast<unsigned char>(font->min_byte1 + g / columns);
  c.byte2 = static_cast<unsigned char>(font->min_char_or_byte2 + g % columns);
  return c;
}

// Places every glyph; baselines[g] is the glyph's row baseline, -1 when the
// glyph does not exist. false when the atlas would be too tall.
bool layoutAtlas(const XFontStruct* font, u32 count, GlyphBox* boxes, int* baselines, u32* width, u32* height) {
  int maxAscent = font->max_bounds.ascent, maxDescent = font->max_bounds.descent;
  long baseline = maxAscent;
  int penX = 0, widest = 0;
  for (u32 g = 0; g < count; g++) {
    XCharStruct whole;
    const XCharStruct* metrics = glyphMetrics(font, g, &whole);
    if (!metrics) {
      boxes[g] = GlyphBox{65535, 65535, 0, 0};
      baselines[g] = -1;
      continue;
    }
    int w = metrics->rbearing - metrics->lbearing;
    int h = metrics->ascent + metrics->descent;
    if (w < 0) w = 0;
    if (h < 0) h = 0;
    if (penX + w + 2 > kAtlasRowLimit) {
      baseline += maxAscent + maxDescent + 2;
      penX = 0;
    }
    long top = baseline - metrics->ascent;
    if (baseline + maxDescent > static_cast<long>(kPixmapSizeLimit) || top < 0 || w > kAtlasRowLimit) return false;
    boxes[g] = GlyphBox{static_cast<u16>(penX), static_cast<u16>(top), static_cast<u16>(w), static_cast<u16>(h)};
    baselines[g] = static_cast<int>(baseline);
    penX += w + 2;
    if (penX > widest) widest = penX;
  }
  *width = static_cast<u32>(widest > 0 ? widest : 1);
  long total = baseline + maxDescent;
  *height = static_cast<u32>(total > 0 ? total : 1);
  return true;
}

// One XDrawText16 per row; each item's delta puts the glyph origin at its box
// x minus its left bearing, after the previous item advanced the pen.
void drawAtlas(Display* display, Pixmap pixmap, GC gc, const XFontStruct* font, u32 count, const GlyphBox* boxes,
               const int* baselines, XTextItem16* items, XChar2b* chars) {
  u32 g = 0;
  while (g < count) {
    while (g < count && baselines[g] < 0) g++;
    if (g == count) break;
    int baseline = baselines[g];
    int pen = 0, n = 0;
    for (; g < count && (baselines[g] < 0 || baselines[g] == baseline); g++) {
      if (baselines[g] < 0) continue;
      XCharStruct whole;
      const XCharStruct* metrics = glyphMetrics(font, g, &whole);
      chars[n] = glyphChar(font, g);
      int origin = boxes[g].x - metrics->lbearing;
      items[n] = XTextItem16{&chars[n], 1, origin - pen, None};
      pen = origin + metrics->width;
      n++;
    }
    XDrawText16(display, pixmap, gc, 0, baseline, items, n);
  }
}

}  // namespace

Pixmap xfontGlyphAtlas(Display* display, int screen, XFontStruct* font, u32* width, u32* height, GlyphBox** boxes) {
  u32 count = glyphCount(font);
  bool ownBoxes = *boxes == nullptr;
  if (ownBoxes) *boxes = static_cast<GlyphBox*>(calloc(count ? count : 1, sizeof(GlyphBox)));
  int* baselines = static_cast<int*>(calloc(count ? count : 1, sizeof(int)));
  auto* items = static_cast<XTextItem16*>(calloc(count ? count : 1, sizeof(XTextItem16)));
  auto* chars = static_cast<XChar2b*>(calloc(count ? count : 1, sizeof(XChar2b)));
  Pixmap pixmap = 0;
  if (!*boxes || !baselines || !items || !chars) {
    PALVON_OOM();
  } else if (layoutAtlas(font, count, *boxes, baselines, width, height)) {
    pixmap = XCreatePixmap(display, RootWindow(display, screen), *width, *height, 1);
    XGCValues values = {};
    values.foreground = 0;
    values.background = 0;
    values.font = font->fid;
    GC gc = XCreateGC(display, pixmap, GCForeground | GCBackground | GCFont, &values);
    XFillRectangle(display, pixmap, gc, 0, 0, *width, *height);
    XSetForeground(display, gc, 1);
    drawAtlas(display, pixmap, gc, font, count, *boxes, baselines, items, chars);
    XFreeGC(display, gc);
  }
  if (!pixmap && ownBoxes) {
    free(*boxes);
    *boxes = nullptr;
  }
  free(baselines);
  free(items);
  free(chars);
  return pixmap;
}

XImage* xfontGlyphAtlasImage(Display* display, XFontStruct* font, GlyphBox** boxes) {
  u32 width = 0, height = 0;
  Pixmap pixmap = xfontGlyphAtlas(display, 0, font, &width, &height, boxes);
  if (!pixmap) return nullptr;
  XImage* image = XGetImage(display, pixmap, 0, 0, width, height, AllPlanes, ZPixmap);
  if (image) ximageSetPixelFuncs(image);
  XFreePixmap(display, pixmap);
  XFlush(display);
  return image;
}

int xfontCharBox(XFontStruct* font, u32 character, u32* width, u32* height, i32* xOrigin, i32* yOrigin) {
  XChar2b c;
  c.byte1 = static_cast<unsigned char>(character >> 8);
  c.byte2 = static_cast<unsigned char>(character & 255);
  XCharStruct m;
  textExtents(font, reinterpret_cast<const char*>(&c), 1, 16, &m);
  if (!m.lbearing && !m.rbearing && !m.width && !m.ascent && !m.descent) return 0;
  int left = m.lbearing < 0 ? m.lbearing : 0;
  int right = m.rbearing > 0 ? m.rbearing : 0;
  *width = static_cast<u32>(right - left);
  *height = static_cast<u32>((m.ascent > 0 ? m.ascent : 0) + (m.descent > 0 ? m.descent : 0));
  *xOrigin = -left;
  *yOrigin = m.ascent > 0 ? m.ascent : 0;
  return 1;
}

// --- Glyph cursor images ----------------------------------------------------------

namespace {

XImage* drawGlyphImage(Display* display, Font font, u32 character, const GlyphCursorImages* out) {
  Pixmap pixmap = XCreatePixmap(display, DefaultRootWindow(display), out->width, out->height, 1);
  XGCValues values = {};
  values.foreground = 0;
  values.font = font;
  GC gc = XCreateGC(display, pixmap, GCForeground | GCFont, &values);
  XFillRectangle(display, pixmap, gc, 0, 0, out->width, out->height);
  XSetForeground(display, gc, 1);
  XChar2b c;
  c.byte1 = static_cast<unsigned char>(character >> 8);
  c.byte2 = static_cast<unsigned char>(character & 255);
  XDrawString16(display, pixmap, gc, out->hotX, out->hotY, &c, 1);
  XFreeGC(display, gc);
  XImage* image = XGetImage(display, pixmap, 0, 0, out->width, out->height, 1, XYPixmap);
  if (image) ximageSetPixelFuncs(image);
  XFreePixmap(display, pixmap);
  return image;
}

struct CharBox {
  u32 width = 0, height = 0;
  i32 x = 0, y = 0;
};

}  // namespace

bool xfontGlyphCursorImages(Display* display, Font sourceFont, u32 sourceChar, Font maskFont, u32 maskChar,
                            GlyphCursorImages* out) {
  *out = GlyphCursorImages{};
  XFontStruct* source = XQueryFont(display, sourceFont);
  if (!source) return false;
  XFontStruct* mask = nullptr;
  if (maskFont != None && maskFont != sourceFont) {
    mask = XQueryFont(display, maskFont);
    if (!mask) {
      PALVON_UNE();
      XFreeFontInfo(nullptr, source, 1);
      return false;
    }
  }
  // A character outside the font's range is refused as a plain server
  // refuses it, not drawn as an empty glyph.
  auto inFont = [](const XFontStruct* f, u32 ch) {
    u32 row = ch >> 8, column = ch & 0xff;
    if (f->min_byte1 == 0 && f->max_byte1 == 0) return ch >= f->min_char_or_byte2 && ch <= f->max_char_or_byte2;
    return row >= f->min_byte1 && row <= f->max_byte1 && column >= f->min_char_or_byte2 &&
           column <= f->max_char_or_byte2;
  };
  if (!inFont(source, sourceChar) || (maskFont != None && !inFont(mask ? mask : source, maskChar))) {
    XFreeFontInfo(nullptr, source, 1);
    if (mask) XFreeFontInfo(nullptr, mask, 1);
    return false;
  }
  CharBox s, m;
  xfontCharBox(source, sourceChar, &s.width, &s.height, &s.x, &s.y);
  if (maskFont != None) xfontCharBox(mask ? mask : source, maskChar, &m.width, &m.height, &m.x, &m.y);
  i32 left = s.x > m.x ? s.x : m.x;
  i32 top = s.y > m.y ? s.y : m.y;
  i32 right = static_cast<i32>(s.width) - s.x, maskRight = static_cast<i32>(m.width) - m.x;
  i32 bottom = static_cast<i32>(s.height) - s.y, maskBottom = static_cast<i32>(m.height) - m.y;
  if (maskRight > right) right = maskRight;
  if (maskBottom > bottom) bottom = maskBottom;
  out->width = static_cast<u32>(left + right > 0 ? left + right : 1);
  out->height = static_cast<u32>(top + bottom > 0 ? top + bottom : 1);
  out->hotX = left;
  out->hotY = top;
  out->source = drawGlyphImage(display, sourceFont, sourceChar, out);
  if (maskFont != None) out->mask = drawGlyphImage(display, maskFont, maskChar, out);
  XFreeFontInfo(nullptr, source, 1);
  if (mask) XFreeFontInfo(nullptr, mask, 1);
  if (!out->source || (maskFont != None && !out->mask)) {
    if (out->source) XDestroyImage(out->source);
    if (out->mask) XDestroyImage(out->mask);
    *out = GlyphCursorImages{};
    return false;
  }
  return true;
}

// --- Packed metrics ------------------------------------------------------------------

namespace {

constexpr size_t kMetricsHeader = 12;

bool fitsByte(int v) { return v >= -128 && v <= 127; }

bool metricsFitByte(const XCharStruct& c) {
  return fitsByte(c.lbearing) && fitsByte(c.rbearing) && fitsByte(c.width) && fitsByte(c.ascent) &&
         fitsByte(c.descent);
}

u8* putValue(u8* p, int value, bool compact) {
  if (compact) {
    *p++ = static_cast<u8>(static_cast<signed char>(value));
  } else {
    *p++ = static_cast<u8>(static_cast<u16>(value) >> 8);
    *p++ = static_cast<u8>(value);
  }
  return p;
}

u8* putMetrics(u8* p, const XCharStruct& c, bool compact) {
  p = putValue(p, c.lbearing, compact);
  p = putValue(p, c.rbearing, compact);
  p = putValue(p, c.width, compact);
  p = putValue(p, c.ascent, compact);
  return putValue(p, c.descent, compact);
}

short getValue(const u8** p, bool compact) {
  short value;
  if (compact) {
    value = static_cast<signed char>(**p);
    *p += 1;
  } else {
    value = static_cast<short>(static_cast<u16>((*p)[0] << 8 | (*p)[1]));
    *p += 2;
  }
  return value;
}

XCharStruct getMetrics(const u8** p, bool compact) {
  XCharStruct c = {};
  c.lbearing = getValue(p, compact);
  c.rbearing = getValue(p, compact);
  c.width = getValue(p, compact);
  c.ascent = getValue(p, compact);
  c.descent = getValue(p, compact);
  return c;
}

}  // namespace

u8* xfontPackMetrics(const XFontStruct* font, size_t* size) {
  size_t glyphs = font->per_char ? glyphCount(font) : 0;
  bool compact = metricsFitByte(font->min_bounds) && metricsFitByte(font->max_bounds);
  for (size_t g = 0; compact && g < glyphs; g++) compact = metricsFitByte(font->per_char[g]);
  size_t w = compact ? 1 : 2;
  *size = (glyphs + 2) * 5 * w + kMetricsHeader;
  auto* blob = static_cast<u8*>(malloc(*size));
  if (!blob) {
    PALVON_OOM();
    return nullptr;
  }
  u8* p = putValue(blob, static_cast<int>(font->default_char), false);
  p = putValue(p, font->ascent, false);
  p = putValue(p, font->descent, false);
  *p++ = static_cast<u8>(font->min_char_or_byte2);
  *p++ = static_cast<u8>(font->max_char_or_byte2);
  *p++ = static_cast<u8>(font->min_byte1);
  *p++ = static_cast<u8>(font->max_byte1);
  *p++ = static_cast<u8>((font->direction == FontRightToLeft ? 1 : 0) | (font->all_chars_exist ? 0 : 2));
  *p++ = compact ? 1 : 0;
  p = putMetrics(p, font->min_bounds, compact);
  p = putMetrics(p, font->max_bounds, compact);
  for (size_t g = 0; g < glyphs; g++) p = putMetrics(p, font->per_char[g], compact);
  return blob;
}

XFontStruct* xfontUnpackMetrics(const u8* blob, size_t size) {
  if (!blob || size < kMetricsHeader) return nullptr;
  bool compact = blob[11] == 1;
  size_t w = compact ? 1 : 2;
  if (size < kMetricsHeader + 10 * w) return nullptr;
  size_t glyphs = (size - kMetricsHeader) / (5 * w) - 2;
  unsigned min2 = blob[6], max2 = blob[7], min1 = blob[8], max1 = blob[9];
  size_t promised = max1 >= min1 && max2 >= min2 ? (max1 - min1 + 1) * (max2 - min2 + 1) : 0;
  // Per-character metrics are indexed through the ranges: they must all be
  // there.
  if (glyphs > 0 && (promised == 0 || promised > glyphs)) return nullptr;
  auto* font = static_cast<XFontStruct*>(calloc(1, sizeof(XFontStruct) + glyphs * sizeof(XCharStruct)));
  if (!font) {
    PALVON_OOM();
    return nullptr;
  }
  const u8* p = blob;
  font->default_char = static_cast<u16>(getValue(&p, false));
  font->ascent = getValue(&p, false);
  font->descent = getValue(&p, false);
  font->min_char_or_byte2 = min2;
  font->max_char_or_byte2 = max2;
  font->min_byte1 = min1;
  font->max_byte1 = max1;
  font->direction = (blob[10] & 1) ? FontRightToLeft : FontLeftToRight;
  font->all_chars_exist = (blob[10] & 2) ? False : True;
  p = blob + kMetricsHeader;
  font->min_bounds = getMetrics(&p, compact);
  font->max_bounds = getMetrics(&p, compact);
  if (glyphs > 0) {
    font->per_char = reinterpret_cast<XCharStruct*>(font + 1);
    for (size_t g = 0; g < glyphs; g++) font->per_char[g] = getMetrics(&p, compact);
  }
  return font;
}

}  // namespace palvon
