// The pure rules of the translucency emulation: the marker geometry that
// carries a window id to every link of a server, and the stipple pixmap
// chosen for a rectangle.
#include <gtest/gtest.h>

#include "Xext/translucent/internal.h"

namespace palvon {
namespace {

class MarkerIds : public ::testing::TestWithParam<u32> {};

// Every id survives the trip through the marker's geometry, whatever its
// top byte (the client number lives there from client 16 on), and the
// geometry stays within what ConfigureWindow carries.
TEST_P(MarkerIds, ComeBackFromTheMarkersGeometry) {
  u32 id = GetParam();
  MarkerGeometry at = suppressionMarker(id);
  EXPECT_EQ(at.x, 0);
  EXPECT_GE(at.y, 0);
  EXPECT_GE(at.width, 0x1000);
  EXPECT_GE(at.height, 0x1000);
  EXPECT_EQ(windowOfMarker(at.y, at.width, at.height), id);
}

INSTANTIATE_TEST_SUITE_P(Ids, MarkerIds,
                         ::testing::Values(0x00200001u, 0x00400fffu, 0x01000000u, 0x1fffffffu, 0x20abc123u,
                                           0x7fffffffu, 0x00000001u));

struct PairCase {
  u32 width, height, headWidth, headHeight;
  int pair;
};

class StipplePairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(StipplePairs, SmallestSquareThatHoldsTheRectangle) {
  const PairCase& c = GetParam();
  EXPECT_EQ(stipplePairFor(c.width, c.height, c.headWidth, c.headHeight), c.pair);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StipplePairs,
                         ::testing::Values(PairCase{1, 1, 1280, 1024, 0}, PairCase{16, 16, 1280, 1024, 0},
                                           PairCase{17, 3, 1280, 1024, 1}, PairCase{3, 33, 1280, 1024, 2},
                                           PairCase{300, 20, 1280, 1024, 5}, PairCase{512, 512, 1280, 1024, 5},
                                           PairCase{513, 10, 1280, 1024, 6}, PairCase{1000, 600, 1280, 1024, 6},
                                           PairCase{1280, 1024, 1280, 1024, 6},
                                           PairCase{1281, 10, 1280, 1024, -1}, PairCase{600, 600, 400, 300, -1}));

// The version a client asks for is answered unless it is above 6.3.
TEST(TranslucentVersionRule, CappedAboveTheHighest) {
  EXPECT_TRUE(translucentVersionCapped(7, 0));
  EXPECT_TRUE(translucentVersionCapped(6, 4));
  EXPECT_FALSE(translucentVersionCapped(6, 3));
  EXPECT_FALSE(translucentVersionCapped(5, 9));
}

}  // namespace
}  // namespace palvon
