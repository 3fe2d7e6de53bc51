// Images and colour names against a real server: what the toolkit puts into
// a pixmap comes back unchanged, scaled pixmaps match the client-side
// scaler, and the built-in colour names agree with the server's database.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <string>

#include "support/peers/fakeserver.h"
#include "support/xvfb.h"
#include "xsupport/colornames.h"
#include "xsupport/ximage.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

class ImageOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.ok()) << xvfb_.error();
    display_ = XOpenDisplay(xvfb_.display().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) xtargetCloseDisplay(display_);
  }
  test::Xvfb xvfb_;
  Display* display_ = nullptr;
};

void fillPattern(XImage* image, unsigned long mask) {
  for (int y = 0; y < image->height; y++) {
    for (int x = 0; x < image->width; x++) {
      XPutPixel(image, x, y, (0x9e3779b9UL * static_cast<unsigned long>(y * image->width + x + 1) >> 7) & mask);
    }
  }
}

void expectSamePixels(XImage* a, XImage* b, unsigned long mask, const char* what) {
  ASSERT_EQ(a->width, b->width);
  ASSERT_EQ(a->height, b->height);
  int wrong = 0;
  for (int y = 0; y < a->height; y++) {
    for (int x = 0; x < a->width; x++) wrong += (XGetPixel(a, x, y) & mask) != (XGetPixel(b, x, y) & mask);
  }
  EXPECT_EQ(wrong, 0) << what;
}

TEST_F(ImageOnXvfb, PixmapsHoldWhatWasPut) {
  Visual* visual = DefaultVisual(display_, 0);
  struct {
    const char* what;
    ImageFormat format;
    unsigned long mask;
  } cases[] = {
      {"display format", *ximageFormatForDisplay(display_, ZPixmap, 24, visual), 0xffffff},
      {"other byte order", *ximageFormatForDisplay(display_, ZPixmap, 24, visual), 0xffffff},
      {"bitmap", *ximageBitmapFormat(), 1},
  };
  cases[1].format.byteOrder = MSBFirst;
  cases[1].format.bitOrder = MSBFirst;
  EXPECT_EQ(cases[0].format.bitsPerPixel, 32u);
  for (auto& c : cases) {
    XImage* image = ximageCreateWithData(&c.format, 37, 11);
    ASSERT_NE(image, nullptr) << c.what;
    fillPattern(image, c.mask);
    Pixmap pixmap = ximageToPixmap(image, display_, 0);
    ASSERT_NE(pixmap, 0u) << c.what;
    XImage* back = XGetImage(display_, pixmap, 0, 0, 37, 11, AllPlanes, ZPixmap);
    ASSERT_NE(back, nullptr) << c.what;
    expectSamePixels(image, back, c.mask, c.what);
    XDestroyImage(back);
    XDestroyImage(image);
    XFreePixmap(display_, pixmap);
  }
}

TEST_F(ImageOnXvfb, FormatsOfTheDisplay) {
  XImage probe;
  ASSERT_TRUE(ximageDefaultFormat(display_, &probe));
  EXPECT_EQ(probe.depth, 24);
  EXPECT_EQ(probe.format, XYPixmap);
  EXPECT_EQ(probe.data, nullptr);
  XImage* fits = ximageCreateWithData(ximageFormatForDisplay(display_, ZPixmap, 24, nullptr), 3, 3);
  XImage* packed = ximageCreateWithData(ximageZPixmapFormat(24), 3, 3);
  ASSERT_TRUE(fits && packed);
  EXPECT_TRUE(ximageMatchesDisplay(fits, display_));
  EXPECT_FALSE(ximageMatchesDisplay(packed, display_));  // 24 bits per pixel, pad 8
  XDestroyImage(fits);
  XDestroyImage(packed);

  // The fake server offers pixmap formats of depth 1 and 24 only.
  test::FakeXServer fake;
  ASSERT_TRUE(fake.ok());
  Display* few = XOpenDisplay(fake.display().c_str());
  ASSERT_NE(few, nullptr);
  EXPECT_TRUE(ximageSameFormat(display_, display_, ZPixmap, 16));
  EXPECT_TRUE(ximageSameFormat(display_, few, XYBitmap, 1));
  EXPECT_TRUE(ximageSameFormat(display_, few, ZPixmap, 24));
  EXPECT_FALSE(ximageSameFormat(display_, few, ZPixmap, 16));
  XCloseDisplay(few);
}

TEST_F(ImageOnXvfb, ScaledPixmapMatchesTheClientScaler) {
  XImage* bitmap = ximageCreateWithData(ximageBitmapFormat(), 9, 7);
  ASSERT_NE(bitmap, nullptr);
  for (int y = 1; y < 6; y++) {
    for (int x = 2; x < 8; x++) XPutPixel(bitmap, x, y, (x + y) % 4 != 0);
  }
  Pixmap pixmap = ximageToPixmap(bitmap, display_, 0);
  Pixmap scaled = scalePixmap(display_, pixmap, 2.0, 3.0);
  ASSERT_NE(scaled, 0u);
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  ASSERT_TRUE(XGetGeometry(display_, scaled, &root, &x, &y, &width, &height, &border, &depth));
  EXPECT_EQ(width, 18u);
  EXPECT_EQ(height, 21u);
  EXPECT_EQ(depth, 1u);
  XImage* expected = ximageScaleSmooth(bitmap, 2.0, 3.0);
  XImage* back = XGetImage(display_, scaled, 0, 0, width, height, AllPlanes, ZPixmap);
  ASSERT_TRUE(expected && back);
  expectSamePixels(expected, back, 1, "scaled");
  XDestroyImage(expected);
  XDestroyImage(back);
  XDestroyImage(bitmap);
  XFreePixmap(display_, pixmap);
  XFreePixmap(display_, scaled);
}

TEST_F(ImageOnXvfb, ColourNamesAgreeWithTheServer) {
  FILE* list = fopen("/usr/share/X11/rgb.txt", "r");
  if (!list) GTEST_SKIP() << "no rgb.txt";
  Colormap colormap = DefaultColormap(display_, 0);
  char line[256];
  int checked = 0;
  while (fgets(line, sizeof line, list)) {
    int r, g, b, used = 0;
    if (line[0] == '!' || sscanf(line, "%d %d %d %n", &r, &g, &b, &used) != 3) continue;
    std::string name(line + used);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (name == "DebianRed") continue;
    u16 red, green, blue;
    ASSERT_EQ(colorLookupName(name.data(), name.size(), &red, &green, &blue), 1) << name;
    XColor exact, screen;
    ASSERT_TRUE(XLookupColor(display_, colormap, name.c_str(), &exact, &screen)) << name;
    EXPECT_EQ(red, exact.red) << name;
    EXPECT_EQ(green, exact.green) << name;
    EXPECT_EQ(blue, exact.blue) << name;
    checked++;
  }
  fclose(list);
  EXPECT_EQ(checked, 752);
}

}  // namespace
}  // namespace palvon
