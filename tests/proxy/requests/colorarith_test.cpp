// The arithmetic of the colour and input requests: the walk over a cell
// combination, the keycodes a server takes of a mapping change, the
// auto-repeat vector moved to the proxy's keycodes and the composed pointer
// map.
#include <gtest/gtest.h>

#include <X11/X.h>

#include <vector>

#include "Proxy/requests/server.h"
#include "Proxy/visuals/colorcells.h"
#include "Proxy/visuals/visual.h"

namespace palvon {
namespace {

VisualRecord visualOfClass(u8 visualClass) {
  VisualRecord v{};
  v.visualClass = visualClass;
  v.depth = visualClass >= TrueColor ? 24 : 8;
  v.colormapSize = 256;
  if (visualClass >= TrueColor) v.redMask = 0xff0000, v.greenMask = 0xff00, v.blueMask = 0xff;
  return v;
}

struct WalkCase {
  const char* name;
  u8 visualClass;
  u32 base, mask;
  std::vector<u32> walk;  // from base to the last pixel
};

class CellWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(CellWalk, VisitsEveryCellOnceThenEnds) {
  const WalkCase& c = GetParam();
  VisualRecord visual = visualOfClass(c.visualClass);
  std::vector<u32> seen;
  u32 pixel = c.base;
  while (pixel != c.base - 1 && seen.size() <= 64) {
    seen.push_back(pixel);
    pixel = nextPixelValue(pixel, &visual, c.base, c.mask);
  }
  EXPECT_EQ(seen, c.walk);
}

const WalkCase kWalks[] = {
    {"PseudoLowBits", PseudoColor, 0x10, 0x3, {0x10, 0x11, 0x12, 0x13}},
    // A plane above the base's bit: every pixel keeps the base bit.
    {"PseudoSplitPlanes", PseudoColor, 0x10, 0x22, {0x10, 0x12, 0x30, 0x32}},
    {"GrayScaleOneCell", GrayScale, 0x7, 0, {0x7}},
    {"PseudoFromZero", PseudoColor, 0, 0x81, {0, 0x1, 0x80, 0x81}},
    {"DirectFields", DirectColor, 0, 0x030303, {0, 0x010101, 0x020202, 0x030303}},
    {"DirectFromBase", DirectColor, 0x040404, 0x010101, {0x040404, 0x050505}},
    // The fields never reach a value within base | mask: the walk ends
    // after a whole round instead of running on.
    {"DirectUnreachable", DirectColor, 0x000001, 0x000100, {0x000001}},
};

INSTANTIATE_TEST_SUITE_P(Pixels, CellWalk, testing::ValuesIn(kWalks),
                         [](const testing::TestParamInfo<WalkCase>& info) { return info.param.name; });

struct CellsCase {
  u64 pixel;
  u32 base, mask;
  bool inside;
};

TEST(CellMembership, OnlyTheBaseWithSubsetsOfTheMask) {
  const CellsCase cases[] = {
      {0x13, 0x10, 0x3, true},  {0x14, 0x10, 0x3, false}, {0x30, 0x10, 0x22, true},
      {0x20, 0x10, 0x22, false}, {0x10, 0x10, 0, true},    {0x1000000010, 0x10, 0x3, false},
  };
  for (const CellsCase& c : cases)
    EXPECT_EQ(isPixelInCells(c.pixel, c.base, c.mask), c.inside) << std::hex << c.pixel << " " << c.mask;
}

struct KeycodeCase {
  u32 headFirst, count, headMax, expected;
};

TEST(KeycodesOnHead, CountCutAtTheHeadsLargestKeycode) {
  const KeycodeCase cases[] = {
      {8, 248, 200, 193},  // 8..255 on a server that ends at 200: 8..200
      {8, 10, 255, 10},    {200, 1, 200, 1}, {201, 5, 200, 0},
      {8, 0, 255, 0},      {255, 255, 255, 1},
  };
  for (const KeycodeCase& c : cases)
    EXPECT_EQ(keycodeCountOnHead(c.headFirst, c.count, c.headMax), c.expected) << c.headFirst << "+" << c.count;
}

struct RepeatCase {
  const char* name;
  std::vector<u32> serverBits;
  i32 shift;
  u32 low, high;
  std::vector<u32> proxyBits;
};

class AutoRepeats : public testing::TestWithParam<RepeatCase> {};

TEST_P(AutoRepeats, MoveToTheProxysKeycodes) {
  const RepeatCase& c = GetParam();
  u8 server[32] = {}, proxy[32];
  for (u32 bit : c.serverBits) server[bit / 8] |= u8(1u << (bit % 8));
  shiftAutoRepeats(server, proxy, c.shift, c.low, c.high);
  std::vector<u32> bits;
  for (u32 bit = 0; bit < 256; bit++)
    if (proxy[bit / 8] & (1u << (bit % 8))) bits.push_back(bit);
  EXPECT_EQ(bits, c.proxyBits);
}

const RepeatCase kRepeats[] = {
    {"Same", {8, 9, 100, 255}, 0, 8, 255, {8, 9, 100, 255}},
    {"Up", {8, 9, 100, 254, 255}, 2, 10, 255, {10, 11, 102}},
    {"Down", {8, 9, 100, 255}, -2, 8, 255, {98, 253}},
    {"NarrowRange", {8, 50, 120, 200}, 0, 8, 120, {8, 50, 120}},
};

INSTANTIATE_TEST_SUITE_P(Keycodes, AutoRepeats, testing::ValuesIn(kRepeats),
                         [](const testing::TestParamInfo<RepeatCase>& info) { return info.param.name; });

TEST(PointerMap, ServerEntriesThenButtonsMappedToThemselves) {
  const u8 server[] = {3, 2, 1};
  u8 map[5];
  composePointerMap(server, 3, map, 5);
  EXPECT_EQ(std::vector<u8>(map, map + 5), (std::vector<u8>{3, 2, 1, 4, 5}));
  const u8 many[] = {2, 1, 3, 4, 5, 6, 7, 8, 9, 10};
  u8 few[3];
  composePointerMap(many, 10, few, 3);
  EXPECT_EQ(std::vector<u8>(few, few + 3), (std::vector<u8>{2, 1, 3}));
}

}  // namespace
}  // namespace palvon
