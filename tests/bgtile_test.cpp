// The arithmetic of a tile's resize, checked against a pixel model of what
// the real server does to a window's contents: every pixel of the new size
// is either copied from the right old pixel or repainted, exactly once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Proxy/bgtile.h"
#include "Proxy/window.h"

namespace palvon::test {
namespace {

// --- Keeping the pixmap ------------------------------------------------------------------

struct SizeCase {
  u32 allocatedWidth, allocatedHeight, width, height;
  bool kept;
};

class TileSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TileSizes, APixmapStaysWhileItHoldsTheWindowAndIsAtMostTwiceItsSize) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(keepsTilePixmap(c.allocatedWidth, c.allocatedHeight, c.width, c.height), c.kept);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TileSizes,
                         ::testing::Values(SizeCase{100, 100, 150, 150, false},  // grown
                                           SizeCase{150, 150, 80, 80, true},     // shrunk a little
                                           SizeCase{150, 150, 75, 100, false},   // exactly half wide
                                           SizeCase{150, 150, 100, 75, false},   // exactly half high
                                           SizeCase{150, 150, 70, 70, false},
                                           SizeCase{150, 150, 150, 76, true},
                                           SizeCase{150, 150, 151, 100, false},  // one axis grows
                                           SizeCase{150, 150, 100, 60, false},   // one axis halves
                                           SizeCase{1, 1, 1, 1, true},
                                           SizeCase{65535, 65535, 40000, 40000, true}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                           const SizeCase& c = info.param;
                           return std::to_string(c.allocatedWidth) + "x" + std::to_string(c.allocatedHeight) + "For" +
                                  std::to_string(c.width) + "x" + std::to_string(c.height);
                         });

// --- Bit gravity -------------------------------------------------------------------------

struct GravityCase {
  const char* name;
  u8 gravity;
  u32 oldWidth, oldHeight, width, height;
  i32 dx, dy;
  // Where the old pixel (0, 0) lands in the new size, as the server puts it.
  i32 landsX, landsY;
  bool forget;  // nothing is kept
};

// What the server shows at each new pixel: the old pixel (index) or -1
// for the background.
std::vector<i32> expected(const GravityCase& c) {
  std::vector<i32> out(c.width * c.height, -1);
  if (c.forget) return out;
  for (u32 y = 0; y < c.height; y++)
    for (u32 x = 0; x < c.width; x++) {
      i32 ox = i32(x) - c.landsX, oy = i32(y) - c.landsY;
      if (ox >= 0 && oy >= 0 && ox < i32(c.oldWidth) && oy < i32(c.oldHeight)) out[y * c.width + x] = oy * 1000 + ox;
    }
  return out;
}

// The plan carried out on a pixel model; -2 marks a pixel touched twice or
// left as it was (the tile's stale contents).
std::vector<i32> carriedOut(const GravityCase& c, const TileResizePlan& plan) {
  std::vector<i32> out(c.width * c.height, -3);
  auto touch = [&](i32 x, i32 y, i32 value) {
    ASSERT_TRUE(x >= 0 && y >= 0 && x < i32(c.width) && y < i32(c.height)) << x << "," << y;
    i32& at = out[y * c.width + x];
    at = at == -3 ? value : -2;
  };
  if (plan.copy) {
    const TileArea& d = plan.destination;
    for (i32 y = 0; y < d.height; y++)
      for (i32 x = 0; x < d.width; x++) {
        i32 sx = plan.sourceX + x, sy = plan.sourceY + y;
        EXPECT_TRUE(sx >= 0 && sy >= 0 && sx < i32(c.oldWidth) && sy < i32(c.oldHeight)) << "source outside the old size";
        touch(d.x + x, d.y + y, sy * 1000 + sx);
      }
  } else if (plan.destination.width) {
    // The contents stay where they are in the same pixmap.
    const TileArea& d = plan.destination;
    for (i32 y = 0; y < d.height; y++)
      for (i32 x = 0; x < d.width; x++) touch(d.x + x, d.y + y, (d.y + y) * 1000 + d.x + x);
  }
  for (u32 i = 0; i < plan.paintCount; i++) {
    const TileArea& p = plan.paint[i];
    for (i32 y = 0; y < p.height; y++)
      for (i32 x = 0; x < p.width; x++) touch(p.x + x, p.y + y, -1);
  }
  return out;
}

class TileGravity : public ::testing::TestWithParam<GravityCase> {};

TEST_P(TileGravity, EveryNewPixelIsTheOldPixelTheServerShowsThereOrTheBackground) {
  const GravityCase& c = GetParam();
  for (bool moved : {true, false}) {
    // A kept pixmap is at least the new size; contents that stay put are
    // not copied onto themselves.
    TileResizePlan plan;
    ASSERT_TRUE(planTileResize(c.gravity, c.oldWidth, c.oldHeight, c.width, c.height, c.dx, c.dy, moved, &plan));
    if (!moved && plan.copy) {
      EXPECT_TRUE(plan.sourceX != plan.destination.x || plan.sourceY != plan.destination.y);
    }
    std::vector<i32> got = carriedOut(c, plan), want = expected(c);
    for (u32 i = 0; i < got.size(); i++) {
      ASSERT_EQ(got[i], want[i]) << c.name << (moved ? " (new pixmap)" : " (kept)") << " at " << i % c.width << ","
                                 << i / c.width;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Gravities, TileGravity,
    ::testing::Values(GravityCase{"ForgetGrows", kGravityUnmap, 10, 8, 14, 12, 0, 0, 0, 0, true},
                      GravityCase{"NorthWestGrows", kGravityNorthWest, 10, 8, 14, 12, 0, 0, 0, 0, false},
                      GravityCase{"NorthWestShrinks", kGravityNorthWest, 10, 8, 6, 5, 0, 0, 0, 0, false},
                      GravityCase{"NorthGrowsOdd", kGravityNorth, 10, 8, 15, 8, 0, 0, 2, 0, false},
                      GravityCase{"NorthShrinksOdd", kGravityNorth, 10, 8, 7, 8, 0, 0, -1, 0, false},
                      GravityCase{"NorthEastShrinks", kGravityNorthEast, 10, 8, 6, 10, 0, 0, -4, 0, false},
                      GravityCase{"WestGrows", kGravityWest, 10, 8, 10, 12, 0, 0, 0, 2, false},
                      GravityCase{"CenterMixed", kGravityCenter, 10, 8, 14, 4, 0, 0, 2, -2, false},
                      GravityCase{"EastShrinks", kGravityEast, 10, 8, 4, 6, 0, 0, -6, -1, false},
                      GravityCase{"SouthWestGrows", kGravitySouthWest, 10, 8, 12, 11, 0, 0, 0, 3, false},
                      GravityCase{"SouthMixed", kGravitySouth, 10, 8, 13, 5, 0, 0, 1, -3, false},
                      GravityCase{"SouthEastGrows", kGravitySouthEast, 10, 8, 14, 12, 0, 0, 4, 4, false},
                      GravityCase{"SouthEastShrinks", kGravitySouthEast, 10, 8, 6, 5, 0, 0, -4, -3, false},
                      GravityCase{"SouthEastMixed", kGravitySouthEast, 10, 8, 6, 12, 0, 0, -4, 4, false},
                      GravityCase{"StaticMovedLeftGrows", kGravityStatic, 10, 8, 14, 12, -3, -2, 3, 2, false},
                      GravityCase{"StaticMovedRightShrinks", kGravityStatic, 10, 8, 6, 6, 2, 1, -2, -1, false},
                      GravityCase{"StaticMovedAway", kGravityStatic, 10, 8, 6, 6, 40, 0, -40, 0, false}),
    [](const ::testing::TestParamInfo<GravityCase>& info) { return std::string(info.param.name); });

TEST(TileGravityValues, AnUnknownBitGravityPlansNothing) {
  TileResizePlan plan;
  EXPECT_FALSE(planTileResize(11, 10, 10, 20, 20, 0, 0, true, &plan));
  EXPECT_FALSE(plan.copy);
  EXPECT_EQ(plan.paintCount, 0u);
}

}  // namespace
}  // namespace palvon::test
