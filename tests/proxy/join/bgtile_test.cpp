// The arithmetic of a tile's resize, checked against a pixel model of what
// the real server does to a window's contents: every pixel of the new size
// is either copied from the right old pixel or repainted, exactly once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Proxy/join/bgtile.h"
#include "Proxy/resources/window.h"

namespace palvon::test {
namespace {

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
                         ::testing::Values(SizeCase{100, 100, 150, 150, false}, SizeCase{150, 150, 80, 80, true},
                                           SizeCase{150, 150, 75, 100, false}, SizeCase{150, 150, 100, 75, false},
                                           SizeCase{150, 150, 70, 70, false}, SizeCase{150, 150, 150, 76, true},
                                           SizeCase{150, 150, 151, 100, false}, SizeCase{1, 1, 1, 1, true},
                                           SizeCase{65535, 65535, 40000, 40000, true}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                           const SizeCase& c = info.param;
                           return std::to_string(c.allocatedWidth) + "x" + std::to_string(c.allocatedHeight) + "For" +
                                  std::to_string(c.width) + "x" + std::to_string(c.height);
                         });

struct GravityCase {
  const char* name;
  u8 gravity;
  i32 oldWidth, oldHeight, width, height, dx, dy;
  // Where the server puts the old pixel (0, 0) in the new size; none: the
  // contents are forgotten.
  i32 landsX, landsY;
  bool none;
};

class TileGravity : public ::testing::TestWithParam<GravityCase> {};

TEST_P(TileGravity, EveryNewPixelIsTheOldPixelTheServerShowsThereOrTheBackground) {
  const GravityCase& c = GetParam();
  // In a new pixmap, and in the old one when it is kept (contents that stay
  // put are not copied onto themselves).
  for (bool moved : {true, false}) {
    TileResizePlan plan;
    ASSERT_TRUE(planTileResize(c.gravity, c.oldWidth, c.oldHeight, c.width, c.height, c.dx, c.dy, moved, &plan));
    // The old pixel y * 1000 + x, -1 for the background; -2 twice, -3 never.
    std::vector<i32> got(c.width * c.height, -3);
    auto put = [&](i32 x, i32 y, i32 value) {
      ASSERT_TRUE(x >= 0 && y >= 0 && x < c.width && y < c.height);
      got[y * c.width + x] = got[y * c.width + x] == -3 ? value : -2;
    };
    const TileArea& d = plan.destination;
    bool stays = !plan.copy && d.width;
    EXPECT_FALSE(stays && moved) << "a new pixmap gets the contents copied";
    EXPECT_FALSE(plan.copy && !moved && plan.sourceX == d.x && plan.sourceY == d.y) << "copied onto itself";
    for (i32 y = 0; (plan.copy || stays) && y < d.height; y++)
      for (i32 x = 0; x < d.width; x++) {
        i32 sx = stays ? d.x + x : plan.sourceX + x, sy = stays ? d.y + y : plan.sourceY + y;
        ASSERT_TRUE(sx >= 0 && sy >= 0 && sx < c.oldWidth && sy < c.oldHeight) << "from outside the old size";
        put(d.x + x, d.y + y, sy * 1000 + sx);
      }
    for (u32 i = 0; i < plan.paintCount; i++)
      for (i32 y = 0; y < plan.paint[i].height; y++)
        for (i32 x = 0; x < plan.paint[i].width; x++) put(plan.paint[i].x + x, plan.paint[i].y + y, -1);
    for (i32 y = 0; y < c.height; y++)
      for (i32 x = 0; x < c.width; x++) {
        i32 ox = x - c.landsX, oy = y - c.landsY;
        bool old = !c.none && ox >= 0 && oy >= 0 && ox < c.oldWidth && oy < c.oldHeight;
        ASSERT_EQ(got[y * c.width + x], old ? oy * 1000 + ox : -1) << (moved ? "new" : "kept") << " at " << x << "," << y;
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
  EXPECT_FALSE(plan.copy || plan.paintCount);
}

}  // namespace
}  // namespace palvon::test
