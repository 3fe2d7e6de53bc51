// Client-side images without a server: pixel callbacks against Xlib's own
// accessors, copies with conversion, rotations, reductions and limits.
#include <gtest/gtest.h>

#include <X11/Xutil.h>

#include <cstring>
#include <vector>

#include "xsupport/ximage.h"

namespace palvon {
namespace {

struct ImageHolder {
  XImage image = {};
  std::vector<char> data;
};

// An image over zeroed data of the given layout.
void makeImage(ImageHolder* h, int format, int depth, int bpp, int byteOrder, int bitOrder, int width, int height,
               int xOffset = 0, u32 pad = 32) {
  ImageFormat f = {static_cast<u32>(format), static_cast<u32>(depth), static_cast<u32>(bpp), 32,
                   static_cast<u32>(byteOrder), static_cast<u32>(bitOrder), pad, 0, 0, 0};
  ASSERT_TRUE(ximageInit(&h->image, width, height, xOffset, nullptr, &f));
  size_t size = static_cast<size_t>(h->image.bytes_per_line) * static_cast<size_t>(height);
  h->data.assign(h->image.data, h->image.data + size);
  free(h->image.data);
  h->image.data = h->data.data();
  std::memset(h->image.data, 0, size);
}

// The same image with Xlib's generic accessors.
XImage withXlibAccessors(const XImage& image) {
  XImage copy = image;
  EXPECT_TRUE(XInitImage(&copy));
  return copy;
}

struct PixelCase {
  const char* name;
  int format, depth, bpp, byteOrder, bitOrder, xOffset;
};

class PixelCallbacks : public ::testing::TestWithParam<PixelCase> {};

TEST_P(PixelCallbacks, AgreeWithXlib) {
  const PixelCase& c = GetParam();
  ImageHolder h;
  makeImage(&h, c.format, c.depth, c.bpp, c.byteOrder, c.bitOrder, 13, 5, c.xOffset);
  XImage reference = withXlibAccessors(h.image);
  unsigned long mask = c.depth == 32 ? 0xffffffffUL : (1UL << c.depth) - 1;
  // Written through ours, read through Xlib's, and the other way round.
  for (int y = 0; y < 5; y++) {
    for (int x = 0; x < 13; x++) {
      unsigned long value = (0x9e3779b9UL * static_cast<unsigned long>(y * 13 + x + 1)) & mask;
      EXPECT_EQ(XPutPixel(&h.image, x, y, value), 1);
      EXPECT_EQ(XGetPixel(&reference, x, y), value) << c.name << " at " << x << "," << y;
      XPutPixel(&reference, x, y, value ^ mask);
      EXPECT_EQ(XGetPixel(&h.image, x, y), value ^ mask) << c.name << " at " << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PixelCallbacks,
                         ::testing::Values(PixelCase{"1msb", XYBitmap, 1, 1, MSBFirst, MSBFirst, 0},
                                           PixelCase{"1msbOffset", XYBitmap, 1, 1, MSBFirst, MSBFirst, 3},
                                           PixelCase{"1lsb", ZPixmap, 1, 1, LSBFirst, LSBFirst, 0},
                                           PixelCase{"1lsbOffset", XYPixmap, 1, 1, LSBFirst, LSBFirst, 5},
                                           PixelCase{"8", ZPixmap, 8, 8, LSBFirst, LSBFirst, 0},
                                           PixelCase{"32native", ZPixmap, 24, 32, LSBFirst, LSBFirst, 0},
                                           PixelCase{"32msb", ZPixmap, 24, 32, MSBFirst, MSBFirst, 0},
                                           PixelCase{"16keptByXlib", ZPixmap, 16, 16, MSBFirst, MSBFirst, 0},
                                           PixelCase{"1mixedKeptByXlib", XYBitmap, 1, 1, MSBFirst, LSBFirst, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Copies ---------------------------------------------------------------------

struct CopyCase {
  const char* name;
  int bpp, depth, fromOrder, toOrder;
};

class ByteCopies : public ::testing::TestWithParam<CopyCase> {};

// Whole-image and part copies keep every pixel value across byte orders:
// the bytes of 16-, 24- and 32-bit pixels are swapped on the way.
TEST_P(ByteCopies, KeepPixelValues) {
  const CopyCase& c = GetParam();
  ImageHolder from, whole, part;
  makeImage(&from, ZPixmap, c.depth, c.bpp, c.fromOrder, c.fromOrder, 7, 4);
  makeImage(&whole, ZPixmap, c.depth, c.bpp, c.toOrder, c.toOrder, 7, 4);
  makeImage(&part, ZPixmap, c.depth, c.bpp, c.toOrder, c.toOrder, 9, 6);
  XImage fromX = withXlibAccessors(from.image), wholeX = withXlibAccessors(whole.image),
         partX = withXlibAccessors(part.image);
  unsigned long mask = (1UL << c.depth) - 1;
  for (int y = 0; y < 4; y++) {
    for (int x = 0; x < 7; x++) XPutPixel(&fromX, x, y, (0x123457UL * (x + 7 * y + 1)) & mask);
  }
  ximageCopyAll(&from.image, &whole.image, 0, 0);
  ximageCopy(&from.image, 1, 1, 5, 3, &part.image, 2, 3);
  for (int y = 0; y < 4; y++) {
    for (int x = 0; x < 7; x++) {
      EXPECT_EQ(XGetPixel(&wholeX, x, y), XGetPixel(&fromX, x, y)) << c.name;
      bool inPart = x >= 1 && x < 6 && y >= 1;
      if (inPart) {
        EXPECT_EQ(XGetPixel(&partX, x + 1, y + 2), XGetPixel(&fromX, x, y)) << c.name;
      }
    }
  }
  EXPECT_EQ(XGetPixel(&partX, 1, 3), 0u);  // left of the part stays untouched
}

INSTANTIATE_TEST_SUITE_P(Orders, ByteCopies,
                         ::testing::Values(CopyCase{"same32", 32, 24, LSBFirst, LSBFirst},
                                           CopyCase{"swap32", 32, 24, LSBFirst, MSBFirst},
                                           CopyCase{"swap24", 24, 24, MSBFirst, LSBFirst},
                                           CopyCase{"swap16", 16, 16, LSBFirst, MSBFirst},
                                           CopyCase{"same8", 8, 8, MSBFirst, MSBFirst}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageCopy, RescalesChannelsBetweenMaskWidths) {
  ImageHolder p565, p888, back;
  makeImage(&p565, ZPixmap, 16, 16, LSBFirst, LSBFirst, 4, 1);
  makeImage(&p888, ZPixmap, 24, 32, LSBFirst, LSBFirst, 4, 1);
  makeImage(&back, ZPixmap, 16, 16, LSBFirst, LSBFirst, 4, 1);
  for (XImage* image : {&p565.image, &back.image}) {
    image->red_mask = 0xF800;
    image->green_mask = 0x07E0;
    image->blue_mask = 0x001F;
  }
  p888.image.red_mask = 0xFF0000;
  p888.image.green_mask = 0x00FF00;
  p888.image.blue_mask = 0x0000FF;
  const unsigned long pixels[4] = {0xF800, 0x07E0, 0x001F, 0x8410};
  const unsigned long wide[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0x848284};
  for (int x = 0; x < 4; x++) XPutPixel(&p565.image, x, 0, pixels[x]);
  ximageCopyAll(&p565.image, &p888.image, 0, 0);
  ximageCopyAll(&p888.image, &back.image, 0, 0);
  for (int x = 0; x < 4; x++) {
    EXPECT_EQ(XGetPixel(&p888.image, x, 0), wide[x]) << x;
    EXPECT_EQ(XGetPixel(&back.image, x, 0), pixels[x]) << x;
  }
}

TEST(ImageCopy, ClipsToBothImages) {
  ImageHolder from, to;
  makeImage(&from, ZPixmap, 8, 8, LSBFirst, LSBFirst, 4, 4);
  makeImage(&to, ZPixmap, 8, 8, LSBFirst, LSBFirst, 3, 3);
  std::memset(from.image.data, 7, static_cast<size_t>(from.image.bytes_per_line) * 4);
  ximageCopy(&from.image, -2, 0, 10, 10, &to.image, 1, -1);
  // Source column 0 lands at destination column 3 (outside); row 1 at row 0.
  EXPECT_EQ(XGetPixel(&to.image, 0, 0), 0u);
  EXPECT_EQ(XGetPixel(&to.image, 2, 0), 0u);
  ximageCopy(&from.image, 0, 0, 10, 10, &to.image, 1, 1);
  EXPECT_EQ(XGetPixel(&to.image, 0, 0), 0u);
  EXPECT_EQ(XGetPixel(&to.image, 2, 2), 7u);
}

// --- Scaled copies and rotations ---------------------------------------------------

// A 5x3 image whose pixels are 1..15 in reading order.
void labelled(ImageHolder* h) {
  makeImage(h, ZPixmap, 8, 8, LSBFirst, LSBFirst, 5, 3);
  for (int y = 0; y < 3; y++) {
    for (int x = 0; x < 5; x++) XPutPixel(&h->image, x, y, static_cast<unsigned long>(y * 5 + x + 1));
  }
}

std::vector<int> pixelsOf(XImage* image) {
  std::vector<int> out;
  for (int y = 0; y < image->height; y++) {
    for (int x = 0; x < image->width; x++) out.push_back(static_cast<int>(XGetPixel(image, x, y)));
  }
  return out;
}

TEST(ImageScale, RotatesByQuarterTurns) {
  ImageHolder source;
  labelled(&source);
  struct {
    int rotation, width, height;
    std::vector<int> expected;
  } cases[] = {
      {1, 3, 5, {5, 10, 15, 4, 9, 14, 3, 8, 13, 2, 7, 12, 1, 6, 11}},
      {2, 5, 3, {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {3, 3, 5, {11, 6, 1, 12, 7, 2, 13, 8, 3, 14, 9, 4, 15, 10, 5}},
  };
  for (auto& c : cases) {
    ImageHolder target;
    makeImage(&target, ZPixmap, 8, 8, LSBFirst, LSBFirst, c.width, c.height);
    ASSERT_EQ(ximageCopyScaled(&source.image, 0, 0, 5, 3, &target.image, 0, 0, c.width, c.height, c.rotation), 1);
    EXPECT_EQ(pixelsOf(&target.image), c.expected) << "rotation " << c.rotation;
  }
}

TEST(ImageScale, EnlargesByIntegerFactorsAndNearestNeighbour) {
  ImageHolder source;
  labelled(&source);
  ImageHolder twice, nearest;
  makeImage(&twice, ZPixmap, 8, 8, LSBFirst, LSBFirst, 10, 6);
  makeImage(&nearest, ZPixmap, 8, 8, LSBFirst, LSBFirst, 10, 6);
  ASSERT_EQ(ximageCopyScaled(&source.image, 0, 0, 5, 3, &twice.image, 0, 0, 10, 6, 0), 1);
  // The same enlargement cut into by the destination edge goes through the
  // tables and must give the same pixels.
  ASSERT_EQ(ximageCopyScaled(&source.image, 0, 0, 5, 3, &nearest.image, -2, 0, 12, 6, 0), 1);
  for (int y = 0; y < 6; y++) {
    for (int x = 0; x < 10; x++) {
      EXPECT_EQ(XGetPixel(&twice.image, x, y), static_cast<unsigned long>(y / 2 * 5 + x / 2 + 1));
    }
  }
  EXPECT_EQ(XGetPixel(&nearest.image, 0, 0), 2u);  // column 2 of 12 is source column 1

  // Pixel bytes are only repeated as they are when both byte orders agree.
  ImageHolder lsb, msb;
  makeImage(&lsb, ZPixmap, 24, 32, LSBFirst, LSBFirst, 2, 1);
  makeImage(&msb, ZPixmap, 24, 32, MSBFirst, MSBFirst, 4, 2);
  XPutPixel(&lsb.image, 0, 0, 0x123456);
  XPutPixel(&lsb.image, 1, 0, 0xabcdef);
  ASSERT_EQ(ximageCopyScaled(&lsb.image, 0, 0, 2, 1, &msb.image, 0, 0, 4, 2, 0), 1);
  EXPECT_EQ(XGetPixel(&msb.image, 1, 1), 0x123456u);
  EXPECT_EQ(XGetPixel(&msb.image, 2, 0), 0xabcdefu);
}

TEST(ImageScale, ReductionKeepsOnePixelLines) {
  ImageHolder source, reduced;
  makeImage(&source, XYBitmap, 1, 1, MSBFirst, MSBFirst, 16, 16);
  makeImage(&reduced, XYBitmap, 1, 1, MSBFirst, MSBFirst, 8, 8);
  for (int i = 0; i < 16; i++) {
    XPutPixel(&source.image, 4, i, 1);   // a column that every other-column sample misses
    XPutPixel(&source.image, i, 10, 1);  // and a row likewise
  }
  std::memset(reduced.image.data, 0xff, static_cast<size_t>(reduced.image.bytes_per_line) * 8);
  ASSERT_EQ(ximageCopyScaled(&source.image, 0, 0, 16, 16, &reduced.image, 0, 0, 8, 8, 0), 1);
  for (int y = 0; y < 8; y++) {
    for (int x = 0; x < 8; x++) {
      EXPECT_EQ(XGetPixel(&reduced.image, x, y), (x == 2 || y == 5) ? 1u : 0u) << x << "," << y;
    }
  }
}

TEST(ImageScale, RefusesExtentsBeyondTheTables) {
  XImage* wide = ximageCreateWithData(ximageZPixmapFormat(8), 40000, 2);
  XImage* small = ximageCreateWithData(ximageZPixmapFormat(8), 100, 2);
  XImage* target = ximageCreateWithData(ximageZPixmapFormat(8), 33001, 2);
  XImage* bits = ximageCreateWithData(ximageBitmapFormat(), 40000, 2);
  XImage* bitsSmall = ximageCreateWithData(ximageBitmapFormat(), 10, 1);
  ASSERT_TRUE(wide && small && target && bits && bitsSmall);
  EXPECT_EQ(ximageCopyScaled(wide, 0, 0, 40000, 2, small, 0, 0, 100, 2, 0), 0);
  EXPECT_EQ(ximageCopyScaled(small, 0, 0, 100, 2, target, 0, 0, 33001, 2, 1), 0);
  EXPECT_EQ(ximageReduceBitmap(bits, 0, 0, 40000, 2, bitsSmall, 0, 0, 10, 1), 0);
  EXPECT_EQ(ximageCopyScaled(small, 90, 0, 20, 2, target, 0, 0, 5, 5, 0), 0);  // outside the source
  EXPECT_EQ(ximageScaleSmooth(small, 400.0, 1.0), nullptr);
  // Known too large before the bitmap is doubled towards it.
  EXPECT_EQ(ximageScaleSmooth(bitsSmall, 1e5, 1e5), nullptr);
  for (XImage* image : {wide, small, target, bits, bitsSmall}) XDestroyImage(image);
}

TEST(ImageScale, SmoothEnlargementAndUnitScale) {
  XImage* bitmap = ximageCreateWithData(ximageBitmapFormat(), 8, 8);
  ASSERT_TRUE(bitmap);
  XPutPixel(bitmap, 0, 7, 1);  // a lone pixel is smoothed away
  for (int y = 2; y < 5; y++) {
    for (int x = 2; x < 5; x++) XPutPixel(bitmap, x, y, 1);
  }
  XImage* same = ximageScaleSmooth(bitmap, 1.0, 1.0);
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(pixelsOf(same), pixelsOf(bitmap));
  XImage* big = ximageScaleSmooth(bitmap, 2.0, 2.0);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->width, 16);
  EXPECT_EQ(big->height, 16);
  EXPECT_EQ(XGetPixel(big, 0, 15), 0u);
  EXPECT_EQ(XGetPixel(big, 1, 14), 0u);
  EXPECT_EQ(XGetPixel(big, 6, 6), 1u);
  EXPECT_EQ(XGetPixel(big, 4, 4), 0u);  // the block's corner is rounded off
  XImage* odd = ximageScaleSmooth(bitmap, 3.0, 3.0);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->width, 24);
  EXPECT_EQ(XGetPixel(odd, 10, 10), 1u);
  for (XImage* image : {bitmap, same, big, odd}) XDestroyImage(image);
}

TEST(ImageScale, DegreesToQuarterTurns) {
  struct {
    int degrees;
    bool ok;
    int quarters;
  } cases[] = {{0, true, 0}, {90, true, 1}, {-90, true, 3}, {270, true, 3}, {-360, true, 0},
               {450, true, 1}, {-450, true, 3}, {45, false, 0}, {-1, false, 0}};
  for (auto& c : cases) {
    int quarters = -1;
    EXPECT_EQ(degreesToQuarterTurns(c.degrees, &quarters), c.ok) << c.degrees;
    if (c.ok) {
      EXPECT_EQ(quarters, c.quarters) << c.degrees;
    }
  }
}

// --- Pixel stores, id lists ---------------------------------------------

TEST(PixelStore, StridesAndUpsideDownCopies) {
  PixelStoreLayout layout;
  ASSERT_TRUE(ximagePixelStoreLayout(&layout, nullptr, 3, 2, 0, 1, 4, 3, 5, 0, 4));
  EXPECT_EQ(layout.stride, 60u);  // the row length, not the width: 5 pixels of 3 four-byte parts
  EXPECT_EQ(layout.size, 180u);   // the skipped row too
  free(layout.data);
  u8 bits[4] = {};
  ASSERT_TRUE(ximagePixelStoreLayout(&layout, bits, 9, 2, 1, 0, 0, 0, 0, 1, 1));
  EXPECT_EQ(layout.stride, 2u);
  const u8 one = 1, zero = 0;
  pixelStorePut(&layout, 0, 1, &one);
  pixelStorePut(&layout, 7, 1, &one);
  EXPECT_EQ(bits[2], 0x02);
  EXPECT_EQ(bits[3], 0x01);
  EXPECT_NE(pixelStoreGet(&layout, 7, 1, nullptr), 0u);
  pixelStorePut(&layout, 7, 1, &zero);
  EXPECT_EQ(pixelStoreGet(&layout, 7, 1, nullptr), 0u);

  ImageHolder source;
  labelled(&source);
  u8 store[5 * 3] = {};
  ASSERT_TRUE(ximagePixelStoreLayout(&layout, store, 5, 3, 0, 0, 1, 1, 0, 0, 1));
  ximageToPixelStore(&source.image, 0, 0, 5, 3, &layout, 0, 0);
  EXPECT_EQ(store[0], 11);  // the image's last row is the store's first
  EXPECT_EQ(store[14], 5);
}

TEST(XidList, RemovesABaseAndItsRange) {
  u64 ids[] = {0x400000, 0x400001, 0x5fffff, 0x600000, 0x3fffff, 0x400000, 7};
  EXPECT_EQ(xidListRemoveRange(0x400000, 0x1fffff, ids, 7), 3u);
  EXPECT_EQ(ids[0], 0x600000u);
  EXPECT_EQ(ids[1], 0x3fffffu);
  EXPECT_EQ(ids[2], 7u);
  u64 more[] = {5, 6, 5};
  EXPECT_EQ(xidListRemoveRange(5, 0, more, 3), 1u);
  EXPECT_EQ(more[0], 6u);
}

}  // namespace
}  // namespace palvon
