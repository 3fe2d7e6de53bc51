// Font helpers against Xvfb with the misc bitmap fonts: text boxes against
// drawn ink, the glyph atlas against glyphs drawn one by one, metrics
// packing of real fonts, glyph cursor images and XLFD properties.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>

#include "support/xvfb.h"
#include "xsupport/xfont.h"
#include "xsupport/ximage.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

constexpr const char* kLatinFont = "-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1";

class FontOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.ok()) << xvfb_.error();
    display_ = XOpenDisplay(xvfb_.display().c_str());
    ASSERT_NE(display_, nullptr);
    font_ = XLoadQueryFont(display_, kLatinFont);
    ASSERT_NE(font_, nullptr) << "xfonts-base missing";
  }
  void TearDown() override {
    if (font_) XFreeFont(display_, font_);
    if (display_) XCloseDisplay(display_);
  }
  // A cleared depth-1 pixmap and a GC drawing 1 with the font.
  Pixmap blankBitmap(unsigned width, unsigned height, GC* gc) {
    Pixmap pixmap = XCreatePixmap(display_, DefaultRootWindow(display_), width, height, 1);
    XGCValues values = {};
    values.foreground = 0;
    values.font = font_->fid;
    *gc = XCreateGC(display_, pixmap, GCForeground | GCFont, &values);
    XFillRectangle(display_, pixmap, *gc, 0, 0, width, height);
    XSetForeground(display_, *gc, 1);
    return pixmap;
  }
  XImage* readBack(Pixmap pixmap, unsigned width, unsigned height) {
    XImage* image = XGetImage(display_, pixmap, 0, 0, width, height, 1, ZPixmap);
    if (image) ximageSetPixelFuncs(image);
    return image;
  }

  test::Xvfb xvfb_;
  Display* display_ = nullptr;
  XFontStruct* font_ = nullptr;
};

// The ink box is where drawing actually sets pixels.
TEST_F(FontOnXvfb, InkBoxBoundsTheDrawnText) {
  const char* texts[] = {"Hg", "|_|", "W", "jq,"};
  for (const char* text : texts) {
    XRectangle box;
    xfontTextInkBox(display_, font_, 20, 30, text, static_cast<int>(strlen(text)), 8, &box);
    GC gc;
    Pixmap pixmap = blankBitmap(100, 60, &gc);
    XDrawString(display_, pixmap, gc, 20, 30, text, static_cast<int>(strlen(text)));
    XImage* image = readBack(pixmap, 100, 60);
    ASSERT_NE(image, nullptr);
    int left = 100, top = 60, right = -1, bottom = -1;
    for (int y = 0; y < 60; y++) {
      for (int x = 0; x < 100; x++) {
        if (!XGetPixel(image, x, y)) continue;
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
    EXPECT_EQ(box.x, left) << text;
    EXPECT_EQ(box.y, top) << text;
    EXPECT_EQ(box.width, right - left + 1) << text;
    EXPECT_EQ(box.height, bottom - top + 1) << text;
    XRectangle logical;
    xfontTextBox(font_, 20, 30, text, static_cast<int>(strlen(text)), 8, &logical);
    EXPECT_EQ(logical.width, XTextWidth(font_, text, static_cast<int>(strlen(text)))) << text;
    EXPECT_LE(logical.y, box.y) << text;
    EXPECT_GE(logical.y + logical.height, box.y + box.height) << text;
    XDestroyImage(image);
    XFreeGC(display_, gc);
    XFreePixmap(display_, pixmap);
  }
  XChar2b wide[2] = {{0, 'A'}, {0, 'y'}};
  XRectangle wideBox, narrowBox;
  xfontTextInkBox(display_, font_, 0, 0, reinterpret_cast<char*>(wide), 2, 16, &wideBox);
  xfontTextInkBox(display_, font_, 0, 0, "Ay", 2, 8, &narrowBox);
  EXPECT_EQ(std::memcmp(&wideBox, &narrowBox, sizeof wideBox), 0);
}

// Drawing every glyph on its own at its box reproduces the atlas exactly.
TEST_F(FontOnXvfb, AtlasEqualsGlyphsDrawnOneByOne) {
  GlyphBox* boxes = nullptr;
  u32 width = 0, height = 0;
  Pixmap atlas = xfontGlyphAtlas(display_, 0, font_, &width, &height, &boxes);
  ASSERT_NE(atlas, 0u);
  ASSERT_NE(boxes, nullptr);
  EXPECT_LE(width, 3999u);
  u32 count = (font_->max_byte1 - font_->min_byte1 + 1) * (font_->max_char_or_byte2 - font_->min_char_or_byte2 + 1);
  GC gc;
  Pixmap single = blankBitmap(width, height, &gc);
  int drawn = 0;
  for (u32 g = 0; g < count; g++) {
    if (boxes[g].x == 65535) continue;
    const XCharStruct& m = font_->per_char ? font_->per_char[g] : font_->max_bounds;
    EXPECT_EQ(boxes[g].width, m.rbearing - m.lbearing);
    EXPECT_EQ(boxes[g].height, m.ascent + m.descent);
    XChar2b c = {static_cast<unsigned char>(font_->min_byte1 + g / (font_->max_char_or_byte2 - font_->min_char_or_byte2 + 1)),
                 static_cast<unsigned char>(font_->min_char_or_byte2 +
                                            g % (font_->max_char_or_byte2 - font_->min_char_or_byte2 + 1))};
    XDrawString16(display_, single, gc, boxes[g].x - m.lbearing, boxes[g].y + m.ascent, &c, 1);
    drawn++;
  }
  EXPECT_GT(drawn, 190);
  XImage* fromAtlas = readBack(atlas, width, height);
  XImage* fromSingles = readBack(single, width, height);
  ASSERT_TRUE(fromAtlas && fromSingles);
  int differ = 0, set = 0;
  for (u32 y = 0; y < height; y++) {
    for (u32 x = 0; x < width; x++) {
      unsigned long a = XGetPixel(fromAtlas, static_cast<int>(x), static_cast<int>(y));
      differ += a != XGetPixel(fromSingles, static_cast<int>(x), static_cast<int>(y));
      set += a != 0;
    }
  }
  EXPECT_EQ(differ, 0);
  EXPECT_GT(set, 1000);

  u32 imageWidth = 0;
  GlyphBox* imageBoxes = nullptr;
  XImage* image = xfontGlyphAtlasImage(display_, font_, &imageBoxes);
  ASSERT_NE(image, nullptr);
  imageWidth = static_cast<u32>(image->width);
  EXPECT_EQ(imageWidth, width);
  EXPECT_EQ(std::memcmp(imageBoxes, boxes, count * sizeof(GlyphBox)), 0);
  XDestroyImage(image);
  free(imageBoxes);
  XDestroyImage(fromAtlas);
  XDestroyImage(fromSingles);
  XFreeGC(display_, gc);
  XFreePixmap(display_, single);
  XFreePixmap(display_, atlas);
  free(boxes);
}

TEST_F(FontOnXvfb, AtlasTallerThanAPixmapIsRefused) {
  // 65,536 glyphs 60 pixels wide and 200 tall need far more than 32,767 rows.
  XFontStruct huge = *font_;
  huge.per_char = nullptr;
  huge.min_byte1 = 0;
  huge.max_byte1 = 255;
  huge.min_char_or_byte2 = 0;
  huge.max_char_or_byte2 = 255;
  huge.min_bounds.lbearing = 0;
  huge.max_bounds.rbearing = 60;
  huge.max_bounds.ascent = 150;
  huge.max_bounds.descent = 50;
  GlyphBox* boxes = nullptr;
  u32 width = 0, height = 0;
  EXPECT_EQ(xfontGlyphAtlas(display_, 0, &huge, &width, &height, &boxes), 0u);
  EXPECT_EQ(boxes, nullptr);
}

TEST_F(FontOnXvfb, MetricsOfRealFontsSurvivePacking) {
  for (const char* name : {kLatinFont, "-misc-fixed-bold-r-normal--18-120-100-100-c-90-iso8859-1", "cursor"}) {
    XFontStruct* font = XLoadQueryFont(display_, name);
    if (!font) continue;
    size_t size = 0;
    u8* blob = xfontPackMetrics(font, &size);
    ASSERT_NE(blob, nullptr) << name;
    XFontStruct* back = xfontUnpackMetrics(blob, size);
    ASSERT_NE(back, nullptr) << name;
    EXPECT_TRUE(back->ascent == font->ascent && back->descent == font->descent &&
                back->default_char == font->default_char && back->all_chars_exist == font->all_chars_exist &&
                back->min_byte1 == font->min_byte1 && back->max_char_or_byte2 == font->max_char_or_byte2)
        << name;
    u32 count = (font->max_byte1 - font->min_byte1 + 1) * (font->max_char_or_byte2 - font->min_char_or_byte2 + 1);
    ASSERT_EQ(back->per_char != nullptr, font->per_char != nullptr) << name;
    for (u32 g = 0; font->per_char && g < count; g++) {
      const XCharStruct& a = font->per_char[g];
      const XCharStruct& b = back->per_char[g];
      ASSERT_TRUE(a.lbearing == b.lbearing && a.rbearing == b.rbearing && a.width == b.width &&
                  a.ascent == b.ascent && a.descent == b.descent)
          << name << " glyph " << g;
    }
    free(back);
    free(blob);
    XFreeFont(display_, font);
  }
}

TEST_F(FontOnXvfb, GlyphCursorImagesShareOneBox) {
  Font cursor = XLoadFont(display_, "cursor");
  GlyphCursorImages images;
  ASSERT_TRUE(xfontGlyphCursorImages(display_, cursor, 68, cursor, 69, &images));  // left pointer
  ASSERT_TRUE(images.source && images.mask);
  ASSERT_TRUE(images.source->width == int(images.width) && images.mask->height == int(images.height));
  EXPECT_GE(images.width, 8u);
  int source = 0, outsideMask = 0;
  for (u32 y = 0; y < images.height; y++) {
    for (u32 x = 0; x < images.width; x++) {
      bool s = XGetPixel(images.source, static_cast<int>(x), static_cast<int>(y)) != 0;
      bool m = XGetPixel(images.mask, static_cast<int>(x), static_cast<int>(y)) != 0;
      source += s;
      outsideMask += s && !m;
    }
  }
  EXPECT_GT(source, 10);
  EXPECT_EQ(outsideMask, 0);  // the mask covers the pointer
  XDestroyImage(images.source);
  XDestroyImage(images.mask);
  XFontStruct* info = XQueryFont(display_, cursor);
  // The hot spot is the origin inside the union of both glyph boxes.
  u32 w, h;
  i32 ox, oy, mx, my;
  ASSERT_EQ(xfontCharBox(info, 68, &w, &h, &ox, &oy), 1);
  ASSERT_EQ(xfontCharBox(info, 69, &w, &h, &mx, &my), 1);
  EXPECT_EQ(images.hotX, std::max(ox, mx));
  EXPECT_EQ(images.hotY, std::max(oy, my));
  XFreeFontInfo(nullptr, info, 1);
  XUnloadFont(display_, cursor);
}

TEST_F(FontOnXvfb, XlfdFieldsFromFontProperties) {
  XlfdFields* fields = xfontGetXLFDFields(display_, font_);
  ASSERT_NE(fields, nullptr);
  char* name = xfontFormatXLFD(fields);
  EXPECT_STRCASEEQ(name, kLatinFont);
  EXPECT_EQ(fields->pixelSize, 13);
  free(name);
  xfontFreeXLFDFields(fields);
}

}  // namespace
}  // namespace palvon
