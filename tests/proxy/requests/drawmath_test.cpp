// The arithmetic of the drawing handlers: CopyArea strips painted onto a
// grid and checked pixel by pixel, head culling at its edges, the damage of
// each drawing request, image sizes beyond 32 bits, PolyText item walks
// that must stop at the request's end, and SetDashes on a zoomed head.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xproto.h>

#include <vector>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/requests/drawmath.h"
#include "xsupport/region.h"

namespace palvon {
namespace {

// --- CopyArea strips ---------------------------------------------------------------

struct StripCase {
  const char* name;
  u32 ws, hs, wd, hd;
};

class CopyStrips : public testing::TestWithParam<StripCase> {};

// Every destination pixel is painted exactly once, from the source pixel
// at the same place or, beyond the source, from its last column or row.
TEST_P(CopyStrips, FillEveryDestinationPixelOnce) {
  const StripCase& c = GetParam();
  constexpr i32 sx = 3, sy = 5, dx = 20, dy = 30;
  CopyPiece pieces[4];
  u32 n = planCopyStrips(sx, sy, c.ws, c.hs, dx, dy, c.wd, c.hd, pieces);
  std::vector<int> painted(c.wd * c.hd, 0);
  std::vector<i64> from(c.wd * c.hd, -1);
  for (u32 i = 0; i < n; i++) {
    const CopyPiece& p = pieces[i];
    for (u32 y = 0; y < p.height; y++) {
      for (u32 x = 0; x < p.width; x++) {
        i32 tx = p.destinationX + i32(x) - dx, ty = p.destinationY + i32(y) - dy;
        ASSERT_TRUE(tx >= 0 && ty >= 0 && u32(tx) < c.wd && u32(ty) < c.hd) << "piece " << i << " leaves the area";
        i32 fx = p.sourceX + i32(x) - sx, fy = p.sourceY + i32(y) - sy;
        ASSERT_TRUE(fx >= 0 && fy >= 0 && u32(fx) < c.ws && u32(fy) < c.hs) << "piece " << i << " reads outside";
        painted[ty * c.wd + tx]++;
        from[ty * c.wd + tx] = i64(fy) * 1000 + fx;
      }
    }
  }
  for (u32 y = 0; y < c.hd; y++) {
    for (u32 x = 0; x < c.wd; x++) {
      EXPECT_EQ(painted[y * c.wd + x], 1) << "pixel " << x << "," << y;
      i64 expected = i64(std::min(y, c.hs - 1)) * 1000 + std::min(x, c.ws - 1);
      EXPECT_EQ(from[y * c.wd + x], expected) << "pixel " << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CopyStrips,
                         testing::Values(StripCase{"Equal", 7, 5, 7, 5}, StripCase{"OneWider", 7, 5, 8, 5},
                                         StripCase{"OneTaller", 7, 5, 7, 6}, StripCase{"BothGrow", 7, 5, 8, 6},
                                         StripCase{"SourceLarger", 8, 6, 7, 5},
                                         StripCase{"WiderSourceTaller", 7, 6, 8, 5},
                                         StripCase{"SinglePixelGrows", 1, 1, 2, 2}),
                         [](const testing::TestParamInfo<StripCase>& info) { return std::string(info.param.name); });

// --- Culling -------------------------------------------------------------------------

struct CullCase {
  const char* name;
  RegionBox damage;  // window coordinates
  bool misses;
};

class Culling : public testing::TestWithParam<CullCase> {};

// A head at (100, 50) 200 x 100 in the meta screen, the window at (80, 40).
TEST_P(Culling, TestsEveryEdgeOfTheHead) {
  const CullCase& c = GetParam();
  EXPECT_EQ(damageMissesHead(c.damage, 100, 50, 200, 100, 80, 40), c.misses);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Culling,
    testing::Values(CullCase{"Inside", {30, 20, 40, 30}, false}, CullCase{"TouchesLeftEdgeFromOutside", {0, 20, 20, 30}, true},
                    CullCase{"CoversLeftEdge", {0, 20, 21, 30}, false},
                    CullCase{"StartsAtRightEdge", {220, 20, 230, 30}, true},
                    CullCase{"EndsOnRightEdge", {200, 20, 220, 30}, false},
                    CullCase{"AboveTop", {30, 0, 40, 10}, true}, CullCase{"BelowBottom", {30, 110, 40, 120}, true},
                    CullCase{"LastRowInside", {30, 109, 40, 110}, false}),
    [](const testing::TestParamInfo<CullCase>& info) { return std::string(info.param.name); });

// --- Damage --------------------------------------------------------------------------

std::vector<u8> listRequest(u8 major, u8 data, std::initializer_list<i32> values, u32 head = 12) {
  std::vector<u8> r(head + 2 * values.size(), 0);
  r[0] = major, r[1] = data;
  u32 at = head;
  for (i32 v : values) put16(&r[at], u16(v)), at += 2;
  return r;
}

struct DamageCase {
  const char* name;
  std::vector<u8> request;
  LineStyle style;
  RegionBox extents;
  long boxes;
};

class Damage : public testing::TestWithParam<DamageCase> {};

TEST_P(Damage, CoversWhatTheRequestTouches) {
  const DamageCase& c = GetParam();
  Region region;
  regionInit(&region, nullptr, 0);
  ASSERT_TRUE(appendDrawingDamage(&region, c.request.data(), u32(c.request.size()), c.style));
  const RegionBox* e = regionExtents(&region);
  EXPECT_EQ(e->x1, c.extents.x1);
  EXPECT_EQ(e->y1, c.extents.y1);
  EXPECT_EQ(e->x2, c.extents.x2);
  EXPECT_EQ(e->y2, c.extents.y2);
  if (c.boxes) {
    EXPECT_EQ(regionNumRects(&region), c.boxes);
  }
  regionUninit(&region);
}

INSTANTIATE_TEST_SUITE_P(
    Members, Damage,
    testing::Values(
        DamageCase{"PointsAbsolute", listRequest(X_PolyPoint, CoordModeOrigin, {5, 6, 10, 2}), {0, 0, 0}, {5, 2, 11, 7}, 2},
        // Relative points are accumulated: 5,6 then 15,8.
        DamageCase{"PointsPrevious", listRequest(X_PolyPoint, CoordModePrevious, {5, 6, 10, 2}), {0, 0, 0}, {5, 6, 16, 9}, 2},
        DamageCase{"ThinLinePrevious", listRequest(X_PolyLine, CoordModePrevious, {10, 10, 5, 0, 0, 5}), {1, 0, 1},
                   {9, 9, 17, 17}, 0},
        DamageCase{"MiterLineReachesSixWidths", listRequest(X_PolyLine, CoordModeOrigin, {10, 10, 20, 10}),
                   {3, JoinMiter, CapButt}, {-8, -8, 39, 29}, 1},
        DamageCase{"RoundLineHalfWidth", listRequest(X_PolyLine, CoordModeOrigin, {10, 10, 20, 10}),
                   {4, JoinRound, CapButt}, {8, 8, 23, 13}, 1},
        DamageCase{"ProjectingCapFullWidth", listRequest(X_PolyLine, CoordModeOrigin, {10, 10, 20, 10}),
                   {4, JoinRound, CapProjecting}, {6, 6, 25, 15}, 1},
        DamageCase{"SegmentWidthMargin", listRequest(X_PolySegment, 0, {30, 40, 10, 20}), {2, 0, 1}, {8, 18, 33, 43}, 1},
        // Margin (3 + 1) / 2 = 2 around each of the four edges.
        DamageCase{"RectangleEdges", listRequest(X_PolyRectangle, 0, {10, 10, 20, 20}), {3, 0, 1}, {8, 8, 33, 33}, 0},
        DamageCase{"ArcBoxMargin", listRequest(X_PolyArc, 0, {10, 10, 20, 20, 0, 5760}), {0, 0, 1}, {9, 9, 31, 31}, 1},
        DamageCase{"FillPolyBoundingBox", listRequest(X_FillPoly, 0, {10, 10, 30, 5, 20, 40}, 16), {0, 0, 1},
                   {10, 5, 31, 41}, 1},
        DamageCase{"FillRectanglesAsTheyAre", listRequest(X_PolyFillRectangle, 0, {0, 0, 5, 5, 100, 100, 1, 1}),
                   {9, 0, 1}, {0, 0, 101, 101}, 2},
        DamageCase{"FillArcNoMargin", listRequest(X_PolyFillArc, 0, {10, 10, 20, 20, 0, 23040}), {9, 0, 1},
                   {10, 10, 30, 30}, 1}),
    [](const testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

TEST(DamageRequests, FillPolyReadsItsModeFromItsOwnByte) {
  std::vector<u8> r = listRequest(X_FillPoly, 0, {10, 10, 20, -5}, 16);
  r[13] = CoordModePrevious;
  r[1] = CoordModeOrigin;
  Region region;
  regionInit(&region, nullptr, 0);
  ASSERT_TRUE(appendDrawingDamage(&region, r.data(), u32(r.size()), {0, 0, 1}));
  EXPECT_EQ(regionExtents(&region)->x2, 31);
  EXPECT_EQ(regionExtents(&region)->y1, 5);
  regionUninit(&region);
}

// --- Image sizes ---------------------------------------------------------------------

struct SizeCase {
  const char* name;
  u32 format, depth;
  u64 width;
  u32 height, planeMask, bitmapPad, bitsPerPixel, scanlinePad;
  u64 size;
};

class ImageSizes : public testing::TestWithParam<SizeCase> {};

TEST_P(ImageSizes, FollowTheLayout) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(imageSize(c.format, c.depth, c.width, c.height, c.planeMask, c.bitmapPad, c.bitsPerPixel, c.scanlinePad),
            c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageSizes,
    testing::Values(
        // Three bytes of bitmap need the whole 32-bit pad.
        SizeCase{"BitmapPadded", XYBitmap, 1, 24, 1, ~0u, 32, 1, 32, 4},
        SizeCase{"BitmapLeftPad", XYBitmap, 1, 2 + 31, 2, ~0u, 32, 1, 32, 16},
        SizeCase{"XYPixmapAllPlanes", XYPixmap, 24, 10, 3, ~0u, 32, 32, 32, 4 * 3 * 24},
        SizeCase{"XYPixmapMaskedPlanes", XYPixmap, 24, 10, 3, 0xff000f, 32, 32, 32, 4 * 3 * 12},
        SizeCase{"XYPixmapPlanesBeyondDepth", XYPixmap, 8, 10, 3, 0xf00, 32, 8, 32, 0},
        SizeCase{"ZPixmap24In32", ZPixmap, 24, 10, 3, ~0u, 32, 32, 32, 120},
        SizeCase{"ZPixmap16Padded", ZPixmap, 16, 3, 2, ~0u, 32, 16, 32, 16},
        SizeCase{"ZPixmap4Bit", ZPixmap, 4, 9, 1, ~0u, 32, 4, 8, 5},
        // 65535 + 255 pixels of 32 bits, 65535 rows: beyond 2^32.
        SizeCase{"BeyondThirtyTwoBits", ZPixmap, 32, 65535 + 255, 65535, ~0u, 32, 32, 32,
                 u64(65535 + 255) * 4 * 65535},
        SizeCase{"XYPixmapBeyondThirtyTwoBits", XYPixmap, 32, 65535 + 255, 65535, ~0u, 32, 32, 32,
                 u64((65535 + 255 + 31) / 32 * 4) * 65535 * 32}),
    [](const testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

// --- PolyText items ------------------------------------------------------------------

struct Walked {
  std::vector<std::string> items;  // "t<delta>:<chars>" or "f<id>"
  int end;                         // 0 end, -1 past the end
};

Walked walk(const std::vector<u8>& body, u32 bytesPerChar) {
  Walked w;
  TextItemWalk items(body.data(), u32(body.size()), bytesPerChar);
  TextItem item;
  while ((w.end = items.next(&item)) == 1) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal +
    // string at -O3.
    std::string text(item.isFont ? "f" : "t");
    if (item.isFont) {
      text.append(std::to_string(item.font));
    } else {
      text.append(std::to_string(item.delta)).append(":");
      text.append(reinterpret_cast<const char*>(item.characters), item.count * bytesPerChar);
    }
    w.items.push_back(text);
  }
  return w;
}

struct ItemCase {
  const char* name;
  std::vector<u8> body;
  u32 bytesPerChar;
  std::vector<std::string> items;
  int end;
};

class TextItems : public testing::TestWithParam<ItemCase> {};

TEST_P(TextItems, StopAtTheRequestsEnd) {
  const ItemCase& c = GetParam();
  Walked w = walk(c.body, c.bytesPerChar);
  EXPECT_EQ(w.items, c.items);
  EXPECT_EQ(w.end, c.end);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, TextItems,
    testing::Values(
        // Three bytes of padding read as an empty element, which draws nothing.
        ItemCase{"TextThenPadding", {3, 2, 'a', 'b', 'c', 0, 0, 0}, 1, {"t2:abc", "t0:"}, 0},
        ItemCase{"TextThenShortPadding", {3, 2, 'a', 'b', 'c', 0, 0}, 1, {"t2:abc"}, 0},
        ItemCase{"NegativeDelta", {1, 0xfe, 'x', 0}, 1, {"t-2:x"}, 0},
        // The font id is most significant byte first.
        ItemCase{"FontBetweenTexts", {1, 0, 'a', 255, 0, 0, 1, 2, 1, 0, 'b', 0}, 1, {"t0:a", "f258", "t0:b"}, 0},
        ItemCase{"TextRunsPastEnd", {5, 0, 'a', 'b', 'c'}, 1, {}, -1},
        ItemCase{"FontRunsPastEnd", {1, 0, 'a', 255, 0, 0, 1}, 1, {"t0:a"}, -1},
        ItemCase{"WideCharacters", {2, 1, 0, 'a', 0, 'b', 0, 0}, 2, {std::string("t1:\0a\0b", 7)}, 0},
        ItemCase{"WideTextPastEnd", {2, 1, 0, 'a', 0}, 2, {}, -1},
        ItemCase{"ZeroLengthElement", {0, 5, 1, 0, 'z', 0}, 1, {"t5:", "t0:z"}, 0},
        ItemCase{"EmptyBody", {}, 1, {}, 0}),
    [](const testing::TestParamInfo<ItemCase>& info) { return std::string(info.param.name); });

// --- SetDashes ---------------------------------------------------------------------------

TEST(SetDashes, ScalesOffsetAndEveryByteToTheEnd) {
  HeadScaler* twice = createScaler(200, 100, 200, 100, 0);
  ASSERT_NE(twice, nullptr);
  // Offset 3, three dashes and one byte of padding.
  std::vector<u8> r = {X_SetDashes, 0, 4, 0, 1, 0, 0, 0, 0, 0, 3, 0, 1, 0, 200, 7};
  put16(&r[8], 3);
  scaleSetDashes(twice, r.data(), u32(r.size()));
  EXPECT_EQ(get16(&r[8]), 6);
  EXPECT_EQ(r[12], 2);
  EXPECT_EQ(r[13], 0);    // 0 stays 0
  EXPECT_EQ(r[14], 255);  // 400 does not wrap
  EXPECT_EQ(r[15], 14);   // the padding byte too
  releaseScaler(&twice);
  HeadScaler* third = createScaler(100, 300, 100, 300, 0);
  std::vector<u8> s = {X_SetDashes, 0, 4, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0};
  scaleSetDashes(third, s.data(), u32(s.size()));
  EXPECT_EQ(s[12], 1);  // a dash never vanishes
  releaseScaler(&third);
}

}  // namespace
}  // namespace palvon
