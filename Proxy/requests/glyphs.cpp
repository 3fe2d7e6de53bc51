// Glyph pixmaps of fonts on the heads that draw text themselves.
#include "Proxy/requests/glyphs.h"

#include <X11/Xproto.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/config/config.h"
#include "Proxy/resources/records.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/visuals/pixels.h"
#include "base/logging.h"
#include "xsupport/ximage.h"

namespace palvon {

u32 fontHeadGlyphEntries;

namespace {

constexpr u16 kNoGlyph = 65535;

void destroyGlyphImages(FontGlyphImages* images) {
  if (!images) return;
  if (images->atlas) XDestroyImage(images->atlas);
  std::free(images->boxes);
  std::free(images);
}

const char* brokenText(Display* display, const char* file, int line) {
  const char* name = display ? DisplayString(display) : "";
  unsigned long sent = display ? NextRequest(display) - 1 : 0;
  unsigned long processed = display ? LastKnownRequestProcessed(display) : 0;
  return tmpPrintf(
      "Broken connection to display %s (%u requests, %u processed, %s:%d) - Maybe the X server has been stopped or "
      "is unavailable",
      name, u32(sent), u32(processed), sourceModule(file), line);
}

// A depth-1 pixmap holding the image, through the proxy's own connection;
// 0 when the connection broke.
Pixmap imageToPixmap(XImage* image, Display* display, int screen) {
  if (image->width < 1 || image->height < 1) return 0;
  Pixmap pixmap = XfsCreatePixmap(display, RootWindow(display, screen), u32(image->width), u32(image->height),
                                  u32(image->depth));
  if (!pixmap) return 0;
  GC gc = XfsCreateGC(display, pixmap, 0, nullptr);
  if (!gc) return 0;
  XfsPutImage(display, pixmap, gc, image, 0, 0, 0, 0, u32(image->width), u32(image->height));
  XfsFreeGC(display, gc);
  return isDisplayOffline(display) ? 0 : pixmap;
}

bool xlfdKnown(const XlfdFields* f) {
  const char* texts[] = {f->foundry, f->family, f->weight, f->slant, f->setWidth, f->addStyle, f->spacing,
                         f->registry, f->encoding};
  for (const char* text : texts)
    if (!text) return false;
  const i32 sizes[] = {f->pixelSize, f->pointSize, f->resolutionX, f->resolutionY, f->averageWidth};
  for (i32 size : sizes)
    if (size == kXlfdNone) return false;
  return true;
}

// A server's scaled font draws each glyph where its own metrics say, which
// need not be the client's metrics scaled (a scaled bitmap font inks rows
// the client's glyph has no room for): the text engine places such a glyph
// by the head's metrics around the scaled origin. Null when memory runs out.
XCharStruct* copyHeadMetrics(const XFontStruct* scaled, u32 count) {
  auto* metrics = static_cast<XCharStruct*>(std::malloc(sizeof(XCharStruct) * (count ? count : 1)));
  if (!metrics) return nullptr;
  for (u32 g = 0; g < count; g++) metrics[g] = scaled->per_char ? scaled->per_char[g] : scaled->max_bounds;
  return metrics;
}

// The glyphs of the font's scaled server form on the head (an unrotated
// zoomed head may use the server's own scaling of the font): 0 when there
// is no such font with the same glyphs.
Pixmap scaledFontPixmap(const FontRecord* font, Head* head, FontHeadGlyphs* entry) {
  Display* fonts = fontDisplay ? fontDisplay->display : nullptr;
  if (!fonts || !font->fontInfo) return 0;
  XlfdFields* fields = xfontGetXLFDFields(fonts, font->fontInfo);
  if (!fields || !xlfdKnown(fields)) {
    xfontFreeXLFDFields(fields);
    return 0;
  }
  const HeadScaler* s = head->scaler;
  fields->pixelSize = i32(scaleLengthY(s, u32(std::max(fields->pixelSize, 0))));
  fields->pointSize = kXlfdNone;
  if (fields->averageWidth > 0) fields->averageWidth = i32(scaleLengthX(s, u32(fields->averageWidth)));
  char* name = xfontFormatXLFD(fields);
  xfontFreeXLFDFields(fields);
  XFontStruct* scaled = name ? XfsLoadQueryFont(fonts, name) : nullptr;
  std::free(name);
  if (!scaled) return 0;
  Pixmap pixmap = 0;
  if (fontGlyphCount(scaled) == entry->glyphCount) {
    GlyphBox* boxes = entry->boxes;
    if (head->serverDisplay == fontDisplay) {
      u32 width = 0, height = 0;
      pixmap = xfontGlyphAtlas(head->display, int(head->screen), scaled, &width, &height, &boxes);
    } else if (XImage* image = xfontGlyphAtlasImage(fonts, scaled, &boxes)) {
      pixmap = imageToPixmap(image, head->display, int(head->screen));
      XDestroyImage(image);
    }
    if (pixmap && !(entry->metrics = copyHeadMetrics(scaled, entry->glyphCount))) {
      XfsFreePixmap(head->display, pixmap);
      pixmap = 0;
    }
  }
  XfsFreeFont(fonts, scaled);
  return pixmap;
}

// The font's own glyph images scaled and turned for the head.
const char* convertedFontPixmap(FontRecord* font, Head* head, FontHeadGlyphs* entry, Pixmap* out) {
  *out = 0;
  if (!font->glyphImages) {
    if (const char* error = makeFontGlyphImages(font)) return error;
  }
  FontGlyphImages* images = font->glyphImages;
  if (images->count != entry->glyphCount) return PALVON_OOM();
  XImage* atlas = images->atlas;
  u16 width = u16(atlas->width), height = u16(atlas->height);
  HeadScaler* s = head->scaler;
  if (s) scaleSize(s, &width, &height);
  XImage* image = convertImageForHead(atlas, nullptr, head, width, height);
  if (!image) return PALVON_OOM();
  *out = imageToPixmap(image, head->display, int(head->screen));
  if (image != atlas) XDestroyImage(image);
  if (!*out) return brokenText(head->display, __FILE__, __LINE__);
  std::memcpy(entry->boxes, images->boxes, sizeof(GlyphBox) * entry->glyphCount);
  if (!s) return nullptr;
  setScalerFrame(s, 0, 0, u32(atlas->width), u32(atlas->height));
  for (u32 g = 0; g < entry->glyphCount; g++) {
    GlyphBox& box = entry->boxes[g];
    if (box.x == kNoGlyph) continue;
    xRectangle r{i16(box.x), i16(box.y), box.width, box.height};
    scaleShapeRectangles(s, &r, 1);
    box = {u16(r.x), u16(r.y), r.width, r.height};
  }
  return nullptr;
}

}  // namespace

u32 fontGlyphCount(const XFontStruct* font) {
  if (!font || font->max_byte1 < font->min_byte1 || font->max_char_or_byte2 < font->min_char_or_byte2) return 0;
  return (font->max_byte1 - font->min_byte1 + 1) * (font->max_char_or_byte2 - font->min_char_or_byte2 + 1);
}

i32 fontGlyphIndex(const XFontStruct* font, u32 code) {
  u32 row = code >> 8, column = code & 0xff;
  if (row < font->min_byte1 || row > font->max_byte1 || column < font->min_char_or_byte2 ||
      column > font->max_char_or_byte2)
    return -1;
  u32 columns = font->max_char_or_byte2 - font->min_char_or_byte2 + 1;
  return i32((row - font->min_byte1) * columns + (column - font->min_char_or_byte2));
}

const char* makeFontGlyphImages(FontRecord* font) {
  if (font->glyphImages) return nullptr;
  Display* display = fontDisplay ? fontDisplay->display : nullptr;
  if (!display || !font->fontInfo) return nullptr;
  auto* images = static_cast<FontGlyphImages*>(memCalloc(1, sizeof(FontGlyphImages)));
  if (!images) return PALVON_OOM();
  images->count = fontGlyphCount(font->fontInfo);
  images->atlas = xfontGlyphAtlasImage(display, font->fontInfo, &images->boxes);
  if (!images->atlas) {
    destroyGlyphImages(images);
    return isDisplayOffline(display) ? brokenText(display, __FILE__, __LINE__) : PALVON_OOM();
  }
  font->glyphImages = images;
  font->destroyGlyphImages = destroyGlyphImages;
  return nullptr;
}

FontHeadGlyphs* findFontHeadGlyphs(const FontRecord* font, const Head* head) {
  for (FontHeadGlyphs* entry = font ? font->headGlyphs : nullptr; entry; entry = entry->next)
    if (entry->head == head) return entry;
  return nullptr;
}

const char* openFontOnHead(FontRecord* font, Head* head) {
  if (findFontHeadGlyphs(font, head)) return nullptr;
  Display* display = head->display;
  if (!display || isDisplayOffline(display)) return brokenText(display, __FILE__, __LINE__);
  u32 count = fontGlyphCount(font->fontInfo);
  auto* entry = static_cast<FontHeadGlyphs*>(memCalloc(1, sizeof(FontHeadGlyphs) + sizeof(GlyphBox) * count));
  if (!entry) return PALVON_OOM();
  entry->head = head;
  entry->boxes = reinterpret_cast<GlyphBox*>(entry + 1);
  entry->glyphCount = count;
  const HeadScaler* s = head->scaler;
  Pixmap pixmap = 0;
  if (s && s->rotation == 0 && !(head->tags & kTagZoomedFonts)) pixmap = scaledFontPixmap(font, head, entry);
  if (!pixmap) {
    if (const char* error = convertedFontPixmap(font, head, entry, &pixmap)) {
      std::free(entry);
      return error;
    }
  }
  entry->pixmap = u32(pixmap);
  DisplayMarker marker;
  markDisplayRequest(display, &marker);
  entry->markerSerial = u32(marker.request);
  entry->markerWindow = u32(marker.window);
  entry->next = nullptr;
  if (FontHeadGlyphs* first = font->headGlyphs) {
    FontHeadGlyphs* last = first;
    while (last->next) last = last->next;
    last->next = entry;
    entry->previous = last;
  } else {
    font->headGlyphs = entry;
  }
  fontHeadGlyphEntries++;
  return nullptr;
}

namespace {

// The default font record and the display it was loaded on.
FontRecord* defaultFont;
Display* defaultFontDisplay;

// Frees a record of the proxy's own whose display is gone: nothing is left
// on any server to free.
void forgetDefaultFont() {
  if (!defaultFont) return;
  if (defaultFont->glyphImages && defaultFont->destroyGlyphImages)
    defaultFont->destroyGlyphImages(defaultFont->glyphImages);
  while (FontHeadGlyphs* entry = defaultFont->headGlyphs) {
    defaultFont->headGlyphs = entry->next;
    std::free(entry->metrics);
    std::free(entry);
  }
  XFreeFontInfo(nullptr, defaultFont->fontInfo, 1);
  std::free(defaultFont);
  defaultFont = nullptr;
}

}  // namespace

FontRecord* serverDefaultFont() {
  Display* display = fontDisplay ? fontDisplay->display : nullptr;
  if (display != defaultFontDisplay) {
    // Another font server: what was loaded on the former one is void.
    forgetDefaultFont();
    defaultFontDisplay = display;
    if (!display) return nullptr;
    XFontStruct* info = XfsLoadQueryFont(display, xfontDefaultFontName());
    if (!info) return nullptr;
    defaultFont = static_cast<FontRecord*>(memCalloc(1, sizeof(FontRecord)));
    if (!defaultFont) {
      XfsFreeFont(display, info);
      return nullptr;
    }
    defaultFont->fontInfo = info;
    defaultFont->fontInfoLoaded = 1;
  }
  return defaultFont;
}

bool waitForGlyphs(const FontHeadGlyphs* glyphs) {
  Display* display = glyphs->head ? glyphs->head->display : nullptr;
  if (!display || isDisplayOffline(display)) return false;
  // The marker's request and everything before it have been processed once
  // the connection saw a later serial answered.
  if (i32(u32(LastKnownRequestProcessed(display)) - glyphs->markerSerial) >= 0) return true;
  XfsSync(display, False);
  return !isDisplayOffline(display);
}

}  // namespace palvon
